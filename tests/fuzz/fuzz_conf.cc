// The "/etc/sorn.conf" reader against a model: the first line whose first
// word (after blanks and tabs) begins with IGNORE_NEW decides, and it turns
// the report of new paths off only when "yes" follows the blanks, tabs and
// "=" after that word. Each line counts with its first 4095 bytes; the rest
// of a longer line is never a line of its own.
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "zarnin/footprint.h"

namespace {

constexpr size_t kLineMax = 4095;

bool model_report_new(std::string_view data) {
  while (!data.empty()) {
    size_t nl = data.find('\n');
    std::string_view line = data.substr(0, nl);
    data.remove_prefix(nl == std::string_view::npos ? data.size() : nl + 1);
    line = line.substr(0, kLineMax);
    line = line.substr(0, line.find('\0'));
    size_t p = line.find_first_not_of(" \t");
    if (p == std::string_view::npos || line[p] == '#') continue;
    line.remove_prefix(p);
    if (!line.starts_with("IGNORE_NEW")) continue;
    line.remove_prefix(10);
    p = line.find_first_not_of(" \t=");
    return p == std::string_view::npos || !line.substr(p).starts_with("yes");
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sorn_fuzz::MemFile file;
  file.fill(data, size);
  bool got = footprint_read_report_new(file.path());
  FUZZ_CHECK(got == model_report_new(std::string_view(reinterpret_cast<const char*>(data), size)));
  return 0;
}
