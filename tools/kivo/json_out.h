// kivo's one way into JSON: every JSON document kivo prints (discover's devices, the
// saved targets, probe's answer) is built as a value here and written by json_dump.
//
// Texts from outside (what devices send, the saved file) may be any bytes; JSON strings
// are Unicode. json_text() keeps valid UTF-8 as it is and reads every other byte as the
// Latin-1 character of that value (printers that are not UTF-8 are mostly Latin-1), so a
// text always becomes a string and nothing can make the writer fail. Where that reading
// changed the bytes, exact_bytes() gives them as hexadecimal, so that a program can have
// exactly what the device sent. Control characters (C0, DEL, C1) are written as \uXXXX
// escapes: the document stays valid JSON and harmless on a terminal.
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kivo {

// Objects keep their fields in the order they are added.
using Json = nlohmann::ordered_json;

// `bytes` as a JSON string (see above).
Json json_text(std::string_view bytes);
// The bytes in hexadecimal when json_text() had to read some of them as Latin-1 (they
// are not valid UTF-8); nothing when the text is exact as it stands.
std::optional<std::string> exact_bytes(std::string_view bytes);

// A JSON string literal (with its quotes) of json_text(text): for the one value of a
// document written by hand, e.g. a line of NDJSON; documents are built as Json values.
std::string json_string(std::string_view text);

// One line, no line end: ", " and ": " between items as people write JSON.
std::string json_dump(const Json &value);
// An array of values, one to a line: "[\n  {...},\n  {...}\n]\n" ("[]\n" when empty).
std::string json_lines_array(const std::vector<Json> &items);
void write_json_lines_array(std::FILE *out, const std::vector<Json> &items);

}  // namespace kivo
