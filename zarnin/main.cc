#include "zarnin/install.h"

int main(int argc, char** argv) { return zarnin_main(argc, argv); }
