// The install command.
#pragma once

// Parses the command line, installs one package file and returns the exit
// status (refusals end the process with status 1).
int zarnin_main(int argc, char** argv);
