// platform_win32.cpp -- the Win32 implementation of the platform layer.
//
// Descriptors are slots of a table of file handles (numbered from 3, like the
// first free descriptors of a POSIX process).  Every file is opened in binary
// mode with all sharing allowed, so that another handle on the same file
// never stands in the way of a read, a rename or a removal.  Names are used
// in the ANSI code page (the "A" calls), as the command line delivers them.
//
// Enumeration lists the folder with FindFirstFileA/FindNextFileA and keeps the
// items whose long name matches the pattern, by the matcher and in the order
// both implementations share (platform_common.cpp): Windows' own matching
// also tries the short 8.3 names ("*.txt" would then find "notes.txt1"
// through "NOTES~1.TXT"), and the order a folder lists its items in differs
// between file systems.
#include "platform/platform.h"
#include "platform/platform_common.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

// Command-line arguments reach the program as typed: the archiver matches
// wildcards itself, against the folder or against the stored names.
extern "C" {
int _dowildcard = 0;
}

// ---- fault hooks ---------------------------------------------------------------

using pf_common::fault_hit;

void pf_common::set_fault_error() { SetLastError(ERROR_WRITE_FAULT); }

// ---- descriptors ---------------------------------------------------------------

namespace {

const int kFirstDescriptor = 3;

std::mutex g_table_lock;
std::vector<HANDLE> g_handles;  // slot fd - kFirstDescriptor; INVALID_HANDLE_VALUE when free

// Files the handle; returns its descriptor, or -1 (the handle closed) when
// no slot can be had.
int handle_to_fd(HANDLE h) {
  std::lock_guard<std::mutex> guard(g_table_lock);
  try {
    for (size_t i = 0; i < g_handles.size(); ++i) {
      if (g_handles[i] == INVALID_HANDLE_VALUE) {
        g_handles[i] = h;
        return static_cast<int>(i) + kFirstDescriptor;
      }
    }
    g_handles.push_back(h);
  } catch (...) {
    CloseHandle(h);
    return -1;
  }
  return static_cast<int>(g_handles.size() - 1) + kFirstDescriptor;
}

HANDLE fd_handle(int fd) {
  std::lock_guard<std::mutex> guard(g_table_lock);
  if (fd < kFirstDescriptor) return INVALID_HANDLE_VALUE;
  size_t i = static_cast<size_t>(fd - kFirstDescriptor);
  return i < g_handles.size() ? g_handles[i] : INVALID_HANDLE_VALUE;
}

// Locks (see pf_lock) are named mutexes; a locked descriptor keeps only the
// identity of what it locked and the mutex, which goes with the descriptor.
struct LockRecord {
  int fd;
  HANDLE mutex;
  std::string name;
  BY_HANDLE_FILE_INFORMATION identity;
};
std::vector<LockRecord> g_locks;

// Whether this process holds the lock of that name already (through
// another descriptor): a mutex would let its owner in again.
bool lock_held_here(const std::string& name) {
  std::lock_guard<std::mutex> guard(g_table_lock);
  for (const LockRecord& r : g_locks)
    if (r.name == name) return true;
  return false;
}

// The identity a locked descriptor stands for; false when it is no lock.
bool lock_identity(int fd, BY_HANDLE_FILE_INFORMATION* out) {
  std::lock_guard<std::mutex> guard(g_table_lock);
  for (const LockRecord& r : g_locks) {
    if (r.fd == fd) {
      *out = r.identity;
      return true;
    }
  }
  return false;
}

// Ends the lock of a descriptor being closed; true when it was one (its
// slot then holds the mutex, closed here).
bool release_lock_of(int fd) {
  HANDLE mutex = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_table_lock);
    for (size_t i = 0; i < g_locks.size(); ++i) {
      if (g_locks[i].fd == fd) {
        mutex = g_locks[i].mutex;
        g_locks.erase(g_locks.begin() + static_cast<std::ptrdiff_t>(i));
        break;
      }
    }
  }
  if (!mutex) return false;
  ReleaseMutex(mutex);
  return true;
}

// Empties the slot; returns the handle it held.
HANDLE release_fd(int fd) {
  std::lock_guard<std::mutex> guard(g_table_lock);
  if (fd < kFirstDescriptor) return INVALID_HANDLE_VALUE;
  size_t i = static_cast<size_t>(fd - kFirstDescriptor);
  if (i >= g_handles.size()) return INVALID_HANDLE_VALUE;
  HANDLE h = g_handles[i];
  g_handles[i] = INVALID_HANDLE_VALUE;
  return h;
}

// ---- paths ---------------------------------------------------------------------

std::string resolve(const char* path) {
  std::string p(path ? path : "");
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
}

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Paths of MAX_PATH characters or more are out of reach of the ANSI calls;
// they go to the wide ones as "\\?\" and the full path (converted from the
// ANSI code page, as the ANSI calls would).  The margin leaves room for an
// 8.3 name, the limit Windows puts on a folder's own path.
bool is_long(const std::string& p) { return p.size() >= MAX_PATH - 12; }

std::wstring long_wide(const std::string& p) {
  int n = MultiByteToWideChar(CP_ACP, 0, p.c_str(), -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, p.c_str(), -1, &w[0], n);
  w.resize(static_cast<size_t>(n - 1));
  if (w.compare(0, 4, L"\\\\?\\") == 0) return w;
  DWORD len = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (len == 0) return std::wstring();
  std::wstring full(len, L'\0');
  len = GetFullPathNameW(w.c_str(), len, &full[0], nullptr);
  if (len == 0 || len >= full.size()) return std::wstring();
  full.resize(len);
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

DWORD get_attributes(const std::string& p) {
  return is_long(p) ? GetFileAttributesW(long_wide(p).c_str()) : GetFileAttributesA(p.c_str());
}

HANDLE create_file(const std::string& p, DWORD access, DWORD disposition, DWORD flags) {
  if (is_long(p))
    return CreateFileW(long_wide(p).c_str(), access, kShareAll, nullptr, disposition, flags, nullptr);
  return CreateFileA(p.c_str(), access, kShareAll, nullptr, disposition, flags, nullptr);
}

BOOL delete_file(const std::string& p) {
  return is_long(p) ? DeleteFileW(long_wide(p).c_str()) : DeleteFileA(p.c_str());
}

BOOL move_file(const std::string& from, const std::string& to, DWORD flags) {
  if (is_long(from) || is_long(to)) return MoveFileExW(long_wide(from).c_str(), long_wide(to).c_str(), flags);
  return MoveFileExA(from.c_str(), to.c_str(), flags);
}

// Attributes of what a path leads to, links followed; INVALID_FILE_ATTRIBUTES
// when nothing is there.
DWORD attributes_of_followed(const std::string& p) {
  HANDLE h = create_file(p, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (h == INVALID_HANDLE_VALUE) return INVALID_FILE_ATTRIBUTES;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  return ok ? info.dwFileAttributes : INVALID_FILE_ATTRIBUTES;
}

// Attributes of a path; INVALID_FILE_ATTRIBUTES when it does not exist.
DWORD attributes_of(const std::string& p) {
  if (p.empty()) return INVALID_FILE_ATTRIBUTES;
  return get_attributes(p);
}

// Only regular files on disk are opened: a folder, a pipe, the console or
// another device (NUL, COM1, ...) counts as a file that cannot be opened.
// `truncate` empties the file once it is known to be a regular one.
int open_checked(const char* path, DWORD access, DWORD disposition, bool truncate) {
  std::string p = resolve(path);
  if (p.empty()) return -1;
  HANDLE h = create_file(p, access, disposition, FILE_ATTRIBUTE_NORMAL);
  if (h == INVALID_HANDLE_VALUE) return -1;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    const bool folder = GetFileType(h) == FILE_TYPE_DISK;
    CloseHandle(h);
    // As the system says it of a folder; a device or pipe is no valid file.
    SetLastError(folder ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (truncate) {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    if (!SetFilePointerEx(h, zero, nullptr, FILE_BEGIN) || !SetEndOfFile(h)) {
      CloseHandle(h);
      return -1;
    }
  }
  return handle_to_fd(h);
}

// The identity of an existing file or folder: volume and file index.
bool identity_of_handle(HANDLE h, BY_HANDLE_FILE_INFORMATION* info) {
  return h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, info) != 0;
}

bool identity_of_path(const std::string& p, BY_HANDLE_FILE_INFORMATION* info) {
  if (p.empty()) return false;
  // Backup semantics let folders be opened too; no access right is needed
  // to read the identity.
  HANDLE h = create_file(p, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = identity_of_handle(h, info);
  CloseHandle(h);
  return ok;
}

bool same_identity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// How long a rename waits for a target open elsewhere, in steps.
const DWORD kBusyRetryMs = 2000;
const DWORD kBusyPauseMs = 20;

// A reparse point that stands for another place (symbolic link, junction,
// mount point, ...), as opposed to one that only stores the file elsewhere.
bool reparse_is_link(const std::string& p) {
  WIN32_FIND_DATAA fd;
  HANDLE f = FindFirstFileA(p.c_str(), &fd);
  if (f == INVALID_HANDLE_VALUE) return true;  // cannot tell: never follow it
  FindClose(f);
  return !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || IsReparseTagNameSurrogate(fd.dwReserved0);
}

// ReadFile and WriteFile take at most a DWORD at a time.
DWORD chunk(size_t n) { return n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n); }

}  // namespace

std::string pf_native_path(const char* path) { return resolve(path); }

// ---- files ---------------------------------------------------------------------

int pf_open_read(const char* path) {
  if (fault_hit(PF_FAULT_OPEN)) return -1;
  return open_checked(path, GENERIC_READ, OPEN_EXISTING, false);
}

int pf_open_read_length(const char* path, int64_t* length) {
  if (fault_hit(PF_FAULT_OPEN)) return -1;
  int fd = open_checked(path, GENERIC_READ, OPEN_EXISTING, false);
  if (fd < 0) return -1;
  LARGE_INTEGER size;
  if (fault_hit(PF_FAULT_LENGTH) || !GetFileSizeEx(fd_handle(fd), &size)) {
    const DWORD e = GetLastError();
    pf_close(fd);
    SetLastError(e);
    return -1;
  }
  *length = static_cast<int64_t>(size.QuadPart);
  return fd;
}

int pf_open_rw(const char* path) {
  if (fault_hit(PF_FAULT_OPEN)) return -1;
  return open_checked(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, false);
}

int pf_open_create(const char* path) {
  if (fault_hit(PF_FAULT_OPEN_CREATE)) return -1;
  // OPEN_ALWAYS, then truncation: an existing hidden or system file keeps
  // its attributes, where CREATE_ALWAYS would refuse it.
  return open_checked(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, true);
}

int64_t pf_read(int fd, void* buf, size_t n) {
  if (fault_hit(PF_FAULT_READ)) return -1;
  if (fault_hit(PF_FAULT_SHORT_READ)) n /= 2;
  HANDLE h = fd_handle(fd);
  if (h == INVALID_HANDLE_VALUE) return -1;
  size_t done = 0;
  char* p = static_cast<char*>(buf);
  while (done < n) {
    DWORD got = 0;
    if (!ReadFile(h, p + done, chunk(n - done), &got, nullptr)) {
      if (GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_HANDLE_EOF) break;
      return done > 0 ? static_cast<int64_t>(done) : -1;
    }
    if (got == 0) break;
    done += got;
  }
  return static_cast<int64_t>(done);
}

int64_t pf_write(int fd, const void* buf, size_t n) {
  if (fault_hit(PF_FAULT_WRITE)) return -1;
  if (fault_hit(PF_FAULT_SHORT_WRITE)) n /= 2;
  HANDLE h = fd_handle(fd);
  if (h == INVALID_HANDLE_VALUE) return -1;
  size_t done = 0;
  const char* p = static_cast<const char*>(buf);
  while (done < n) {
    DWORD put = 0;
    if (!WriteFile(h, p + done, chunk(n - done), &put, nullptr)) return -1;
    if (put == 0) break;
    done += put;
  }
  return static_cast<int64_t>(done);
}

int64_t pf_seek(int fd, int64_t offset, int whence) {
  if (fault_hit(PF_FAULT_SEEK)) return -1;
  HANDLE h = fd_handle(fd);
  if (h == INVALID_HANDLE_VALUE) return -1;
  DWORD method = whence == PF_SEEK_CUR ? FILE_CURRENT : whence == PF_SEEK_END ? FILE_END : FILE_BEGIN;
  LARGE_INTEGER to, now;
  to.QuadPart = offset;
  // A resulting negative position is refused by the call itself.
  if (!SetFilePointerEx(h, to, &now, method) || now.QuadPart < 0) return -1;
  return static_cast<int64_t>(now.QuadPart);
}

int64_t pf_file_length(int fd) {
  if (fault_hit(PF_FAULT_LENGTH)) return -1;
  HANDLE h = fd_handle(fd);
  LARGE_INTEGER size;
  if (h == INVALID_HANDLE_VALUE || !GetFileSizeEx(h, &size)) return -1;
  return static_cast<int64_t>(size.QuadPart);
}

int pf_sync(int fd) {
  if (fault_hit(PF_FAULT_SYNC)) return -1;
  HANDLE h = fd_handle(fd);
  if (h == INVALID_HANDLE_VALUE) return -1;
  return FlushFileBuffers(h) ? 0 : -1;
}

int pf_start_writeback(int fd) {
  // The system writes cached data out by itself; there is nothing to ask.
  return fd_handle(fd) == INVALID_HANDLE_VALUE ? -1 : 0;
}

int pf_sync_files(const std::vector<std::string>& paths) {
  if (fault_hit(PF_FAULT_SYNC_FILES)) return -1;
  // A folder has no flush of its own here: each file is flushed, through a
  // handle of its own that never follows a reparse point.
  for (const std::string& path : paths) {
    const std::string p = resolve(path.c_str());
    if (p.empty()) return -1;
    HANDLE h = create_file(p, GENERIC_WRITE, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
    if (h == INVALID_HANDLE_VALUE) return -1;
    BY_HANDLE_FILE_INFORMATION info;
    const bool regular = GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
                         !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    const bool ok = regular && FlushFileBuffers(h);
    CloseHandle(h);
    if (!ok) return -1;
  }
  return 0;
}

int pf_close(int fd) {
  if (fd < 0) return -1;
  release_lock_of(fd);
  HANDLE h = release_fd(fd);
  if (h == INVALID_HANDLE_VALUE) return -1;
  return CloseHandle(h) ? 0 : -1;
}

int pf_remove(const char* path) {
  if (fault_hit(PF_FAULT_REMOVE)) return -1;
  std::string p = resolve(path);
  DWORD a = attributes_of(p);
  if (a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_DIRECTORY)) return -1;
  return delete_file(p) ? 0 : -1;
}

int pf_rename(const char* from, const char* to) {
  if (fault_hit(PF_FAULT_RENAME)) return -1;
  std::string f = resolve(from);
  std::string t = resolve(to);
  if (f.empty() || t.empty()) return -1;
  // One step, and on disk when the call returns.  A file open elsewhere
  // cannot be replaced: another run reading it, or a scanner that looks at
  // every new file, usually lets go within moments, so the move is tried
  // again for a while before it counts as refused.
  for (DWORD waited = 0;; ) {
    if (move_file(f, t, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
    const DWORD e = GetLastError();
    if ((e != ERROR_ACCESS_DENIED && e != ERROR_SHARING_VIOLATION) || waited >= kBusyRetryMs) return -1;
    Sleep(kBusyPauseMs);
    waited += kBusyPauseMs;
  }
}

int pf_create_exclusive(const char* path) {
  if (fault_hit(PF_FAULT_OPEN_CREATE)) return -1;
  std::string p = resolve(path);
  if (p.empty()) return -1;
  // CREATE_NEW never opens anything that has the name already, and a
  // reparse point of that name is not followed.
  HANDLE h = create_file(p, GENERIC_READ | GENERIC_WRITE, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    if (e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS) return -2;
    // A folder of that name answers "access denied".
    if (attributes_of(p) != INVALID_FILE_ATTRIBUTES) return -2;
    return -1;
  }
  if (GetFileType(h) != FILE_TYPE_DISK) {  // a device name: CON, NUL, ...
    CloseHandle(h);
    SetLastError(ERROR_FILE_EXISTS);
    return -2;
  }
  return handle_to_fd(h);
}

int pf_create_exclusive_default(const char* path) {
  // A new file keeps the attributes and access rights it is created with
  // (its folder's), as pf_take_attributes leaves them.
  return pf_create_exclusive(path);
}

int pf_rename_new(const char* from, const char* to) {
  if (fault_hit(PF_FAULT_RENAME)) return -1;
  std::string f = resolve(from);
  std::string t = resolve(to);
  if (f.empty() || t.empty()) return -1;
  // Without MOVEFILE_REPLACE_EXISTING the move never replaces anything.
  return move_file(f, t, MOVEFILE_WRITE_THROUGH) ? 0 : -1;
}

int pf_take_attributes(int fd, const char* like) {
  if (fault_hit(PF_FAULT_ATTRIBUTES)) return -1;
  HANDLE h = fd_handle(fd);
  if (h == INVALID_HANDLE_VALUE) return -1;
  std::string p = resolve(like);
  DWORD a = attributes_of(p);
  // A new file, or one that replaces anything but a regular file, keeps the
  // attributes and access rights it was created with (its folder's).
  if (a == INVALID_FILE_ATTRIBUTES || (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
    return 0;
  FILE_BASIC_INFO info;
  if (!GetFileInformationByHandleEx(h, FileBasicInfo, &info, sizeof info)) return -1;
  const DWORD kept = a & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                          FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
  info.FileAttributes = kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(h, FileBasicInfo, &info, sizeof info) ? 0 : -1;
}

int pf_resolve_links(const char* path, std::string* out) {
  std::string p = resolve(path);
  DWORD a = attributes_of(p);
  if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_REPARSE_POINT)) {
    *out = p;
    return 0;
  }
  // The system follows the whole chain (at most 63 links); a link whose
  // target is missing cannot be opened and is not resolved.
  HANDLE h = create_file(p, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (h == INVALID_HANDLE_VALUE) return -1;
  char buf[MAX_PATH * 4];
  DWORD n = GetFinalPathNameByHandleA(h, buf, sizeof buf, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  CloseHandle(h);
  if (n == 0 || n >= sizeof buf) return -1;
  std::string final_path(buf, n);
  if (final_path.compare(0, 8, "\\\\?\\UNC\\") == 0) {
    final_path = "\\\\" + final_path.substr(8);
  } else if (final_path.compare(0, 4, "\\\\?\\") == 0 && !is_long(final_path.substr(4))) {
    final_path = final_path.substr(4);
  }
  *out = final_path;
  return 0;
}

int pf_open_folder(const char* path) {
  if (fault_hit(PF_FAULT_OPEN)) return -1;
  std::string p = resolve(path);
  if (p.empty()) p = ".";
  HANDLE h = create_file(p, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (h == INVALID_HANDLE_VALUE) return -1;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(h);
    return -1;
  }
  return handle_to_fd(h);
}

int pf_lock(int fd, int wait_ms) {
  if (fault_hit(PF_FAULT_LOCK)) return -1;
  HANDLE h = fd_handle(fd);
  BY_HANDLE_FILE_INFORMATION identity;
  if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &identity)) return -1;
  {
    std::lock_guard<std::mutex> guard(g_table_lock);
    for (const LockRecord& r : g_locks)
      if (r.fd == fd) return 0;  // locked already
  }
  // Not a byte-range lock: that needs the file open, and an open file cannot
  // be replaced by a rename on Windows (before its POSIX renames, which Wine
  // lacks) -- the lock must outlast the replacement of the very file it
  // guards.  So a mutex named after the file's identity stands for it; the
  // system lets go of it when the process ends, however it ends.
  char id[64];
  std::snprintf(id, sizeof id, "%08lx-%08lx%08lx", static_cast<unsigned long>(identity.dwVolumeSerialNumber),
                static_cast<unsigned long>(identity.nFileIndexHigh),
                static_cast<unsigned long>(identity.nFileIndexLow));
  const std::string name = std::string("vorn-lock-") + id;
  HANDLE mutex = CreateMutexA(nullptr, FALSE, ("Global\\" + name).c_str());
  if (!mutex) mutex = CreateMutexA(nullptr, FALSE, ("Local\\" + name).c_str());
  if (!mutex) return -1;
  // From here the descriptor holds the mutex instead of the file: a waiter
  // keeping the file open would stop the holder from replacing it.
  {
    std::lock_guard<std::mutex> guard(g_table_lock);
    g_handles[static_cast<size_t>(fd - kFirstDescriptor)] = mutex;
  }
  CloseHandle(h);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  DWORD pause_ms = 2;
  for (;;) {
    if (!lock_held_here(name)) {
      const DWORD w = WaitForSingleObject(mutex, 0);
      if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED) break;
      if (w != WAIT_TIMEOUT) return -1;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    Sleep(pause_ms);
    if (pause_ms < 50) pause_ms *= 2;
  }
  std::lock_guard<std::mutex> guard(g_table_lock);
  try {
    g_locks.push_back(LockRecord{fd, mutex, name, identity});
  } catch (...) {
    ReleaseMutex(mutex);
    return -1;
  }
  return 0;
}

int pf_remove_native(const char* native_path) {
  return native_path && *native_path && DeleteFileA(native_path) ? 0 : -1;
}

int pf_path_kind(const char* path) {
  std::string p = resolve(path);
  if (p.empty()) return -1;
  DWORD a = attributes_of(p);
  if (a == INVALID_FILE_ATTRIBUTES) {
    const DWORD e = GetLastError();
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_INVALID_NAME ? PF_PATH_MISSING : -1;
  }
  // Symbolic links, junctions and every other reparse point that names
  // another place are links.
  if ((a & FILE_ATTRIBUTE_REPARSE_POINT) && reparse_is_link(p)) return PF_PATH_LINK;
  if (a & FILE_ATTRIBUTE_DIRECTORY) return PF_PATH_FOLDER;
  HANDLE h = create_file(p, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
  if (h == INVALID_HANDLE_VALUE) return PF_PATH_REGULAR;
  const DWORD type = GetFileType(h);
  CloseHandle(h);
  return type == FILE_TYPE_DISK ? PF_PATH_REGULAR : PF_PATH_OTHER;
}

int pf_make_folder(const char* path) {
  if (fault_hit(PF_FAULT_MAKE_FOLDER)) return -1;
  std::string p = resolve(path);
  if (p.empty()) return -1;
  if (is_long(p)) return CreateDirectoryW(long_wide(p).c_str(), nullptr) ? 0 : -1;
  return CreateDirectoryA(p.c_str(), nullptr) ? 0 : -1;
}

int pf_remove_empty_folder(const char* path) {
  if (fault_hit(PF_FAULT_REMOVE_FOLDER)) return -1;
  std::string p = resolve(path);
  DWORD a = attributes_of(p);
  // RemoveDirectory would remove a junction or a link to a folder itself.
  if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY) || (a & FILE_ATTRIBUTE_REPARSE_POINT))
    return -1;
  if (is_long(p)) return RemoveDirectoryW(long_wide(p).c_str()) ? 0 : -1;
  return RemoveDirectoryA(p.c_str()) ? 0 : -1;
}

int pf_remove_empty_folder_native(const char* native_path) {
  if (!native_path || !*native_path) return -1;
  const DWORD a = GetFileAttributesA(native_path);
  if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY) || (a & FILE_ATTRIBUTE_REPARSE_POINT))
    return -1;
  return RemoveDirectoryA(native_path) ? 0 : -1;
}

int pf_sync_parent_dir(const char* path) {
  if (fault_hit(PF_FAULT_FOLDER_SYNC)) return -1;
  // MOVEFILE_WRITE_THROUGH has already put the renamed entry on disk, and a
  // Win32 folder cannot be flushed by itself: the folder only has to be there.
  std::string p = resolve(path);
  size_t cut = p.find_last_of("\\:");
  std::string dir = cut == std::string::npos ? "." : p.substr(0, cut + 1) + ".";
  DWORD a = attributes_of(dir);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) ? 0 : -1;
}

int pf_sync_folders(const std::vector<std::string>& paths) {
  // As pf_sync_parent_dir: the renames were written through already.
  if (fault_hit(PF_FAULT_FOLDER_SYNC)) return -1;
  int rc = 0;
  for (const std::string& path : paths) {
    std::string p = resolve(path.c_str());
    size_t cut = p.find_last_of("\\:");
    std::string dir = cut == std::string::npos ? "." : p.substr(0, cut + 1) + ".";
    DWORD a = attributes_of(dir);
    if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY)) rc = -1;
  }
  return rc;
}

int pf_exists(const char* path) { return attributes_of(resolve(path)) != INVALID_FILE_ATTRIBUTES ? 1 : 0; }

int pf_is_directory(const char* path) {
  DWORD a = attributes_of(resolve(path));
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
}

int pf_same_file(const char* a, const char* b) {
  BY_HANDLE_FILE_INFORMATION ia, ib;
  if (!identity_of_path(resolve(a), &ia) || !identity_of_path(resolve(b), &ib)) return 0;
  return same_identity(ia, ib) ? 1 : 0;
}

int pf_same_file_fd(int fd, const char* path) {
  BY_HANDLE_FILE_INFORMATION ia, ib;
  if (!lock_identity(fd, &ia) && !identity_of_handle(fd_handle(fd), &ia)) return 0;
  if (!identity_of_path(resolve(path), &ib)) return 0;
  return same_identity(ia, ib) ? 1 : 0;
}

int pf_file_id(const char* path, PfFileId* out) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!identity_of_path(resolve(path), &info)) return -1;
  out->volume = info.dwVolumeSerialNumber;
  out->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return 0;
}

// ---- directory enumeration -------------------------------------------------------

PfFind* pf_find_first(const char* pattern, PfFindData* out) {
  if (!pattern || !*pattern) return nullptr;
  if (fault_hit(PF_FAULT_ENUMERATE)) return nullptr;
  std::string dir_part, last;
  if (!pf_common::split_pattern(pattern, &dir_part, &last)) return nullptr;
  dir_part = resolve(dir_part.c_str());

  WIN32_FIND_DATAA fd;
  HANDLE f = FindFirstFileA((dir_part + "*").c_str(), &fd);
  if (f == INVALID_HANDLE_VALUE) return nullptr;
  pf_common::Found found;
  do {
    const char* name = fd.cFileName;
    if (!pf_common::name_matches(last, name)) continue;
    PfFindData item;
    item.long_name = name;
    item.short_name = fd.cAlternateFileName;
    item.attributes = fd.dwFileAttributes & (PF_ATTR_HIDDEN | PF_ATTR_DIRECTORY);
    // A link is taken for what it names; one that names nothing is special.
    if ((fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(fd.dwReserved0)) {
      DWORD target = attributes_of_followed(dir_part + name);
      if (target == INVALID_FILE_ATTRIBUTES) {
        item.attributes = (item.attributes & PF_ATTR_HIDDEN) | PF_ATTR_SPECIAL;
      } else {
        item.attributes = (item.attributes & PF_ATTR_HIDDEN) | (target & FILE_ATTRIBUTE_DIRECTORY ? PF_ATTR_DIRECTORY : 0);
      }
    }
    // No length: the folder's listing may hold a stale one for a file being
    // written, or written through another of its names.
    pf_common::add_found(&found, std::move(item));
  } while (FindNextFileA(f, &fd));
  FindClose(f);
  return pf_common::finish_find(&found, out);
}

// ---- interruptions ------------------------------------------------------------
//
// The console's control events (Ctrl+C, Ctrl+Break, the console closing,
// log-off, shut-down) arrive in a thread of their own; the handler runs the
// cleanup there and ends the process at once.

namespace {

void (*volatile g_interrupt_cleanup)() = nullptr;
std::atomic<int> g_interrupt_code{0};
std::atomic<int> g_interrupt_acting{0};

void act_on_interrupt() {
  // A second event waits while the first one's cleanup runs.
  if (g_interrupt_acting.exchange(1)) {
    for (;;) Sleep(INFINITE);
  }
  void (*cleanup)() = g_interrupt_cleanup;
  if (cleanup) cleanup();
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(g_interrupt_code.load()));
}

BOOL WINAPI on_console_event(DWORD) {
  if (!pf_common::interrupt_held()) act_on_interrupt();
  return TRUE;
}

}  // namespace

void pf_common::act_on_held_interrupt() { act_on_interrupt(); }

int pf_on_interrupt(void (*cleanup)(), int exit_code) {
  static bool installed = false;
  g_interrupt_cleanup = cleanup;
  g_interrupt_code.store(exit_code);
  if (installed) return 0;
  if (!SetConsoleCtrlHandler(on_console_event, TRUE)) return -1;
  installed = true;
  return 0;
}

// ---- console ---------------------------------------------------------------------

namespace {
// The rest of the line last read from a console.
struct ConsoleLine {
  char text[512];
  DWORD length = 0;
  DWORD next = 0;
};
ConsoleLine g_console_line;
}  // namespace

int pf_read_stdin_char() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (in == INVALID_HANDLE_VALUE || in == nullptr) return -1;
  DWORD mode;
  if (GetConsoleMode(in, &mode)) {
    // A console hands over whole lines (with their CR LF); Ctrl+Z at the
    // start of a line is its end of input.
    ConsoleLine& line = g_console_line;
    if (line.next >= line.length) {
      line.length = line.next = 0;
      DWORD got = 0;
      if (!ReadConsoleA(in, line.text, sizeof line.text, &got, nullptr) || got == 0) return -1;
      if (line.text[0] == 0x1A) return -1;
      line.length = got;
    }
    return static_cast<unsigned char>(line.text[line.next++]);
  }
  unsigned char c;
  DWORD got = 0;
  if (ReadFile(in, &c, 1, &got, nullptr) && got == 1) return c;
  return -1;
}

namespace {
// All n bytes to standard output or error; the count, or -1.
int64_t write_standard(DWORD which, const void* buf, size_t n) {
  HANDLE h = GetStdHandle(which);
  if (h == INVALID_HANDLE_VALUE || h == nullptr) return -1;
  size_t done = 0;
  const char* p = static_cast<const char*>(buf);
  while (done < n) {
    DWORD put = 0;
    if (!WriteFile(h, p + done, chunk(n - done), &put, nullptr) || put == 0) return -1;
    done += put;
  }
  return static_cast<int64_t>(done);
}
}  // namespace

int64_t pf_write_stdout(const void* buf, size_t n) { return write_standard(STD_OUTPUT_HANDLE, buf, n); }

int64_t pf_write_stderr(const void* buf, size_t n) { return write_standard(STD_ERROR_HANDLE, buf, n); }

namespace {
bool is_console(DWORD which) {
  HANDLE h = GetStdHandle(which);
  DWORD mode;
  return h != INVALID_HANDLE_VALUE && h != nullptr && GetConsoleMode(h, &mode) != 0;
}
}  // namespace

int pf_stdin_is_terminal() { return is_console(STD_INPUT_HANDLE) ? 1 : 0; }

int pf_stderr_is_terminal() { return is_console(STD_ERROR_HANDLE) ? 1 : 0; }

// ---- errors ----------------------------------------------------------------------

std::string pf_last_error_text() {
  const DWORD e = GetLastError();
  if (e == 0) return std::string();
  char buf[512];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, e,
                           MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf, sizeof buf, nullptr);
  std::string text(buf, n < sizeof buf ? n : 0);
  // The system's texts end in a full stop and a line end.
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  if (text.empty()) text = "error " + std::to_string(e);
  return text;
}
