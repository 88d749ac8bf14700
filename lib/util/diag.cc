// The suite's diagnostics: one vreport behind the four message families.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "util/util.h"

namespace {

const char* program_name = "sorn";

[[gnu::format(printf, 3, 0)]] void vreport(FILE* out, const char* prefix, const char* fmt,
                                           va_list ap) {
  fputs(prefix, out);
  vfprintf(out, fmt, ap);
  fputc('\n', out);
  fflush(out);
}

}  // namespace

void set_program_name(const char* name) { program_name = name; }

const char* get_program_name(void) { return program_name; }

void log_note(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vreport(stdout, "sorn: ", fmt, ap);
  va_end(ap);
}

void log_warning(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vreport(stderr, "sorn: warning: ", fmt, ap);
  va_end(ap);
}

void die(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vreport(stderr, "sorn: error: ", fmt, ap);
  va_end(ap);
  exit(1);
}

void prog_error(const char* fmt, ...) {
  fprintf(stderr, "%s: error: ", program_name);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fputc('\n', stderr);
}

std::string strformat(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list again;
  va_copy(again, ap);
  int n = vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n));
    vsnprintf(out.data(), out.size() + 1, fmt, again);
  }
  va_end(again);
  return out;
}
