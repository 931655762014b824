// platform_posix.cpp -- the POSIX implementation of the platform layer.
//
// Windows path rules on a POSIX file system: both separators are accepted.
// Enumeration returns "." and ".." first, then
// the folder's items sorted by their lower-cased names, so that runs are
// repeatable whatever order the file system keeps.
#include "platform/platform.h"
#include "platform/platform_common.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

// ---- fault hooks ---------------------------------------------------------------

using pf_common::fault_hit;

void pf_common::set_fault_error() { errno = EIO; }

// ---- paths ---------------------------------------------------------------------

namespace {

// Separators made native.  Names are opened as spelled: looking a missing
// spelling up without case would cost a scan of the folder per open, and
// that would make extraction into a large folder quadratic.
std::string resolve(const char* path) {
  std::string p(path ? path : "");
  for (char& c : p)
    if (c == '\\') c = '/';
  return p;
}

// Only regular files are opened.  The open itself never waits: a named pipe
// would block it until some other process opened the other end, and reading
// one (or a device) could wait for ever, so such names count as files that
// cannot be opened, like folders.
// `length`, when given, receives the file's length from the same look.
int open_checked(const char* path, int flags, mode_t mode, int64_t* length = nullptr) {
  std::string p = resolve(path);
  if (p.empty()) {
    errno = ENOENT;
    return -1;
  }
  int fd;
  do {
    fd = ::open(p.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    bool folder = S_ISDIR(st.st_mode);
    ::close(fd);
    errno = folder ? EISDIR : EINVAL;
    return -1;
  }
  // The status flags become those the caller asked for: the one that kept
  // the open from waiting goes (O_APPEND is the only other status flag an
  // open here could be given).
  if (fcntl(fd, F_SETFL, flags & O_APPEND) == -1) {
    ::close(fd);
    return -1;
  }
  if (length) *length = static_cast<int64_t>(st.st_size);
  return fd;
}

}  // namespace

std::string pf_native_path(const char* path) { return resolve(path); }

// ---- files ---------------------------------------------------------------------

int pf_open_read(const char* path) {
  if (fault_hit(PF_FAULT_OPEN)) return -1;
  return open_checked(path, O_RDONLY, 0);
}

int pf_open_read_length(const char* path, int64_t* length) {
  if (fault_hit(PF_FAULT_OPEN)) return -1;
  int64_t n = -1;
  int fd = open_checked(path, O_RDONLY, 0, &n);
  if (fd < 0) return -1;
  if (fault_hit(PF_FAULT_LENGTH)) {
    ::close(fd);
    errno = EIO;
    return -1;
  }
  *length = n;
  return fd;
}

int pf_open_rw(const char* path) {
  if (fault_hit(PF_FAULT_OPEN)) return -1;
  return open_checked(path, O_RDWR, 0);
}

int pf_open_create(const char* path) {
  if (fault_hit(PF_FAULT_OPEN_CREATE)) return -1;
  return open_checked(path, O_RDWR | O_CREAT | O_TRUNC, 0666);
}

int64_t pf_read(int fd, void* buf, size_t n) {
  if (fault_hit(PF_FAULT_READ)) return -1;
  if (fault_hit(PF_FAULT_SHORT_READ)) n /= 2;
  size_t done = 0;
  char* p = static_cast<char*>(buf);
  while (done < n) {
    ssize_t r = ::read(fd, p + done, n - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? static_cast<int64_t>(done) : -1;
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<int64_t>(done);
}

namespace {
// Writes all n bytes, going on after interrupted and partial writes: the
// count written (short only when the system takes no more), or -1.
int64_t write_all(int fd, const void* buf, size_t n) {
  size_t done = 0;
  const char* p = static_cast<const char*>(buf);
  while (done < n) {
    ssize_t w = ::write(fd, p + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (w == 0) break;
    done += static_cast<size_t>(w);
  }
  return static_cast<int64_t>(done);
}
}  // namespace

int64_t pf_write(int fd, const void* buf, size_t n) {
  if (fault_hit(PF_FAULT_WRITE)) return -1;
  if (fault_hit(PF_FAULT_SHORT_WRITE)) n /= 2;
  return write_all(fd, buf, n);
}

int64_t pf_seek(int fd, int64_t offset, int whence) {
  if (fault_hit(PF_FAULT_SEEK)) return -1;
  int w = whence == PF_SEEK_CUR ? SEEK_CUR : whence == PF_SEEK_END ? SEEK_END : SEEK_SET;
  off_t r = ::lseek(fd, static_cast<off_t>(offset), w);
  return r < 0 ? -1 : static_cast<int64_t>(r);
}

int64_t pf_file_length(int fd) {
  if (fault_hit(PF_FAULT_LENGTH)) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

int pf_sync(int fd) {
  if (fault_hit(PF_FAULT_SYNC)) return -1;
  int r;
  do {
    r = ::fsync(fd);
  } while (r != 0 && errno == EINTR);
  return r == 0 ? 0 : -1;
}

int pf_start_writeback(int fd) {
#ifdef __linux__
  return ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE) == 0 ? 0 : -1;
#else
  return fcntl(fd, F_GETFD) == -1 ? -1 : 0;
#endif
}

int pf_close(int fd) {
  if (fd < 0) return -1;
  return ::close(fd) == 0 ? 0 : -1;
}

namespace {

// Opens a regular file of that name for a flush, never through a link.
int open_for_flush(const std::string& p, struct stat* st) {
  int fd;
  do {
    fd = ::open(p.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

}  // namespace

int pf_sync_files(const std::vector<std::string>& paths) {
  if (fault_hit(PF_FAULT_SYNC_FILES)) return -1;
#ifdef __linux__
  // One syncfs per file system writes back every dirty page on it and
  // commits once; it reports a write-back error of the file system since
  // that no one has seen, so an error in any of the files fails it.
  std::vector<dev_t> flushed;
  for (const std::string& path : paths) {
    const std::string p = resolve(path.c_str());
    struct stat st;
    if (p.empty() || lstat(p.c_str(), &st) != 0) return -1;
    if (!S_ISREG(st.st_mode)) {
      errno = EINVAL;
      return -1;
    }
    if (std::find(flushed.begin(), flushed.end(), st.st_dev) != flushed.end()) continue;
    const int fd = open_for_flush(p, &st);
    if (fd < 0) return -1;
    int r;
    do {
      r = ::syncfs(fd);
    } while (r != 0 && errno == EINTR);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    if (r != 0) return -1;
    flushed.push_back(st.st_dev);
  }
  return 0;
#else
  for (const std::string& path : paths) {
    const std::string p = resolve(path.c_str());
    struct stat st;
    const int fd = p.empty() ? -1 : open_for_flush(p, &st);
    if (fd < 0) return -1;
    int r;
    do {
      r = ::fsync(fd);
    } while (r != 0 && errno == EINTR);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    if (r != 0) return -1;
  }
  return 0;
#endif
}

int pf_remove(const char* path) {
  if (fault_hit(PF_FAULT_REMOVE)) return -1;
  std::string p = resolve(path);
  if (p.empty()) return -1;
  struct stat st;
  if (lstat(p.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  return ::unlink(p.c_str()) == 0 ? 0 : -1;
}

namespace {

int create_exclusive(const char* path, mode_t mode) {
  std::string p = resolve(path);
  if (p.empty()) return -1;
  int fd;
  do {
    fd = ::open(p.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno == EEXIST ? -2 : -1;
  return fd;
}

}  // namespace

int pf_create_exclusive(const char* path) {
  if (fault_hit(PF_FAULT_OPEN_CREATE)) return -1;
  return create_exclusive(path, 0600);
}

int pf_create_exclusive_default(const char* path) {
  if (fault_hit(PF_FAULT_OPEN_CREATE)) return -1;
  // The system takes the creation mask off.
  return create_exclusive(path, 0666);
}

int pf_rename(const char* from, const char* to) {
  if (fault_hit(PF_FAULT_RENAME)) return -1;
  std::string f = resolve(from);
  std::string t = resolve(to);
  if (f.empty() || t.empty()) return -1;
  return ::rename(f.c_str(), t.c_str()) == 0 ? 0 : -1;
}

int pf_rename_new(const char* from, const char* to) {
  if (fault_hit(PF_FAULT_RENAME)) return -1;
  std::string f = resolve(from);
  std::string t = resolve(to);
  if (f.empty() || t.empty()) return -1;
#ifdef RENAME_NOREPLACE
  if (::renameat2(AT_FDCWD, f.c_str(), AT_FDCWD, t.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
#endif
  // Where the file system cannot rename without replacing: a hard link never
  // replaces an existing name; the old name then goes.
  if (::link(f.c_str(), t.c_str()) != 0) return -1;
  ::unlink(f.c_str());
  return 0;
}

namespace {

// The file-creation mask, read by setting and restoring it: two system calls,
// where reading /proc costs an open and a parse per file (thousands of files
// in one extraction).  Only the main thread creates files (the compression
// workers never do), so no file is created while the mask is briefly 022;
// the lock keeps two readers from restoring each other's value.
mode_t creation_mask() {
  static std::mutex guard;
  std::lock_guard<std::mutex> hold(guard);
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

}  // namespace

int pf_take_attributes(int fd, const char* like) {
  if (fault_hit(PF_FAULT_ATTRIBUTES)) return -1;
  std::string p = resolve(like);
  struct stat old;
  if (p.empty() || lstat(p.c_str(), &old) != 0 || !S_ISREG(old.st_mode))
    return ::fchmod(fd, 0666 & ~creation_mask()) == 0 ? 0 : -1;
  // Owner first: a change of owner clears the special bits anyway.  A
  // process that may not give the file away keeps it as its own.
  if (::fchown(fd, old.st_uid, old.st_gid) != 0) ::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
  struct stat now;
  if (fstat(fd, &now) != 0) return -1;
  mode_t mode = old.st_mode & 07777;
  if (now.st_uid != old.st_uid || now.st_gid != old.st_gid) mode &= 0777;
  return ::fchmod(fd, mode) == 0 ? 0 : -1;
}

int pf_resolve_links(const char* path, std::string* out) {
  std::string p = resolve(path);
  for (int hops = 0; hops <= 40; ++hops) {
    struct stat st;
    if (p.empty() || lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *out = p;
      return 0;
    }
    std::vector<char> buf(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 2);
    ssize_t n = ::readlink(p.c_str(), buf.data(), buf.size() - 1);
    if (n < 0 || static_cast<size_t>(n) >= buf.size() - 1) return -1;
    std::string target(buf.data(), static_cast<size_t>(n));
    if (target.empty()) return -1;
    size_t cut = p.find_last_of('/');
    if (target[0] != '/' && cut != std::string::npos) target = p.substr(0, cut + 1) + target;
    p = target;
  }
  return -1;
}

int pf_open_folder(const char* path) {
  if (fault_hit(PF_FAULT_OPEN)) return -1;
  std::string p = resolve(path);
  if (p.empty()) p = ".";
  int fd;
  do {
    fd = ::open(p.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int pf_lock(int fd, int wait_ms) {
  if (fault_hit(PF_FAULT_LOCK)) return -1;
  if (fd < 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  int pause_ms = 2;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno != EWOULDBLOCK && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    if (pause_ms < 50) pause_ms *= 2;
  }
}

int pf_remove_native(const char* native_path) {
  return native_path && *native_path && ::unlink(native_path) == 0 ? 0 : -1;
}

int pf_remove_empty_folder(const char* path) {
  if (fault_hit(PF_FAULT_REMOVE_FOLDER)) return -1;
  std::string p = resolve(path);
  // rmdir removes only an empty folder and never follows a link of that
  // name (it fails with ENOTDIR).
  return !p.empty() && ::rmdir(p.c_str()) == 0 ? 0 : -1;
}

int pf_remove_empty_folder_native(const char* native_path) {
  return native_path && *native_path && ::rmdir(native_path) == 0 ? 0 : -1;
}

namespace {

// Opens the folder holding `path` for a flush.
int open_parent_folder(const char* path) {
  std::string p = resolve(path);
  size_t cut = p.find_last_of('/');
  std::string dir = cut == std::string::npos ? "." : (cut == 0 ? "/" : p.substr(0, cut));
  int fd;
  do {
    fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Flushes an open folder.  File systems that cannot flush a folder say so;
// the rename is then as durable as they make it, which is not a failure.
int flush_folder(int fd) {
  int r;
  do {
    r = ::fsync(fd);
  } while (r != 0 && errno == EINTR);
  return r == 0 || errno == EINVAL || errno == ENOTSUP || errno == EROFS ? 0 : -1;
}

}  // namespace

int pf_sync_parent_dir(const char* path) {
  if (fault_hit(PF_FAULT_FOLDER_SYNC)) return -1;
  int fd = open_parent_folder(path);
  if (fd < 0) return -1;
  const int r = flush_folder(fd);
  ::close(fd);
  return r;
}

int pf_sync_folders(const std::vector<std::string>& paths) {
  if (fault_hit(PF_FAULT_FOLDER_SYNC)) return -1;
  int rc = 0;
  std::vector<dev_t> flushed;
  for (const std::string& path : paths) {
    int fd = open_parent_folder(path.c_str());
    if (fd < 0) {
      rc = -1;
      continue;
    }
#ifdef __linux__
    // One syncfs per file system commits every entry renamed or made there.
    struct stat st;
    if (fstat(fd, &st) != 0) {
      ::close(fd);
      rc = -1;
      continue;
    }
    if (std::find(flushed.begin(), flushed.end(), st.st_dev) == flushed.end()) {
      int r;
      do {
        r = ::syncfs(fd);
      } while (r != 0 && errno == EINTR);
      if (r != 0) rc = -1;
      flushed.push_back(st.st_dev);
    }
#else
    if (flush_folder(fd) != 0) rc = -1;
#endif
    ::close(fd);
  }
  return rc;
}

int pf_exists(const char* path) {
  std::string p = resolve(path);
  struct stat st;
  return !p.empty() && stat(p.c_str(), &st) == 0 ? 1 : 0;
}

int pf_is_directory(const char* path) {
  std::string p = resolve(path);
  struct stat st;
  return !p.empty() && stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

int pf_path_kind(const char* path) {
  std::string p = resolve(path);
  if (p.empty()) return -1;
  struct stat st;
  if (lstat(p.c_str(), &st) != 0) return errno == ENOENT || errno == ENOTDIR ? PF_PATH_MISSING : -1;
  if (S_ISLNK(st.st_mode)) return PF_PATH_LINK;
  if (S_ISDIR(st.st_mode)) return PF_PATH_FOLDER;
  if (S_ISREG(st.st_mode)) return PF_PATH_REGULAR;
  return PF_PATH_OTHER;
}

int pf_make_folder(const char* path) {
  if (fault_hit(PF_FAULT_MAKE_FOLDER)) return -1;
  std::string p = resolve(path);
  if (p.empty()) return -1;
  return ::mkdir(p.c_str(), 0777) == 0 ? 0 : -1;
}

int pf_same_file(const char* a, const char* b) {
  std::string pa = resolve(a), pb = resolve(b);
  struct stat sa, sb;
  if (pa.empty() || pb.empty() || stat(pa.c_str(), &sa) != 0 || stat(pb.c_str(), &sb) != 0) return 0;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino ? 1 : 0;
}

int pf_same_file_fd(int fd, const char* path) {
  std::string p = resolve(path);
  struct stat sa, sb;
  if (fd < 0 || p.empty() || fstat(fd, &sa) != 0 || stat(p.c_str(), &sb) != 0) return 0;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino ? 1 : 0;
}

int pf_file_id(const char* path, PfFileId* out) {
  std::string p = resolve(path);
  struct stat st;
  if (p.empty() || stat(p.c_str(), &st) != 0) return -1;
  out->volume = static_cast<uint64_t>(st.st_dev);
  out->index = static_cast<uint64_t>(st.st_ino);
  return 0;
}

// ---- directory enumeration -------------------------------------------------------

PfFind* pf_find_first(const char* pattern, PfFindData* out) {
  if (!pattern || !*pattern) return nullptr;
  if (fault_hit(PF_FAULT_ENUMERATE)) return nullptr;
  std::string dir_part, last;
  if (!pf_common::split_pattern(pattern, &dir_part, &last)) return nullptr;
  std::string dir = dir_part.empty() ? std::string(".") : resolve(dir_part.c_str());
  if (dir.empty()) dir = "/";

  DIR* d = opendir(dir.c_str());
  if (!d) return nullptr;
  pf_common::Found found;
  while (struct dirent* e = readdir(d)) {
    const char* name = e->d_name;
    if (!pf_common::name_matches(last, name)) continue;
    PfFindData item;
    item.long_name = name;
    bool dot_entry = !std::strcmp(name, ".") || !std::strcmp(name, "..");
    // Looked at relative to the open folder: the system resolves one name,
    // not the whole path again for every item.  "." and ".." are folders
    // and need no look.
    struct stat st;
    if (dot_entry) {
      item.attributes |= PF_ATTR_DIRECTORY;
    } else if (fstatat(dirfd(d), name, &st, 0) != 0) {
      item.attributes |= PF_ATTR_SPECIAL;  // a dangling link, or gone already
    } else if (S_ISDIR(st.st_mode)) {
      item.attributes |= PF_ATTR_DIRECTORY;
      item.has_id = 1;
      item.id.volume = static_cast<uint64_t>(st.st_dev);
      item.id.index = static_cast<uint64_t>(st.st_ino);
    } else if (!S_ISREG(st.st_mode)) {
      item.attributes |= PF_ATTR_SPECIAL;
    } else {
      item.length = static_cast<int64_t>(st.st_size);
      item.has_id = 1;
      item.id.volume = static_cast<uint64_t>(st.st_dev);
      item.id.index = static_cast<uint64_t>(st.st_ino);
    }
    if (name[0] == '.' && !dot_entry) item.attributes |= PF_ATTR_HIDDEN;
    pf_common::add_found(&found, std::move(item));
  }
  closedir(d);
  return pf_common::finish_find(&found, out);
}

// ---- interruptions ------------------------------------------------------------

namespace {

// Written before the handlers are installed and only read by them; a plain
// pointer and int are read whole.
void (*volatile g_interrupt_cleanup)() = nullptr;
volatile sig_atomic_t g_interrupt_code = 0;

void act_on_interrupt() {
  void (*cleanup)() = g_interrupt_cleanup;
  if (cleanup) cleanup();
  _exit(g_interrupt_code);
}

extern "C" void on_interrupt_signal(int) {
  // Every interrupting signal is blocked while this runs (sa_mask), so the
  // cleanup runs once; the process then ends without running anything else.
  if (pf_common::interrupt_held()) return;
  act_on_interrupt();
}

}  // namespace

void pf_common::act_on_held_interrupt() {
  // The signals are blocked first, as in the handler: a second request
  // then waits while the cleanup runs.
  sigset_t all, old;
  sigemptyset(&all);
  sigaddset(&all, SIGTERM);
  sigaddset(&all, SIGHUP);
  sigaddset(&all, SIGINT);
  sigaddset(&all, SIGQUIT);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  act_on_interrupt();
}

int pf_on_interrupt(void (*cleanup)(), int exit_code) {
  g_interrupt_cleanup = cleanup;
  g_interrupt_code = exit_code & 0xFF;
  static const int kSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};
  struct sigaction sa {};
  sa.sa_handler = on_interrupt_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : kSignals) sigaddset(&sa.sa_mask, sig);
  int r = 0;
  for (int sig : kSignals)
    if (sigaction(sig, &sa, nullptr) != 0) r = -1;
  // Past the file-size limit, write() then fails with EFBIG instead of the
  // process being ended with a partial file on disk.
  struct sigaction ign {};
  ign.sa_handler = SIG_IGN;
  sigemptyset(&ign.sa_mask);
  if (sigaction(SIGXFSZ, &ign, nullptr) != 0) r = -1;
  return r;
}

// ---- console ---------------------------------------------------------------------

int pf_read_stdin_char() {
  unsigned char c;
  for (;;) {
    ssize_t r = ::read(0, &c, 1);
    if (r == 1) return c;
    if (r < 0 && errno == EINTR) continue;
    return -1;
  }
}

int64_t pf_write_stdout(const void* buf, size_t n) { return write_all(1, buf, n); }

int64_t pf_write_stderr(const void* buf, size_t n) { return write_all(2, buf, n); }

int pf_stdin_is_terminal() { return ::isatty(0) == 1 ? 1 : 0; }

int pf_stderr_is_terminal() { return ::isatty(2) == 1 ? 1 : 0; }

// ---- errors ----------------------------------------------------------------------

std::string pf_last_error_text() {
  const int e = errno;
  if (e == 0) return std::string();
  char buf[256];
  buf[0] = '\0';
  // The GNU and the POSIX strerror_r differ in their result: the overloads
  // below take whichever the C library declares.
  struct Pick {
    static const char* text(int r, const char* b) { return r == 0 ? b : ""; }
    static const char* text(const char* r, const char*) { return r ? r : ""; }
  };
  return std::string(Pick::text(strerror_r(e, buf, sizeof buf), buf));
}
