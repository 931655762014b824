// Placeholder: replaced by the command-line driver.
#include "driver/driver.h"
int vorn_main(int, char**) { return EXIT_FAILURE_CODE; }
int terminate(int code) { return code; }
int expand_argument(const char*) { return -1; }
int read_argument_file(const char*) { return -1; }
int remove_argument(int) { return -1; }
void select_personality_from_name(const char*) {}
void set_packer() {}
void set_extractor() {}
void set_modifier() {}
int write_stub() { return -1; }
