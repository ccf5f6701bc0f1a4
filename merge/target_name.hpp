// The name a target is created under. A first header may carry any name,
// also an absolute one or one that climbs out of the current folder with
// "..": such a name would let a crafted set write anywhere the user may
// write, without a question, so only its last path component is used.
#pragma once

#include <cstddef>

#include "format.hpp"

struct TargetName {
  const char* name;  // points into the stored name
  bool replaced;     // the stored name was not a plain relative path
};

// On Linux '/' separates; with `dos_paths` '\\' and '/' both separate, and a
// ':' anywhere (a drive as in C:, C:\x, C:x, or a data stream as in a:b)
// makes a name unsafe and separates too.
TargetName safe_target_name(const char* stored, bool dos_paths);

// "", "." and "..": a replaced name of this kind names no file at all.
bool names_no_file(const char* name, bool dos_paths);

// True when the last component of `name` names no file ("..", "/", ".",
// "a/"): nothing can be created under such a name, whatever else is there.
bool leaves_no_file(const char* name, bool dos_paths);

// The last path component of `path`: what follows its last separator.
const char* last_component(const char* path, bool dos_paths);

// With `dos_paths`, true when the last component names a device, not a file
// (CON, NUL, COM1, LPT1.txt, "aux ." and the like): data written there would
// go to the screen, a port, a printer or nowhere.
bool is_device_name(const char* name);

// A name as it is shown: a control byte (0x01-0x1F, 0x7F) in a name must not
// retitle the terminal, colour it or forge a line of output, so it is shown as
// a backslash and three octal digits; every other byte as it is. With
// `utf8_controls` (a terminal that reads UTF-8) the same goes for each byte
// of the C1 controls (C2 80 to C2 9F) and of the Unicode direction and
// isolate controls (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to
// U+2069),
// which would clear, retitle or reorder what the terminal shows; bytes of
// other code pages are shown as they are. With `c1_bytes` (a terminal of an
// 8-bit character set, where 0x9B alone opens a control sequence) the single
// bytes 0x80-0x9F are escaped too.
struct ShownName {
  char text[4 * kNameBufferSize];
};
ShownName shown_name(const char* name, bool utf8_controls, bool c1_bytes = false);
