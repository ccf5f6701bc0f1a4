#include "target_path.hpp"

#include <cstring>

namespace {

constexpr std::size_t kMaxPath = 260;

char fold(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool equal_without_case(const char* a, const char* b, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) {
    if (fold(a[k]) != fold(b[k])) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool folders_are_plain(const char* name, std::uint32_t (*attributes)(const char* path)) {
  char path[kMaxPath];
  const std::size_t length = std::strlen(name);
  if (length >= sizeof path) {
    return false;
  }
  for (std::size_t k = 0; k < length; ++k) {
    if (name[k] != '\\' && name[k] != '/') {
      continue;
    }
    std::memcpy(path, name, k);
    path[k] = '\0';
    const std::uint32_t found = attributes(path);
    if (found == kNoAttributes || (found & kAttributeDirectory) == 0 ||
        (found & kAttributeReparsePoint) != 0) {
      return false;
    }
  }
  return true;
}

bool path_lies_below(const char* folder, const char* path) {
  std::size_t n = std::strlen(folder);
  if (n > 0 && folder[n - 1] == '\\') {
    --n;  // a drive's root ends in its separator
  }
  // Exactly, letters too: both names come from the object manager, which
  // gives them alike, and under Wine `set` and `SET` are two folders.
  return std::strlen(path) > n + 1 && path[n] == '\\' && std::strncmp(folder, path, n) == 0;
}

bool same_path(const char* a, const char* b) {
  const std::size_t n = std::strlen(a);
  return std::strlen(b) == n && equal_without_case(a, b, n);
}
