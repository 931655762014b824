// Faults at every I/O call.  Each representative run is first made without a
// fault, counting the calls of every kind the platform layer can fail; then
// it is repeated once per call, in a fresh folder, with just that call
// failing.  Every time the run must end with -3, leave no temporary file,
// leave the archive and the message file byte for byte as they were, and
// leave every other file (extraction targets) either as it was or as the
// run without a fault left it.
//
// Rules for the faults a run meets after its change is in place, or
// survives:
//  - a failed flush of a folder happens after the rename it makes durable,
//    so the file renamed is already the complete new one; the run still ends
//    with -3 (the change may not survive a power cut);
//  - a failed deletion of the duplicate finder's report (after the archive
//    holding it is in place) ends the run with -3, the report left on disk;
//  - a short read is an end of file to the reader; a reader that reads on
//    from there and gets the same result, exit 0 and every file as the run
//    without a fault left it, is accepted; so is a run that only reads the
//    archive and, refused it for writing, reads it read-only.
// Every fault point the runs meet is counted; the survivals are printed.
//
// The figures of each walk are printed: fault points walked, per run.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/platform.h"
#include "support/e2e.h"
#include "support/scratch.h"
#include "support/support.h"

using namespace rt;

namespace {

// Path -> content; a folder is recorded with the content "<folder>".
using Tree = std::map<std::string, std::string>;
const char* const kFolder = "<folder>";

void snapshot(const std::string& dir, Tree* out) {
  for (const std::string& name : vt::list_dir(dir)) {
    const std::string path = dir == "." ? name : dir + "/" + name;
    if (pf_is_directory(path.c_str())) {
      (*out)[path] = kFolder;
      snapshot(path, out);
    } else {
      (*out)[path] = vt::read_file(path);
    }
  }
}

Tree snapshot() {
  Tree t;
  snapshot(".", &t);
  return t;
}

void materialise(const Tree& t) {
  for (const auto& kv : t) {
    if (kv.second == kFolder)
      vt::make_dir(kv.first);
    else
      vt::write_file(kv.first, kv.second);
  }
}

using vt::run_in_process;

struct Kind {
  PfFaultKind kind;
  const char* name;
};
const Kind kKinds[] = {
    {PF_FAULT_OPEN, "open"},          {PF_FAULT_OPEN_CREATE, "create"},
    {PF_FAULT_READ, "read"},          {PF_FAULT_SHORT_READ, "short read"},
    {PF_FAULT_WRITE, "write"},        {PF_FAULT_SHORT_WRITE, "short write"},
    {PF_FAULT_SEEK, "seek"},          {PF_FAULT_LENGTH, "length"},
    {PF_FAULT_SYNC, "flush"},         {PF_FAULT_RENAME, "rename"},
    {PF_FAULT_REMOVE, "remove"},      {PF_FAULT_MAKE_FOLDER, "folder creation"},
    {PF_FAULT_FOLDER_SYNC, "folder flush"}, {PF_FAULT_ENUMERATE, "enumeration"},
    {PF_FAULT_LOCK, "lock"},          {PF_FAULT_ATTRIBUTES, "attributes"},
    {PF_FAULT_SYNC_FILES, "flush pass"}, {PF_FAULT_REMOVE_FOLDER, "folder removal"},
};

struct Walk {
  const char* what;
  Tree files;                       // the folder before the run
  std::vector<std::string> args;    // argv, program name first
  std::vector<std::string> kept;    // files that must stay as they were
  Tree leftover = {};               // files a faulted deletion may leave
  bool reads_only = false;          // the run only reads the archive
};

// Runs the walk; returns the number of fault points walked.
int walk(const Walk& w) {
  Tree after;
  std::map<PfFaultKind, int> calls;
  {
    vt::ScratchDir d;
    materialise(w.files);
    pf_fault_clear();
    EXPECT_EQ(run_in_process(w.args), 0) << w.what << ": the run without a fault";
    for (const Kind& k : kKinds) calls[k.kind] = pf_fault_calls(k.kind);
    pf_fault_clear();
    after = snapshot();
    EXPECT_NE(after, w.files) << w.what << ": the run changes nothing";
  }
  const Tree& done = after;
  int points = 0, survived = 0;
  std::string figures;
  for (const Kind& k : kKinds) {
    for (int n = 1; n <= calls[k.kind]; ++n) {
      vt::ScratchDir d;
      materialise(w.files);
      pf_fault_clear();
      pf_fault_arm(k.kind, n);
      const int rc = run_in_process(w.args);
      pf_fault_clear();
      ++points;
      const std::string where = std::string(w.what) + ", " + k.name + " call " + std::to_string(n);
      const Tree now = snapshot();
      if (rc == 0 && now == done &&
          (k.kind == PF_FAULT_SHORT_READ || (k.kind == PF_FAULT_OPEN && w.reads_only))) {
        ++survived;  // read on from where the short read stopped, or read
        continue;    // an archive it could not open for writing
      }
      EXPECT_EQ(rc, EXIT_FAILURE_CODE) << where;
      EXPECT_TRUE(vt::temporaries(".").empty()) << where;
      for (const auto& kv : now) {
        if (kv.second != kFolder) continue;
        EXPECT_TRUE(vt::temporaries(kv.first).empty()) << where;
      }
      const Tree& before = w.files;
      for (const std::string& f : w.kept) {
        auto b = before.find(f), a = done.find(f), x = now.find(f);
        const bool as_before = b != before.end() && x != now.end() && x->second == b->second;
        const bool as_after = a != done.end() && x != now.end() && x->second == a->second;
        const bool committed = k.kind == PF_FAULT_FOLDER_SYNC || k.kind == PF_FAULT_REMOVE;
        EXPECT_TRUE(as_before || (committed && as_after))
            << where << ": " << f << " changed";
      }
      // Every file is as it was or as the complete run left it.
      Tree all = w.files;
      for (const auto& kv : after) all[kv.first];
      for (const auto& kv : now) all[kv.first];
      for (const auto& kv : all) {
        const std::string& p = kv.first;
        auto b = before.find(p), a = done.find(p), x = now.find(p);
        const bool missing = x == now.end();
        const bool as_before = (b == before.end()) ? missing : (!missing && x->second == b->second);
        const bool as_after = (a == done.end()) ? missing : (!missing && x->second == a->second);
        auto l = w.leftover.find(p);
        const bool left = k.kind == PF_FAULT_REMOVE && l != w.leftover.end() && !missing &&
                          x->second == l->second;
        EXPECT_TRUE(as_before || as_after || left) << where << ": " << p << " is neither old nor complete";
      }
    }
    if (calls[k.kind] > 0) figures += " " + std::string(k.name) + "=" + std::to_string(calls[k.kind]);
  }
  std::printf("[fault walk] %s: %d fault points (%s ), %d survived by the rules above\n",
              w.what, points, figures.c_str(), survived);
  return points;
}

const std::string kStub = "MZ" + noise(60, 31);

Tree archive_folder() {
  Tree t;
  t["arc.vrn"] = vt::build_archive(
      {entry("s1", noise(70000, 21), SC), entry("s2", "stored", SS),
       entry("d1", noise(90000, 22), DC), entry("d2", "two", DC), entry("copy", "two", DC),
       entry("sub\\deep.txt", noise(3000, 25), DC)},
      kStub);
  t["new1.txt"] = noise(50000, 23);
  t["new2.txt"] = noise(300, 24);
  t["stub.exe"] = "MZ" + noise(100, 26);
  return t;
}

// An archive the product wrote, whose directory stream spans several of the
// chunks a rewrite reads it in and many blocks, so that a rewrite copies
// old blocks while the old stream is inflated ahead.
Tree product_archive() {
  vt::ScratchDir d;
  const Tree files = {{"a.txt", noise(700000, 41)}, {"b.txt", noise(150000, 42)},
                      {"c.txt", noise(600000, 43)}};
  materialise(files);
  EXPECT_EQ(run_in_process({"vorn", "arc.vrn", "a.txt", "b.txt", "c.txt"}), 0);
  return {{"arc.vrn", vt::read_file("arc.vrn")}, {"new.txt", "new"}};
}

TEST(FaultWalk, EveryCallOfEveryRepresentativeRunFailsCleanly) {
  const Tree base = archive_folder();
  const Tree blocks = product_archive();

  const Tree msg_files = {
      {"msgs.c",
       "static char *msgs[] = {\r\n\"a\\0\\\r\nold\",\r\n\"m\\0\\\r\nx\",\r\n\r\n(char*)0\r\n\r\n};\r\n"},
      {"mod.txt", "\"set:a\\0new body\",\r\n\"set:b\\0another\",\r\n"}};

  // Compressed standalone entries queued one behind another, one of them
  // several blocks long.
  Tree queued = base;
  queued["new3.txt"] = noise(3 * 64 * 1024 + 100, 27);
  queued["new4.txt"] = "four";

  const std::vector<Walk> walks = {
      {"add", base, {"vorn", "arc.vrn", "new1.txt", "-g", "new2*"}, {"arc.vrn", "new1.txt"}},
      {"queued adds", queued, {"vorn", "arc.vrn", "--threads", "2", "-g", "new*"}, {"arc.vrn"}},
      {"queued re-stores", base,
       {"vornalt", "arc.vrn", "--threads", "2", "-g", "+c", "s2", "d1", "sub\\deep.txt"},
       {"arc.vrn"}},
      {"delete", base, {"vorn", "arc.vrn", "-d", "d2", "s1"}, {"arc.vrn"}},
      {"rewrite copying blocks", blocks,
       {"vorn", "arc.vrn", "--threads", "2", "-d", "b.txt", "-a", "new.txt"}, {"arc.vrn"}},
      {"re-store", base, {"vornalt", "arc.vrn", "-g", "-c", "d1", "+g", "+c", "s2"}, {"arc.vrn"}},
      {"stub change", base, {"vorn", "arc.vrn", "-stub:stub.exe"}, {"arc.vrn", "stub.exe"}},
      {"duplicate finder", base, {"vorn", "arc.vrn", "-redund:dups.txt"}, {"arc.vrn"},
       {{"dups.txt", "d2,copy\r\n"}}},
      {"extraction", base, {"vornex", "arc.vrn"}, {"arc.vrn"}, {}, true},
      {"extraction inside a rewrite", base,
       {"vorn", "arc.vrn", "-x", "d1", "sub\\deep.txt", "-d", "d2", "-a", "new2.txt"},
       {"arc.vrn"}},
      {"message file", msg_files, {"vorn", "-mfile:msgs.c", "-mmod:mod.txt"}, {"msgs.c", "mod.txt"}},
  };
  int total = 0;
  for (const Walk& w : walks) total += walk(w);
  std::printf("[fault walk] all runs: %d fault points\n", total);
  EXPECT_GT(total, 0);
}

}  // namespace
