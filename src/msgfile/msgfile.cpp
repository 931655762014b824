// Placeholder: replaced by the message-file tool.
#include "msgfile/msgfile.h"
int load_message_file(const char*) { return -1; }
int load_change_script(const char*) { return -1; }
int apply_change_script() { return -1; }
int write_message_file() { return -1; }
void free_message_buffers() {}
