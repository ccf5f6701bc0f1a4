#include "target_name.hpp"

#include <cstring>

namespace {

// On Windows a colon ends a drive ("C:x" is x in drive C's current folder)
// or, inside a name, opens a data stream of another file: wherever it
// stands, what follows it is the only safe part.
bool is_separator(char c, bool dos_paths) {
  return c == '/' || (dos_paths && (c == '\\' || c == ':'));
}

// Windows drops trailing dots and spaces from a path component, so there
// ".. " and "..." climb as ".." does.
bool is_parent(const char* begin, const char* end, bool dos_paths) {
  if (!dos_paths) {
    return end - begin == 2 && begin[0] == '.' && begin[1] == '.';
  }
  if (end - begin < 2 || begin[0] != '.' || begin[1] != '.') {
    return false;
  }
  for (const char* p = begin; p != end; ++p) {
    if (*p != '.' && *p != ' ') {
      return false;
    }
  }
  return true;
}

}  // namespace

TargetName safe_target_name(const char* stored, bool dos_paths) {
  bool unsafe = is_separator(stored[0], dos_paths) || (dos_paths && std::strchr(stored, ':'));
  const char* last = stored;
  const char* begin = last;
  for (const char* p = last;; ++p) {
    if (*p == '\0' || is_separator(*p, dos_paths)) {
      unsafe = unsafe || is_parent(begin, p, dos_paths);
      if (*p == '\0') {
        break;
      }
      begin = p + 1;
      last = begin;
    }
  }
  return unsafe ? TargetName{last, true} : TargetName{stored, false};
}

bool names_no_file(const char* name, bool dos_paths) {
  return name[0] == '\0' || std::strcmp(name, ".") == 0 ||
         is_parent(name, name + std::strlen(name), dos_paths);
}
