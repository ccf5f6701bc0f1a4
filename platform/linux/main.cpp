// zunfelu: the Linux program. Answers come from standard input.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "merge.hpp"

namespace {

int read_standard_input() { return std::getchar(); }

// A closed standard descriptor would be handed to the next file the tool
// opens, and the messages would then be written into the target. Each one
// that is closed gets /dev/null instead.
void fill_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0) {
      const int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (null >= 0 && null != fd) {
        dup2(null, fd);
        close(null);
      }
    }
  }
}

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
  // A reader that went away must not end the merge halfway with a
  // cut-short target: the messages are lost, the merge goes on.
  std::signal(SIGPIPE, SIG_IGN);
  fill_standard_descriptors();
  return run_merge(argc, argv, kLinuxProfile);
}
