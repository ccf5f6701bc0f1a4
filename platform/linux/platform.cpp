#include "platform.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "format.hpp"
#include "interrupts.hpp"
#include "target_name.hpp"

namespace {

// The target's folder, opened once without following a link anywhere on the
// way from the current folder, and the target's last component in it. Every
// later use of the target goes through this descriptor, so a link swapped
// into the path meanwhile is never followed either.
struct Resolved {
  char name[kNameBufferSize];  // the name this is the resolution of
  int folder = -1;             // -1: the name cannot be reached safely
  const char* leaf = nullptr;  // the last component, inside `name`
  // What the comparisons with the set's components need to know of the
  // target, asked once for all of them.
  bool looked = false;
  bool folder_known = false;
  struct stat folder_status;
  bool exists = false;  // something stands at the name
  struct stat at_name;  // what stands there, a link not followed
  bool reaches = false;
  struct stat reached;  // what a link there leads to
};
Resolved target;

// Walks the folders one by one, for kernels without openat2. Each is
// opened as a path only, as openat2 does: a folder the user may enter but not
// list is passed, a link or anything but a folder is not.
int walk_beneath(char* path) {
  int folder = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  for (char* part = strtok(path, "/"); part != nullptr && folder >= 0;
       part = strtok(nullptr, "/")) {
    if (std::strcmp(part, ".") == 0) {
      continue;
    }
    const int next = std::strcmp(part, "..") == 0
                         ? -1
                         : openat(folder, part, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(folder);
    folder = next;
  }
  return folder;
}

// The folder part of a name, below the current folder and through no link.
int open_beneath(const char* path) {
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const long fd = syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
  if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) {
    return static_cast<int>(fd);
  }
  char copy[kNameBufferSize];
  std::strcpy(copy, path);
  return walk_beneath(copy);
}

// Splits `name` into its folder part, copied into `folder` ("." when it has
// none), and its last component, which is returned.
const char* split_name(const char* name, char (&folder)[kNameBufferSize]) {
  const char* leaf = last_component(name, false);
  const std::size_t length = static_cast<std::size_t>(leaf - name);
  std::memcpy(folder, length > 0 ? name : ".", length > 0 ? length : 2);
  folder[length > 0 ? length : 1] = '\0';
  return leaf;
}

// True when `name` can be reached safely; `target` then holds its folder.
// `afresh` finds the folder again, as after a question: meanwhile another
// program may have moved the folder that was found before it.
bool resolve(const char* name, bool afresh = false) {
  if (!afresh && target.leaf != nullptr && std::strcmp(target.name, name) == 0) {
    return target.folder >= 0;
  }
  if (target.folder >= 0) {
    close(target.folder);
  }
  std::strcpy(target.name, name);
  target.looked = false;
  char folder[kNameBufferSize];
  target.leaf = split_name(target.name, folder);
  target.folder = *target.leaf != '\0' ? open_beneath(folder) : -1;
  return target.folder >= 0;
}

bool same_inode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Every signal that can be caught and whose default ends the process: each
// of them would otherwise leave a cut-short file looking like the rebuilt
// one. The signals of a fault count too, sent by kill or raised by a fault
// in the tool itself: the target goes first, then the signal's own action
// (a core file) follows. Not SIGPIPE and SIGXFSZ, which the tool ignores (a
// write then fails and is reported).
constexpr int kInterrupts[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM,
    SIGPROF,   SIGABRT, SIGSEGV, SIGBUS,  SIGILL,  SIGTRAP, SIGFPE,  SIGSYS,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};
// Every signal, real-time ones included, is numbered below this.
constexpr int kMostSignals = 65;

// What an interrupt deletes, prepared before the handler can run: the
// target's folder and name, and a descriptor of its own that empties it
// where the folder does not allow deleting.
volatile sig_atomic_t guarded = 0;
int eraser = -1;

// Filled by catch_interrupts, before any handler can run: the real-time
// range is known only at run time.
sigset_t interrupt_set;

// The handler's own stack: a signal may come when the tool's stack has no
// room left for the handler's frame (an overflow, a low stack limit), and
// the kernel would then end the tool without deleting the target.
alignas(16) char handler_stack[64 * 1024];

// True when the target's name still leads to the file the tool made (its
// descriptor `eraser`), not to one that another program put there since.
bool name_leads_to_made_file() {
  struct stat made;
  struct stat at_name;
  return fstatat(eraser, "", &made, AT_EMPTY_PATH) == 0 &&
         fstatat(target.folder, target.leaf, &at_name, AT_SYMLINK_NOFOLLOW) == 0 &&
         made.st_dev == at_name.st_dev && made.st_ino == at_name.st_ino;
}

// No data of a failed merge may stay under any name of the file: it is
// emptied through its own descriptor first (another hard link keeps the
// file, and a folder may not let it go), then its name goes, unless the name
// leads to another file by now.
bool erase_target() {
  const bool emptied = eraser >= 0 && ftruncate(eraser, 0) == 0;
  if (eraser >= 0 && !name_leads_to_made_file()) {
    return emptied;
  }
  return unlinkat(target.folder, target.leaf, 0) == 0 || emptied;
}

// What blanks the sign of life out, as the engine made it; 0: none shows.
const char* volatile progress_blank = nullptr;
volatile sig_atomic_t progress_blank_length = 0;

// Blanks the sign of life out, so that the screen is left as without it
// (the shell's next words are not glued to it). Async-signal-safe.
void blank_progress() {
  const sig_atomic_t length = progress_blank_length;
  progress_blank_length = 0;
  if (length > 0) {
    const ssize_t ignored = write(1, progress_blank, static_cast<std::size_t>(length));
    (void)ignored;
  }
}

// Ends the tool by `sig` as its default would (stops it, for a stop).
void raise_by_default(int sig) {
  signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
}

// Only async-signal-safe calls: the target goes, then the signal ends the
// process with its usual status (130, 143 or 129 in a shell). The first
// process of a PID namespace is not ended by its own signal: it ends with
// the status a shell would show for that signal.
void on_interrupt(int sig) {
  blank_progress();
  if (guarded != 0) {
    erase_target();
  }
  raise_by_default(sig);
  _exit(128 + sig);
}

// Ctrl+Z: the sign of life is blanked before the tool stops, so that it
// does not stay above the shell's "Stopped"; the next update draws it again.
void on_stop(int sig) {
  blank_progress();
  raise_by_default(sig);  // the tool stops here, and goes on when continued
  signal(sig, on_stop);
}

// What stands at the target's name, the name itself (a link is not followed).
bool status_at(struct stat& st) {
  return fstatat(target.folder, target.leaf, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// A FIFO that appears meanwhile must not make the tool wait for a reader.
constexpr int kWriteFlags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// The descriptor the target is written through: an existing regular file
// emptied in place (it keeps its owner, mode and other links), or a new file
// made exclusively. Whatever else the user agreed to replace goes first.
int open_for_writing(bool overwrite) {
  struct stat st;
  if (overwrite && status_at(st)) {
    if (S_ISREG(st.st_mode)) {
      // O_CREAT, so that the kernel's protection of files in sticky
      // world-writable folders (protected_regular) applies as to any create.
      return openat(target.folder, target.leaf, kWriteFlags | O_CREAT | O_TRUNC, 0666);
    }
    if (!S_ISDIR(st.st_mode)) {
      unlinkat(target.folder, target.leaf, 0);  // if that fails, so does the create
    }
  }
  return openat(target.folder, target.leaf, kWriteFlags | O_CREAT | O_EXCL, 0666);
}

}  // namespace

// From the start, not only once the target exists: the first process of a
// PID namespace drops every signal that has no handler, so without one it
// could not be stopped at a question either. With nothing guarded the
// handler only ends the tool as the signal would. A signal that the caller
// ignored (nohup, a background job) stays ignored.
void catch_interrupts() {
  sigemptyset(&interrupt_set);
  for (const int sig : kInterrupts) {
    sigaddset(&interrupt_set, sig);
  }
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {
    sigaddset(&interrupt_set, sig);
  }
  stack_t stack{};
  stack.ss_sp = handler_stack;
  stack.ss_size = sizeof handler_stack;
  sigaltstack(&stack, nullptr);
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  action.sa_mask = interrupt_set;
  action.sa_flags = SA_ONSTACK;
  sigset_t old;
  sigprocmask(SIG_BLOCK, &interrupt_set, &old);
  // One call a signal: the handler goes in, and comes out again where the
  // caller ignored the signal. The signals are blocked meanwhile, and
  // ignoring one again discards it, so none is handled against the caller's
  // wish.
  struct sigaction found {};
  for (int sig = 1; sig < kMostSignals; ++sig) {
    if (sigismember(&interrupt_set, sig) == 1 && sigaction(sig, &action, &found) == 0 &&
        found.sa_handler == SIG_IGN) {
      sigaction(sig, &found, nullptr);
    }
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
  struct sigaction stop {};
  if (sigaction(SIGTSTP, nullptr, &stop) == 0 && stop.sa_handler == SIG_DFL) {
    signal(SIGTSTP, on_stop);
  }
}

void platform_note_progress(const char* blank, std::size_t length) {
  progress_blank_length = 0;
  progress_blank = blank;
  progress_blank_length = static_cast<sig_atomic_t>(length);
}

long long platform_read_at(int fd, void* into, std::size_t size, long long offset,
                           char (&reason)[kReasonSize]) {
  for (;;) {
    const ssize_t n = pread(fd, into, size, offset);
    if (n >= 0) {
      return n;
    }
    if (errno != EINTR) {
      std::snprintf(reason, sizeof reason, "%s", std::strerror(errno));
      return -1;
    }
  }
}

bool platform_stands_at(const char* name) {
  struct stat st;
  return lstat(name, &st) == 0;
}

bool platform_name_exists(const char* name) {
  struct stat st;
  return resolve(name) && status_at(st);
}

namespace {

const Resolved& look_at_target() {
  if (!target.looked) {
    target.looked = true;
    target.folder_known = fstatat(target.folder, "", &target.folder_status, AT_EMPTY_PATH) == 0;
    target.exists = status_at(target.at_name);
    target.reaches = target.exists && fstatat(target.folder, target.leaf, &target.reached, 0) == 0;
  }
  return target;
}

// The components of a set share one folder: it is asked about once.
bool folder_status(const char* path, struct stat& st) {
  static char known[kNameBufferSize];
  static struct stat status;
  static bool found = false;
  if (known[0] == '\0' || std::strcmp(known, path) != 0) {
    std::strcpy(known, path);
    found = stat(path, &status) == 0;
  }
  st = status;
  return found;
}

}  // namespace

bool platform_same_file(const char* name, const char* component) {
  if (!resolve(name)) {
    return false;
  }
  const Resolved& t = look_at_target();
  // The same name in the same folder, whether or not the file exists.
  char path[kNameBufferSize];
  const char* leaf = split_name(component, path);
  struct stat component_folder;
  if (std::strcmp(t.leaf, leaf) == 0 && t.folder_known && folder_status(path, component_folder) &&
      same_inode(t.folder_status, component_folder)) {
    return true;
  }
  // One existing file, through a link at the name or another hard link; with
  // nothing at the name there is neither.
  struct stat file;
  if (!t.exists || stat(component, &file) != 0) {
    return false;
  }
  return same_inode(t.at_name, file) || (t.reaches && same_inode(t.reached, file));
}

bool platform_is_standard_stream(const char* name) {
  if (!resolve(name)) {
    return false;
  }
  const Resolved& t = look_at_target();
  if (!t.exists || !S_ISREG(t.at_name.st_mode)) {
    return false;
  }
  for (int fd = 0; fd <= 2; ++fd) {
    struct stat st;
    if (fstatat(fd, "", &st, AT_EMPTY_PATH) == 0 && same_inode(st, t.at_name)) {
      return true;
    }
  }
  return false;
}

// Interrupts wait while the file comes into being, so that one never finds a
// file created but not yet guarded, nor deletes one that was not yet emptied.
std::FILE* platform_create_target(const char* name, bool overwrite) {
  if (!resolve(name, true)) {
    return nullptr;
  }
  // The descriptor that empties the file again is had before the file is
  // made or emptied: with none left, nothing is touched.
  const int spare = fcntl(target.folder, F_DUPFD_CLOEXEC, 3);
  if (spare < 0) {
    return nullptr;
  }
  sigset_t old;
  sigprocmask(SIG_BLOCK, &interrupt_set, &old);
  int fd = open_for_writing(overwrite);
  struct stat st;
  if (fd >= 0 && (fstatat(fd, "", &st, AT_EMPTY_PATH) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);  // a FIFO with a reader, swapped in after the look
    fd = -1;
  }
  std::FILE* optr = nullptr;
  if (fd >= 0) {
    fcntl(fd, F_SETFL, 0);  // blocking again, like any file
    // Onto the spare slot, which needs no new one.
    eraser = dup3(fd, spare, O_CLOEXEC);
    optr = eraser >= 0 ? fdopen(fd, "wb") : nullptr;
    if (optr == nullptr) {
      close(fd);
    } else {
      guarded = 1;
    }
  }
  if (optr == nullptr) {
    close(spare);  // the eraser, where dup3 made it
    eraser = -1;
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
  return optr;
}

// The file the tool made, through a descriptor of its own, and only while
// the name still leads to it: a file that another program put at the name
// meanwhile is never measured, dated or reported as rebuilt.
int platform_open_target(const char* name) {
  if (!resolve(name) || eraser < 0 || !name_leads_to_made_file()) {
    return -1;
  }
  return fcntl(eraser, F_DUPFD_CLOEXEC, 3);
}

bool platform_set_target_size(long long size) {
  return eraser >= 0 && ftruncate(eraser, size) == 0;
}

void platform_release_target() {
  if (guarded == 0) {
    return;
  }
  sigset_t old;
  sigprocmask(SIG_BLOCK, &interrupt_set, &old);
  // The handler stays: with nothing guarded it only ends the tool by the
  // signal, as the signal itself would.
  guarded = 0;
  if (eraser >= 0) {
    close(eraser);
    eraser = -1;
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

// Deleting is the verdict: the guard goes in the same step, so that no
// interrupt after it deletes by name once more what may by then be another
// program's file.
void platform_delete_target(const char* name) {
  sigset_t old;
  sigprocmask(SIG_BLOCK, &interrupt_set, &old);
  if (resolve(name)) {
    erase_target();
  }
  platform_release_target();
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

// Through the file the tool made, as its size was taken.
int platform_set_times(const char* name, const struct utimbuf& times) {
  const timespec both[2] = {{times.actime, 0}, {times.modtime, 0}};
  if (eraser >= 0) {
    return futimens(eraser, both) == 0 ? 0 : -1;
  }
  return resolve(name) && utimensat(target.folder, target.leaf, both, AT_SYMLINK_NOFOLLOW) == 0
             ? 0
             : -1;
}
