#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/unique_fd.h"
#include "prefs/preference_internal.h"

namespace kivo8::prefs {

namespace {

WriteFault s_fault = nullptr;

// Runs one step of a write unless the test hook fails it first.
template <typename F>
bool step(WriteStep which, F &&body) {
  if (s_fault != nullptr) {
    if (int e = s_fault(which); e != 0) {
      errno = e;
      return false;
    }
  }
  return body();
}

// Removes the temporary file unless the write reached its rename.
class TempFile {
 public:
  explicit TempFile(std::string path) : path_(std::move(path)) {}
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;
  ~TempFile() {
    if (armed_) {
      const int saved = errno;
      (void)::unlink(path_.c_str());
      errno = saved;
    }
  }
  void arm() noexcept { armed_ = true; }
  void disarm() noexcept { armed_ = false; }
  const char *c_str() const noexcept { return path_.c_str(); }

 private:
  std::string path_;
  bool armed_ = false;
};

bool write_all(int fd, std::string_view content) {
  // Pieces of bounded size, so that a fault can strike in the middle of a long file too.
  constexpr std::size_t piece = 1 << 16;
  std::size_t done = 0;
  while (done < content.size()) {
    const std::size_t n = std::min(piece, content.size() - done);
    ssize_t w = -1;
    if (!step(WriteStep::write, [&] {
          do w = ::write(fd, content.data() + done, n);
          while (w < 0 && errno == EINTR);
          return w >= 0;
        }))
      return false;
    if (w == 0) {
      errno = ENOSPC;
      return false;
    }
    done += std::size_t(w);
  }
  return true;
}

std::string directory_of(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

void set_write_fault(WriteFault fault) noexcept { s_fault = fault; }

Load load(const std::string &path, std::string &bytes, mode_t &mode) {
  bytes.clear();
  // Non-blocking open: a FIFO put where the file belongs must not hang the caller.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? Load::failed : Load::missing;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return Load::failed;
  mode = st.st_mode & 07777;
  char buf[1 << 14];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Load::failed;
    if (n == 0) return Load::ok;
    bytes.append(buf, std::size_t(n));
  }
}

bool replace(const std::string &path, std::string_view content, mode_t mode, bool keep_mode) {
  TempFile temp(path + "~");
  // A temporary file left by an interrupted write is stale: start from nothing.
  if (!step(WriteStep::remove_stale, [&] {
        return ::unlink(temp.c_str()) == 0 || errno == ENOENT;
      }))
    return false;
  UniqueFd fd;
  if (!step(WriteStep::open_temp, [&] {
        fd.reset(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                        keep_mode ? 0600 : mode));
        return fd.valid();
      }))
    return false;
  temp.arm();
  if (keep_mode && !step(WriteStep::mode, [&] { return ::fchmod(fd.get(), mode) == 0; }))
    return false;
  if (!write_all(fd.get(), content)) return false;
  if (!step(WriteStep::sync, [&] { return ::fsync(fd.get()) == 0; })) return false;
  // close() reports late write errors of some file systems: it counts as a step.
  if (!step(WriteStep::close, [&] { return ::close(fd.release()) == 0; })) return false;
  // rename() replaces the old file in one step; there is no moment without a file.
  if (!step(WriteStep::rename, [&] { return ::rename(temp.c_str(), path.c_str()) == 0; }))
    return false;
  temp.disarm();
  // The rename is durable only once the directory is synced. If that fails the new content
  // is in place but may not survive a power loss, which the caller is told.
  UniqueFd dir(::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return step(WriteStep::sync_dir, [&] { return dir.valid() && ::fsync(dir.get()) == 0; });
}

}  // namespace kivo8::prefs
