// Allocation that never fails, and the global operator new built on it so
// that every allocation failure in the suite ends with the same message.
#include <err.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "util/util.h"

void* must_malloc(size_t size) {
  void* p = malloc(size);
  if (p == nullptr) err(1, "malloc(%zu)", size);
  return p;
}

void* must_realloc(void* ptr, size_t size) {
  void* p = realloc(ptr, size);
  if (p == nullptr) err(1, "realloc(%zu)", size);
  return p;
}

char* must_strdup(const char* str) {
  if (str == nullptr) return nullptr;
  char* p = strdup(str);
  if (p == nullptr) err(1, "strdup");
  return p;
}

// malloc(0) may return null; ask for one byte so a null result is a failure.
void* operator new(size_t size) { return must_malloc(size == 0 ? 1 : size); }
void* operator new[](size_t size) { return must_malloc(size == 0 ? 1 : size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return must_malloc(size == 0 ? 1 : size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return must_malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }
