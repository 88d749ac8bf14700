#include "zarnin/install.h"

int zarnin_main(int, char**) { return 1; }
