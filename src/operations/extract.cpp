// Placeholder: replaced by extraction.
#include "operations/extract.h"
int extract_entries() { return -1; }
