// zunfelu: the Linux program. Answers come from standard input.
#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "interrupts.hpp"
#include "merge.hpp"

namespace {

// Standard input may have been left non-blocking by another program: "try
// again" is no end of input, so the tool waits for the answer and reads
// again, leaving the descriptor's mode as it found it.
int read_standard_input() {
  for (;;) {
    errno = 0;
    const int c = std::getchar();
    if (c != EOF || !std::ferror(stdin) || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      return c;
    }
    std::clearerr(stdin);
    pollfd input{0, POLLIN, 0};
    poll(&input, 1, -1);
  }
}

// A closed standard descriptor would be handed to the next file the tool
// opens, and the messages would then be written into the target. Each one
// that is closed gets /dev/null instead; false when that cannot be done.
bool fill_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0) {
      const int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (null != fd) {
        if (null < 0 || dup2(null, fd) != fd) {
          return false;
        }
        close(null);
      }
    }
  }
  return true;
}

// Standard output may have been left non-blocking too (a terminal's input
// and output are often one open file): what the tool says is then written
// whole, waiting for the output to take more, and the mode stays as found.
ssize_t write_whole(void*, const char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = write(1, data + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd output{1, POLLOUT, 0};
      poll(&output, 1, -1);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return done > 0 ? static_cast<ssize_t>(done) : -1;
    }
  }
  return static_cast<ssize_t>(done);
}

// Standard output as a stream that writes through write_whole. It is
// written out line by line wherever it goes, as on a terminal: a log file or
// a pipe (a nightly script, `| tee`) holds each line when it happens, also of
// a run that is killed halfway.
bool wait_for_output() {
  const cookie_io_functions_t io{nullptr, write_whole, nullptr, nullptr};
  std::FILE* out = fopencookie(nullptr, "w", io);
  if (out == nullptr) {
    return false;
  }
  std::setvbuf(out, nullptr, _IOLBF, BUFSIZ);
  stdout = out;
  return true;
}

// `ulimit -t` sets the soft and the hard CPU limit alike, and at the hard
// one the kernel ends the tool with SIGKILL, which nothing can catch: the
// soft limit is set a second lower, so that SIGXCPU comes first and the
// unfinished file is deleted. (A hard limit of one second leaves no room.)
void cpu_limit_warns_first() {
  rlimit cpu{};
  if (getrlimit(RLIMIT_CPU, &cpu) == 0 && cpu.rlim_max != RLIM_INFINITY &&
      cpu.rlim_cur == cpu.rlim_max && cpu.rlim_max > 1) {
    cpu.rlim_cur = cpu.rlim_max - 1;
    setrlimit(RLIMIT_CPU, &cpu);
  }
}

// A terminal of an 8-bit character set takes the single bytes 0x80-0x9F as
// controls; one that reads UTF-8 takes them only as parts of characters.
bool terminal_reads_utf8() {
  const char* set = setlocale(LC_CTYPE, "") != nullptr ? nl_langinfo(CODESET) : "";
  const bool utf8 = std::strcmp(set, "UTF-8") == 0;
  setlocale(LC_CTYPE, "C");
  return utf8;
}

bool output_is_terminal() { return isatty(1) == 1; }

int terminal_width() {
  winsize size{};
  return ioctl(1, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

std::uint32_t milliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

constexpr BuildProfile kLinuxProfile = {
    "zunfelu Ver 1.08 03/05/97 %s\n",
    "USAGE:\n\t zunfelu file\n",
    /*drive_option=*/false,
    read_standard_input,
    /*echo_answers=*/false,
    /*stamp_zero_sets_time=*/true,
    /*dos_paths=*/false,
    /*utf8_controls=*/true,
    terminal_reads_utf8,
    /*lower_case_components=*/true,
    /*help_switch=*/nullptr,
    "Rebuilds the file that was cut into P.Z00, P.Z01, ...; the manual: man zunfelu\n"
    "\t zunfelu --test file   checks every component and writes nothing\n"
    "\t zunfelu --list file   lists the set from its headers\n"
    "\t zunfelu --salvage file   writes what a broken set holds to NAME.salvaged\n"
    "\t their status: 0 whole, 2 damaged, 3 incomplete, 4 not a set, 5 not to be made here\n",
    "zunfelu " ZUNFEL_VERSION "\n",
    output_is_terminal,
    milliseconds,
    terminal_width,
    /*sets_times_before_1970=*/true,
};

}  // namespace

int main(int argc, char** argv) {
  // Past a file-size limit a write must fail and be reported, not kill the
  // tool and leave a cut-short target behind.
  std::signal(SIGXFSZ, SIG_IGN);
  // A reader that went away must not end the merge halfway with a
  // cut-short target: the messages are lost, the merge goes on.
  std::signal(SIGPIPE, SIG_IGN);
  // With a standard descriptor that cannot be filled there is nowhere the
  // tool could safely print, and any file it opened could receive its
  // messages: it ends before it opens one.
  if (!fill_standard_descriptors()) {
    return 255;
  }
  if (!wait_for_output()) {
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);  // the C library's own, which does not wait
  }
  cpu_limit_warns_first();
  catch_interrupts();
  return run_merge(argc, argv, kLinuxProfile);
}
