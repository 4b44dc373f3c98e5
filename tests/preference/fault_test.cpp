// Failures at every step of a write, injected through the store's test hook and from a
// real file system that runs out of space: the old file must stay byte for byte and no
// temporary file may be left.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "kivo8/preference.h"
#include "prefs/preference_internal.h"
#include "support/pref_home.h"

namespace {

using kivo8::prefs::WriteStep;
using kivo8::test::PrefHome;

struct Injection {
  WriteStep step;
  int nth;  // which occurrence of the step fails (1 = the first)
  int error;
  int seen;
};
Injection g_injection;

int inject(WriteStep step) {
  if (step != g_injection.step) return 0;
  return ++g_injection.seen == g_injection.nth ? g_injection.error : 0;
}

class PreferenceFaults : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(home.ready()); }
  void TearDown() override { kivo8::prefs::set_write_fault(nullptr); }
  PrefHome home;
};

const char *step_name(WriteStep s) {
  switch (s) {
    case WriteStep::lock: return "lock";
    case WriteStep::remove_stale: return "remove_stale";
    case WriteStep::open_temp: return "open_temp";
    case WriteStep::mode: return "mode";
    case WriteStep::write: return "write";
    case WriteStep::sync: return "sync";
    case WriteStep::close: return "close";
    case WriteStep::rename: return "rename";
    case WriteStep::sync_dir: return "sync_dir";
  }
  return "?";
}

TEST_F(PreferenceFaults, AFailureBeforeTheRenameLeavesTheOldFileAndNoTemporaryFile) {
  // Big enough that the new content goes out in several writes.
  std::string old = "# settings\n%other\n";
  for (int i = 0; i < 5000; ++i) old += "key" + std::to_string(i) + "=" + std::string(40, 'x') + "\n";
  old += "%s\nk=old\n";
  ASSERT_GT(old.size(), 3u * 65536u);

  struct {
    WriteStep step;
    int nth;
  } points[] = {{WriteStep::lock, 1}, {WriteStep::remove_stale, 1}, {WriteStep::open_temp, 1}, {WriteStep::mode, 1},
                {WriteStep::write, 1},        {WriteStep::write, 2},     {WriteStep::write, 4},
                {WriteStep::sync, 1},         {WriteStep::close, 1},     {WriteStep::rename, 1}};
  for (int error : {ENOSPC, EIO}) {
    for (const auto &p : points) {
      SCOPED_TRACE(testing::Message() << step_name(p.step) << " #" << p.nth << " errno " << error);
      home.put(old);
      g_injection = {p.step, p.nth, error, 0};
      kivo8::prefs::set_write_fault(inject);
      EXPECT_EQ(lanset_set_preference_string("s", "k", "new"), -1);
      kivo8::prefs::set_write_fault(nullptr);
      EXPECT_EQ(g_injection.seen, p.nth) << "the step was never reached";
      EXPECT_EQ(home.contents(), old);
      EXPECT_FALSE(home.temp_left());
      // The store works again once the fault is gone.
      EXPECT_EQ(lanset_set_preference_string("s", "k", "new"), 0);
    }
  }
}

TEST_F(PreferenceFaults, AFailureWhileCreatingTheFileLeavesNothing) {
  for (WriteStep step : {WriteStep::open_temp, WriteStep::write, WriteStep::sync,
                         WriteStep::close, WriteStep::rename}) {
    SCOPED_TRACE(step_name(step));
    g_injection = {step, 1, ENOSPC, 0};
    kivo8::prefs::set_write_fault(inject);
    EXPECT_EQ(lanset_set_preference_string("s", "k", "v"), -1);
    kivo8::prefs::set_write_fault(nullptr);
    EXPECT_FALSE(PrefHome::exists(home.file()));
    EXPECT_FALSE(home.temp_left());
  }
}

TEST_F(PreferenceFaults, AFailedDirectorySyncIsReportedWithTheNewContentInPlace) {
  home.put("%s\nk=old\n");
  g_injection = {WriteStep::sync_dir, 1, EIO, 0};
  kivo8::prefs::set_write_fault(inject);
  // The rename has happened, but it may not survive a power loss: the caller hears of it.
  EXPECT_EQ(lanset_set_preference_string("s", "k", "new"), -1);
  EXPECT_EQ(home.contents(), "%s\nk=new\n");
  EXPECT_FALSE(home.temp_left());
}

// A private mount namespace with a tiny tmpfs over the preference directory.
class TinyFileSystem {
 public:
  explicit TinyFileSystem(const std::string &dir) : dir_(dir) {
    ok_ = unshare(CLONE_NEWNS) == 0 &&
          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
          mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k,mode=0755") == 0;
  }
  ~TinyFileSystem() {
    if (ok_) umount2(dir_.c_str(), MNT_DETACH);
  }
  bool ok() const { return ok_; }

 private:
  std::string dir_;
  bool ok_ = false;
};

TEST_F(PreferenceFaults, AFullFileSystemLeavesTheOldFile) {
  TinyFileSystem fs(home.dir());
  if (!fs.ok()) {
    if (kivo8::test::in_ci()) FAIL() << "cannot mount a tmpfs (need root)";
    GTEST_SKIP() << "cannot mount a tmpfs (need root)";
  }
  std::string old = "%s\n";
  for (int i = 0; i < 400; ++i) old += "key" + std::to_string(i) + "=" + std::string(40, 'o') + "\n";
  home.put(old);
  ASSERT_EQ(home.contents(), old);
  // The new file cannot fit beside the old one.
  const std::string big(50000, 'n');
  EXPECT_EQ(lanset_set_preference_string("s", "big", big.c_str()), -1);
  EXPECT_EQ(home.contents(), old);
  EXPECT_FALSE(home.temp_left());
  // A small change still fits and goes through.
  EXPECT_EQ(lanset_set_preference_string("s", "small", "1"), 0);
  EXPECT_EQ(home.contents(), old + "small=1\n");
}

}  // namespace
