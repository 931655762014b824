#include "support/support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <stdexcept>

namespace vt {

static void remove_tree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0700);
    if (DIR* d = opendir(path.c_str())) {
      while (struct dirent* e = readdir(d)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
        remove_tree(path + "/" + e->d_name);
      }
      closedir(d);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

// Every test program starts with standard input reading /dev/null, and with
// the descriptors 0 to 2 open: a test run from a terminal never waits on it,
// one run with them closed (as CI may) never has a file or pipe of its own
// land on 0, 1 or 2, where a child or an overwrite question would take it for
// standard input or output.
static bool settle_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1) {
      int n = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (n >= 0 && n != fd) {
        dup2(n, fd);
        close(n);
      }
    }
  }
  int null_in = open("/dev/null", O_RDONLY);
  if (null_in > 0) {
    dup2(null_in, 0);
    close(null_in);
  }
  return true;
}
static const bool g_standard_descriptors_settled = settle_standard_descriptors();

static bool make_scratch(const std::string& base, std::string* path) {
  std::string tmpl = base + "/vorn-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) return false;
  *path = buf.data();
  return true;
}

ScratchDir::ScratchDir() {
  (void)g_standard_descriptors_settled;
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd)) old_cwd_ = cwd;
  // TMPDIR when it names a usable folder, else /tmp.
  const char* base = getenv("TMPDIR");
  if (!(base && *base && make_scratch(base, &path_)) && !make_scratch("/tmp", &path_))
    throw std::runtime_error("cannot create a scratch folder under TMPDIR or /tmp");
  if (chdir(path_.c_str()) != 0) throw std::runtime_error("chdir failed");
  // Absolute from here on, whatever TMPDIR looked like.
  if (getcwd(cwd, sizeof cwd)) path_ = cwd;
}

ScratchDir::~ScratchDir() {
  if (!old_cwd_.empty() && chdir(old_cwd_.c_str()) != 0) {
  }
  remove_tree(path_);
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  f.close();
  // A test that lays out its files must not go on as if it had.
  if (!f) ADD_FAILURE() << "test set-up could not write " << path;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return "";
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool file_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void make_dir(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0) {
    struct stat st;
    if (!(errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
      ADD_FAILURE() << "test set-up could not make the folder " << path;
  }
}

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* d = opendir(path.c_str())) {
    while (struct dirent* e = readdir(d)) {
      if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
      names.push_back(e->d_name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The executable under test: the one built beside the tests, or the one
// VORN_TEST_EXE names (the Windows build, say), started through the program
// VORN_TEST_LAUNCHER names when that is set ("wine").
static std::string exe_under_test() {
  const char* exe = getenv("VORN_TEST_EXE");
  return exe && *exe ? exe : VORN_EXE;
}

static std::string launcher() {
  const char* l = getenv("VORN_TEST_LAUNCHER");
  return l && *l ? l : "";
}

bool runs_through_launcher() { return !launcher().empty(); }

// A launcher takes the program's name from the file it starts, so the
// executable gets a link of each name asked for, in a folder of this test
// program's own (removed when it ends).
static std::string g_names_dir;
static void remove_names_dir() {
  if (!g_names_dir.empty()) remove_tree(g_names_dir);
}

// Tests that start runs from several threads (the concurrency tests) call
// this at once: one lock, and a name another thread made is used as it is,
// never opened for writing (it is a hard link to the executable itself).
static std::mutex g_names_lock;
static std::string launchable_as(const std::string& program) {
  std::lock_guard<std::mutex> hold(g_names_lock);
  const size_t cut = program.find_last_of("/\\");
  std::string base = cut == std::string::npos ? program : program.substr(cut + 1);
  if (base.empty()) base = "vorn";
  if (g_names_dir.empty()) {
    const char* tmp = getenv("TMPDIR");
    std::string dir;
    if (!(tmp && *tmp && make_scratch(tmp, &dir)) && !make_scratch("/tmp", &dir)) return "";
    g_names_dir = dir;
    atexit(remove_names_dir);
  }
  std::string path = g_names_dir + "/" + base;
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) return path;
  if (link(exe_under_test().c_str(), path.c_str()) != 0) {
    if (errno == EEXIST) return path;
    std::ifstream from(exe_under_test(), std::ios::binary);
    std::ofstream to(path, std::ios::binary);
    to << from.rdbuf();
    to.close();
    if (!from || !to) return "";
    chmod(path.c_str(), 0755);
  }
  return path;
}

std::vector<std::string> temporaries(const std::string& path) {
  std::vector<std::string> found;
  for (const std::string& n : list_dir(path)) {
    if (n.size() < 4) continue;
    std::string tail = n.substr(n.size() - 4);
    for (char& c : tail) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (tail == ".tmp") found.push_back(n);
  }
  return found;
}

// Moves a descriptor to `target` in a child about to exec.
static void put_on(int fd, int target) {
  if (fd != target) dup2(fd, target);
}

// A file for a child's standard error: created, then unlinked once read.
static int error_file(std::string* path) {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vorn-test-err-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  int fd = mkstemp(buf.data());
  if (fd >= 0) {
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    *path = buf.data();
  }
  return fd;
}

static std::string take_error_file(int fd, const std::string& path) {
  std::string text;
  if (fd < 0) return text;
  lseek(fd, 0, SEEK_SET);
  char buf[4096];
  for (ssize_t got; (got = read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(got));
  close(fd);
  unlink(path.c_str());
  return text;
}

static int run_collecting(const std::string& program, const std::vector<std::string>& args,
                          const std::string& stdin_text, std::string* out, int err_fd);

int run(const std::string& program, const std::vector<std::string>& args,
        const std::string& stdin_text, std::string* out, std::string* err) {
  const bool via = !launcher().empty();
  int status = -1;
  std::string text;
  for (int attempt = 1;; ++attempt) {
    std::string path;
    const int err_fd = err || via ? error_file(&path) : -1;
    status = run_collecting(program, args, stdin_text, out, err_fd);
    text = take_error_file(err_fd, path);
    // Wine now and then fails to lay out a new process's address space and
    // ends with 1 before the program has run at all: that start is made
    // again (a few times at most), since nothing of the program happened.
    if (!via || status != 1 || attempt == 3 ||
        text.find("failed to map the shared user data") == std::string::npos)
      break;
    std::cerr << "[" << program << "] the launcher could not start it; started again\n";
  }
  if (err) *err = text;
  if (via && status != 0 && status != FAIL && !text.empty()) {
    std::string line = program;
    for (const auto& a : args) line += " " + a;
    std::cerr << "[" << line << "] ended with " << status << "; standard error:\n" << text << "\n";
  }
  return status;
}

static int run_collecting(const std::string& program, const std::vector<std::string>& args,
                          const std::string& stdin_text, std::string* out, int err_fd) {
  (void)g_standard_descriptors_settled;
  int in_pipe[2], out_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0) return -2;
  if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    close(in_pipe[0]);
    close(in_pipe[1]);
    return -2;
  }
  // Everything the child needs is made before the fork.
  const std::string exe = exe_under_test();
  const std::string via = launcher();
  const std::string named = via.empty() ? std::string() : launchable_as(program);
  if (!via.empty() && named.empty()) {
    ADD_FAILURE() << "could not name the executable " << program << " for " << via;
    return -2;
  }
  pid_t pid = fork();
  if (pid == 0) {
    // The personality comes from argv[0] alone, so the executable itself is
    // started under the name asked for: no link is made anywhere.
    signal(SIGPIPE, SIG_DFL);
    setpgid(0, 0);  // its own group, so that a deadline kill takes all it started
    put_on(in_pipe[0], 0);
    put_on(out_pipe[1], 1);
    // Through a launcher, standard error never goes to a pipe or to the
    // test's own: the services Wine starts with the first program of a
    // prefix would inherit it and keep the test program's output (and
    // ctest) open long after it ended.  A file (or nowhere) it is.
    if (err_fd >= 0) {
      put_on(err_fd, 2);
    } else if (!via.empty()) {
      int null_fd = open("/dev/null", O_WRONLY);
      if (null_fd >= 0) put_on(null_fd, 2);
    }
    std::vector<char*> argv;
    std::string name = program;
    if (!via.empty()) {
      argv.push_back(const_cast<char*>(via.c_str()));
      argv.push_back(const_cast<char*>(named.c_str()));
    } else {
      argv.push_back(const_cast<char*>(name.c_str()));
    }
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (!via.empty()) {
      execvp(via.c_str(), argv.data());
      _exit(127);
    }
    // Under a checker (scripts/valgrind.sh): VORN_TEST_WRAPPER holds its
    // command words and VORN_TEST_WRAP_DIR a folder where a link named after
    // the program (its last path part) stands for the executable, since the
    // checker starts the executable under the link's name.
    const char* wrapper = getenv("VORN_TEST_WRAPPER");
    const char* wrap_dir = getenv("VORN_TEST_WRAP_DIR");
    if (wrapper && *wrapper && wrap_dir && *wrap_dir) {
      std::string base = name.substr(name.find_last_of('/') + 1);
      std::string link = std::string(wrap_dir) + "/" + (base.empty() ? "vorn" : base);
      if (symlink(exe.c_str(), link.c_str()) != 0 && errno != EEXIST) _exit(127);
      std::vector<std::string> words;
      std::string w;
      for (const char* c = wrapper;; ++c) {
        if (*c == ' ' || *c == '\0') {
          if (!w.empty()) words.push_back(w);
          w.clear();
          if (*c == '\0') break;
        } else {
          w.push_back(*c);
        }
      }
      words.push_back(link);
      std::vector<char*> wargv;
      for (auto& x : words) wargv.push_back(const_cast<char*>(x.c_str()));
      for (size_t i = 1; argv[i] != nullptr; ++i) wargv.push_back(argv[i]);
      wargv.push_back(nullptr);
      execvp(wargv[0], wargv.data());
      _exit(127);
    }
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  if (pid > 0) setpgid(pid, pid);  // as the child does: whichever runs first
  close(in_pipe[0]);
  close(out_pipe[1]);
  if (pid < 0) {
    close(in_pipe[1]);
    close(out_pipe[0]);
    return -2;
  }
  signal(SIGPIPE, SIG_IGN);
  fcntl(in_pipe[1], F_SETFL, fcntl(in_pipe[1], F_GETFL) | O_NONBLOCK);

  // Feed standard input and collect standard output together (neither side
  // can then fill a pipe and wait on the other), within the deadline.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kRunDeadlineSeconds);
  auto ms_left = [&] {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
  };
  std::string collected;
  size_t off = 0;
  int in_fd = in_pipe[1];
  int out_fd = out_pipe[0];
  if (stdin_text.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  bool timed_out = false;
  while (out_fd >= 0) {
    struct pollfd fds[2];
    int n = 0;
    fds[n++] = {out_fd, POLLIN, 0};
    if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
    int left = ms_left();
    if (left == 0) { timed_out = true; break; }
    int r = poll(fds, static_cast<nfds_t>(n), left);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) break;
    if (r == 0) { timed_out = true; break; }
    if (n == 2 && fds[1].revents) {
      ssize_t w = write(in_fd, stdin_text.data() + off, stdin_text.size() - off);
      if (w > 0) off += static_cast<size_t>(w);
      if ((w < 0 && errno != EAGAIN && errno != EINTR) || off == stdin_text.size()) {
        close(in_fd);  // end of input (or nobody reads it)
        in_fd = -1;
      }
    }
    if (fds[0].revents) {
      char buf[4096];
      ssize_t got = read(out_fd, buf, sizeof buf);
      if (got > 0) {
        collected.append(buf, static_cast<size_t>(got));
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        close(out_fd);
        out_fd = -1;
      }
    }
  }
  if (in_fd >= 0) close(in_fd);
  if (out_fd >= 0) close(out_fd);

  int status = 0;
  for (;;) {
    pid_t w = timed_out ? 0 : waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (w < 0 && errno != EINTR) return -2;
    if (timed_out || ms_left() == 0) {
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << program << " did not finish within " << kRunDeadlineSeconds << " s; killed";
      if (out) *out = collected;
      return -1;
    }
    usleep(2000);
  }
  if (out) *out = collected;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return -1;
}

std::string zcompress(const std::string& data, int level) {
  uLongf bound = compressBound(static_cast<uLong>(data.size()));
  std::string out(bound, '\0');
  if (compress2(reinterpret_cast<Bytef*>(&out[0]), &bound,
                reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()), level) != Z_OK)
    throw std::runtime_error("compress2 failed");
  out.resize(bound);
  return out;
}

bool zinflate(const std::string& data, std::string* out, size_t* consumed) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  std::string result;
  unsigned char buf[16384];
  int rc;
  do {
    z.next_out = buf;
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    result.append(reinterpret_cast<char*>(buf), sizeof buf - z.avail_out);
    if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
  } while (rc == Z_OK || (rc == Z_BUF_ERROR && z.avail_out == 0));
  size_t used = data.size() - z.avail_in;
  inflateEnd(&z);
  if (rc != Z_STREAM_END) return false;
  if (out) *out = result;
  if (consumed) *consumed = used;
  return true;
}

std::string u32le(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

static uint32_t get32(const std::string& s, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(s[at])) |
         static_cast<uint32_t>(static_cast<unsigned char>(s[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(s[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(s[at + 3])) << 24;
}

uint16_t mz_sum(const std::string& b) {
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 1 < b.size(); i += 2)
    sum += static_cast<unsigned char>(b[i]) | (static_cast<unsigned char>(b[i + 1]) << 8);
  if (i < b.size()) sum += static_cast<unsigned char>(b[i]);
  return static_cast<uint16_t>(sum & 0xFFFF);
}

std::string build_archive(const std::vector<Entry>& entries, const std::string& stub) {
  std::string file = stub;
  std::vector<uint32_t> offsets(entries.size(), 0);
  // Standalone data first, in order.
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    if (e.flags & 0x02) continue;
    offsets[i] = static_cast<uint32_t>(file.size());
    file += (e.flags & 0x01) ? zcompress(e.data) : e.data;
  }
  uint32_t in_dir = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!(entries[i].flags & 0x02)) continue;
    offsets[i] = in_dir;
    in_dir += static_cast<uint32_t>(entries[i].data.size());
  }
  std::string dir = u32le(static_cast<uint32_t>(entries.size()));
  // Records: standalone ones first, as every writer lays them out.
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < entries.size(); ++i) {
      const Entry& e = entries[i];
      bool in_directory = (e.flags & 0x02) != 0;
      if (in_directory != (pass == 1)) continue;
      dir += e.name;
      dir.push_back('\0');
      dir += u32le(offsets[i]) + u32le(static_cast<uint32_t>(e.data.size())) + u32le(e.key_hash);
      dir.push_back(static_cast<char>(e.flags));
    }
  }
  for (const Entry& e : entries)
    if (e.flags & 0x02) dir += e.data;
  uint32_t dir_offset = static_cast<uint32_t>(file.size());
  file += zcompress(dir);
  file += u32le(dir_offset ^ 0x5A17C3E9u);
  if (stub.size() >= 20) {
    file[18] = file[19] = 0;
    uint16_t v = static_cast<uint16_t>(0xFFFF - mz_sum(file));
    file[18] = static_cast<char>(v & 0xFF);
    file[19] = static_cast<char>(v >> 8);
  }
  return file;
}

bool parse_archive(const std::string& b, Parsed* out) {
  *out = Parsed();
  if (b.size() < 4) { out->error = "short"; return false; }
  uint32_t dir_offset = get32(b, b.size() - 4) ^ 0x5A17C3E9u;
  if (dir_offset > b.size() - 4) { out->error = "bad offset"; return false; }
  std::string dir;
  size_t used = 0;
  std::string stream = b.substr(dir_offset, b.size() - 4 - dir_offset);
  if (!zinflate(stream, &dir, &used)) { out->error = "directory does not inflate"; return false; }
  if (used != stream.size()) { out->error = "bytes between directory stream and trailer"; return false; }
  if (dir.size() < 4) { out->error = "no count"; return false; }
  uint32_t count = get32(dir, 0);
  size_t p = 4;
  std::vector<uint32_t> sizes;
  for (uint32_t i = 0; i < count; ++i) {
    size_t nul = dir.find('\0', p);
    if (nul == std::string::npos || nul - p > 257 || nul + 14 > dir.size()) { out->error = "cut record"; return false; }
    Entry e;
    e.name = dir.substr(p, nul - p);
    p = nul + 1;
    out->offsets.push_back(get32(dir, p));
    sizes.push_back(get32(dir, p + 4));
    e.key_hash = get32(dir, p + 8);
    e.flags = static_cast<uint8_t>(dir[p + 12]);
    p += 13;
    out->entries.push_back(e);
  }
  out->dir_offset = dir_offset;
  out->data_start = dir_offset;
  if (!out->entries.empty() && !(out->entries[0].flags & 0x02)) out->data_start = out->offsets[0];
  // In-directory data, in record order.
  uint32_t expect = 0;
  bool seen_in_dir = false;
  for (size_t i = 0; i < count; ++i) {
    Entry& e = out->entries[i];
    if (e.flags & 0x02) {
      seen_in_dir = true;
      if (out->offsets[i] != expect) { out->error = "in-directory offset " + e.name; return false; }
      if (p + sizes[i] > dir.size()) { out->error = "in-directory data cut " + e.name; return false; }
      e.data = dir.substr(p, sizes[i]);
      p += sizes[i];
      expect += sizes[i];
    } else if (seen_in_dir) {
      out->error = "standalone after in-directory";
      return false;
    }
  }
  if (p != dir.size()) { out->error = "trailing bytes in directory stream"; return false; }
  // Standalone data.
  for (size_t i = 0; i < count; ++i) {
    Entry& e = out->entries[i];
    if (e.flags & 0x02) continue;
    uint32_t start = out->offsets[i];
    uint32_t end = dir_offset;
    if (i + 1 < count && !(out->entries[i + 1].flags & 0x02)) end = out->offsets[i + 1];
    if (start > end || end > dir_offset) { out->error = "standalone range " + e.name; return false; }
    std::string raw = b.substr(start, end - start);
    if (e.flags & 0x01) {
      size_t c = 0;
      if (!zinflate(raw, &e.data, &c) || c != raw.size()) { out->error = "standalone stream " + e.name; return false; }
    } else {
      if (raw.size() != sizes[i]) { out->error = "stored length " + e.name; return false; }
      e.data = raw;
    }
    if (e.data.size() != sizes[i]) { out->error = "size " + e.name; return false; }
  }
  return true;
}

uint32_t crc_plain(const std::string& bytes, uint32_t v) {
  for (unsigned char c : bytes) {
    v ^= c;
    for (int k = 0; k < 8; ++k) v = (v & 1) ? (v >> 1) ^ 0xEDB88320u : v >> 1;
  }
  return v;
}

uint32_t key_hash(const std::string& text) {
  if (text.empty()) return 0;
  uint32_t v = crc_plain(text, 0);
  return v ? v : 1;
}

}  // namespace vt
