// Putting a new content in place of the preference file: the store's lock, the unique
// temporary file, and the steps of a write, each with a test hook that can fail it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/unique_fd.h"
#include "prefs/preference_internal.h"

namespace kivo8::prefs {

namespace {

WriteFault s_fault = nullptr;

constexpr char kTempMark = '~';
constexpr char kLockSuffix[] = ".lock";

// The calling thread's hold on the store's lock: the lock file's descriptor (the flock
// lives on its open file) and how many nested holds it carries. A thread that ends while
// holding closes the descriptor, which drops the lock.
struct Hold {
  UniqueFd fd;
  int depth = 0;
};
thread_local Hold t_hold;

// Distinguishes the temporary files of the threads of one process; the process id
// distinguishes processes.
std::atomic<unsigned> s_temp_serial{0};

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
  TempFile() = default;
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
  void set_path(std::string path) { path_ = std::move(path); }
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

std::string base_name(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Removes the temporary files that writers left when they died (killed, or the machine
// stopped) between creating and renaming them. Every writer creates its temporary file
// while it holds the lock, so for the holder every other one is stale.
bool remove_stale_temps(const std::string &path) {
  const std::string prefix = base_name(path) + kTempMark;
  const std::string dir = directory_of(path);
  std::unique_ptr<DIR, int (*)(DIR *)> d(::opendir(dir.c_str()), ::closedir);
  if (!d) return false;
  std::vector<std::string> stale;
  for (;;) {
    errno = 0;
    // readdir on a directory stream of our own is safe beside other threads.
    // cppcheck-suppress readdirCalled
    const dirent *entry = ::readdir(d.get());  // NOLINT(concurrency-mt-unsafe)
    if (entry == nullptr) {
      if (errno != 0) return false;
      break;
    }
    if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
      stale.emplace_back(entry->d_name);
  }
  const int dir_fd = ::dirfd(d.get());
  for (const auto &name : stale)
    if (::unlinkat(dir_fd, name.c_str(), 0) != 0 && errno != ENOENT) return false;
  return true;
}

}  // namespace

void set_write_fault(WriteFault fault) noexcept { s_fault = fault; }

bool lock() {
  if (t_hold.depth > 0) {
    ++t_hold.depth;
    return true;
  }
  const std::string path = file_path();
  if (path.empty()) return false;
  UniqueFd fd;
  if (!step(WriteStep::lock, [&] {
        fd.reset(::open((path + kLockSuffix).c_str(),
                        O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
        if (!fd) return false;
        int rc;
        do rc = ::flock(fd.get(), LOCK_EX);
        while (rc != 0 && errno == EINTR);
        return rc == 0;
      }))
    return false;
  t_hold.fd = std::move(fd);
  t_hold.depth = 1;
  return true;
}

bool unlock() noexcept {
  if (t_hold.depth == 0) return false;
  // Closing the only descriptor of the open file releases the lock.
  if (--t_hold.depth == 0) t_hold.fd.reset();
  return true;
}

bool update(const std::function<bool(Document &)> &edit) {
  const std::string path = file_path();
  if (path.empty() || !lock()) return false;
  struct Release {
    ~Release() { unlock(); }
  } release;
  std::string bytes;
  mode_t mode = 0600;
  const Load state = load(path, bytes, mode);
  if (state == Load::failed) return false;
  Document doc = Document::parse(bytes);
  if (!edit(doc)) return false;
  return replace(path, doc.text(), mode, state == Load::ok);
}

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
  if (!step(WriteStep::remove_stale, [&] { return remove_stale_temps(path); })) return false;
  TempFile temp;
  UniqueFd fd;
  if (!step(WriteStep::open_temp, [&] {
        // A name that no other writer, thread or process, can pick at the same time; one
        // taken all the same (left by a dead process of the same id) is skipped.
        for (int tries = 0; tries < 100; ++tries) {
          temp.set_path(path + kTempMark + std::to_string(::getpid()) + '.' +
                        std::to_string(s_temp_serial.fetch_add(1, std::memory_order_relaxed)));
          fd.reset(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                          keep_mode ? 0600 : mode));
          if (fd.valid() || errno != EEXIST) break;
        }
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
