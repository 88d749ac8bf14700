// The footprint merge: two footprint files read and sorted by key, then
// compared. Every reported line is counted, headers come once and before
// their lines, "new" only when asked for, and a list compared with itself
// reports nothing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <string_view>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_support.h"
#include "zarnin/footprint.h"

namespace {

std::string compare(const StringList* expected, const StringList* actual, bool report_new,
                    int* reported) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* out = open_memstream(&buf, &len);
  if (out == nullptr) abort();
  *reported = footprint_compare(expected, actual, report_new, out);
  fclose(out);
  std::string text(buf, len);
  free(buf);
  return text;
}

bool is_header(std::string_view line) {
  return line == "zarnin: footprint: missing" || line == "zarnin: footprint: changed" ||
         line == "zarnin: footprint: new";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sorn_fuzz::MemFile expected_file, actual_file;
  FuzzedDataProvider fdp(data, size);
  bool report_new = fdp.ConsumeBool();
  std::string expected_text = fdp.ConsumeRandomLengthString(size);
  std::string actual_text = fdp.ConsumeRemainingBytesAsString();
  // A footprint line that reads like a header would make the report
  // ambiguous to this check, not to the administrator.
  if ((expected_text + actual_text).find("zarnin: footprint: ") != std::string::npos) return 0;
  expected_file.fill(expected_text);
  actual_file.fill(actual_text);
  StringListPtr expected(footprint_read_list(expected_file.path()));
  StringListPtr actual(footprint_read_list(actual_file.path()));
  FUZZ_CHECK(expected && actual);

  // Sorted by key, as the merge needs.
  for (uint64_t i = 1; i < expected->in_use; i++)
    FUZZ_CHECK(footprint_line_key(expected->strings[i - 1]) <=
               footprint_line_key(expected->strings[i]));

  int reported = 0;
  std::string text = compare(expected.get(), actual.get(), report_new, &reported);
  std::set<std::string_view> headers;
  int lines = 0;
  std::string_view rest(text);
  std::string_view current;
  while (!rest.empty()) {
    size_t nl = rest.find('\n');
    FUZZ_CHECK(nl != std::string_view::npos);  // every report ends its line
    std::string_view line = rest.substr(0, nl);
    rest.remove_prefix(nl + 1);
    // A header, or a line of the category whose header came first.
    if (is_header(line) && current != line && !headers.count(line)) {
      headers.insert(line);
      current = line;
      continue;
    }
    FUZZ_CHECK(!headers.empty());
    lines++;
  }
  FUZZ_CHECK(lines == reported);
  if (!report_new) FUZZ_CHECK(!headers.count("zarnin: footprint: new"));
  if (expected->in_use == 0 && !report_new) FUZZ_CHECK(reported == 0);

  int self = 0;
  compare(expected.get(), expected.get(), true, &self);
  FUZZ_CHECK(self == 0);
  return 0;
}
