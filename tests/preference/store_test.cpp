#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>

#include "kivo8/preference.h"
#include "prefs/preference_internal.h"
#include "support/pref_home.h"

namespace {

using kivo8::test::PrefHome;

class PreferenceStore : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(home.ready()); }
  PrefHome home;
};

TEST(PreferenceDir, FreshHomeGetsTheDirectoryAndTheFirstSetMakesTheFile) {
  const mode_t old_mask = umask(022);
  PrefHome home;
  umask(old_mask);
  ASSERT_TRUE(home.ready());
  EXPECT_EQ(std::string(lanset_get_preference_dir()), home.dir());
  struct stat st;
  ASSERT_EQ(lstat(home.dir().c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0755u);

  EXPECT_EQ(lanset_set_preference_string("network", "total", "1"), 0);
  EXPECT_EQ(home.contents(), "%network\ntotal=1\n");
  EXPECT_FALSE(home.temp_left());
  // Calling it again over the existing directory succeeds too.
  EXPECT_EQ(lanset_set_preference_dir(), 0);
}

TEST(PreferenceDir, RefusedHomesEmptyTheDirectoryAndDisableTheStore) {
  kivo8::test::TempDir scratch;
  const std::string file_home = scratch.file("filehome");
  const std::string link_home = scratch.file("linkhome");
  const std::string real_dir = scratch.file("real");
  ASSERT_EQ(mkdir(file_home.c_str(), 0755), 0);
  PrefHome::write_file(file_home + "/.kivo", "not a directory");
  ASSERT_EQ(mkdir(link_home.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(real_dir.c_str(), 0755), 0);
  ASSERT_EQ(symlink(real_dir.c_str(), (link_home + "/.kivo").c_str()), 0);
  // The directory and the temporary file's name must fit in 1024 bytes.
  const std::string long_home = "/" + std::string(1024 - 1 - 6 - 12, 'h');
  const std::string fitting_home = scratch.path() + "/" + std::string(200, 'f');
  ASSERT_EQ(mkdir(fitting_home.c_str(), 0755), 0);

  struct {
    const char *name;
    std::optional<std::string> home;
  } cases[] = {
      {"a regular file where the directory belongs", file_home},
      {"a symbolic link to a directory", link_home},
      {"HOME unset", std::nullopt},
      {"HOME empty", std::string()},
      {"parent missing, so it cannot be created", scratch.file("missing/deeper")},
      {"paths longer than 1024 bytes", long_home},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    setenv("HOME", fitting_home.c_str(), 1);
    ASSERT_EQ(lanset_set_preference_dir(), 0);
    if (c.home)
      setenv("HOME", c.home->c_str(), 1);
    else
      unsetenv("HOME");
    EXPECT_EQ(lanset_set_preference_dir(), -1);
    EXPECT_STREQ(lanset_get_preference_dir(), "");
    char buf[8] = "keep";
    EXPECT_EQ(lanset_get_preference_string("s", "k", buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "keep");
    EXPECT_EQ(lanset_set_preference_string("s", "k", "v"), -1);
  }
  // Nothing was written through the link or into the file that stands for the directory.
  EXPECT_FALSE(PrefHome::exists(real_dir + "/kivo2.pref"));
  EXPECT_EQ(PrefHome::read_file(file_home + "/.kivo"), "not a directory");
}

TEST_F(PreferenceStore, GetFindsValuesAsTheFileHoldsThem) {
  struct {
    const char *name;
    const char *file;
    const char *section, *key;
    int32_t length;
    std::optional<std::string> value;
  } cases[] = {
      {"key 1 is not the prefix of 10", "%s\n10=a\n1=b\n", "s", "1", 64, "b"},
      {"key 10 found before 1", "%s\n1=b\n10=a\n", "s", "10", 64, "a"},
      {"value with = and blanks", "%s\nk= a = b  \n", "s", "k", 64, " a = b  "},
      {"empty value", "%s\nk=\n", "s", "k", 64, ""},
      {"buffer of 4 truncates", "%s\nk=abcdef\n", "s", "k", 4, "abc"},
      {"buffer of 1 gives empty", "%s\nk=abcdef\n", "s", "k", 1, ""},
      {"only the first of two same-named sections", "%s\na=1\n%s\nk=2\n", "s", "k", 64,
       std::nullopt},
      {"first same-named section wins", "%s\nk=1\n%s\nk=2\n", "s", "k", 64, "1"},
      {"first of two equal keys", "%s\nk=1\nk=2\n", "s", "k", 64, "1"},
      {"section ends at the next header", "%s\na=1\n%t\nk=2\n", "s", "k", 64, std::nullopt},
      {"key in a later section", "%s\na=1\n%t\nk=2\n", "t", "k", 64, "2"},
      {"comments and empty lines skipped", "%s\n\n#k=c\n\nk=v\n", "s", "k", 64, "v"},
      {"a commented key is never found", "%s\n#k=c\n", "s", "#k", 64, std::nullopt},
      {"lines before any section never match", "k=0\n%s\nk=1\n", "s", "k", 64, "1"},
      {"lines before any section, no key", "k=0\n%s\n", "s", "k", 64, std::nullopt},
      {"header compared whole", "%s \nk=1\n", "s", "k", 64, std::nullopt},
      {"header is case-sensitive", "%S\nk=1\n", "s", "k", 64, std::nullopt},
      {"key without = does not match", "%s\nk\nk =1\n", "s", "k", 64, std::nullopt},
      {"CRLF line ends", "%s\r\nk=v\r\n", "s", "k", 64, "v"},
      {"last line without line end", "%s\nk=v", "s", "k", 64, "v"},
      {"text after a carriage return is not the value", "%s\nk=v\rw\n", "s", "k", 64, "v"},
      {"missing section", "%s\nk=v\n", "x", "k", 64, std::nullopt},
      {"empty file", "", "s", "k", 64, std::nullopt},
      {"empty section name", "%\nk=v\n", "", "k", 64, "v"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    home.put(c.file);
    char buf[80];
    std::memset(buf, 'X', sizeof buf);
    const int32_t rc = lanset_get_preference_string(c.section, c.key, buf, c.length);
    if (!c.value) {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(buf[0], 'X');  // untouched
      continue;
    }
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(std::string(buf), *c.value);
    // The rest of the given length is zero-filled, and nothing past it is touched.
    for (int32_t i = int32_t(c.value->size()); i < c.length; ++i) EXPECT_EQ(buf[i], '\0') << i;
    EXPECT_EQ(buf[c.length], 'X');
  }
}

TEST_F(PreferenceStore, GetRefusesBadArgumentsAndMissingFiles) {
  char buf[16] = "keep";
  EXPECT_EQ(lanset_get_preference_string("s", "k", buf, 16), -1);  // no file yet
  home.put("%s\nk=v\n");
  EXPECT_EQ(lanset_get_preference_string("s", "k", buf, 0), -1);
  EXPECT_EQ(lanset_get_preference_string("s", "k", buf, -5), -1);
  EXPECT_EQ(lanset_get_preference_string(nullptr, "k", buf, 16), -1);
  EXPECT_EQ(lanset_get_preference_string("s", nullptr, buf, 16), -1);
  EXPECT_EQ(lanset_get_preference_string("s", "k", nullptr, 16), -1);
  EXPECT_STREQ(buf, "keep");
}

TEST_F(PreferenceStore, LongLinesAreReadAndRewrittenWhole) {
  const std::string long_value(2000, 'v');
  // A piece of the long line that looks like a key line must not count as one.
  const std::string tricky = std::string(511, 'x') + "k=wrong";
  home.put("%s\n" + tricky + "\nlong=" + long_value + "\n%t\n" + tricky + "\n");
  char buf[4096];
  EXPECT_EQ(lanset_get_preference_string("s", "long", buf, sizeof buf), 0);
  EXPECT_EQ(std::string(buf), long_value);
  EXPECT_EQ(lanset_get_preference_string("s", "k", buf, sizeof buf), -1);
  ASSERT_EQ(lanset_set_preference_string("s", "k", "1"), 0);
  EXPECT_EQ(home.contents(),
            "%s\n" + tricky + "\nlong=" + long_value + "\nk=1\n%t\n" + tricky + "\n");
}

TEST_F(PreferenceStore, SetRewritesTheFileAsSpecified) {
  struct {
    const char *name;
    std::optional<std::string> before;  // nullopt: no file
    const char *section, *key, *value;
    std::string after;
  } cases[] = {
      {"new file", std::nullopt, "s", "k", "v", "%s\nk=v\n"},
      {"delete from a missing file leaves a bare header", std::nullopt, "s", "k", nullptr,
       "%s\n"},
      {"changed key keeps its place", "%s\na=1\nk=old\nb=2\n", "s", "k", "new",
       "%s\na=1\nk=new\nb=2\n"},
      {"new key before the next section, after comments and blanks",
       "%s\na=1\n# note\n\n%t\nk=9\n", "s", "k", "v", "%s\na=1\n# note\n\nk=v\n%t\nk=9\n"},
      {"new key at the end of the last section", "%t\nx=1\n%s\na=1\n", "s", "k", "v",
       "%t\nx=1\n%s\na=1\nk=v\n"},
      {"new section at the end", "%t\nx=1\n", "s", "k", "v", "%t\nx=1\n%s\nk=v\n"},
      {"delete a present key and nothing else", "%s\na=1\nk=v\nb=2\n%t\nk=x\n", "s", "k",
       nullptr, "%s\na=1\nb=2\n%t\nk=x\n"},
      {"delete only the first of two equal keys", "%s\nk=1\nk=2\n", "s", "k", nullptr,
       "%s\nk=2\n"},
      {"delete an absent key changes nothing", "%s\na=1\n%t\n", "s", "k", nullptr,
       "%s\na=1\n%t\n"},
      {"delete from a missing section appends a bare header", "%t\nx=1\n", "s", "k", nullptr,
       "%t\nx=1\n%s\n"},
      {"key 1 does not replace 10", "%s\n10=a\n", "s", "1", "b", "%s\n10=a\n1=b\n"},
      {"first of two same-named sections changed", "%s\nk=1\n%s\nk=2\n", "s", "k", "3",
       "%s\nk=3\n%s\nk=2\n"},
      {"key only in the second same-named section is added to the first",
       "%s\na=1\n%s\nk=2\n", "s", "k", "3", "%s\na=1\nk=3\n%s\nk=2\n"},
      {"CRLF rewritten with LF", "x=0\r\n%s\r\nk=old\r\n%t\r\ny=1\r\n", "s", "k", "new",
       "x=0\n%s\nk=new\n%t\ny=1\n"},
      {"last line gets its line end", "%s\na=1", "s", "k", "v", "%s\na=1\nk=v\n"},
      {"lines before any section are kept, never matched", "k=0\n#c\n%s\n", "s", "k", "1",
       "k=0\n#c\n%s\nk=1\n"},
      {"a commented key is replaced by a set", "%s\n#k=c\n", "s", "#k", "d", "%s\n#k=d\n"},
      {"value with = and blanks", "", "s", "k", " a = b ", "%s\nk= a = b \n"},
      {"empty value", "%s\nk=v\n", "s", "k", "", "%s\nk=\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    unlink(home.file().c_str());
    if (c.before) home.put(*c.before);
    EXPECT_EQ(lanset_set_preference_string(c.section, c.key, c.value), 0);
    EXPECT_EQ(home.contents(), c.after);
    EXPECT_FALSE(home.temp_left());
  }
}

TEST_F(PreferenceStore, ValuesReadBackAsSet) {
  const std::string values[] = {"plain", " blanks ", "a=b=c", "", "#x", "%y", std::string(600, 'z')};
  for (const auto &v : values) {
    SCOPED_TRACE(v);
    ASSERT_EQ(lanset_set_preference_string("s", "k", v.c_str()), 0);
    char buf[1024];
    ASSERT_EQ(lanset_get_preference_string("s", "k", buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf), v);
  }
}

TEST_F(PreferenceStore, ArgumentsThatWouldAddLinesOrSectionsAreRefused) {
  home.put("%s\nk=v\n");
  struct {
    const char *section, *key, *value;
  } cases[] = {
      {"s", "k", "v\n%evil"}, {"s", "k", "v\r"}, {"s\nk=x", "k", "v"}, {"s", "a\nk", "v"},
      {"s", "k\r", nullptr},  {nullptr, "k", "v"}, {"s", nullptr, "v"}, {"s", "%t", "v"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(lanset_set_preference_string(c.section, c.key, c.value), -1);
    EXPECT_EQ(home.contents(), "%s\nk=v\n");
  }
}

TEST_F(PreferenceStore, AFileThatCannotBeReadIsNeverReplaced) {
  struct {
    const char *name;
    void (*make)(const std::string &path);
  } cases[] = {
      {"a directory", [](const std::string &p) { ASSERT_EQ(mkdir(p.c_str(), 0755), 0); }},
      {"a dangling symbolic link",
       [](const std::string &p) { ASSERT_EQ(symlink("/nonexistent/kivo", p.c_str()), 0); }},
      {"a FIFO (must not hang)",
       [](const std::string &p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    c.make(home.file());
    char buf[8];
    EXPECT_EQ(lanset_get_preference_string("s", "k", buf, sizeof buf), -1);
    EXPECT_EQ(lanset_set_preference_string("s", "k", "v"), -1);
    EXPECT_FALSE(home.temp_left());
    struct stat st;
    ASSERT_EQ(lstat(home.file().c_str(), &st), 0);
    EXPECT_FALSE(S_ISREG(st.st_mode));
    if (S_ISDIR(st.st_mode))
      rmdir(home.file().c_str());
    else
      unlink(home.file().c_str());
  }
}

TEST_F(PreferenceStore, ASymbolicLinkToAFileIsReadAndReplacedByAFile) {
  const std::string target = home.home() + "/elsewhere.pref";
  PrefHome::write_file(target, "%s\nk=v\n");
  ASSERT_EQ(symlink(target.c_str(), home.file().c_str()), 0);
  char buf[8];
  ASSERT_EQ(lanset_get_preference_string("s", "k", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "v");
  ASSERT_EQ(lanset_set_preference_string("s", "k", "w"), 0);
  struct stat st;
  ASSERT_EQ(lstat(home.file().c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(home.contents(), "%s\nk=w\n");
  EXPECT_EQ(PrefHome::read_file(target), "%s\nk=v\n");
}

TEST_F(PreferenceStore, NewFileIsPrivateAndARewriteKeepsTheModeItHas) {
  struct {
    mode_t mask, expected;
  } cases[] = {{022, 0600}, {077, 0600}, {0277, 0400}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.mask);
    unlink(home.file().c_str());
    const mode_t old = umask(c.mask);
    const int32_t rc = lanset_set_preference_string("s", "k", "v");
    umask(old);
    ASSERT_EQ(rc, 0);
    struct stat st;
    ASSERT_EQ(stat(home.file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.expected);
  }
  ASSERT_EQ(chmod(home.file().c_str(), 0640), 0);
  ASSERT_EQ(lanset_set_preference_string("s", "k", "w"), 0);
  struct stat st;
  ASSERT_EQ(stat(home.file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(PreferenceStore, StaleTemporaryFilesAreRemovedAndNeverWrittenThrough) {
  // What killed writers leave: a file at the name every writer once used, and files at
  // the per-writer names; even a symbolic link in their place is removed, not followed.
  const std::string victim = home.home() + "/victim";
  PrefHome::write_file(victim, "keep");
  home.put("%s\nk=v\n");
  PrefHome::write_file(home.temp(), "left over from a crash\n");
  PrefHome::write_file(home.file() + "~4242.0", "left over too\n");
  ASSERT_EQ(symlink(victim.c_str(), (home.file() + "~" + std::to_string(getpid()) + ".0").c_str()), 0);
  ASSERT_TRUE(home.temp_left());
  ASSERT_EQ(lanset_set_preference_string("s", "k", "w"), 0);
  EXPECT_EQ(home.contents(), "%s\nk=w\n");
  EXPECT_FALSE(home.temp_left());
  EXPECT_EQ(PrefHome::read_file(victim), "keep");
  // The lock file stays: removing it would let two writers lock two different files.
  EXPECT_TRUE(PrefHome::exists(home.lock_file()));
}

TEST(PreferenceWriter, WritesHeaderAndKeyLineAsGiven) {
  struct {
    const char *section, *key, *value, *out;
  } cases[] = {
      {"s", "k", "v", "%s\nk=v\n"},
      {nullptr, "k", "v", "k=v\n"},
      {"s", "k", nullptr, "%s\n"},
      {nullptr, "k", nullptr, ""},
  };
  for (const auto &c : cases) {
    char buf[64] = {};
    FILE *f = fmemopen(buf, sizeof buf, "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(_write_preference_value(f, c.section, c.key, c.value), 0);
    fclose(f);
    EXPECT_STREQ(buf, c.out);
  }
  EXPECT_EQ(_write_preference_value(nullptr, "s", "k", "v"), -1);
}

}  // namespace
