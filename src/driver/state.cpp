#include "driver/state.h"

ProcessState g_state;

void state_reset() { g_state = ProcessState(); }
