// The footprint check of an install: the package's footprint against the
// ".footprint" (or ".footprint.lock") file beside the package file.
#pragma once

// False when the first IGNORE_NEW line of "/etc/sorn.conf" says yes.
bool footprint_report_new(void);
// Returns when the package agrees with its footprint file (or has none);
// otherwise prints the differences and ends the process with status 1.
void footprint_check(const char* package_path, bool report_new);
