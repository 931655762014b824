// listing.cpp -- "--list": what an archive holds, one line per entry.
#include "driver/driver.h"

#include <cstdio>
#include <string>
#include <vector>

#include "archive/collection.h"
#include "archive/entry_table.h"
#include "base/activity.h"
#include "base/failure.h"
#include "base/run_state.h"
#include "archive/archive_state.h"
#include "platform/platform.h"

namespace {

std::string with_slashes(const std::string& name) {
  std::string out = name;
  for (char& c : out) c = name_char(c);
  return out;
}

// A name or pattern of the command line selects an entry as an extract spec
// would: a pattern with letter case counting, a plain name without; '/' and
// '\' alike.
bool selects(const std::string& given, const std::string& entry) {
  const std::string g = with_slashes(given);
  const std::string e = with_slashes(entry);
  if (has_wildcard(g)) return wild_match(e.c_str(), g.c_str()) != 0;
  return ascii_lower(g) == ascii_lower(e);
}

// Bytes a standalone entry occupies in the data area: a stored entry its
// size; a compressed one up to the next standalone entry or the directory
// stream.  -1 when the offsets are inconsistent.
int64_t stored_bytes(int i) {
  const EntryTable& t = g_archive.loaded;
  const EntryRecord& e = *t.records[static_cast<size_t>(i)];
  const int64_t area_end = g_run.directory_offset;
  if (!(e.loaded_flags & ENTRY_COMPRESSED))
    return static_cast<int64_t>(e.offset) + e.size <= area_end ? e.size : -1;
  int64_t end = area_end;
  if (i + 1 < t.count()) {
    const EntryRecord& next = *t.records[static_cast<size_t>(i + 1)];
    if (!(next.loaded_flags & ENTRY_IN_DIRECTORY)) end = next.offset;
  }
  return end >= e.offset ? end - e.offset : -1;
}

std::string attribute_letters(uint16_t flags) {
  std::string a = "------";
  if (flags & ENTRY_ATTR_L) a[0] = 'l';
  if (flags & ENTRY_ATTR_E) a[1] = 'e';
  if (flags & ENTRY_USER1) a[2] = '1';
  if (flags & ENTRY_USER2) a[3] = '2';
  if (flags & ENTRY_USER3) a[4] = '3';
  if (flags & ENTRY_USER4) a[5] = '4';
  return a;
}

struct Row {
  std::string name;
  std::string size;
  std::string stored;
  std::string placement;
  std::string method;
  std::string attributes;
  bool keyed = false;
};

std::string pad_left(const std::string& s, size_t width) {
  return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}
std::string pad_right(const std::string& s, size_t width) {
  return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

}  // namespace

std::string escape_listed_name(const std::string& name, bool machine) {
  std::string out;
  for (char ch : name) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\\' && machine) out += "\\\\";
    else if (c == '\t') out += "\\t";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out;
}

int list_archive() {
  const std::string& path = g_settings.archive_path;
  RunState& run = g_run;
  const int fd = pf_open_read(path.c_str());
  if (fd < 0) return fail_system("cannot open the archive", path);
  run.archive_fd = fd;
  run.archive_existed = 1;
  if (load_archive_directory() != 0) return -1;

  std::vector<std::string> names;
  for (const std::string& arg : g_args)
    if (!arg.empty() && arg[0] != '-' && arg[0] != '+') names.push_back(arg);
  std::vector<char> used(names.size(), 0);

  const EntryTable& t = g_archive.loaded;
  std::vector<Row> rows;
  int64_t total_size = 0;
  int64_t total_stored = 0;
  for (int i = 0; i < t.count(); ++i) {
    const EntryRecord& e = *t.records[static_cast<size_t>(i)];
    const std::string entry_name = e.name;  // one copy for all the names given
    bool selected = names.empty();
    for (size_t k = 0; k < names.size(); ++k)
      if (selects(names[k], entry_name)) {
        selected = true;
        used[k] = 1;
      }
    if (!selected) continue;
    Row r;
    r.name = escape_listed_name(entry_name, g_ui.machine != 0);
    r.size = std::to_string(e.size);
    const bool in_directory = (e.loaded_flags & ENTRY_IN_DIRECTORY) != 0;
    if (in_directory) {
      // Its data shares the directory stream: there is no figure of its own.
      r.stored = g_ui.machine ? "-" : "shared";
    } else {
      const int64_t n = stored_bytes(i);
      r.stored = n < 0 ? std::string("?") : std::to_string(n);
      if (n > 0) total_stored += n;
    }
    r.placement = in_directory ? "in-directory" : "standalone";
    r.method = (e.loaded_flags & ENTRY_COMPRESSED) ? "deflate" : "stored";
    r.attributes = attribute_letters(e.loaded_flags);
    r.keyed = e.key_hash != 0;
    total_size += e.size;
    rows.push_back(std::move(r));
  }
  for (size_t k = 0; k < names.size(); ++k)
    if (!used[k]) activity_report("skipped", names[k], "matched nothing");

  std::string text;
  if (g_ui.machine) {
    text = "name\tsize\tstored\tplacement\tmethod\tattributes\tkey\n";
    for (const Row& r : rows)
      text += r.name + "\t" + r.size + "\t" + r.stored + "\t" + r.placement + "\t" + r.method +
              "\t" + r.attributes + "\t" + (r.keyed ? "yes" : "no") + "\n";
  } else {
    // The name comes last, so that a long one never shifts another column.
    size_t size_width = 4, stored_width = 6;
    for (const Row& r : rows) {
      if (r.size.size() > size_width) size_width = r.size.size();
      if (r.stored.size() > stored_width) stored_width = r.stored.size();
    }
    auto line = [&](const std::string& size, const std::string& stored, const std::string& place,
                    const std::string& method, const std::string& attrs, const std::string& key,
                    const std::string& name) {
      return pad_left(size, size_width) + "  " + pad_left(stored, stored_width) + "  " +
             pad_right(place, 12) + "  " + pad_right(method, 7) + "  " + pad_right(attrs, 6) +
             "  " + pad_right(key, 3) + "  " + name + "\n";
    };
    text = line("size", "stored", "placement", "method", "attrs", "key", "name");
    for (const Row& r : rows)
      text += line(r.size, r.stored, r.placement, r.method, r.attributes, r.keyed ? "yes" : "-",
                   r.name);
    const int64_t stream = run.archive_size - static_cast<int64_t>(TRAILER_SIZE) -
                           static_cast<int64_t>(run.directory_offset);
    text += "total: " + std::to_string(rows.size()) + (rows.size() == 1 ? " entry, " : " entries, ") +
            std::to_string(total_size) + " bytes; standalone data " + std::to_string(total_stored) +
            " bytes, in-directory data shares the directory stream of " + std::to_string(stream) +
            " bytes\n";
  }
  if (pf_write_stdout(text.data(), text.size()) != static_cast<int64_t>(text.size()))
    return fail_system("cannot write the listing", "");
  return 0;
}
