#include "platform.hpp"

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winternl.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "target_name.hpp"
#include "target_path.hpp"

static_assert(kAttributeDirectory == FILE_ATTRIBUTE_DIRECTORY);
static_assert(kAttributeReparsePoint == FILE_ATTRIBUTE_REPARSE_POINT);
static_assert(kNoAttributes == INVALID_FILE_ATTRIBUTES);

namespace {

// From the moment the target is made until the run's verdict it is reached
// only through this handle, never by name again: a junction swapped into its
// folder part meanwhile cannot lead a delete, a size or the times elsewhere.
HANDLE target = INVALID_HANDLE_VALUE;

// What a console event finds: nothing to delete, a target being made (the
// event waits until it is made, or not), a target to delete, or one that the
// handler has taken over. The handler runs on a thread of its own while the
// merge goes on, so both sides change the state only by compare-exchange:
// the one that moves it away from `guarded` alone acts on the target.
// The system's interlocked calls, not std::atomic: with the Windows thread
// model, GCC 14's <atomic> needs condition variables, which came with Vista.
enum Guard : LONG { unguarded, creating, guarded, interrupted };
volatile LONG guard = unguarded;

// Moves the guard from `from` to `to` when it is there; what it was.
LONG move_guard(LONG from, LONG to) { return InterlockedCompareExchange(&guard, to, from); }
void set_guard(LONG to) { InterlockedExchange(&guard, to); }
// The merge's own thread, stopped by the handler before it touches the file.
HANDLE merge_thread = nullptr;

// A file is deleted and emptied through its handle by ntdll's own calls,
// which every Windows since NT has (the kernel32 calls that wrap them came
// only with Vista). Their records, as the kernel reads them:
struct DispositionRecord {
  BOOLEAN DeleteFile;
};
struct EndOfFileRecord {
  LARGE_INTEGER EndOfFile;
};

template <typename Record>
bool set_through(HANDLE file, Record record, FILE_INFORMATION_CLASS kind) {
  IO_STATUS_BLOCK io{};
  return NT_SUCCESS(NtSetInformationFile(file, &io, &record, sizeof record, kind));
}

// Marks the file to go when its last handle closes.
bool delete_through(HANDLE file) {
  return set_through(file, DispositionRecord{TRUE}, FileDispositionInformation);
}

// No data of a failed merge may stay under any name of the file: it is
// emptied through its handle first (another hard link keeps the file, and
// it may be one the user may not delete), then its name goes. The end of
// file is set without the file position, which the writer shares.
void erase_target() {
  set_through(target, EndOfFileRecord{}, FileEndOfFileInformation);
  delete_through(target);
}

// What blanks the sign of life out, as the engine made it; 0: none shows.
const char* volatile progress_blank = nullptr;
volatile LONG progress_blank_length = 0;

// Blanks the sign of life out, so that the console is left as without it.
// Called on the console handler's thread too.
void blank_progress() {
  const LONG length = InterlockedExchange(&progress_blank_length, 0);
  if (length > 0) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), progress_blank, static_cast<DWORD>(length), &written,
              nullptr);
  }
}

// Ctrl+C or Ctrl+Break while the sign of life shows and no target is made
// (a test): the line goes, then the program ends as it would have.
BOOL WINAPI blank_on_console_event(DWORD) {
  blank_progress();
  return FALSE;
}

// The merge's thread takes the target back from the guard. Where the handler
// has it already, the handler ends the program: nothing more may happen
// here meanwhile.
void take_back() {
  if (move_guard(guarded, unguarded) == interrupted) {
    for (;;) {
      Sleep(INFINITE);
    }
  }
}

// Ctrl+C (outside a key read, where it is character 3), Ctrl+Break and a
// closed console window: the target goes, and the program ends with the code
// of an interrupted console program. Terminating, not exiting, keeps the
// merge thread from writing or reporting anything after the file is gone;
// it closes every handle, and with the last one the file goes.
BOOL WINAPI on_console_event(DWORD) {
  blank_progress();
  while (move_guard(creating, creating) == creating) {
    Sleep(1);
  }
  if (move_guard(guarded, interrupted) == guarded) {
    // No write may land after the file was emptied: the merge stops first
    // (asking for its context waits until it has stopped).
    SuspendThread(merge_thread);
    CONTEXT context{};
    context.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(merge_thread, &context);
    erase_target();
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  }
  return FALSE;  // the default handler ends the program the same way
}

std::uint32_t attributes_of(const char* path) { return GetFileAttributesA(path); }

// Every folder on the way to the name is a real folder below the current one.
bool folders_are_plain(const char* name) { return ::folders_are_plain(name, attributes_of); }

// A file or folder opened only to ask about it, shared with everyone.
HANDLE open_to_ask(const char* name, DWORD flags) {
  return CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

bool file_identity(const char* name, DWORD flags, BY_HANDLE_FILE_INFORMATION& info) {
  HANDLE file = open_to_ask(name, flags);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  const bool known = GetFileInformationByHandle(file, &info) != 0;
  CloseHandle(file);
  return known;
}

bool same_identity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// Names compared as the file system does: full paths (trailing dots and
// blanks gone, "." and ".." taken), without case.
bool same_full_path(const char* a, const char* b) {
  char full_a[MAX_PATH];
  char full_b[MAX_PATH];
  const DWORD na = GetFullPathNameA(a, MAX_PATH, full_a, nullptr);
  const DWORD nb = GetFullPathNameA(b, MAX_PATH, full_b, nullptr);
  return na > 0 && nb > 0 && na < MAX_PATH && nb < MAX_PATH && same_path(full_a, full_b);
}

// Room for the longest name the object manager gives, in UTF-8.
constexpr std::size_t kFinalPathSize = 3 * 32768;

// The name of an open file or folder as the object manager knows it
// ("\Device\HarddiskVolume2\sets\report.txt"): where the open finally led,
// after any junction on the way. Both names compared are of this one form.
bool final_path(HANDLE handle, char (&path)[kFinalPathSize]) {
  alignas(OBJECT_NAME_INFORMATION) static unsigned char
      buffer[sizeof(OBJECT_NAME_INFORMATION) + 2 * 32768];
  ULONG length = 0;
  if (!NT_SUCCESS(NtQueryObject(handle, ObjectNameInformation, buffer, sizeof buffer, &length))) {
    return false;
  }
  const auto* name = &reinterpret_cast<const OBJECT_NAME_INFORMATION*>(buffer)->Name;
  const int n = WideCharToMultiByte(CP_UTF8, 0, name->Buffer, name->Length / 2, path,
                                    static_cast<int>(sizeof path - 1), nullptr, nullptr);
  if (n <= 0) {
    return false;
  }
  path[n] = '\0';
  return true;
}

// The final paths of the folder `folder_name` and of the open `file`.
bool final_paths(const char* folder_name, HANDLE file, char (&folder_path)[kFinalPathSize],
                 char (&path)[kFinalPathSize]) {
  HANDLE folder = open_to_ask(folder_name, 0);
  if (folder == INVALID_HANDLE_VALUE) {
    return false;
  }
  const bool known = final_path(folder, folder_path) && final_path(file, path);
  CloseHandle(folder);
  return known;
}

// The file that was opened lies below the current folder, wherever a link
// swapped in meanwhile might have led.
bool lies_below_current_folder(HANDLE file) {
  static char folder[kFinalPathSize];
  static char path[kFinalPathSize];
  return final_paths(".", file, folder, path) && path_lies_below(folder, path);
}

}  // namespace

bool platform_stands_at(const char* name) {
  return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES;
}

bool platform_name_exists(const char* name) {
  return folders_are_plain(name) && platform_stands_at(name);
}

namespace {

// What the comparisons with the set's components need to know of the
// target, asked once for all of them.
struct TargetLook {
  char name[MAX_PATH];
  bool plain;          // every folder on the way is a real one
  bool exists;         // something stands at the name
  bool at_name_known;  // the identity of what stands there, a link not followed
  BY_HANDLE_FILE_INFORMATION at_name;
  bool reached_known;  // the identity of what a link there leads to
  BY_HANDLE_FILE_INFORMATION reached;
};

const TargetLook& look_at(const char* target) {
  static TargetLook look{};
  if (look.name[0] == '\0' || std::strcmp(look.name, target) != 0) {
    std::snprintf(look.name, sizeof look.name, "%s", target);
    look.plain = folders_are_plain(target);
    look.exists = look.plain && GetFileAttributesA(target) != INVALID_FILE_ATTRIBUTES;
    look.at_name_known =
        look.exists && file_identity(target, FILE_FLAG_OPEN_REPARSE_POINT, look.at_name);
    look.reached_known = look.exists && file_identity(target, 0, look.reached);
  }
  return look;
}

}  // namespace

bool platform_same_file(const char* target, const char* component) {
  const TargetLook& look = look_at(target);
  if (!look.plain) {
    return false;
  }
  if (same_full_path(target, component)) {
    return true;
  }
  // With nothing at the name there is no link there, nor another hard link.
  BY_HANDLE_FILE_INFORMATION file;
  if (!look.exists || !file_identity(component, 0, file)) {
    return false;
  }
  return (look.at_name_known && same_identity(look.at_name, file)) ||
         (look.reached_known && same_identity(look.reached, file));
}

bool platform_is_standard_stream(const char* name) {
  BY_HANDLE_FILE_INFORMATION at_name;
  if (!folders_are_plain(name) || !file_identity(name, FILE_FLAG_OPEN_REPARSE_POINT, at_name) ||
      (at_name.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return false;
  }
  for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    HANDLE stream = GetStdHandle(which);
    BY_HANDLE_FILE_INFORMATION info;
    if (stream != nullptr && stream != INVALID_HANDLE_VALUE &&
        GetFileType(stream) == FILE_TYPE_DISK && GetFileInformationByHandle(stream, &info) != 0 &&
        same_identity(info, at_name)) {
      return true;
    }
  }
  return false;
}

namespace {

// Removes what stands at `name` (a link, a junction), reached as itself and
// found below the current folder, never what it leads to.
bool remove_link(const char* name) {
  HANDLE link = CreateFileA(name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (link == INVALID_HANDLE_VALUE) {
    return false;
  }
  const bool removed = lies_below_current_folder(link) && delete_through(link);
  CloseHandle(link);
  return removed;
}

// True when the file open as `file` is the one that `name` itself stands
// for, not one that a link at the name led to. Windows marks a link as a
// reparse point, but Wine shows a link to a file as a plain file and opens
// what it leads to: so the file's own final name is compared with the
// final name of the name's folder and the name's last part (that part
// without case, as Windows names go). A folder swapped meanwhile makes
// the names differ too.
bool reached_by_own_name(HANDLE file, const char* name) {
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(name, MAX_PATH, full, nullptr);
  if (length == 0 || length >= MAX_PATH) {
    return false;
  }
  const char* leaf = last_component(full, true);
  if (*leaf == '\0') {
    return false;
  }
  char folder_name[MAX_PATH];
  std::snprintf(folder_name, sizeof folder_name, "%.*s", static_cast<int>(leaf - full), full);
  static char folder_path[kFinalPathSize];
  static char path[kFinalPathSize];
  if (!final_paths(folder_name, file, folder_path, path)) {
    return false;
  }
  std::size_t n = std::strlen(folder_path);
  if (n > 0 && folder_path[n - 1] == '\\') {
    --n;  // a drive's root ends in its separator
  }
  return std::strncmp(folder_path, path, n) == 0 && path[n] == '\\' &&
         lstrcmpiA(path + n + 1, leaf) == 0;
}

// The file that `target` holds, given up: made by this run, it goes; an
// existing one the user answered y for stays as it is (emptied or not).
void give_up(bool created) {
  take_back();
  if (created) {
    delete_through(target);
  }
  CloseHandle(target);
  target = INVALID_HANDLE_VALUE;
}

}  // namespace

// The console handler is armed before the file is made and holds any event
// until the file is guarded or given up, so no moment exists in which a new
// or emptied file is left by an interrupt.
std::FILE* platform_create_target(const char* name, bool overwrite) {
  if (!folders_are_plain(name)) {
    return nullptr;
  }
  const DWORD attributes = GetFileAttributesA(name);
  const bool link = overwrite && attributes != INVALID_FILE_ATTRIBUTES &&
                    (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (link && !remove_link(name)) {
    return nullptr;
  }
  if (merge_thread == nullptr &&
      !DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &merge_thread,
                       THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, 0)) {
    return nullptr;
  }
  set_guard(creating);
  SetConsoleCtrlHandler(on_console_event, TRUE);
  // Only an answered y may empty a file; the file is emptied once it is
  // known to lie below the current folder.
  const bool empty_existing = overwrite && !link;
  const auto open_target = [&](DWORD access) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE | FILE_WRITE_ATTRIBUTES | access,
                       FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                       empty_existing ? OPEN_ALWAYS : CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  };
  target = open_target(DELETE);
  // A file the user may write but not delete (its access list says so) is
  // opened as fopen would open it, and emptied where it cannot be deleted.
  if (target == INVALID_HANDLE_VALUE && empty_existing && GetLastError() == ERROR_ACCESS_DENIED) {
    target = open_target(0);
  }
  if (target == INVALID_HANDLE_VALUE) {
    set_guard(unguarded);
    return nullptr;
  }
  const bool created = GetLastError() != ERROR_ALREADY_EXISTS || !empty_existing;
  // What the open reached decides, not what the name says: a link at the
  // name is never written through, and nothing outside the current folder
  // is written, also where a folder on the way was swapped for a link.
  if (!lies_below_current_folder(target) ||
      (empty_existing && !reached_by_own_name(target, name))) {
    give_up(created);
    return nullptr;
  }
  set_guard(guarded);
  // The stream writes through a handle of its own, closed with it; `target`
  // stays for the verdict.
  HANDLE writer = INVALID_HANDLE_VALUE;
  if (!SetEndOfFile(target) || !DuplicateHandle(GetCurrentProcess(), target, GetCurrentProcess(),
                                                &writer, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    give_up(created);
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(writer), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(writer);
    give_up(created);
    return nullptr;
  }
  std::FILE* optr = _fdopen(fd, "wb");
  if (optr == nullptr) {
    _close(fd);
    give_up(created);
    return nullptr;
  }
  return optr;
}

// A descriptor of its own for the size query, on the file made, not on
// whatever the name now leads to.
int platform_open_target(const char*) {
  HANDLE reader = INVALID_HANDLE_VALUE;
  if (target == INVALID_HANDLE_VALUE ||
      !DuplicateHandle(GetCurrentProcess(), target, GetCurrentProcess(), &reader, GENERIC_READ,
                       FALSE, 0)) {
    return -1;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(reader), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(reader);
  }
  return fd;
}

// The target stays guarded while it is erased: an interrupt meanwhile
// erases it too, and ends the program.
void platform_delete_target(const char*) {
  if (target != INVALID_HANDLE_VALUE) {
    erase_target();
  }
}

bool platform_set_target_size(long long size) {
  EndOfFileRecord end{};
  end.EndOfFile.QuadPart = size;
  return target != INVALID_HANDLE_VALUE && set_through(target, end, FileEndOfFileInformation);
}

void platform_release_target() {
  take_back();
  SetConsoleCtrlHandler(on_console_event, FALSE);
  if (target != INVALID_HANDLE_VALUE) {
    CloseHandle(target);  // a file marked for deletion goes now
    target = INVALID_HANDLE_VALUE;
  }
}

void platform_note_progress(const char* blank, std::size_t length) {
  static bool handled = false;
  if (length > 0 && !handled) {
    handled = SetConsoleCtrlHandler(blank_on_console_event, TRUE) != 0;
  }
  InterlockedExchange(&progress_blank_length, 0);
  progress_blank = blank;
  InterlockedExchange(&progress_blank_length, static_cast<LONG>(length));
}

// The system's words for an error, without the closing full stop and line
// end, or its number where it has none.
void describe_error(DWORD error, char (&reason)[kReasonSize]) {
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
      nullptr, error, 0, reason, sizeof reason, nullptr);
  while (length > 0 && (reason[length - 1] == ' ' || reason[length - 1] == '.' ||
                        reason[length - 1] == '\r' || reason[length - 1] == '\n')) {
    --length;
  }
  if (length == 0) {
    std::snprintf(reason, sizeof reason, "Windows error %lu", static_cast<unsigned long>(error));
    return;
  }
  reason[length] = '\0';
}

// Through the handle with the offset given, as a floppy's sectors are read:
// the descriptor's own position is not used.
long long platform_read_at(int fd, void* into, std::size_t size, long long offset,
                           char (&reason)[kReasonSize]) {
  const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  const DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
  DWORD got = 0;
  if (ReadFile(file, into, want, &got, &at)) {
    return got;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_HANDLE_EOF) {
    return 0;
  }
  describe_error(error, reason);
  return -1;
}

// The stamp is turned into a file time directly: going through local time
// shifts it by the zone's offset or by an hour across daylight saving.
int platform_set_times(const char*, const struct utimbuf& times) {
  if (times.actime < 0 || times.modtime < 0 || target == INVALID_HANDLE_VALUE) {
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
  return SetFileTime(target, nullptr, &access, &write) != 0 ? 0 : -1;
}
