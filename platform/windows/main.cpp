// Zunfel32: the Windows console program. Answers and floppy key waits are
// single key presses from the console.
#include <windows.h>

#include <cstdio>

#include "console_input.hpp"
#include "merge.hpp"

namespace {

constexpr BuildProfile kWindowsProfile = {
    "Zunfel32 Ver 1.08a %s\n",
    "USAGE:\n\t merge file [A|B:]\n",
    /*drive_option=*/true,
    read_console_key,
    /*echo_answers=*/true,
    /*stamp_zero_sets_time=*/false,
    /*dos_paths=*/true,
};

}  // namespace

int main(int argc, char** argv) {
  open_console_input();
  const int status = run_merge(argc, argv, kWindowsProfile);
  std::fflush(nullptr);
  ExitProcess(static_cast<UINT>(status));
}
