// Zunfel32: the Windows console program. Answers and floppy key waits are
// single key presses from the console.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "console_input.hpp"
#include "merge.hpp"

namespace {

// Output to the console, not to a file or a pipe.
bool output_is_console() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

// The width of the console's buffer, where its lines wrap.
int console_width() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  return GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) != 0 ? info.dwSize.X
                                                                                 : 0;
}

// Wraps after 49 days, which the engine allows for.
std::uint32_t milliseconds() { return GetTickCount(); }

constexpr BuildProfile kWindowsProfile = {
    "Zunfel32 Ver 1.08a %s\n",
    "USAGE:\n\t merge file [A|B:]\n",
    /*drive_option=*/true,
    read_console_key,
    /*echo_answers=*/true,
    /*stamp_zero_sets_time=*/false,
    /*dos_paths=*/true,
    // The console shows UTF-8 controls as characters, not as controls.
    /*utf8_controls=*/false,
    /*reads_utf8=*/nullptr,
    // Windows names ignore case: P.z01 is P.Z01 already.
    /*lower_case_components=*/false,
    "/?",
    "Rebuilds the file that was cut into P.Z00, P.Z01, ...; the manual: README.txt beside "
    "Zunfel32.exe\n"
    "\t Zunfel32 --test file [A|B:]   checks every component and writes nothing\n"
    "\t Zunfel32 --list file [A|B:]   lists the set from its headers\n"
    "\t Zunfel32 --salvage file [A|B:]   writes what a broken set holds to NAME.salvaged\n"
    "\t their status: 0 whole, 2 damaged, 3 incomplete, 4 not a set, 5 not to be made here\n",
    "Zunfel32 " ZUNFEL_VERSION "\n",
    output_is_console,
    milliseconds,
    console_width,
    // A negative stamp is refused: a file time before 1970 is not set.
    /*sets_times_before_1970=*/false,
};

// Windows hands a program the command line in the ANSI code page, replacing
// characters that it lacks by look-alikes: "Ωmega" arrives as "Omega", a
// full-width quote as a real one. Such a line would name another set, so it
// is taken as no argument at all, which draws the usage text.
bool command_line_is_exact() {
  const wchar_t* wide = GetCommandLineW();
  const int size =
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) {
    return false;
  }
  std::vector<char> narrow(static_cast<std::size_t>(size));
  BOOL lost = FALSE;
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, narrow.data(), size, nullptr, &lost);
  return !lost && std::strcmp(narrow.data(), GetCommandLineA()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Every message leaves the program when it is printed, also into a file
  // or a pipe (a log, a batch file's `| more`): the C runtime buffers such
  // output in blocks, and knows no buffering by lines.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  open_console_input();
  if (!command_line_is_exact()) {
    argc = 1;
  }
  const int status = run_merge(argc, argv, kWindowsProfile);
  std::fflush(nullptr);
  ExitProcess(static_cast<UINT>(status));
}
