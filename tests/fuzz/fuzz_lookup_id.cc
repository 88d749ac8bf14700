// The account-file id lookup against a model. The name is the input's first
// line, the account file the rest. A name of decimal digits is an id when it
// fits an id below (id_t)-1; any other name is found on the first line that
// begins with it and ":", whose third field must be a decimal id followed by
// ":". Lines count with their first 1023 bytes; the rest of a longer line is
// never a line of its own.
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "integrate/integrate.h"

namespace {

constexpr size_t kLineMax = 1023;
constexpr unsigned long long kIdLimit = static_cast<id_t>(-1);  // exclusive

// A decimal id: one or more digits, below kIdLimit.
std::optional<id_t> decimal_id(std::string_view text) {
  if (text.empty()) return std::nullopt;
  unsigned long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value >= kIdLimit) return std::nullopt;
  }
  return static_cast<id_t>(value);
}

std::optional<id_t> model_lookup(std::string_view name, std::string_view file) {
  if (auto id = decimal_id(name)) return id;
  while (!file.empty()) {
    size_t nl = file.find('\n');
    std::string_view line = file.substr(0, nl);
    file.remove_prefix(nl == std::string_view::npos ? file.size() : nl + 1);
    line = line.substr(0, kLineMax);
    line = line.substr(0, line.find('\0'));
    if (!line.starts_with(name) || line.size() <= name.size() || line[name.size()] != ':')
      continue;
    line.remove_prefix(name.size() + 1);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    line.remove_prefix(colon + 1);
    size_t end = line.find_first_not_of("0123456789");
    if (end == 0 || end == std::string_view::npos || line[end] != ':') return std::nullopt;
    return decimal_id(line.substr(0, end));
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sorn_fuzz::MemFile file;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t nl = input.find('\n');
  if (nl == std::string_view::npos) return 0;
  std::string name(input.substr(0, nl));
  // The callers' names are fields split at ":" and hold no NUL.
  if (name.find_first_of(std::string(":\0", 2)) != std::string::npos) return 0;
  std::string_view accounts = input.substr(nl + 1);
  file.fill(accounts.data(), accounts.size());

  id_t id = 12345;
  // The root "/proc/self/fd" and the file named by the descriptor number
  // make the "%s/%s" path of the memfd.
  int result = lookup_id(file.dir(), file.name(), name.c_str(), &id);
  std::optional<id_t> want = model_lookup(name, accounts);
  FUZZ_CHECK((result == 0) == want.has_value());
  if (want) FUZZ_CHECK(id == *want);
  return 0;
}
