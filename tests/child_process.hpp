// For the test-only Windows helpers: the program named after " -- " on the
// helper's own command line, started in the same console, and its exit code.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstring>

// The started program's process handle, or null (the reason on stderr).
inline HANDLE start_rest_of_command_line(const char* helper) {
  const char* rest = std::strstr(GetCommandLineA(), " -- ");
  if (rest == nullptr) {
    std::fprintf(stderr, "%s: no -- before the program\n", helper);
    return nullptr;
  }
  char command[4096];
  std::snprintf(command, sizeof command, "%s", rest + 4);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    std::fprintf(stderr, "%s: cannot start %s\n", helper, command);
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

inline int exit_code_when_done(HANDLE process) {
  WaitForSingleObject(process, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  return static_cast<int>(code);
}
