// Headless Chromium for the report tests: it loads a page from a file and hands back the
// document it built (--dump-dom), a screenshot or a print. Each run gets its own profile
// and HOME in the caller's scratch directory, and generous time-outs, since Chromium is
// slow on a small machine.
#pragma once

#include <string>

#include "report_support.h"
#include "support/kivo_run.h"

namespace kivo8::test {

// Runs headless Chromium on `page` with `options`; its standard output goes to `out`,
// its complaints to chromium.log in `scratch` (see chromium_log). Its exit status.
inline int chromium(const TempDir &scratch, const std::string &page, const std::string &options,
                    const std::string &out) {
  const std::string command = "HOME=" + shell_quote(scratch.path()) + " timeout 240 chromium --headless --no-sandbox " +
                              "--disable-gpu --no-first-run --disable-extensions --disable-sync " +
                              "--disable-background-networking --user-data-dir=" +
                              shell_quote(scratch.file("profile")) + " " + options + " " +
                              shell_quote("file://" + page) + " >" + shell_quote(out) + " 2>>" +
                              shell_quote(scratch.file("chromium.log"));
  return sh(command);
}

inline std::string chromium_log(const TempDir &scratch) { return read_bytes(scratch.file("chromium.log")); }

// Where a test keeps a picture for people to look at after the run (CI keeps the build
// folder's test output): the build folder of the test program `folder`.
inline std::string browser_artefact(const std::string &folder, const std::string &name) {
  return binary_dir() + "/tests/" + folder + "/" + name;
}

}  // namespace kivo8::test
