#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/alloc.h"
#include "kivo8/slp_sess.h"
#include "slp/slp_internal.h"
#include "support/alloc_failure.h"

namespace {

using kivo8::test::sweep_allocation_failures;

struct TextDeleter {
  void operator()(char *p) const { slp_free_tmp_ptr(p); }
};
using Text = std::unique_ptr<char, TextDeleter>;

struct ListDeleter {
  void operator()(slp_slist *p) const { slp_free_slist(p); }
};
using List = std::unique_ptr<slp_slist, ListDeleter>;

std::vector<std::string> names_of(const slp_slist *first) {
  std::vector<std::string> out;
  for (const slp_slist *n = first; n != nullptr; n = n->next) out.emplace_back(n->scope);
  return out;
}

// Builds a list through the public add function, as a front end would.
List make_list(const std::vector<std::string> &names) {
  slp_slist *head = nullptr;
  for (const auto &n : names) EXPECT_NE(slp_slist_add(&head, n.c_str()), nullptr) << n;
  return List(head);
}

// Decodes while capturing the two lines that the decoder prints.
struct Decoded {
  Text text;
  std::string printed;
};
Decoded decode(const char *in) {
  testing::internal::CaptureStdout();
  Text t(slp_scope_decode(in));
  return {std::move(t), testing::internal::GetCapturedStdout()};
}

TEST(SlpScopeEscape, EncodeWritesReservedBytesAsLowerCaseHex) {
  struct {
    const char *name, *in, *out;
  } cases[] = {
      {"comma", "a,b", "a\\2cb"},
      {"parentheses", "x(y)", "x\\28y\\29"},
      {"tab", "\t", "\\09"},
      {"capitals", "PRINTERS", "PRINTERS"},
      {"empty", "", ""},
      {"all nine punctuation", "(),\\!<=>~", "\\28\\29\\2c\\5c\\21\\3c\\3d\\3e\\7e"},
      {"first and last control codes", "\x01\x1f", "\\01\\1f"},
      {"delete", "\x7f", "\\7f"},
      {"plain punctuation and space", "*;+ ", "*;+ "},
      {"high bytes", "\x80\xa0\xff", "\x80\xa0\xff"},
      {"hex letters come out lower case", "\x1a\x1b", "\\1a\\1b"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Text out(slp_scope_encode(c.in));
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out.get(), c.out);
  }
  EXPECT_EQ(slp_scope_encode(nullptr), nullptr);
}

TEST(SlpScopeEscape, ReservedCharactersAreExactlyTheListedOnes) {
  const std::string punctuation = "(),\\!<=>~";
  for (int b = 0; b < 256; ++b) {
    SCOPED_TRACE(b);
    const bool reserved =
        (b >= 1 && b <= 31) || b == 127 || (b != 0 && punctuation.find(char(b)) != std::string::npos);
    EXPECT_EQ(slp_is_reserved_char(static_cast<char>(b)), reserved ? 1 : 0);
  }
}

TEST(SlpScopeEscape, UnescapeAcceptsBothCasesAndRefusesNonDigits) {
  const std::string digits = "0123456789abcdefABCDEF";
  for (char h : digits)
    for (char l : digits) {
      const std::string pair{h, l};
      EXPECT_EQ(static_cast<unsigned char>(slp_unescape(h, l)),
                std::strtoul(pair.c_str(), nullptr, 16))
          << pair;
    }
  for (char bad : std::string("gG/:@`\\ \0", 9)) {
    EXPECT_EQ(slp_unescape(bad, '1'), '\0') << int(bad);
    EXPECT_EQ(slp_unescape('1', bad), '\0') << int(bad);
  }
}

TEST(SlpScopeEscape, DecodePrintsItsTwoLinesAndDecodes) {
  struct {
    const char *name, *in, *out;
    int count, length;
  } cases[] = {
      {"escaped comma", "a\\2cb", "a,b", 2, 3},
      {"upper-case letter", "\\41", "A", 2, 1},
      {"lower-case digit", "\\4a", "J", 2, 1},
      {"upper-case digit", "\\4A", "J", 2, 1},
      {"empty", "", "", 0, 0},
      {"plain", "lab", "lab", 0, 3},
      {"non-hex escape ends the text", "ab\\zz1", "ab", 2, 4},
      {"escaped zero ends the text", "ab\\00cd", "ab", 2, 5},
      {"high byte", "\\ff", "\xff", 2, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Decoded d = decode(c.in);
    ASSERT_NE(d.text, nullptr);
    EXPECT_STREQ(d.text.get(), c.out);
    EXPECT_EQ(d.printed, "count = " + std::to_string(c.count) + "\nresult length = " +
                             std::to_string(c.length) + "\n");
  }
}

// Escapes cut short by the end of the text, or overlapping another backslash, make the
// simple backslash count disagree with the walk. Each case sits in a heap block of exactly
// its own size so that AddressSanitizer sees any read or write past either end.
TEST(SlpScopeEscape, MalformedEscapesStayInsideTextAndResult) {
  struct {
    const char *name, *in, *out;
  } cases[] = {
      {"lone backslash", "\\", ""},
      {"trailing backslash", "ab\\", "ab"},
      {"backslash and one digit", "ab\\4", "ab"},
      {"two backslashes", "\\\\", ""},
      {"backslash pair before digits", "\\\\41", ""},
      {"escape then trailing backslash", "\\41\\", "A"},
      {"many backslashes", "x\\\\\\\\\\", "x"},
      {"backslash inside an escape", "\\4\\41", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t n = std::strlen(c.in);
    std::unique_ptr<char[]> exact(new char[n + 1]);
    std::memcpy(exact.get(), c.in, n + 1);
    Decoded d = decode(exact.get());
    ASSERT_NE(d.text, nullptr);
    EXPECT_STREQ(d.text.get(), c.out);
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(slp_scope_decode(nullptr), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "no lines for a null text";
}

TEST(SlpScopeEscape, RandomNamesSurviveEncodeThenDecode) {
  std::mt19937 rng(20261210);
  std::uniform_int_distribution<int> len(0, 40), byte(1, 255);
  testing::internal::CaptureStdout();
  for (int round = 0; round < 3000; ++round) {
    std::string name;
    for (int i = len(rng); i > 0; --i) name += static_cast<char>(byte(rng));
    Text enc(slp_scope_encode(name.c_str()));
    ASSERT_NE(enc, nullptr);
    // The escaped form carries no reserved byte but its own backslashes, so neither
    // separator of a stored list can occur inside it.
    for (const char *p = enc.get(); *p != '\0'; ++p)
      ASSERT_TRUE(*p == '\\' || !slp_is_reserved_char(*p)) << round;
    Text dec(slp_scope_decode(enc.get()));
    ASSERT_NE(dec, nullptr);
    ASSERT_EQ(std::string(dec.get()), name) << round;
  }
  (void)testing::internal::GetCapturedStdout();
}

TEST(SlpScopeEscape, CommaSwapIsUndoneExactly) {
  char text[] = "a,b,c";
  slp_scope_list_encode(text);
  EXPECT_STREQ(text, "a!b!c");
  slp_scope_list_decode(text);
  EXPECT_STREQ(text, "a,b,c");

  char other[] = "!x,,y!";
  str_char_replace(other, 'x', 'z');
  EXPECT_STREQ(other, "!z,,y!");
  slp_scope_list_encode(nullptr);
  slp_scope_list_decode(nullptr);
}

TEST(SlpScopeList, TextToListSplitsAtCommasAndDropsEmptyAndRepeatedItems) {
  struct {
    const char *name, *in;
    std::vector<std::string> out;
  } cases[] = {
      {"repeats and empty item", "a,b,,a,c", {"a", "b", "c"}},
      {"single comma", ",", {}},
      {"no comma", "DEFAULT", {"DEFAULT"}},
      {"commas at both ends", ",x,", {"x"}},
      {"spaces and escapes kept", " a ,b\\2cc", {" a ", "b\\2cc"}},
      {"empty text", "", {}},
      {"case matters", "a,A", {"a", "A"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    List l(slp_scopes_to_slist(c.in));
    EXPECT_EQ(names_of(l.get()), c.out);
    if (c.out.empty()) {
      EXPECT_EQ(l, nullptr);
    }
  }
  EXPECT_EQ(slp_scopes_to_slist(nullptr), nullptr);
}

TEST(SlpScopeList, ListToTextEscapesEachNameAndJoinsWithCommas) {
  List l = make_list({"a", "b,c"});
  Text t(slp_slist_to_scopes(l.get()));
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(t.get(), "a,b\\2cc");
  // Splitting does not decode: the second name comes back still escaped.
  List back(slp_scopes_to_slist(t.get()));
  EXPECT_EQ(names_of(back.get()), (std::vector<std::string>{"a", "b\\2cc"}));

  Text empty(slp_slist_to_scopes(nullptr));
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty.get(), "");

  List one = make_list({"x(1)"});
  Text single(slp_slist_to_scopes(one.get()));
  ASSERT_NE(single, nullptr);
  EXPECT_STREQ(single.get(), "x\\281\\29");
}

TEST(SlpScopeList, EditingKeepsOrderUniqueNamesAndTheHead) {
  slp_slist *head = nullptr;
  EXPECT_EQ(slp_slist_add(nullptr, "a"), nullptr);
  EXPECT_EQ(slp_slist_add(&head, nullptr), nullptr);
  EXPECT_EQ(slp_slist_add(&head, ""), nullptr);
  slp_slist *first = slp_slist_add(&head, "one");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(slp_slist_add(&head, "two"), first);
  EXPECT_EQ(slp_slist_add(&head, "three"), first);
  EXPECT_EQ(slp_slist_add(&head, "two"), first) << "a repeat keeps the first node";
  EXPECT_EQ(slp_slist_add(&head, ""), first);
  EXPECT_EQ(slp_slist_count(head), 3);
  EXPECT_EQ(names_of(head), (std::vector<std::string>{"one", "two", "three"}));

  EXPECT_EQ(slp_slist_getat(head, 0), head);
  EXPECT_STREQ(slp_slist_getat(head, 2)->scope, "three");
  EXPECT_EQ(slp_slist_getat(head, 3), nullptr);
  EXPECT_EQ(slp_slist_getat(head, -1), nullptr);
  EXPECT_EQ(slp_slist_getat(nullptr, 0), nullptr);
  EXPECT_EQ(slp_slist_find(head, "two"), head->next);
  EXPECT_EQ(slp_slist_find(head, "TWO"), nullptr);
  EXPECT_EQ(slp_slist_find(nullptr, "two"), nullptr);
  EXPECT_EQ(slp_slist_count(nullptr), 0);

  EXPECT_EQ(slp_slist_remove(&head, "absent"), first);
  EXPECT_EQ(slp_slist_remove(&head, ""), first);
  EXPECT_EQ(slp_slist_remove(&head, nullptr), first);
  EXPECT_EQ(slp_slist_remove(nullptr, "one"), nullptr);
  slp_slist *second = head->next;
  EXPECT_EQ(slp_slist_remove(&head, "one"), second) << "the successor becomes the head";
  EXPECT_EQ(head, second);
  EXPECT_EQ(slp_slist_remove(&head, "three"), second);
  EXPECT_EQ(names_of(head), (std::vector<std::string>{"two"}));
  EXPECT_EQ(slp_slist_remove(&head, "two"), nullptr);
  EXPECT_EQ(head, nullptr);
  EXPECT_EQ(slp_slist_remove(&head, "two"), nullptr);
  slp_free_slist(nullptr);
  slp_free_tmp_ptr(nullptr);
}

TEST(SlpScopeList, RandomListsSurviveStorageAsOneField) {
  // The way saved search targets keep a scope list: names joined and escaped, commas
  // swapped for '!', and back again.
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> count(1, 6), len(1, 12), byte(1, 255);
  testing::internal::CaptureStdout();
  for (int round = 0; round < 500; ++round) {
    slp_slist *head = nullptr;
    std::vector<std::string> names;
    for (int i = count(rng); i > 0; --i) {
      std::string n;
      for (int j = len(rng); j > 0; --j) n += static_cast<char>(byte(rng));
      if (slp_slist_find(head, n.c_str()) == nullptr) names.push_back(n);
      ASSERT_NE(slp_slist_add(&head, n.c_str()), nullptr);
    }
    List l(head);
    Text stored(slp_slist_to_scopes(l.get()));
    ASSERT_NE(stored, nullptr);
    slp_scope_list_encode(stored.get());
    ASSERT_EQ(std::strchr(stored.get(), ','), nullptr);
    slp_scope_list_decode(stored.get());
    List back(slp_scopes_to_slist(stored.get()));
    std::vector<std::string> decoded;
    for (const auto &n : names_of(back.get())) {
      Text d(slp_scope_decode(n.c_str()));
      ASSERT_NE(d, nullptr);
      decoded.emplace_back(d.get());
    }
    ASSERT_EQ(decoded, names) << round;
  }
  (void)testing::internal::GetCapturedStdout();
}

TEST(SlpScopeAllocation, EscapingFailsWithNull) {
  sweep_allocation_failures([] {
    Text t(slp_scope_encode("a,b(c)"));
    if (t == nullptr) return false;
    EXPECT_STREQ(t.get(), "a\\2cb\\28c\\29");
    return true;
  });
  testing::internal::CaptureStdout();
  sweep_allocation_failures([] {
    Text t(slp_scope_decode("a\\2cb"));
    if (t == nullptr) return false;
    EXPECT_STREQ(t.get(), "a,b");
    return true;
  });
  (void)testing::internal::GetCapturedStdout();
}

TEST(SlpScopeAllocation, AddLeavesTheListAsItWas) {
  List base = make_list({"a", "b"});
  slp_slist *head = base.release();
  sweep_allocation_failures([&head] {
    slp_slist *r = slp_slist_add(&head, "c");
    if (r == nullptr) {
      EXPECT_EQ(names_of(head), (std::vector<std::string>{"a", "b"}));
      return false;
    }
    EXPECT_EQ(names_of(head), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(slp_slist_remove(&head, "c"), head);
    return true;
  });
  slp_free_slist(head);
}

TEST(SlpScopeAllocation, SplittingKeepsTheNamesItCouldAdd) {
  const std::vector<std::string> all = {"a", "bb", "ccc", "d"};
  sweep_allocation_failures([&all] {
    List l(slp_scopes_to_slist("a,bb,,ccc,d"));
    std::vector<std::string> got = names_of(l.get());
    // What survives is the full list with some names missing, never reordered.
    std::size_t i = 0;
    for (const auto &n : got) {
      while (i < all.size() && all[i] != n) ++i;
      EXPECT_LT(i, all.size()) << "unexpected or reordered name " << n;
      ++i;
    }
    return got == all;
  });
}

TEST(SlpScopeAllocation, JoiningFailsWithNull) {
  List l = make_list({"a", "b,c", "d"});
  sweep_allocation_failures([&l] {
    Text t(slp_slist_to_scopes(l.get()));
    if (t == nullptr) return false;
    EXPECT_STREQ(t.get(), "a,b\\2cc,d");
    return true;
  });
}

}  // namespace
