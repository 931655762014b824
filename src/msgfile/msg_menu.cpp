// msg_menu.cpp -- menu sets: the entries set0, set1, ... whose bodies carry an
// item name after a 14-unit item prefix.

#include "msgfile/msg_internal.h"

namespace {

constexpr int kPrefixUnits = 14;  // text units of the item prefix
constexpr size_t kMenuRoom = 1999;  // room the menu commands make beyond the text

std::string& text() { return g_msg.text; }

std::string menu_label(const std::string& set, long long n) { return set + std::to_string(n); }

int make_room() {
  try {
    text().reserve(text().size() + kMenuRoom);
  } catch (const std::exception&) {
    msg_print("out of memory\n");
    return -1;
  }
  return 0;
}

// Where an item's parts lie, for the entry whose label starts at `pos`.
struct Item {
  size_t sep = MSG_NONE;   // the first "\0" at or after the label
  size_t body = 0;         // two bytes after it
  size_t close = 0;        // the literal's closing quote (text length if none)
  size_t name = 0;         // after the item prefix
  size_t name_end = MSG_NONE;  // the first "\0" at or after `name`
};

Item locate_item(size_t pos) {
  const std::string& s = text();
  Item it;
  it.sep = s.find("\\0", pos);
  if (it.sep == std::string::npos) {
    it.sep = MSG_NONE;
    return it;
  }
  it.body = it.sep + 2;
  it.close = skip_literal(s, it.body);
  size_t p = it.body;
  for (int k = 0; k < kPrefixUnits; ++k) p = skip_text_unit(s, p);
  it.name = p;
  if (p < it.close) {
    // The name may run past the literal: its end is not looked for inside it.
    const size_t z = s.find("\\0", p);
    if (z != std::string::npos) it.name_end = z;
  }
  return it;
}

bool item_matches(const Item& it, const std::string& name) {
  return it.sep != MSG_NONE && it.name_end != MSG_NONE &&
         it.name_end - it.name == name.size() && text().compare(it.name, name.size(), name) == 0;
}

// ---- the menu cache ----
//
// An item's name is settled by its own literal when the name starts inside
// the literal and its "\0" lies inside it too; then only an edit of that
// literal can change it.  A name that runs past its literal (or has no end
// yet) could be changed by an edit elsewhere, so a set holding such an item is
// never cached: its commands walk the items as they always did.

MenuCache& cache() { return g_msg.menu; }

enum class Settled { NO_NAME, NAME, UNSETTLED };

// The item's name when its literal settles it.
Settled settled_name(const Item& it, std::string* name) {
  if (it.sep == MSG_NONE || it.name >= it.close) return Settled::NO_NAME;
  if (it.name_end == MSG_NONE || it.name_end >= it.close) return Settled::UNSETTLED;
  *name = text().substr(it.name, it.name_end - it.name);
  return Settled::NAME;
}

// Records item n of the cached set; false when it cannot be cached.
bool cache_item(long long n, size_t pos) {
  std::string name;
  switch (settled_name(locate_item(pos), &name)) {
    case Settled::NO_NAME:
      return true;
    case Settled::UNSETTLED:
      return false;
    case Settled::NAME:
      cache().first_by_name.emplace(std::move(name), n);
      return true;
  }
  return false;
}

// Walks the items from number `from` on to the first missing one, which
// becomes next_free.  False (and the cache dropped) when one cannot be cached.
bool walk_from(long long from) {
  MenuCache& c = cache();
  for (long long n = from;; ++n) {
    const size_t pos = find_message(menu_label(c.set, n));
    if (pos == MSG_NONE) {
      c.next_free = n;
      return true;
    }
    if (!cache_item(n, pos)) {
      c = MenuCache();
      return false;
    }
  }
}

// Walks the set's items once; true when the cache now describes them.
bool build_cache(const std::string& set) {
  MenuCache& c = cache();
  c = MenuCache();
  c.set = set;
  if (!walk_from(0)) return false;
  c.valid = true;
  c.generation = g_msg.edits;
  return true;
}

bool cache_usable(const std::string& set) {
  const MenuCache& c = cache();
  if (c.valid && c.set == set && c.generation == g_msg.edits) return true;
  return build_cache(set);
}

// After this command's own edit of item n (appended or its body replaced):
// the cache stays when the edit reached no further than the item's literal
// and the index still reads the text as before around it.
void cache_after_edit(long long n, bool appended, unsigned long long dead_before) {
  MenuCache& c = cache();
  const size_t pos = g_msg.index.valid ? find_message(menu_label(c.set, n)) : MSG_NONE;
  if (pos == MSG_NONE || g_msg.index.dead != dead_before || !cache_item(n, pos)) {
    c = MenuCache();
    return;
  }
  // An appended item may close a gap: the numbers after it were there
  // already and now count.
  if (appended && !walk_from(n + 1)) return;
  c.generation = g_msg.edits;
}

// Replaces the body of the item at `pos` by `content`.  0 or -1.
int replace_body(size_t pos, const Item& it, const std::string& content) {
  std::string& s = text();
  const size_t old_close = skip_literal(s, pos);
  const size_t old_len = it.close - it.body;
  try {
    s.replace(it.body, old_len, content);
  } catch (const std::exception&) {
    msg_print("out of memory\n");
    return -1;
  }
  msg_index_literal_edited(pos - 1, old_close, it.close,
                           static_cast<long long>(content.size()) -
                               static_cast<long long>(old_len));
  return 0;
}

// Gives every entry labelled set m the label set m-1 (m is 1 or more); true
// when there was one, false when there was none (nothing changes then).
bool renumber_items(const std::string& set, int m) {
  const std::string label = menu_label(set, m);
  size_t pos = find_message(label);
  if (pos == MSG_NONE) return false;
  const std::string lower = menu_label(set, static_cast<long long>(m) - 1);
  while (pos != MSG_NONE) {
    std::string& s = text();
    const size_t q = pos - 1;
    const size_t old_close = skip_literal(s, pos);
    s.replace(pos, lower.size(), lower);
    size_t edit_end = pos + lower.size();
    long long delta = 0;
    if (lower.size() < label.size()) {
      const size_t sep = s.find("\\0", pos);
      if (sep != std::string::npos && sep > pos) {
        s.erase(sep - 1, 1);
        delta = -1;
        if (sep > edit_end) edit_end = sep;
      }
    }
    msg_index_literal_edited(q, old_close, edit_end, delta);
    pos = find_message(label);
  }
  return true;
}

}  // namespace

int set_menu_item(const std::string& set, const std::string& content) {
  if (make_room() != 0) return -1;
  size_t p = 0;
  for (int k = 0; k < kPrefixUnits; ++k) p = skip_text_unit(content, p);
  const size_t z = content.find("\\0", p);
  if (z == std::string::npos || z == p) return -1;
  const std::string name = content.substr(p, z - p);

  if (cache_usable(set)) {
    // The first item of that name, or the next free number.
    MenuCache& c = cache();
    auto found = c.first_by_name.find(name);
    const bool append = found == c.first_by_name.end();
    const long long n = append ? c.next_free : found->second;
    const std::string label = menu_label(set, n);
    const unsigned long long dead_before = g_msg.index.dead;
    int rc;
    if (append) {
      rc = append_message(label, content);
    } else {
      const size_t pos = find_message(label);
      rc = replace_body(pos, locate_item(pos), content);
    }
    if (rc != 0) {
      c = MenuCache();
      return rc;
    }
    cache_after_edit(n, append, dead_before);
    return 0;
  }

  for (long long n = 0;; ++n) {
    const std::string label = menu_label(set, n);
    const size_t pos = find_message(label);
    if (pos == MSG_NONE) return append_message(label, content);
    const Item it = locate_item(pos);
    if (!item_matches(it, name)) continue;
    return replace_body(pos, it, content);
  }
}

int delete_menu_item(const std::string& set, const std::string& item) {
  if (make_room() != 0) return -1;
  for (long long n = 0;; ++n) {
    const size_t pos = find_message(menu_label(set, n));
    if (pos == MSG_NONE) return -1;
    if (!item_matches(locate_item(pos), item)) continue;
    std::string& s = text();
    const size_t q = pos - 1;
    const size_t close = skip_literal(s, pos);
    size_t end = close < s.size() ? close + 1 : s.size();
    while (end < s.size() && s[end] == ',') ++end;
    while (end < s.size() && (s[end] == '\r' || s[end] == '\n')) ++end;
    s.erase(q, end - q);
    msg_index_literal_removed(q, end - q);
    for (long long m = n + 1; renumber_items(set, static_cast<int>(m)); ++m) {
    }
    return 0;
  }
}

int rename_menu_item(const std::string& set, const std::string& item,
                     const std::string& new_name) {
  if (make_room() != 0) return -1;
  for (long long n = 0;; ++n) {
    const size_t pos = find_message(menu_label(set, n));
    if (pos == MSG_NONE) {
      msg_print("fail 2 (num=" + std::to_string(n) + ")\n");
      return -1;
    }
    const Item it = locate_item(pos);
    if (it.sep == MSG_NONE) {
      msg_print("fail 1\n");
      return -1;
    }
    if (!item_matches(it, item)) continue;
    std::string& s = text();
    const size_t old_close = skip_literal(s, pos);
    const size_t old_len = it.name_end - it.name;
    try {
      s.replace(it.name, old_len, new_name);
    } catch (const std::exception&) {
      msg_print("out of memory\n");
      return -1;
    }
    msg_index_literal_edited(pos - 1, old_close, it.name_end,
                             static_cast<long long>(new_name.size()) -
                                 static_cast<long long>(old_len));
    msg_print("anme changed\n");
    return 0;
  }
}
