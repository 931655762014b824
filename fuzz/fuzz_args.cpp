// fuzz_args -- whole runs from arbitrary command lines and argument files,
// through the tokeniser, the option passes and the dispatch, in a folder of
// its own that holds an archive, files to add, a stub, a message file and a
// change script.
//
// Input: parts separated by NUL bytes.  The first byte picks the program
// name; the rest of part 0 is the command line, one argument per line; parts
// 1 to 3 become the argument files "a1", "a2" and "a3" (which may name each
// other).  Every run must end with 0 or -3; a run that ends with -3 must leave
// every file that was there before it byte for byte as it was; no run may
// leave a temporary file.  Inputs that could reach outside the folder (a
// separator or "..") or that name the temporary files themselves are skipped.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/replace.h"
#include "driver/driver.h"
#include "platform/platform.h"
#include "fuzz_support.h"

namespace {

using fz::read_all;
using fz::run;
using fz::temporary_left;
using fz::write_all;

// Names in the working folder (files and folders, one level).
std::vector<std::string> folder_names(const char* dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir);
  if (!d) return names;
  while (struct dirent* e = readdir(d))
    if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
  closedir(d);
  return names;
}

void remove_tree(const std::string& path) {
  if (pf_is_directory(path.c_str())) {
    for (const auto& n : folder_names(path.c_str())) remove_tree(path + "/" + n);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

// The files every run starts from; the archive is made once by the packer.
std::map<std::string, std::string>& fixture() {
  static std::map<std::string, std::string> files;
  return files;
}

void set_up_once() {
  if (!fz::enter_scratch("fuzz_args")) return;

  auto& f = fixture();
  f["a.txt"] = "abc";
  f["b.txt"] = "hello hello hello hello\n";
  f["c.TXT"] = "abc";
  f["stub.bin"] = std::string("MZ") + std::string(62, '\0');
  f["m.c"] =
      "char *msgs[] = {\r\n\"one\\0first\",\r\n\"set0\\0abcdefghijklmnitem\\0x\",\r\n"
      "(char*)0\r\n};\r\n";
  f["s.txt"] = "\"set:two\\0second\"\r\n\"ren:one,uno\"\r\n\"set_menu:set,abcdefghijklmnnew\\0y\"\r\n";
  for (const auto& kv : f) write_all(kv.first.c_str(), kv.second);
  if (run({"vorn", "x.vrn", "a.txt", "-g", "b.txt", "+sk", "c.TXT"}) != 0) std::abort();
  f["x.vrn"] = read_all("x.vrn");
}

bool unsafe(const std::string& in) {
  if (in.find("..") != std::string::npos) return true;
  if (in.find_first_of("/\\") != std::string::npos) return true;
  for (size_t i = 0; i + 3 <= in.size(); ++i) {
    if ((in[i] | 0x20) == 't' && (in[i + 1] | 0x20) == 'm' && (in[i + 2] | 0x20) == 'p') return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string in(reinterpret_cast<const char*>(data), size);
  if (unsafe(in)) return 0;
  set_up_once();

  std::vector<std::string> parts;
  size_t start = 1;
  for (;;) {
    size_t nul = in.find('\0', start);
    parts.push_back(in.substr(start, nul == std::string::npos ? std::string::npos : nul - start));
    if (nul == std::string::npos || parts.size() == 4) break;
    start = nul + 1;
  }

  for (const auto& n : folder_names(".")) remove_tree(n);
  std::map<std::string, std::string> before = fixture();
  for (size_t i = 1; i < parts.size(); ++i) before["a" + std::to_string(i)] = parts[i];
  for (const auto& kv : before) write_all(kv.first.c_str(), kv.second);

  static const char* const kNames[] = {"vorn", "vornex", "vornalt", "VORN32.EXE"};
  std::vector<std::string> args{kNames[static_cast<unsigned char>(in[0]) % 4]};
  const std::string& line = parts[0];
  size_t p = 0;
  while (p <= line.size() && args.size() < 64) {
    size_t e = line.find('\n', p);
    if (e == std::string::npos) e = line.size();
    args.push_back(line.substr(p, e - p));
    p = e + 1;
  }

  const int code = run(args);
  if (code != 0 && code != -3) std::abort();
  if (temporary_left()) std::abort();
  if (code == -3)
    for (const auto& kv : before)
      if (read_all(kv.first.c_str()) != kv.second) std::abort();  // a failed run changed a file
  return 0;
}
