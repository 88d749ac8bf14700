// The package file-name split against the grammar: the base name holds a
// "#" and, after the first of them, the first ".pkg.tar."; the name is what
// precedes that "#", the version what lies between it and the marker.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "archive/archive.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path(reinterpret_cast<const char*>(data), size);
  path = path.substr(0, path.find('\0'));  // a file name is a C string
  std::string base = path.substr(path.rfind('/') + 1);  // npos + 1 is 0
  size_t hash = base.find('#');
  size_t marker = base.find(".pkg.tar.");
  bool valid = hash != std::string::npos && marker != std::string::npos && marker > hash;

  char* name = nullptr;
  char* version = nullptr;
  int result = package_split_name(path.c_str(), &name, &version);
  FUZZ_CHECK((result == 0) == valid);
  if (valid) {
    FUZZ_CHECK(base.substr(0, hash) == name);
    FUZZ_CHECK(base.substr(hash + 1, marker - hash - 1) == version);
    // Name, "#", version and the marker spell the start of the base name.
    FUZZ_CHECK(base.starts_with(std::string(name) + "#" + version + ".pkg.tar."));
    free(name);
    free(version);
  } else {
    FUZZ_CHECK(name == nullptr && version == nullptr);
  }
  return 0;
}
