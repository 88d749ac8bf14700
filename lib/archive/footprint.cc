// The footprint of a package: one line per member, drawn from tar's verbose
// listing. Stored footprints and the installer's check depend on these
// exact bytes.
#include <err.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "archive/archive.h"

namespace {

constexpr size_t kModeLen = 10;
constexpr size_t kOwnerMax = 255;
constexpr size_t kSizeMax = 63;
constexpr size_t kPathMax = kPathBuf - 1;
constexpr std::string_view kHardLinkWord = " link to ";

// Only blanks separate the columns of a listing line.
const char* skip_blanks(const char* p) {
  while (*p == ' ') p++;
  return p;
}

// Copies the token at p (up to a blank or the end), cut at max bytes, and
// returns the position after the whole token.
const char* take_token(const char* p, size_t max, std::string& into) {
  const char* end = p;
  while (*end != '\0' && *end != ' ') end++;
  into.assign(p, std::min(static_cast<size_t>(end - p), max));
  return end;
}

}  // namespace

bool footprint_line(const char* line, std::string& out) {
  if (strlen(line) < kModeLen) return false;
  std::string mode(line, kModeLen);
  std::string owner, size, skipped;
  const char* p = take_token(skip_blanks(line + kModeLen), kOwnerMax, owner);
  p = take_token(skip_blanks(p), kSizeMax, size);
  p = take_token(skip_blanks(p), 0, skipped);  // date
  p = take_token(skip_blanks(p), 0, skipped);  // time
  p = skip_blanks(p);

  std::string path(p, std::min(strlen(p), kPathMax));
  while (!path.empty() && (path.back() == '\r' || path.back() == '\n')) path.pop_back();

  // Hard links then read like symlinks: path -> target.
  bool link = mode[0] == 'h';
  size_t at = path.find(kHardLinkWord);
  if (at != std::string::npos) {
    path.replace(at, kHardLinkWord.size(), " -> ");
    link = true;
  }

  out = mode + "\t" + owner + "\t" + path;
  if ((mode[0] == 'b' || mode[0] == 'c') && size.find(',') != std::string::npos) {
    unsigned long major = 0, minor = 0;
    sscanf(size.c_str(), "%lu,%lu", &major, &minor);
    out += strformat(" (%lu, %lu)", major, minor);
  } else if (mode[0] == '-' && !link && strtoll(size.c_str(), nullptr, 10) == 0) {
    out += " (EMPTY)";
  }
  return true;
}

bool listing_line_unquote(const char* quoted_line, std::string& line, std::string& name) {
  if (strlen(quoted_line) < kModeLen) return false;
  std::string skipped;
  const char* p = take_token(skip_blanks(quoted_line + kModeLen), 0, skipped);  // owner
  for (int column = 0; column < 3; column++) p = take_token(skip_blanks(p), 0, skipped);
  p = skip_blanks(p);
  if (*p != '"') return false;
  line.assign(quoted_line, p);
  bool named = false;
  while (*p != '\0') {
    if (*p != '"') {
      line += *p++;
      continue;
    }
    // The default quoting escapes what C quoting does, but for '"' itself.
    size_t start = line.size();
    for (p++; *p != '\0' && *p != '"'; p++) {
      if (*p == '\\' && p[1] != '\0') {
        if (p[1] != '"') line += '\\';
        p++;
      }
      line += *p;
    }
    if (*p == '"') p++;
    if (!named) name.assign(line, start);
    named = true;
  }
  return named;
}

namespace {

// tar's verbose listing of the package, or null after "cannot read %s".
StringList* verbose_listing(const PackageFile& package) {
  StringListPtr lines(strlist_new());
  char arg0[] = "tar", arg1[] = "-tvf", arg2[] = "-";
  char* argv[] = {arg0, arg1, arg2, nullptr};
  if (run_tar_pipeline(package, argv, lines.get()) != 0) {
    warnx("cannot read %s", package.path);
    return nullptr;
  }
  return lines.release();
}

}  // namespace

int print_footprint(const PackageFile& package) {
  StringListPtr lines(verbose_listing(package));
  // The whole listing is taken first, so a failed one prints nothing.
  if (!lines) return -1;
  std::string out;
  for (uint64_t i = 0; i < lines->in_use; i++) {
    if (lines->strings[i] == nullptr || !footprint_line(lines->strings[i], out)) continue;
    fwrite(out.data(), 1, out.size(), stdout);
    putchar('\n');
  }
  return 0;
}

void listing_link_targets(const char* line, const char* sep, StringList* into) {
  if (line == nullptr || line[0] != 'h') return;
  size_t sep_len = strlen(sep);
  for (const char* at = strstr(line, sep); at != nullptr; at = strstr(at + 1, sep))
    strlist_add(into, at + sep_len);
}

int archive_link_targets(const PackageFile& package, StringList* into) {
  StringListPtr lines(verbose_listing(package));
  if (!lines) return -1;
  for (uint64_t i = 0; i < lines->in_use; i++)
    listing_link_targets(lines->strings[i], kHardLinkWord.data(), into);
  return 0;
}
