// StringList: a growable array of owned strings with an optional sorted mode.
#include <cstdlib>
#include <cstring>

#include "util/util.h"

static_assert(sizeof(uint64_t) == 8 && sizeof(StringList::in_use) == 8 &&
              sizeof(StringList::allocated) == 8 && sizeof(StringList::is_sorted) == 4);

namespace {

constexpr uint64_t kInitialSlots = 32;
// Below this size a linear scan is as quick as a bisection.
constexpr uint64_t kBisectAbove = 16;

// A null slot sorts before every string, so a list holding one can still be
// sorted and searched.
int compare_nullable(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return (a != nullptr) - (b != nullptr);
  return strcmp(a, b);
}

int compare_strings(const void* a, const void* b) {
  return compare_nullable(*static_cast<char* const*>(a), *static_cast<char* const*>(b));
}

}  // namespace

StringList* strlist_new(void) {
  auto* list = static_cast<StringList*>(must_malloc(sizeof(StringList)));
  list->strings = static_cast<char**>(must_malloc(kInitialSlots * sizeof(char*)));
  list->in_use = 0;
  list->allocated = kInitialSlots;
  list->is_sorted = 1;
  return list;
}

int strlist_add(StringList* list, const char* str) {
  if (list->in_use == list->allocated) {
    list->allocated *= 2;
    list->strings = static_cast<char**>(
        must_realloc(list->strings, list->allocated * sizeof(char*)));
  }
  list->strings[list->in_use++] = must_strdup(str);
  list->is_sorted = 0;
  return 0;
}

bool strlist_contains(const StringList* list, const char* str) {
  if (list == nullptr || str == nullptr) return false;
  if (list->is_sorted && list->in_use > kBisectAbove) {
    uint64_t lo = 0;
    uint64_t hi = list->in_use;
    while (lo < hi) {
      uint64_t mid = lo + (hi - lo) / 2;
      int c = compare_nullable(list->strings[mid], str);
      if (c == 0) return true;
      if (c < 0)
        lo = mid + 1;
      else
        hi = mid;
    }
    return false;
  }
  for (uint64_t i = 0; i < list->in_use; i++) {
    const char* s = list->strings[i];
    if (s != nullptr && strcmp(s, str) == 0) return true;
  }
  return false;
}

int strlist_remove(StringList* list, const char* str) {
  if (list == nullptr || str == nullptr) return -1;
  for (uint64_t i = 0; i < list->in_use; i++) {
    char* s = list->strings[i];
    if (s == nullptr || strcmp(s, str) != 0) continue;
    free(s);
    list->strings[i] = list->strings[--list->in_use];
    list->is_sorted = 0;
    return 0;
  }
  return -1;
}

void strlist_sort(StringList* list) {
  if (list == nullptr || list->is_sorted) return;
  if (list->in_use >= 2)
    qsort(list->strings, list->in_use, sizeof(char*), compare_strings);
  list->is_sorted = 1;
}

void strlist_free(StringList* list) {
  if (list == nullptr) return;
  for (uint64_t i = 0; i < list->in_use; i++) free(list->strings[i]);
  free(list->strings);
  free(list);
}
