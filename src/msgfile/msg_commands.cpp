// msg_commands.cpp -- the change-script scanner and the six edit commands.
#include <cstring>


#include "msgfile/msg_internal.h"

namespace {

constexpr size_t kWorkCopy = 999;  // bytes of argument text a command looks at

enum Command { CMD_SET, CMD_DEL, CMD_REN, CMD_SET_MENU, CMD_DEL_MENU, CMD_REN_MENU, CMD_OPTIMIZE };

struct Keyword {
  const char* word;
  Command cmd;
};

// Tried in this order, with letter case.
const Keyword kKeywords[] = {
    {"set:", CMD_SET},           {"del:", CMD_DEL},           {"ren:", CMD_REN},
    {"set_menu:", CMD_SET_MENU}, {"del_menu:", CMD_DEL_MENU}, {"ren_menu:", CMD_REN_MENU},
    {"optimize", CMD_OPTIMIZE},
};

const Keyword* match_keyword(const std::string& s, size_t pos) {
  for (const Keyword& k : kKeywords)
    if (s.compare(pos, std::strlen(k.word), k.word) == 0) return &k;
  return nullptr;
}

// Runs one command on its argument text, which starts at `arg_pos` in the
// script.  0, or -1 after a diagnostic.
int run_command(Command cmd, const std::string& arg, size_t arg_pos) {
  if (cmd == CMD_OPTIMIZE) {
    if (!arg.empty()) {
      report_script_error(arg_pos, "optimize must have no parameters");
      return -1;
    }
    optimize_message_text();
    return 0;
  }

  // The separators are looked for in a copy of the first 999 bytes.
  const std::string work = arg.substr(0, kWorkCopy);
  const size_t npos = std::string::npos;
  size_t c1 = work.find(',');
  size_t c2 = c1 != npos ? work.find(',', c1 + 1) : npos;
  size_t z = work.find("\\0");
  if (c1 != npos && z != npos) {
    if (z > c1) {
      z = npos;
    } else {
      c1 = npos;
      c2 = npos;
    }
  }

  switch (cmd) {
    case CMD_SET: {
      if (z == npos) {
        report_script_error(arg_pos, "set must have '\\0' separator between label and message body");
        return -1;
      }
      const std::string label = work.substr(0, z);
      delete_message(label);
      if (append_message(label, arg.substr(z + 2)) != 0) {
        report_script_error(arg_pos + z + 2, "unable to set message");
        return -1;
      }
      return 0;
    }
    case CMD_DEL:
      if (c1 != npos || z != npos) {
        report_script_error(arg_pos, "del must have label specification only");
        return -1;
      }
      delete_message(work);
      return 0;
    case CMD_REN: {
      if (c1 == npos || arg.find("\\0") != npos) {
        report_script_error(arg_pos, "ren must have label,label specification only");
        return -1;
      }
      const std::string new_label = arg.substr(c1 + 1, kWorkCopy);
      if (rename_message(work.substr(0, c1), new_label) != 0) {
        report_script_error(arg_pos + c1 + 1, "unable to rename item");
        return -1;
      }
      return 0;
    }
    // A menu command that cannot do its work has said so in its own words
    // (or found nothing to do) and left the text as it was: the script goes
    // on, so its result is not looked at.
    case CMD_SET_MENU:
      if (c1 == npos) {
        report_script_error(arg_pos, "set_menu must have menu set name and content");
        return -1;
      }
      (void)set_menu_item(work.substr(0, c1), work.substr(c1 + 1));
      return 0;
    case CMD_DEL_MENU:
      if (c1 == npos) {
        report_script_error(arg_pos, "del_menu must have menu set name and label only");
        return -1;
      }
      (void)delete_menu_item(work.substr(0, c1), work.substr(c1 + 1));
      return 0;
    case CMD_REN_MENU:
      if (c1 == npos || c2 == npos) {
        report_script_error(arg_pos,
                            "ren_menu must have menu set name, existing name and new name only");
        return -1;
      }
      (void)rename_menu_item(work.substr(0, c1), work.substr(c1 + 1, c2 - c1 - 1),
                             work.substr(c2 + 1));
      return 0;
    case CMD_OPTIMIZE:
      break;
  }
  return 0;
}

}  // namespace

void report_script_error(size_t pos, const std::string& msg) {
  const std::string& s = g_msg.script;
  if (pos > s.size()) pos = s.size();
  long long line = 1;
  size_t i = 0;
  while (i < pos) {
    const char c = s[i];
    if (c == '\r' || c == '\n') {
      ++line;
      const char other = c == '\r' ? '\n' : '\r';
      i += (i + 1 < pos && s[i + 1] == other) ? 2 : 1;
    } else {
      ++i;
    }
  }
  msg_print(g_msg.script_path + ": line " + std::to_string(line) + ": " + msg + "\n");
}

int apply_change_script() {
  try {
    const std::string& s = g_msg.script;
    return scan_text(s, 0, [&](const TextPiece& piece) {
      if (piece.kind != PIECE_LITERAL) return 0;
      const Keyword* k = match_keyword(s, piece.begin + 1);
      if (!k) {
        report_script_error(piece.begin, "unrecognized change command type");
        return -1;
      }
      const size_t arg_pos = piece.begin + 1 + std::strlen(k->word);
      const std::string arg = s.substr(arg_pos, piece.close - arg_pos);
      return run_command(k->cmd, arg, arg_pos) != 0 ? -1 : 0;
    });
  } catch (const std::exception&) {
    msg_print("out of memory\n");
    return -1;
  }
}
