// fuzz_match -- both wildcard matchers against plain recursive matchers that
// follow the matching rules step by step (memoised on the two positions, so a
// pattern full of stars stays cheap).  The input is a pattern and a text
// separated by the first NUL byte; any disagreement aborts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/collection.h"

namespace {

constexpr size_t kMaxLength = 256;

struct Memo {
  size_t tn, pn;
  std::vector<signed char> cells;  // -1 unknown, 0 no, 1 yes
  Memo(size_t t, size_t p) : tn(t), pn(p), cells((t + 1) * (p + 1), -1) {}
  signed char& at(size_t ti, size_t pi) { return cells[pi * (tn + 1) + ti]; }
};

// Case-sensitive: while the pattern has characters the text must too; '?'
// takes one character; '*' tries the rest of the pattern from the current
// character to the last one, then takes all the text and goes on with the
// rest of the pattern against the exhausted text.
bool ref_match(const std::string& t, const std::string& p, size_t ti, size_t pi, Memo& m) {
  signed char& cell = m.at(ti, pi);
  if (cell >= 0) return cell != 0;
  bool result = false;
  for (;;) {
    if (pi == p.size()) {
      result = ti == t.size();
      break;
    }
    if (ti == t.size()) break;
    if (p[pi] == '?') {
      ++ti, ++pi;
    } else if (p[pi] == '*') {
      bool found = false;
      for (size_t k = ti; k < t.size() && !found; ++k) found = ref_match(t, p, k, pi + 1, m);
      if (found) {
        result = true;
        break;
      }
      ti = t.size();
      ++pi;
    } else {
      if (p[pi] != t[ti]) break;
      ++ti, ++pi;
    }
  }
  cell = result ? 1 : 0;
  return result;
}

char low(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Without case: walk both side by side ('?' any character, any other pattern
// character, '*' too, equal after lower-casing); where the walk stops on a
// '*' (or the pattern starts with one) skip the stars; an exhausted pattern
// then matches any rest, an exhausted text fails, otherwise the rest is tried
// from each remaining text position.
bool ref_nocase(const std::string& p, const std::string& t, size_t pi, size_t ti, Memo& m) {
  signed char& cell = m.at(ti, pi);
  if (cell >= 0) return cell != 0;
  bool result = false;
  bool star = pi < p.size() && p[pi] == '*';
  if (!star) {
    while (pi < p.size() && ti < t.size() && (p[pi] == '?' || low(p[pi]) == low(t[ti]))) ++pi, ++ti;
    if (pi == p.size() && ti == t.size()) result = true;
    star = !result && pi < p.size() && p[pi] == '*';
  }
  if (star) {
    while (pi < p.size() && p[pi] == '*') ++pi;
    if (pi == p.size()) {
      result = true;
    } else {
      for (size_t k = ti; k < t.size() && !result; ++k) result = ref_nocase(p, t, pi, k, m);
    }
  }
  cell = result ? 1 : 0;
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in(reinterpret_cast<const char*>(data), size);
  const size_t cut = in.find('\0');
  if (cut == std::string::npos) return 0;
  const std::string pattern = in.substr(0, cut);
  std::string text = in.substr(cut + 1);
  const size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  if (pattern.size() > kMaxLength || text.size() > kMaxLength) return 0;

  Memo m1(text.size(), pattern.size());
  const bool want = ref_match(text, pattern, 0, 0, m1);
  if ((wild_match(text.c_str(), pattern.c_str()) != 0) != want) std::abort();

  Memo m2(text.size(), pattern.size());
  const bool want_nocase = ref_nocase(pattern, text, 0, 0, m2);
  if ((wild_match_nocase(pattern.c_str(), text.c_str()) != 0) != want_nocase) std::abort();
  return 0;
}
