// Test-only Windows helper: runs a program in the same console and, once a
// trigger file appears, sends a console control event to every process of
// that console, as Ctrl+C at the keyboard would; then ends with the
// program's exit code. (Wine refuses a Ctrl+Break event.)
//   console_event TRIGGER -- PROGRAM ARGS
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "child_process.hpp"

namespace {

// The helper itself outlives the event, to report the program's code.
BOOL WINAPI survive(DWORD) { return TRUE; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || std::strcmp(argv[2], "--") != 0) {
    std::fprintf(stderr, "usage: console_event TRIGGER -- PROGRAM ARGS\n");
    return 120;
  }
  HANDLE process = start_rest_of_command_line("console_event");
  if (process == nullptr) {
    return 121;
  }
  SetConsoleCtrlHandler(survive, TRUE);
  while (WaitForSingleObject(process, 20) == WAIT_TIMEOUT) {
    if (GetFileAttributesA(argv[1]) != INVALID_FILE_ATTRIBUTES) {
      if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
        std::fprintf(stderr, "console_event: no event (error %lu)\n", GetLastError());
        return 123;
      }
      break;
    }
  }
  return exit_code_when_done(process);
}
