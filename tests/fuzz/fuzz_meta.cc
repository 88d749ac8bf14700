// The metadata parser against a model: lines read in pieces of at most 255
// bytes, a declaration is a keyword, one blank and at least one more byte,
// and its value is kept byte for byte.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "integrate/integrate.h"

namespace {

constexpr size_t kPiece = 255;

struct Lists {
  std::vector<std::string> groups, services, permissions, capabilities;
  bool operator==(const Lists&) const = default;
};

Lists model_read(std::string_view data) {
  Lists out;
  const struct {
    std::string_view keyword;
    std::vector<std::string>* list;
  } kinds[] = {{"group ", &out.groups},
               {"service ", &out.services},
               {"permission ", &out.permissions},
               {"capability ", &out.capabilities}};
  while (!data.empty()) {
    // One piece: up to and including a "\n", at most 255 bytes.
    size_t len = std::min(data.size(), kPiece);
    size_t nl = data.substr(0, len).find('\n');
    if (nl != std::string_view::npos) len = nl + 1;
    std::string_view line = data.substr(0, len);
    data.remove_prefix(len);
    line = line.substr(0, line.find('\0'));  // a C string
    line = line.substr(0, line.find('\n'));
    for (const auto& kind : kinds) {
      if (!line.starts_with(kind.keyword)) continue;
      if (line.size() > kind.keyword.size())
        kind.list->emplace_back(line.substr(kind.keyword.size()));
      break;
    }
  }
  return out;
}

std::vector<std::string> strings(const StringList* list) {
  std::vector<std::string> out;
  for (uint64_t i = 0; i < list->in_use; i++) out.emplace_back(list->strings[i]);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sorn_fuzz::MemFile file;
  file.fill(data, size);
  PackageMeta* meta = meta_read(file.path());
  Lists got{strings(meta->groups), strings(meta->services), strings(meta->permissions),
            strings(meta->capabilities)};
  meta_free(meta);
  FUZZ_CHECK(got == model_read(std::string_view(reinterpret_cast<const char*>(data), size)));
  return 0;
}
