#include "zarnout/remove.h"

int main(int argc, char** argv) { return zarnout_main(argc, argv); }
