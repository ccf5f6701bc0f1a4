#include "platform.hpp"

#include <windows.h>

#include <cstdint>

bool platform_name_exists(const char* name) {
  return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES;
}

// The stamp is turned into a file time directly: going through local time
// shifts it by the zone's offset or by an hour across daylight saving.
int platform_set_times(const char* name, const struct utimbuf& times) {
  if (times.actime < 0 || times.modtime < 0) {
    return -1;
  }
  HANDLE file = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return -1;
  }
  constexpr std::uint64_t kTicksPerSecond = 10000000;
  constexpr std::uint64_t kEpochTicks = 116444736000000000;  // 1601-01-01 to 1970-01-01
  auto file_time = [](std::int64_t seconds) {
    const std::uint64_t ticks = static_cast<std::uint64_t>(seconds) * kTicksPerSecond + kEpochTicks;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  };
  const FILETIME access = file_time(times.actime);
  const FILETIME write = file_time(times.modtime);
  const bool set = SetFileTime(file, nullptr, &access, &write) != 0;
  CloseHandle(file);
  return set ? 0 : -1;
}
