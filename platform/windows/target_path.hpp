// The rules by which Zunfel32 keeps a target below the current folder. They
// are pure, so that they are tested natively as well as under Wine, which
// cannot show a junction.
#pragma once

#include <cstdint>

// Bits of a file's attributes that the rules look at, as Windows sets them.
constexpr std::uint32_t kAttributeDirectory = 0x10;
constexpr std::uint32_t kAttributeReparsePoint = 0x400;
constexpr std::uint32_t kNoAttributes = 0xFFFFFFFF;  // nothing there

// True when every folder on the way to `name` (each part before a '\\' or
// '/') is a real folder: not missing, not a file, not a junction or other
// reparse point. `attributes` gives the attributes of a path.
bool folders_are_plain(const char* name, std::uint32_t (*attributes)(const char* path));

// True when `path` names something inside `folder`, both final paths as the
// object manager gives them; compared exactly, letters included.
bool path_lies_below(const char* folder, const char* path);

// True when two full paths are the same, letters compared without case.
bool same_path(const char* a, const char* b);
