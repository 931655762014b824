// arguments.cpp -- the argument list: command-line arguments with "@" argument
// files replaced by the tokens they hold.
//
// Argument files nest.  Rather than recursing once per file, the expansion
// keeps a stack of the files being scanned (each with its bytes and scan
// position), so that deep but acyclic nesting needs no call stack, and a file
// that is already on the stack (the same file, however it is spelled) is a
// cycle that fails the expansion instead of running for ever.
#include "driver/driver.h"

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/failure.h"
#include "base/run_state.h"

#include "platform/platform.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_line_end(char c) { return c == '\n' || c == '\r'; }
bool is_comment_start(char c) { return c == ';'; }

// One argument file being scanned.
struct ArgFile {
  std::string path;          // as named (for the identity check)
  uint64_t fingerprint = 0;  // of its length and bytes
  std::string bytes;
  size_t pos = 0;
  bool quoted = false;
};

// The files being scanned, innermost last, with an index on their
// fingerprints: a file can only be one already open when its bytes are the
// same, so the identity check (a stat of each path) runs only for those.
struct ArgFileStack {
  std::vector<ArgFile> files;
  std::unordered_multimap<uint64_t, std::string> open_by_fingerprint;

  bool empty() const { return files.empty(); }
  ArgFile& top() { return files.back(); }
  void pop() {
    const ArgFile& f = files.back();
    auto range = open_by_fingerprint.equal_range(f.fingerprint);
    for (auto it = range.first; it != range.second; ++it) {
      if (it->second == f.path) {
        open_by_fingerprint.erase(it);
        break;
      }
    }
    files.pop_back();
  }
};

uint64_t fingerprint_of(const std::string& bytes) {
  uint64_t h = 1469598103934665603ull ^ bytes.size();
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

// True when `path` names a file currently being scanned.
bool already_open(const ArgFileStack& stack, const char* path, uint64_t fingerprint) {
  auto range = stack.open_by_fingerprint.equal_range(fingerprint);
  for (auto it = range.first; it != range.second; ++it)
    if (pf_same_file(it->second.c_str(), path)) return true;
  return false;
}

// Reads the argument file and pushes it on the stack.  0 or -1.
int push_argument_file(ArgFileStack& stack, const char* path) {
  int fd = pf_open_read(path);
  if (fd < 0) return fail_system("cannot open the argument file", path);
  int64_t length = pf_seek(fd, 0, PF_SEEK_END);
  RunState& run = g_run;
  if (length < 0 || pf_seek(fd, 0, PF_SEEK_SET) != 0) {
    fail_system("cannot read the argument file", path);
    pf_close(fd);
    return -1;
  }
  if (static_cast<uint64_t>(length) > MAX_ARGUMENT_BYTES - run.argument_bytes) {
    pf_close(fd);
    return fail_note("too much to read from argument files", path,
                     "(" + std::to_string(MAX_ARGUMENT_BYTES >> 20) + " MiB in all at most)");
  }
  run.argument_bytes += static_cast<uint64_t>(length);
  ArgFile file;
  file.path = path;
  file.bytes.resize(static_cast<size_t>(length));
  int64_t got = length == 0 ? 0 : pf_read(fd, &file.bytes[0], static_cast<size_t>(length));
  if (got != length) fail_system("cannot read the argument file", path);
  pf_close(fd);
  if (got != length) return -1;
  file.fingerprint = fingerprint_of(file.bytes);
  if (already_open(stack, path, file.fingerprint))
    return fail_note("argument file names itself", path, "(directly or through others)");
  stack.open_by_fingerprint.emplace(file.fingerprint, file.path);
  stack.files.push_back(std::move(file));
  return 0;
}

// Expands one argument: adds it to the list, or pushes the argument file it
// names.  `text` is taken up to `length` bytes.
int expand_one(ArgFileStack& stack, const char* text, size_t length) {
  if (++g_run.argument_tokens > MAX_ARGUMENT_TOKENS)
    return fail_note("too many arguments", "",
                     "(" + std::to_string(MAX_ARGUMENT_TOKENS) +
                         " in all at most, argument-file tokens included)");
  for (;;) {
    if (length > 0 && text[0] == '@') {
      std::string path(text + 1, length - 1);
      return push_argument_file(stack, path.c_str());
    }
    if (length > 1 && text[0] == '"' && text[length - 1] == '"') {
      ++text;
      length -= 2;
      continue;
    }
    break;
  }
  if (length == 0) return 0;
  g_args.emplace_back(text, length);
  return 0;
}

// Takes the next token of the file on top of the stack and expands it; pops
// the file when it has no more.  0 or -1.
int scan_next_token(ArgFileStack& stack) {
  ArgFile& f = stack.top();
  const std::string& b = f.bytes;
  const size_t n = b.size();
  for (;;) {
    while (f.pos < n && (is_blank(b[f.pos]) || is_line_end(b[f.pos]))) ++f.pos;
    if (f.pos >= n) {
      stack.pop();
      return 0;
    }
    size_t start = f.pos;
    while (f.pos < n) {
      char c = b[f.pos];
      if (!f.quoted && (is_comment_start(c) || is_blank(c) || is_line_end(c))) break;
      if (c == '"') f.quoted = !f.quoted;
      ++f.pos;
    }
    size_t token_length = f.pos - start;
    if (f.pos < n && is_comment_start(b[f.pos])) {
      size_t eol = f.pos;
      while (eol < n && !is_line_end(b[eol])) ++eol;
      f.pos = eol;  // at the line end, or at the end of the bytes
    }
    if (token_length > 0) {
      // An argument is a C string: a NUL byte in the file ends it.
      std::string token = b.substr(start, token_length);
      size_t nul = token.find('\0');
      if (nul != std::string::npos) token.resize(nul);
      // expand_one may push a new file, which can move `f`; nothing of it is
      // used after this call.
      return expand_one(stack, token.data(), token.size());
    }
  }
}

// Memory that runs out while the list grows (a file too large to hold, a
// list too long) fails the expansion as any other failure does: with a
// reason, the arguments added before it staying in the list.
int out_of_memory() { return fail_note("out of memory", "", "(while expanding the arguments)"); }

// Expands until every file pushed since the start has been scanned.
int drain(ArgFileStack& stack) {
  while (!stack.empty())
    if (scan_next_token(stack) != 0) return -1;
  return 0;
}

}  // namespace

int expand_argument(const char* text) {
  if (text == nullptr) return 0;
  try {
    ArgFileStack stack;
    std::string copy(text);
    if (expand_one(stack, copy.data(), copy.size()) != 0) return -1;
    return drain(stack);
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  } catch (const std::length_error&) {
    return out_of_memory();
  }
}

int read_argument_file(const char* path) {
  if (path == nullptr) return -1;
  try {
    ArgFileStack stack;
    if (push_argument_file(stack, path) != 0) return -1;
    return drain(stack);
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  } catch (const std::length_error&) {
    return out_of_memory();
  }
}

int remove_argument(int index) {
  std::vector<std::string>& args = g_args;
  if (index < 0 || static_cast<size_t>(index) >= args.size()) return -1;
  args.erase(args.begin() + index);
  return 0;
}
