// The name a target is created under. A first header may carry any name,
// also an absolute one or one that climbs out of the current folder with
// "..": such a name would let a crafted set write anywhere the user may
// write, without a question, so only its last path component is used.
#pragma once

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
