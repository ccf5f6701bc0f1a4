#include "platform.hpp"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdint>

namespace {

// The name a console event deletes. The handler runs on a thread of its own
// while the merge goes on, so the name is published atomically.
std::atomic<const char*> guarded{nullptr};

// Ctrl+C (outside a key read, where it is character 3), Ctrl+Break and a
// closed console window: the target goes, and the program ends with the code
// of an interrupted console program. Terminating, not exiting, keeps the
// merge thread from writing or reporting anything after the name is gone.
BOOL WINAPI on_console_event(DWORD) {
  const char* name = guarded.load();
  if (name != nullptr) {
    DeleteFileA(name);
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  }
  return FALSE;  // the default handler ends the program the same way
}

}  // namespace

bool platform_name_exists(const char* name) {
  return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES;
}

// The target is shared for deletion, so that the console handler can delete
// it while the merge still holds it open; the name goes when the handle
// closes, at the latest when the process ends.
std::FILE* platform_create_target(const char* name) {
  HANDLE file = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(file);
    return nullptr;
  }
  std::FILE* optr = _fdopen(fd, "wb");
  if (optr == nullptr) {
    _close(fd);
    return nullptr;
  }
  guarded = name;
  SetConsoleCtrlHandler(on_console_event, TRUE);
  return optr;
}

void platform_release_target() {
  if (guarded.exchange(nullptr) != nullptr) {
    SetConsoleCtrlHandler(on_console_event, FALSE);
  }
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
