#include "platform.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>

namespace {

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

// The name an interrupt deletes, prepared before the handler can run.
const char* volatile guarded = nullptr;
struct sigaction previous[std::size(kInterrupts)];

sigset_t interrupt_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : kInterrupts) {
    sigaddset(&set, sig);
  }
  return set;
}

// Only async-signal-safe calls: the target goes, then the signal ends the
// process with its usual status (130, 143 or 129 in a shell).
void on_interrupt(int sig) {
  const char* name = guarded;
  if (name != nullptr) {
    unlink(name);
  }
  signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
}

// A signal that the caller ignored (nohup, a background job) stays ignored.
void guard(const char* name) {
  guarded = name;
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  action.sa_mask = interrupt_set();
  for (std::size_t k = 0; k < std::size(kInterrupts); ++k) {
    sigaction(kInterrupts[k], nullptr, &previous[k]);
    if (previous[k].sa_handler != SIG_IGN) {
      sigaction(kInterrupts[k], &action, nullptr);
    }
  }
}

}  // namespace

// The name itself counts, not what it points to: a link at the target's
// name, dangling or not, must draw the overwrite question, or the new file
// would be written through it.
bool platform_name_exists(const char* name) {
  struct stat st;
  return lstat(name, &st) == 0;
}

bool platform_same_file(const char* target, const char* component) {
  struct stat a;
  struct stat b;
  return lstat(target, &a) == 0 && stat(component, &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

// Interrupts wait while the file comes into being, so that one never finds a
// file created but not yet guarded, nor deletes one that was not yet emptied.
std::FILE* platform_create_target(const char* name) {
  const sigset_t set = interrupt_set();
  sigset_t old;
  sigprocmask(SIG_BLOCK, &set, &old);
  struct stat st;
  const bool special = lstat(name, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
  if (special) {
    unlink(name);  // if that fails, the exclusive create below fails
  }
  // Never through a link, and a FIFO that appears meanwhile must not make
  // the tool wait for a reader that never comes.
  const int fd =
      open(name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | (special ? O_EXCL : O_TRUNC), 0666);
  std::FILE* optr = nullptr;
  if (fd >= 0) {
    fcntl(fd, F_SETFL, 0);  // the descriptor's only status flag was O_NONBLOCK
    optr = fdopen(fd, "wb");
    if (optr == nullptr) {
      close(fd);
    } else {
      guard(name);
    }
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
  return optr;
}

void platform_release_target() {
  if (guarded == nullptr) {
    return;
  }
  const sigset_t set = interrupt_set();
  sigset_t old;
  sigprocmask(SIG_BLOCK, &set, &old);
  guarded = nullptr;
  for (std::size_t k = 0; k < std::size(kInterrupts); ++k) {
    sigaction(kInterrupts[k], &previous[k], nullptr);
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

int platform_set_times(const char* name, const struct utimbuf& times) {
  return utime(name, &times) == 0 ? 0 : -1;
}
