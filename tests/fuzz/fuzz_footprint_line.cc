// Footprint line formatting: any listing line either is skipped (shorter
// than ten bytes) or gives "mode<TAB>owner<TAB>path[ suffix]" whose mode is
// the line's first ten bytes, whose owner is at most 255 bytes, and whose
// key (the path the installer compares) lies within the line.
#include <cstdint>
#include <cstring>
#include <string>

#include "archive/archive.h"
#include "fuzz_support.h"
#include "zarnin/footprint.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // tar's captured lines hold no newline and, as C strings, no NUL.
  std::string line(reinterpret_cast<const char*>(data), size);
  line = line.substr(0, line.find_first_of(std::string("\n\0", 2)));
  std::string out = "unchanged";
  bool printed = footprint_line(line.c_str(), out);
  FUZZ_CHECK(printed == (line.size() >= 10));
  if (!printed) {
    FUZZ_CHECK(out == "unchanged");
    return 0;
  }
  FUZZ_CHECK(out.compare(0, 10, line, 0, 10) == 0);
  FUZZ_CHECK(out.find('\n') == std::string::npos);
  size_t tab1 = out.find('\t', 10);
  FUZZ_CHECK(tab1 == 10);
  size_t tab2 = out.find('\t', tab1 + 1);
  FUZZ_CHECK(tab2 != std::string::npos && tab2 - tab1 - 1 <= 255);
  // The path is cut at 4095 bytes; a suffix adds at most a device pair.
  FUZZ_CHECK(out.size() - tab2 - 1 <= 4095 + 64);
  std::string_view key = footprint_line_key(out.c_str());
  FUZZ_CHECK(key.data() >= out.c_str() && key.data() + key.size() <= out.c_str() + out.size());
  return 0;
}
