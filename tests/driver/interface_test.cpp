// What a person sees: --help, --version, --list, failure reasons, --verbose
// reports, the overwrite question and the progress line; and that none of it
// reaches a command line that does not ask for it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/scratch.h"
#include "support/support.h"

namespace {

using Args = std::vector<std::string>;

vt::RunResult run(const std::string& program, const Args& args, const std::string& input = "") {
  vt::RunOptions o;
  o.stdin_text = input;
  return vt::run_full(program, args, o);
}

vt::RunResult run_at_terminal(const std::string& program, const Args& args,
                              const std::string& typed = "") {
  vt::RunOptions o;
  o.stdin_text = typed;
  o.terminal = true;
  return vt::run_full(program, args, o);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class InterfaceTest : public vt::Scratch {};

// ---- --help and --version ----------------------------------------------------

TEST_F(InterfaceTest, HelpNamesEveryOptionAndOpensNothing) {
  for (const Args& args : {Args{"--help"}, Args{"-h"}, Args{"-?"}, Args{"/?"}, Args{"--HELP"},
                           Args{"arc.vrn", "--help", "x.txt"}}) {
    vt::RunResult r = run("vorn", args);
    EXPECT_EQ(r.status, 0) << args[0];
    EXPECT_EQ(r.err, "") << args[0];
    EXPECT_NE(r.out.find("usage: vorn"), std::string::npos) << args[0];
    for (const char* word : {"vornex", "vornalt", "-a ", "-d ", "-x ", "+m / -m", "+c / -c",
                             "+g / -g", "+p / -p", "+r / -r", "+l / -l", "+e / -e", "+1 ... +4",
                             "-sKEY", "+sKEY", "-v ", "-stub:FILE", "-redund:REPORT",
                             "-rfind:PREFIX", "+#FILE", "-vornalt", "-nologo", "-mfile:MSGFILE",
                             "@FILE", "--list", "--machine", "--verbose", "--progress",
                             "--version", "Exit codes", "Examples"})
      EXPECT_NE(r.out.find(word), std::string::npos) << word;
    for (const std::string& line : lines_of(r.out))
      EXPECT_LE(line.size(), 79u) << "wider than a console: " << line;
    EXPECT_TRUE(vt::list_dir(".").empty()) << "no archive is created or opened";
  }
  // Only alone are the short forms a request for help.
  EXPECT_EQ(run("vorn", {"arc.vrn", "-h"}).status, vt::FAIL);
  EXPECT_EQ(run("vorn", {"-?", "arc.vrn"}).status, vt::FAIL);
}

TEST_F(InterfaceTest, VersionNamesTheZlibItRunsWith) {
  vt::RunResult r = run("vornex", {"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(r.out, m, std::regex("vorn ([0-9]+\\.[0-9]+\\.[0-9]+) \\(zlib (.+)\\)\n")))
      << r.out;
  EXPECT_EQ(m[2].str(), zlibVersion());
}

// The manual page and README describe the same options as --help.
TEST_F(InterfaceTest, ManualPageAndReadmeDescribeEveryOptionOfTheHelp) {
  const std::string page = vt::read_file(std::string(VORN_SOURCE_DIR) + "/doc/vorn.1");
  const std::string readme = vt::read_file(std::string(VORN_SOURCE_DIR) + "/README.md");
  ASSERT_FALSE(page.empty());
  ASSERT_FALSE(readme.empty());
  // In roff a minus sign is written "\-".
  auto in_page = [&](std::string word) {
    std::string roff;
    for (char c : word) roff += c == '-' ? std::string("\\-") : std::string(1, c);
    return page.find(roff) != std::string::npos;
  };
  const std::string help = run("vorn", {"--help"}).out;
  std::regex option_line("^  ([-+@/][^ ]*)");
  int seen = 0;
  for (const std::string& line : lines_of(help)) {
    std::smatch m;
    if (!std::regex_search(line, m, option_line)) continue;
    std::string word = m[1].str();
    if (word.back() == ',') word.pop_back();
    ++seen;
    EXPECT_TRUE(in_page(word)) << word << " is not in vorn.1";
    EXPECT_NE(readme.find(word), std::string::npos) << word << " is not in README.md";
  }
  EXPECT_GE(seen, 25);
}

// ---- --list ----------------------------------------------------------------------

class ListTest : public InterfaceTest {
 protected:
  // Every kind of entry: standalone and in-directory, stored and compressed,
  // keyed, empty, every attribute, names with a space, a tab, a line break,
  // a backslash and non-ASCII bytes.
  std::vector<vt::Entry> entries() {
    return {
        {"plain stored.txt", "abc", 0, 0x04},
        {"deflated\tname", std::string(3000, 'z'), vt::key_hash("k"), 0x05},
        {"empty", "", 0, 0x00},
        {"dir\\inner.txt", "inner data inner data", 0, 0x07},
        {"caf\xE9 \xC3\xA9t\xC3\xA9", "bytes", 0, 0xFE},
        {"line\nbreak", "", vt::key_hash("other"), 0x02},
        {"all\\attrs", "0123456789", 0, 0xFF},
    };
  }
};

TEST_F(ListTest, MachineListingIsExact) {
  const std::vector<vt::Entry> e = entries();
  const std::string bytes = vt::build_archive(e);
  vt::write_file("arc.vrn", bytes);
  const std::string deflated_stored = std::to_string(vt::zcompress(std::string(3000, 'z')).size());
  const std::string expected =
      "name\tsize\tstored\tplacement\tmethod\tattributes\tkey\n"
      "plain stored.txt\t3\t3\tstandalone\tstored\tl-----\tno\n"
      "deflated\\tname\t3000\t" + deflated_stored + "\tstandalone\tdeflate\tl-----\tyes\n"
      "empty\t0\t0\tstandalone\tstored\t------\tno\n"
      "dir\\\\inner.txt\t21\t-\tin-directory\tdeflate\tl-----\tno\n"
      "caf\xE9 \xC3\xA9t\xC3\xA9\t5\t-\tin-directory\tstored\tle1234\tno\n"
      "line\\nbreak\t0\t-\tin-directory\tstored\t------\tyes\n"
      "all\\\\attrs\t10\t-\tin-directory\tdeflate\tle1234\tno\n";
  for (const char* program : {"vorn", "vornex", "vornalt"}) {
    vt::RunResult r = run(program, {"--list", "--machine", "arc.vrn"});
    EXPECT_EQ(r.status, 0) << program;
    EXPECT_EQ(r.out, expected) << program;
    EXPECT_EQ(r.err, "") << program;
  }
  EXPECT_EQ(vt::read_file("arc.vrn"), bytes) << "listing is read-only";
  EXPECT_EQ(vt::list_dir("."), std::vector<std::string>{"arc.vrn"});
}

TEST_F(ListTest, ColumnsStayAlignedWhateverTheNames) {
  std::vector<vt::Entry> e = entries();
  e.push_back({std::string(200, 'L') + ".txt", std::string(123456, 'q'), 0, 0x05});
  vt::write_file("arc.vrn", vt::build_archive(e));
  vt::RunResult r = run("vorn", {"arc.vrn", "--list"});
  ASSERT_EQ(r.status, 0);
  std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), e.size() + 2);  // header, one per entry, total
  const std::string& header = lines[0];
  const size_t name_col = header.find("name");
  ASSERT_NE(name_col, std::string::npos);
  // Every column ends where its heading ends (numbers) or starts where its
  // heading starts (words), in every row.
  const size_t size_end = header.find("size") + 4;
  const size_t stored_end = header.find("stored") + 6;
  for (size_t i = 1; i + 1 < lines.size(); ++i) {
    const std::string& line = lines[i];
    ASSERT_GT(line.size(), name_col) << line;
    EXPECT_NE(line[size_end - 1], ' ') << line;
    EXPECT_EQ(line[size_end], ' ') << line;
    EXPECT_NE(line[stored_end - 1], ' ') << line;
    for (const char* word : {"placement", "method", "attrs", "key"}) {
      const size_t at = header.find(word);
      EXPECT_NE(line[at], ' ') << word << ": " << line;
      EXPECT_EQ(line[at - 1], ' ') << word << ": " << line;
    }
    EXPECT_NE(line[name_col], ' ') << line;
    EXPECT_EQ(line[name_col - 1], ' ') << line;
  }
  EXPECT_NE(r.out.find(std::string(200, 'L') + ".txt\n"), std::string::npos);
  EXPECT_NE(lines.back().find("total: 8 entries, 126495 bytes"), std::string::npos) << lines.back();
  EXPECT_NE(r.out.find("deflated\\tname"), std::string::npos) << "a tab never splits a row";
  // In-directory entries have no stored size of their own, and say so.
  // A person sees a stored separator as it is; only the machine form doubles it.
  EXPECT_NE(r.out.find("    21  shared  in-directory  deflate  l-----  -    dir\\inner.txt\n"),
            std::string::npos)
      << r.out;
}

TEST_F(ListTest, NamesSelectAsExtractSpecsDo) {
  vt::write_file("arc.vrn", vt::build_archive(entries()));
  auto names = [](const vt::RunResult& r) {
    std::vector<std::string> out;
    for (const std::string& line : lines_of(r.out)) out.push_back(line.substr(0, line.find('\t')));
    return out;
  };
  // A plain name without case, '/' for '\'; a pattern with case counting.
  vt::RunResult r = run("vorn", {"--list", "--machine", "arc.vrn", "DIR/INNER.TXT", "e*", "P*"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(names(r), (std::vector<std::string>{"name", "empty", "dir\\\\inner.txt"}));
  r = run("vorn", {"--list", "--machine", "arc.vrn", "dir/*.txt"});
  EXPECT_EQ(names(r), (std::vector<std::string>{"name", "dir\\\\inner.txt"}));
  // Options among the names are ignored; a file on disk is never added.
  vt::write_file("new.txt", "n");
  const std::string before = vt::read_file("arc.vrn");
  r = run("vorn", {"--list", "--machine", "arc.vrn", "-a", "new.txt"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(names(r), (std::vector<std::string>{"name"}));
  EXPECT_EQ(vt::read_file("arc.vrn"), before);
}

TEST_F(ListTest, AnArchiveThatCannotBeLoadedListsNothing) {
  vt::write_file("plain.txt", "just some text, not an archive");
  for (const Args& args : {Args{"--list", "missing.vrn"}, Args{"--list", "plain.txt"},
                           Args{"--list"}}) {
    vt::RunResult r = run("vorn", args);
    EXPECT_EQ(r.status, vt::FAIL) << args.back();
    EXPECT_EQ(r.out, "") << args.back();
    EXPECT_EQ(r.err, "") << args.back();
  }
  EXPECT_FALSE(vt::file_exists("missing.vrn"));
}

// ---- failure reasons --------------------------------------------------------------

struct Mistake {
  std::string program;
  Args args;
  std::string reason;  // the line standard error shows with --verbose
};

TEST_F(InterfaceTest, EachCommonMistakeSaysWhyUnderVerboseAndNothingWithout) {
  const std::string archive = vt::build_archive({{"a.txt", "alpha", 0, 0x07}});
  vt::write_file("arc.vrn", archive);
  vt::write_file("plain.txt", "not an archive at all");
  vt::write_file("loop.args", "@loop.args");
  // A trailer that points at bytes which are no zlib stream.
  vt::write_file("bad.vrn", std::string(16, '\xFF') + vt::u32le(0 ^ 0x5A17C3E9u));
  const std::vector<Mistake> mistakes = {
      {"vornex", {"bad.vrn"}, "vornex: damaged data \"bad.vrn\" (compressed data does not inflate)\n"},
      {"vorn", {"arc.vrn", "nosuch.txt"},
       "vorn: cannot open \"nosuch.txt\": No such file or directory\n"},
      {"vornex", {"nosuch.vrn", "a.txt"},
       "vornex: cannot open the archive \"nosuch.vrn\": No such file or directory\n"},
      {"vorn", {"plain.txt", "a.txt"}, "vorn: not an archive \"plain.txt\" (no valid trailer)\n"},
      {"vorn", {"arc.vrn", "--delte", "a.txt"},
       "vorn: unrecognised option \"--delte\" (see vorn --help)\n"},
      {"vorn", {"-c"}, "vorn: no archive named (see vorn --help)\n"},
      {"vorn", {"@nosuch.args"},
       "vorn: cannot open the argument file \"nosuch.args\": No such file or directory\n"},
      {"vorn", {"arc.vrn", "@loop.args"},
       "vorn: argument file names itself \"loop.args\" (directly or through others)\n"},
      {"vorn", {"arc.vrn", "-stub:plain.txt", "a.txt"},
       "vorn: not a stub \"plain.txt\" (it must begin with \"MZ\")\n"},
  };
  for (const Mistake& m : mistakes) {
    Args verbose = m.args;
    verbose.insert(verbose.begin(), "--verbose");
    vt::RunResult r = run(m.program, verbose);
    EXPECT_EQ(r.status, vt::FAIL) << m.reason;
    EXPECT_EQ(r.err, m.reason);
    EXPECT_EQ(r.out, "") << m.reason;
    r = run(m.program, m.args);
    EXPECT_EQ(r.status, vt::FAIL) << m.reason;
    EXPECT_EQ(r.err, "") << "silent without --verbose: " << m.reason;
    EXPECT_EQ(r.out, "") << m.reason;
    EXPECT_EQ(vt::read_file("arc.vrn"), archive) << m.reason;
    EXPECT_EQ(vt::list_dir(".").size(), 4u) << "no file left behind: " << m.reason;
  }
}

// The message-file tool keeps its own diagnostics on standard output; the
// reason only names the stage that stopped the run.
TEST_F(InterfaceTest, TheMessageToolKeepsItsDiagnosticsOnStandardOutput) {
  vt::RunResult r = run("vorn", {"--verbose", "-mfile:nosuch.c", "-mmod:x.txt"});
  EXPECT_EQ(r.status, vt::FAIL);
  EXPECT_EQ(r.out, "unable to open file nosuch.c for reading\n");
  EXPECT_EQ(r.err, "vorn: cannot load the message file \"nosuch.c\"\n");
  r = run("vorn", {"-mfile:nosuch.c", "-mmod:x.txt"});
  EXPECT_EQ(r.status, vt::FAIL);
  EXPECT_EQ(r.out, "unable to open file nosuch.c for reading\n");
  EXPECT_EQ(r.err, "");
}

// A folder the user may not write to: the run is made as an ordinary user
// (root passes every permission check).
TEST_F(InterfaceTest, AnUnwritableFolderSaysWhy) {
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  vt::make_dir("ro");
  vt::write_file("ro/arc.vrn", vt::build_archive({{"a.txt", "alpha", 0, 0x07}}));
  vt::write_file("x.txt", "x");
  ASSERT_EQ(chmod("ro/arc.vrn", 0666), 0);
  ASSERT_EQ(chmod("x.txt", 0644), 0);
  ASSERT_EQ(chmod("ro", 0555), 0);
  vt::RunOptions o;
  o.unprivileged = true;
  // The ordinary user must reach the scratch folder at all (a TMPDIR inside
  // a private folder would stop it earlier, for another reason).
  if (vt::run_full("vorn", {"--list", "ro/arc.vrn"}, o).status != 0)
    GTEST_SKIP() << "an unprivileged user cannot reach " << dir_.path();
  vt::RunResult r = vt::run_full("vorn", {"--verbose", "ro/arc.vrn", "x.txt"}, o);
  EXPECT_EQ(r.status, vt::FAIL);
  EXPECT_EQ(r.err,
            "vorn: cannot create a temporary file beside \"ro/arc.vrn\": Permission denied\n");
  r = vt::run_full("vorn", {"ro/arc.vrn", "x.txt"}, o);
  EXPECT_EQ(r.status, vt::FAIL);
  EXPECT_EQ(r.err, "");
  // Extraction into it fails the same way, naming its own temporary file.
  ASSERT_EQ(chdir("ro"), 0);
  r = vt::run_full("vornex", {"--verbose", "arc.vrn", "a.txt"}, o);
  EXPECT_EQ(chdir(dir_.path().c_str()), 0);
  EXPECT_EQ(r.status, vt::FAIL);
  EXPECT_EQ(r.err, "vornex: cannot create a temporary file beside \"a.txt\": Permission denied\n");
  chmod("ro", 0755);
}

// ---- --verbose reports of successful runs ----------------------------------------

TEST_F(InterfaceTest, VerboseSaysWhatEachEntryUnderwent) {
  vt::write_file("arc.vrn", vt::build_archive({{"old.txt", "old", 0, 0x07},
                                               {"keep.txt", "keep", 0, 0x07},
                                               {"locked.txt", "secret", vt::key_hash("k"), 0x07},
                                               {"redo.txt", "redo redo", 0, 0x07}}));
  vt::write_file("new.txt", "new");
  vt::write_file("keep.txt", "keep 2");
  vt::RunResult r = run("vorn", {"--verbose", "arc.vrn", "new.txt", "keep.txt", "-d", "old.txt",
                                 "locked.txt", "nothing*", "-a", "+m", "-g", "redo.txt"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "skipped \"nothing*\": matched nothing\n"
            "added \"new.txt\"\n"
            "replaced \"keep.txt\"\n"
            "deleted \"old.txt\"\n"
            "skipped \"locked.txt\": key does not match\n"
            "re-stored \"redo.txt\"\n");
  vt::Parsed p;
  ASSERT_TRUE(vt::parse_archive(vt::read_file("arc.vrn"), &p));
  ASSERT_EQ(p.entries.size(), 4u);  // keep (replaced), locked, redo, new

  // Extraction: written, declined, refused by its key.
  vt::make_dir("out");
  ASSERT_EQ(chdir("out"), 0);
  vt::write_file("keep.txt", "on disk");
  r = run("vornex", {"--verbose", "../arc.vrn", "*"}, "n");
  EXPECT_EQ(chdir(dir_.path().c_str()), 0);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("skipped \"keep.txt\": not replaced (answer n)\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("skipped \"locked.txt\": key does not match\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("extracted \"new.txt\"\n"), std::string::npos) << r.err;
  EXPECT_EQ(vt::read_file("out/keep.txt"), "on disk");
  EXPECT_EQ(vt::read_file("out/new.txt"), "new");
}

TEST_F(InterfaceTest, SpecCommandLinesPrintNothingAnywhere) {
  vt::write_file("arc.vrn", vt::build_archive({{"a.txt", "alpha", 0, 0x07}}));
  vt::write_file("b.txt", "bravo");
  const std::vector<std::pair<std::string, Args>> runs = {
      {"vorn", {"arc.vrn", "b.txt", "-verbose", "+verbose", "-q", "-nologo"}},
      {"vornalt", {"arc.vrn", "-g", "b.txt"}},
      {"vorn", {"arc.vrn", "-v"}},
      {"vornex", {"arc.vrn", "*"}},
      {"vorn", {"arc.vrn", "-d", "b.txt"}},
      {"vorn", {"arc.vrn", "nosuch.txt"}},
      {"vornex", {"missing.vrn"}},
  };
  for (const auto& run_args : runs) {
    vt::RunResult r = run(run_args.first, run_args.second, "y");
    EXPECT_EQ(r.out, "") << run_args.second[1];
    EXPECT_EQ(r.err, "") << run_args.second[1];
  }
}

// ---- at a terminal -----------------------------------------------------------------

TEST_F(InterfaceTest, TheOverwriteQuestionIsAskedAtATerminal) {
  vt::write_file("arc.vrn", vt::build_archive({{"a.txt", "from the archive", 0, 0x07},
                                               {"b.txt", "bravo", 0, 0x07}}));
  vt::write_file("a.txt", "on disk");
  // A line without an answer asks again; the first of y, n, a in a line counts.
  vt::RunResult r = run_at_terminal("vornex", {"arc.vrn", "a.txt"}, "?\n  Yes\n");
  EXPECT_EQ(r.status, 0);
  const std::string question = "replace a.txt? [y]es, [n]o, [a]ll: ";
  EXPECT_EQ(r.out, question + question);
  EXPECT_EQ(vt::read_file("a.txt"), "from the archive");

  vt::write_file("a.txt", "on disk");
  r = run_at_terminal("vornex", {"arc.vrn", "a.txt"}, "no\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, question);
  EXPECT_EQ(vt::read_file("a.txt"), "on disk");

  // End of input answers no.
  r = run_at_terminal("vornex", {"arc.vrn", "a.txt"}, "\x04");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(vt::read_file("a.txt"), "on disk");

  // "all" answers every later question too.
  vt::write_file("b.txt", "on disk");
  r = run_at_terminal("vornex", {"arc.vrn", "*"}, "All\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, question);
  EXPECT_EQ(vt::read_file("b.txt"), "bravo");

  // Without a terminal: no question, characters read as always.
  vt::write_file("a.txt", "on disk");
  vt::RunResult piped = run("vornex", {"arc.vrn", "a.txt"}, "xqy");
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.err, "");
  EXPECT_EQ(piped.out, "");
  EXPECT_EQ(vt::read_file("a.txt"), "from the archive");
}

TEST_F(InterfaceTest, AFailureSaysWhyAtATerminalWithoutVerbose) {
  vt::RunResult r = run_at_terminal("vornex", {"missing.vrn"});
  EXPECT_EQ(r.status, vt::FAIL);
  EXPECT_NE(r.out.find("vornex: cannot open the archive \"missing.vrn\": No such file or directory"),
            std::string::npos)
      << r.out;
  // A successful run shows nothing there.
  vt::write_file("x.txt", "x");
  r = run_at_terminal("vorn", {"arc.vrn", "x.txt"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
}

TEST_F(InterfaceTest, ProgressIsDrawnAndClearedOnlyAtATerminal) {
  std::string big;
  for (int i = 0; i < 200000; ++i) big += std::to_string(i * 7919u % 1000003u) + ",";
  vt::write_file("big.bin", big);
  vt::RunResult r = run_at_terminal("vorn", {"--progress", "arc.vrn", "big.bin"});
  EXPECT_EQ(r.status, 0);
  // At least one drawing of the line: bytes done, total, the entry.
  EXPECT_TRUE(std::regex_search(r.out, std::regex("\r[0-9.]+ [KM]?i?B of [0-9.]+ [KM]?i?B.*big\\.bin")))
      << r.out;
  // Cleared at the end: the screen's last line is blank.
  const size_t last_cr = r.out.rfind('\r');
  ASSERT_NE(last_cr, std::string::npos);
  EXPECT_EQ(last_cr, r.out.size() - 1);
  const size_t previous_cr = r.out.rfind('\r', last_cr - 1);
  ASSERT_NE(previous_cr, std::string::npos);
  EXPECT_EQ(r.out.substr(previous_cr + 1, last_cr - previous_cr - 1).find_first_not_of(' '),
            std::string::npos);
  vt::Parsed p;
  ASSERT_TRUE(vt::parse_archive(vt::read_file("arc.vrn"), &p));
  ASSERT_EQ(p.entries.size(), 1u);
  EXPECT_EQ(p.entries[0].data, big);

  // Extraction draws it too.
  vt::make_dir("out");
  ASSERT_EQ(chdir("out"), 0);
  r = run_at_terminal("vornex", {"--progress", "../arc.vrn", "big.bin"});
  EXPECT_EQ(chdir(dir_.path().c_str()), 0);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("big.bin"), std::string::npos) << r.out;
  EXPECT_EQ(vt::read_file("out/big.bin"), big);

  // So does a rewrite that only moves stored entries.
  vt::write_file("small.txt", "small");
  ASSERT_EQ(run("vorn", {"arc.vrn", "small.txt"}).status, 0);
  r = run_at_terminal("vornalt", {"--progress", "arc.vrn", "-g", "-c", "big.bin"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("big.bin"), std::string::npos) << r.out;
  ASSERT_TRUE(vt::parse_archive(vt::read_file("arc.vrn"), &p));
  ASSERT_EQ(p.entries.size(), 2u);
  EXPECT_EQ(p.entries[0].name, "big.bin");
  EXPECT_EQ(p.entries[0].flags & 0x03, 0);  // standalone, stored
  EXPECT_EQ(p.entries[0].data, big);

  // Without the option a terminal shows nothing; without a terminal the
  // option shows nothing.
  r = run_at_terminal("vorn", {"arc.vrn", "big.bin"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  vt::RunResult piped = run("vorn", {"--progress", "arc.vrn", "big.bin"});
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.err, "");
  EXPECT_EQ(piped.out, "");
}

}  // namespace
