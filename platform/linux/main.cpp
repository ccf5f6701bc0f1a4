// zunfelu: the Linux program. Answers come from standard input.
#include <csignal>
#include <cstdio>

#include "merge.hpp"

namespace {

int read_standard_input() { return std::getchar(); }

constexpr BuildProfile kLinuxProfile = {
    "zunfelu Ver 1.08 03/05/97 %s\n",
    "USAGE:\n\t zunfelu file\n",
    /*drive_option=*/false,
    read_standard_input,
    /*echo_answers=*/false,
    /*stamp_zero_sets_time=*/true,
    /*dos_paths=*/false,
};

}  // namespace

int main(int argc, char** argv) {
  // Past a file-size limit a write must fail and be reported, not kill the
  // tool and leave a cut-short target behind.
  std::signal(SIGXFSZ, SIG_IGN);
  return run_merge(argc, argv, kLinuxProfile);
}
