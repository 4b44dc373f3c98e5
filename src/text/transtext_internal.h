// Pieces of the translation tables that the library and its tests use, but that are not
// part of the exported interface.
#pragma once

#include <cstdint>

#include "kivo8/transtext.h"

namespace kivo8::text {

transtext_table *transtext_readxlatefile(const char *path) noexcept;
int init_transtext_table(transtext_table &table, std::uint32_t wanted) noexcept;
int insert_entry(transtext_table &table, transtext_entry *entry) noexcept;
void insert_entry_2(transtext_table &table, transtext_entry *entry, std::uint32_t hash,
                    std::uint32_t index) noexcept;
std::uint32_t compute_hashval(const char *key) noexcept;
std::uint32_t next_prime(std::uint32_t seed) noexcept;
bool is_prime(std::uint32_t candidate) noexcept;
bool isbigendian() noexcept;
std::uint32_t swap_nls_uint32(std::uint32_t value) noexcept;

// Display encoding state, for the loaders and the tests.
void set_display_code() noexcept;
// Gives the table its display strings through the open converter; false when memory ran
// out (the table is then left as it was).
bool transtext_loc2disp(transtext_table &table) noexcept;
char *transtext_fromto_display(const char *src, char *dst, std::uint32_t room,
                               int direction) noexcept;
const char *current_language() noexcept;
const char *current_display_code() noexcept;
const char *current_original_code() noexcept;
bool converter_open() noexcept;
// Closes the converters and puts every name back to its start value (tests only: the
// library itself never closes them).
void reset_display_state() noexcept;

}  // namespace kivo8::text
