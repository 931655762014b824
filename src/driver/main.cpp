#include "driver/driver.h"

int main(int argc, char** argv) { return vorn_main(argc, argv); }
