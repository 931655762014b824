// Placeholder: replaced by the deflated-array emitter.
#include "operations/emitter.h"
int emit_deflated_source(const char*, const char*) { return -1; }
int write_formatted(int, const char*, ...) { return -1; }
