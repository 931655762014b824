// replace.cpp -- exclusive temporaries beside their targets, the rename into
// place, and the list of temporaries alive.
#include "base/replace.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <unordered_map>
#include <vector>
#include <unordered_set>

#include "base/failure.h"
#include "base/names.h"
#include "platform/platform.h"

namespace {

// ---- the list of live temporaries ---------------------------------------------
//
// A singly linked list that only grows: a node is filled in completely before
// it is published at the head, and later marked dead and reused, so a signal
// handler that walks it only ever sees whole paths of live nodes.

struct LiveNode {
  std::unique_ptr<char[]> path;  // native path, NUL-terminated
  size_t capacity = 0;
  std::atomic<bool> folder{false};  // a folder made by the run, not a file
  std::atomic<bool> live{false};
  LiveNode* next = nullptr;
};

std::atomic<LiveNode*> g_live_head{nullptr};

// Frees the nodes when the process ends normally.
struct LiveListOwner {
  ~LiveListOwner() {
    LiveNode* n = g_live_head.exchange(nullptr);
    while (n) {
      LiveNode* next = n->next;
      delete n;
      n = next;
    }
  }
} g_live_owner;

// The bookkeeping of the main thread (a signal handler never looks at it):
// the dead nodes ready for reuse, and the live node of each path, so that
// adding and dropping cost O(1) however many temporaries are alive (an
// extraction holds one per in-directory target until the end).
std::vector<LiveNode*> g_free_nodes;
std::unordered_map<std::string, LiveNode*> g_live_by_path;
size_t g_node_count = 0;

void live_add(const std::string& path, bool folder = false) {
  const std::string native = pf_native_path(path.c_str());
  // The map's entry first: if anything below throws, the entry holds no node
  // and a drop of the path just removes it.
  LiveNode*& slot = g_live_by_path[native];
  LiveNode* n = nullptr;
  if (!g_free_nodes.empty()) {
    n = g_free_nodes.back();
    if (n->capacity <= native.size()) {
      // The node is dead: a handler skips it, so its buffer may change.
      std::unique_ptr<char[]> bigger(new char[native.size() + 1]);
      n->path = std::move(bigger);
      n->capacity = native.size() + 1;
    }
    g_free_nodes.pop_back();
    std::memcpy(n->path.get(), native.c_str(), native.size() + 1);
    n->folder.store(folder);
    n->live.store(true);
  } else {
    // Room on the free list for every node there is, so that dropping one
    // never allocates.
    g_free_nodes.reserve(g_node_count + 1);
    auto node = std::make_unique<LiveNode>();
    node->capacity = native.size() + 1;
    node->path.reset(new char[node->capacity]);
    std::memcpy(node->path.get(), native.c_str(), native.size() + 1);
    node->folder.store(folder);
    node->live.store(true);
    n = node.release();
    ++g_node_count;
    n->next = g_live_head.load();
    while (!g_live_head.compare_exchange_weak(n->next, n)) {
    }
  }
  slot = n;
}

// Holds interruptions back while it lives (also when an allocation throws).
struct InterruptHold {
  InterruptHold() { pf_hold_interrupts(1); }
  ~InterruptHold() { pf_hold_interrupts(0); }
  InterruptHold(const InterruptHold&) = delete;
  InterruptHold& operator=(const InterruptHold&) = delete;
};

void live_drop(const std::string& path) {
  const std::string native = pf_native_path(path.c_str());
  auto it = g_live_by_path.find(native);
  if (it == g_live_by_path.end()) return;
  LiveNode* n = it->second;
  g_live_by_path.erase(it);
  if (!n) return;
  n->live.store(false);
  g_free_nodes.push_back(n);  // room was reserved when the node was made
}

// Removes the listed folders that are empty and takes every folder off the
// list.  `remove` is the removal routine (the signal-safe one inside a
// handler).  A folder made inside another is emptied first: passes repeat
// while one of them removed something, so the list's order does not matter
// and nothing but the folders made by the run is ever touched.
void remove_listed_folders(int (*remove)(const char*)) {
  bool removed = true;
  while (removed) {
    removed = false;
    for (LiveNode* n = g_live_head.load(); n; n = n->next) {
      if (!n->live.load() || !n->folder.load()) continue;
      if (remove(n->path.get()) == 0) {
        n->live.store(false);
        removed = true;
      }
    }
  }
  for (LiveNode* n = g_live_head.load(); n; n = n->next)
    if (n->folder.load()) n->live.store(false);
}

// Takes every folder off the list for good (main thread only): its nodes go
// back to the free list.
void drop_listed_folders() {
  for (LiveNode* n = g_live_head.load(); n; n = n->next) {
    if (!n->folder.load()) continue;
    auto it = g_live_by_path.find(n->path.get());
    if (it == g_live_by_path.end() || it->second != n) continue;  // dropped already
    g_live_by_path.erase(it);
    n->live.store(false);
    n->folder.store(false);
    g_free_nodes.push_back(n);  // room was reserved when the node was made
  }
}

// ---- names --------------------------------------------------------------------

constexpr char kPrefix[] = "vorn";
constexpr char kSuffix[] = ".tmp";
constexpr size_t kUniqueLength = 8;
constexpr char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";
constexpr int kNameTries = 64;

// The folder part of a path: up to and including its last '\', '/' or ':'.
std::string folder_part(const std::string& path) {
  const size_t i = path.find_last_of(":\\/");
  return i == std::string::npos ? std::string() : path.substr(0, i + 1);
}

// A fresh 8-character text: a random seed taken once per process, the clock
// and a counter, mixed, so that runs started at once and names tried one
// after the other all differ.
std::string unique_part() {
  static std::atomic<uint64_t> counter{0};
  static const uint64_t seed = [] {
    uint64_t s = static_cast<uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    try {
      std::random_device rd;
      s ^= (static_cast<uint64_t>(rd()) << 32) ^ rd();
    } catch (...) {
      // The clock and the address below still differ between runs.
    }
    return s ^ reinterpret_cast<uintptr_t>(&s);
  }();
  uint64_t x = seed + 0x9E3779B97F4A7C15ull * (++counter) +
               static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 31;
  std::string out;
  for (size_t i = 0; i < kUniqueLength; ++i) {
    out.push_back(kAlphabet[x % 36]);
    x /= 36;
  }
  return out;
}


}  // namespace

bool is_temporary_name(const std::string& path) {
  const std::string name = last_component_after_drive(path);
  const size_t pre = sizeof kPrefix - 1, suf = sizeof kSuffix - 1;
  if (name.size() != pre + kUniqueLength + suf) return false;
  for (size_t k = 0; k < name.size(); ++k) {
    const char c = ascii_lower_char(name[k]);
    if (k < pre) {
      if (c != kPrefix[k]) return false;
    } else if (k < pre + kUniqueLength) {
      if (!std::strchr(kAlphabet, c) || c == '\0') return false;
    } else if (c != kSuffix[k - pre - kUniqueLength]) {
      return false;
    }
  }
  return true;
}

namespace {

int create(const std::string& target, TempFile* t, bool with_attributes) {
  const std::string folder = folder_part(target);
  for (int attempt = 0; attempt < kNameTries; ++attempt) {
    const std::string path = folder + kPrefix + unique_part() + kSuffix;
    // Created and listed in one step as far as an interruption can tell:
    // listed only once it is ours (a name another file holds is never on
    // the list, so a signal handler cannot delete it), and never ours
    // without being listed.
    int fd;
    {
      InterruptHold hold;
      fd = with_attributes ? pf_create_exclusive_default(path.c_str())
                           : pf_create_exclusive(path.c_str());
      if (fd >= 0) live_add(path);
    }
    if (fd >= 0) {
      t->target = target;
      t->path = path;
      t->fd = fd;
      t->created_with_attributes = with_attributes;
      return 0;
    }
    if (fd != -2)  // not a name taken: the folder refuses
      return fail_system("cannot create a temporary file beside", target);
  }
  return fail_note("cannot create a temporary file beside", target,
                   "(every name tried was taken)");
}

}  // namespace

int temp_create(const std::string& target, TempFile* t) { return create(target, t, false); }

int temp_create_new(const std::string& target, TempFile* t) { return create(target, t, true); }

void temp_discard(TempFile* t) {
  if (t->fd >= 0) pf_close(t->fd);
  t->fd = -1;
  if (!t->path.empty()) {
    pf_remove(t->path.c_str());
    live_drop(t->path);
    t->path.clear();
  }
}

namespace {

// temp_finish, with or without the flush.
int finish(TempFile* t, bool flush) {
  if (t->fd < 0 || t->path.empty()) {
    temp_discard(t);
    return -1;
  }
  bool ok = true;
  if (!t->created_with_attributes && pf_take_attributes(t->fd, t->target.c_str()) != 0) {
    fail_system("cannot give the new file the attributes of", t->target);
    ok = false;
  }
  if (ok && flush && pf_sync(t->fd) != 0) {
    fail_system("cannot flush the new file for", t->target);
    ok = false;
  }
  if (pf_close(t->fd) != 0 && ok) {
    fail_system("cannot write the new file for", t->target);
    ok = false;
  }
  t->fd = -1;
  if (!ok) {
    temp_discard(t);
    return -1;
  }
  return 0;
}

}  // namespace

int temp_finish(TempFile* t) { return finish(t, true); }

int temp_finish_unflushed(TempFile* t) { return finish(t, false); }

int temp_flush_all(const std::vector<const TempFile*>& temps) {
  std::vector<std::string> paths;
  paths.reserve(temps.size());
  for (const TempFile* t : temps) {
    if (t->path.empty() || t->fd >= 0) return -1;
    paths.push_back(t->path);
  }
  if (pf_sync_files(paths) == 0) return 0;
  return fail_system("cannot flush the new files for", temps.empty() ? std::string() : temps[0]->target);
}

int temp_rename(TempFile* t, TempPlacement placement) {
  if (t->path.empty() || t->fd >= 0) {
    temp_discard(t);
    return -1;
  }
  const int r = placement == TEMP_NEW_ONLY ? pf_rename_new(t->path.c_str(), t->target.c_str())
                                           : pf_rename(t->path.c_str(), t->target.c_str());
  if (r != 0) {
    fail_system(placement == TEMP_NEW_ONLY ? "cannot create" : "cannot replace", t->target);
    temp_discard(t);
    return -1;
  }
  live_drop(t->path);
  t->path.clear();
  return 0;
}

int temp_flush_folders(const std::vector<std::string>& paths) {
  std::unordered_set<std::string> seen;
  std::vector<std::string> one_each;  // a path in each folder
  for (const std::string& p : paths)
    if (seen.insert(folder_part(p)).second) one_each.push_back(p);
  if (one_each.empty() || pf_sync_folders(one_each) == 0) return 0;
  return fail_system("cannot flush the folder of", one_each[0]);
}

int temp_place(TempFile* t, TempPlacement placement) {
  if (temp_rename(t, placement) != 0) return -1;
  if (pf_sync_parent_dir(t->target.c_str()) == 0) return 0;
  return fail_system("cannot flush the folder of", t->target);
}

int temp_commit(TempFile* t, TempPlacement placement) {
  if (temp_finish(t) != 0) return -1;
  return temp_place(t, placement);
}

void track_created_file(const std::string& path) { live_add(path); }
void forget_created_file(const std::string& path) { live_drop(path); }

void track_created_folder(const std::string& path) {
  InterruptHold hold;
  live_add(path, true);
}

void forget_created_folders() { drop_listed_folders(); }

void remove_created_folders() {
  remove_listed_folders(pf_remove_empty_folder);
  drop_listed_folders();
}

void remove_live_temporaries() {
  for (LiveNode* n = g_live_head.load(); n; n = n->next)
    if (n->live.load() && !n->folder.load()) pf_remove_native(n->path.get());
  remove_listed_folders(pf_remove_empty_folder_native);
}
