#include "wardrun/wardrun.h"

int main(int argc, char** argv) { return wardrun_main(argc, argv); }
