// Test-only Windows helper: writes exact key records into the console input,
// which a terminal multiplexer cannot deliver as Windows would (Ctrl+C as
// character 3, Escape with 27, grey keys), then runs a program in the same
// console and ends with its exit code.
//   inject_keys VK:CHAR:STATE ... -- PROGRAM ARGS
// Numbers are decimal; each record becomes a press and a release.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "child_process.hpp"

int main(int argc, char** argv) {
  HANDLE input =
      CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (input == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "inject_keys: no console\n");
    return 120;
  }
  // As while the program reads: raw, so Ctrl+C is a character, not a signal.
  SetConsoleMode(input, 0);
  std::vector<INPUT_RECORD> records;
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    unsigned vk = 0, ch = 0, state = 0;
    if (std::sscanf(argv[i], "%u:%u:%u", &vk, &ch, &state) != 3) {
      std::fprintf(stderr, "inject_keys: bad record %s\n", argv[i]);
      return 121;
    }
    INPUT_RECORD r{};
    r.EventType = KEY_EVENT;
    r.Event.KeyEvent.wRepeatCount = 1;
    r.Event.KeyEvent.wVirtualKeyCode = static_cast<WORD>(vk);
    r.Event.KeyEvent.uChar.AsciiChar = static_cast<CHAR>(ch);
    r.Event.KeyEvent.dwControlKeyState = state;
    r.Event.KeyEvent.bKeyDown = TRUE;
    records.push_back(r);
    r.Event.KeyEvent.bKeyDown = FALSE;
    records.push_back(r);
  }
  DWORD written = 0;
  if (!WriteConsoleInputA(input, records.data(), static_cast<DWORD>(records.size()), &written) ||
      written != records.size()) {
    std::fprintf(stderr, "inject_keys: writing the records failed\n");
    return 122;
  }
  HANDLE process = start_rest_of_command_line("inject_keys");
  return process == nullptr ? 123 : exit_code_when_done(process);
}
