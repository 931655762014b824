// support.h -- helpers shared by every test program: scratch folders, file
// contents, running the built executable, and an archive writer/reader of
// the tests' own, written from the format description with zlib directly so
// that product code is never checked against itself.
#ifndef VORN_TEST_SUPPORT_H
#define VORN_TEST_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

namespace vt {

// A fresh empty folder under TMPDIR (or /tmp when TMPDIR is unset or
// unusable); the test's current directory while the object lives; removed
// (recursively) afterwards.  path() is absolute.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
 private:
  std::string path_;
  std::string old_cwd_;
};

// write_file and make_dir fail the running test when they cannot do their
// work (an existing folder is fine for make_dir).
void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);  // "" when missing
bool file_exists(const std::string& path);
void make_dir(const std::string& path);
// Names in a folder (not "." and ".."), sorted.
std::vector<std::string> list_dir(const std::string& path);
// Names in a folder that look like a temporary file of a run: ending in
// ".tmp" (letter case ignored).  Empty when no run left one behind.
std::vector<std::string> temporaries(const std::string& path = ".");

// Runs the built executable with `program` as its argv[0] (vorn, vornex,
// vornalt, or any other name, paths included: the personality is chosen from
// argv[0], so nothing is linked or written beside the executable) with the
// arguments, in the current directory, feeding `stdin_text` on standard input
// (then end of input) while collecting standard output.  Returns the exit
// status as the shell sees it (0, 253 for -3), or -1 when it died by a signal
// or had to be killed after kRunDeadlineSeconds (which also fails the test:
// a hang shows as a failure, never as a stuck test program).  Standard output
// is stored in *out when given.
//
// The executable is the one built beside the tests unless the environment
// names another: VORN_TEST_EXE (a path), started through VORN_TEST_LAUNCHER
// when that is set (`wine`, for the Windows build; the program name then
// reaches it as the name of a link to VORN_TEST_EXE, without directory part).
constexpr int kRunDeadlineSeconds = 120;
// True when the executable runs through VORN_TEST_LAUNCHER: tests of POSIX
// matters Windows does not have (mode bits, named pipes) skip themselves.
bool runs_through_launcher();
// With `err`, standard error is collected there (through a file, so that
// whatever the program leaves running cannot hold it open).  Through a
// launcher standard error is otherwise dropped; when such a run ends with
// neither 0 nor FAIL (the launcher itself failed), what it said is printed.
int run(const std::string& program, const std::vector<std::string>& args,
        const std::string& stdin_text = "", std::string* out = nullptr,
        std::string* err = nullptr);
inline int vorn(const std::vector<std::string>& args, const std::string& in = "") {
  return run("vorn", args, in);
}
constexpr int FAIL = 253;  // -3 as a POSIX shell reports it

// A run with more control than run(): standard error collected apart from
// standard output, or all three standard descriptors on a pseudo-terminal
// (the program then sees a person at a terminal), or, when the tests run as
// root, the program run as an unprivileged user (so that folder permissions
// stop it as they stop any user).
struct RunOptions {
  std::string stdin_text;    // fed on standard input (then end of input); on a
                             // terminal typed in (end of input: "\x04" at a line start)
  bool terminal = false;     // standard input, output and error on one pseudo-terminal
  bool unprivileged = false; // when root: run as uid/gid 65534
};
struct RunResult {
  int status = -1;  // as run() returns it
  std::string out;  // standard output; on a terminal everything the terminal showed
  std::string err;  // standard error ("" on a terminal: it is in out)
};
RunResult run_full(const std::string& program, const std::vector<std::string>& args,
                   const RunOptions& options = RunOptions());

// zlib helpers (level 9 unless told otherwise).
std::string zcompress(const std::string& data, int level = 9);
// Inflates one zlib stream from the start of `data`; *consumed gets the number
// of compressed bytes used.  Returns false on damage or a missing end.
bool zinflate(const std::string& data, std::string* out, size_t* consumed = nullptr);

std::string u32le(uint32_t v);

// One entry of a test archive.
struct Entry {
  std::string name;
  std::string data;
  uint32_t key_hash = 0;
  uint8_t flags = 0x07;  // file flag byte: 0x01 compressed, 0x02 in directory, ...
};

// Lays out an archive: stub, standalone entries (flags & 0x02 clear) in the
// order given, then the directory stream holding every record (standalone
// first, in order) and the in-directory data, then the trailer.  When the
// stub is 20 bytes or longer, the MZ checksum is written.
std::string build_archive(const std::vector<Entry>& entries, const std::string& stub = "");

// Parses an archive independently: fills entries (data decoded) and returns
// true, or false when anything is inconsistent.  *data_start and *dir_offset
// are filled when given.
struct Parsed {
  std::vector<Entry> entries;
  std::vector<uint32_t> offsets;
  uint32_t data_start = 0;
  uint32_t dir_offset = 0;
  std::string error;
};
bool parse_archive(const std::string& bytes, Parsed* out);

// Sum of the little-endian words at even offsets plus a final odd byte, mod
// 0x10000 (the word at offset 18 included).
uint16_t mz_sum(const std::string& bytes);

// The uninverted CRC-32 step from 0, computed bit by bit (independent of the
// product's table-driven one).
uint32_t crc_plain(const std::string& bytes, uint32_t start = 0);
uint32_t key_hash(const std::string& text);

}  // namespace vt

#endif
