#include "target_name.hpp"

#include <cstdio>
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

bool leaves_no_file(const char* name, bool dos_paths) {
  return names_no_file(last_component(name, dos_paths), dos_paths);
}

const char* last_component(const char* path, bool dos_paths) {
  const char* last = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (is_separator(*p, dos_paths)) {
      last = p + 1;
    }
  }
  return last;
}

namespace {

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Windows reserves these names in every folder, with any extension, in any
// case; COM and LPT also with the superscript digits 1, 2 and 3.
bool is_device_stem(const char* stem, std::size_t length) {
  static const char* const kPlain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kPlain) {
    if (std::strlen(device) == length) {
      std::size_t k = 0;
      while (k < length && upper(stem[k]) == device[k]) {
        ++k;
      }
      if (k == length) {
        return true;
      }
    }
  }
  if (length != 4) {
    return false;
  }
  const char head[] = {upper(stem[0]), upper(stem[1]), upper(stem[2]), '\0'};
  const unsigned char digit = static_cast<unsigned char>(stem[3]);
  return (std::strcmp(head, "COM") == 0 || std::strcmp(head, "LPT") == 0) &&
         ((digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3);
}

}  // namespace

bool is_device_name(const char* name) {
  const char* stem = last_component(name, true);
  const char* dot = std::strchr(stem, '.');
  std::size_t length = dot != nullptr ? static_cast<std::size_t>(dot - stem) : std::strlen(stem);
  while (length > 0 && (stem[length - 1] == ' ' || stem[length - 1] == '.')) {
    --length;
  }
  return is_device_stem(stem, length);
}

namespace {

// The length of the terminal control that starts at `p` in UTF-8, or 0.
std::size_t utf8_control_length(const unsigned char* p) {
  if (p[0] == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F) {
    return 2;  // C1 controls, U+0080 to U+009F
  }
  if (p[0] == 0xD8 && p[1] == 0x9C) {
    return 2;  // U+061C, the Arabic letter mark
  }
  if (p[0] != 0xE2 || p[1] == '\0') {
    return 0;
  }
  const bool marks = p[1] == 0x80 && (p[2] == 0x8E || p[2] == 0x8F);   // U+200E, U+200F
  const bool embeds = p[1] == 0x80 && p[2] >= 0xAA && p[2] <= 0xAE;    // U+202A-U+202E
  const bool isolates = p[1] == 0x81 && p[2] >= 0xA6 && p[2] <= 0xA9;  // U+2066-U+2069
  return marks || embeds || isolates ? 3 : 0;
}

}  // namespace

ShownName shown_name(const char* name, bool utf8_controls, bool c1_bytes) {
  ShownName shown{};
  char* out = shown.text;
  std::size_t escaping = 0;  // bytes of a control sequence still to escape
  for (const char* p = name; *p != '\0' && out + 5 <= shown.text + sizeof shown.text; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (escaping == 0 && utf8_controls) {
      escaping = utf8_control_length(reinterpret_cast<const unsigned char*>(p));
    }
    if (escaping > 0 || c < 0x20 || c == 0x7F || (c1_bytes && c >= 0x80 && c <= 0x9F)) {
      std::snprintf(out, 5, "\\%03o", c);
      out += 4;
      escaping -= escaping > 0 ? 1 : 0;
    } else {
      *out++ = *p;
    }
  }
  return shown;
}
