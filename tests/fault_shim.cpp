// A preloaded library that makes chosen library calls fail, so that the
// failure paths of the real program can be driven end to end:
//   ZFAULT_FOPEN=name      no stream can be made for that name: its fopen,
//                          or the fdopen of a descriptor opened under it, fails
//   ZFAULT_FSTAT=n         the n-th fstat fails
//   ZFAULT_FWRITE=n        the n-th fwrite to a stream opened for writing fails
//   ZFAULT_FCLOSE_OUTPUT=1 closing a stream opened for writing fails (it is closed)
//   ZFAULT_SHRINK=name:n   that file is cut to n bytes just before a stream is
//                          made for it, after the tool has asked for its size
//   ZFAULT_SWAP=name       at that moment the name is replaced by a FIFO
//   ZFAULT_PLANT=name      just before a file of that last component is
//                          created, another "user" creates it first
//   ZFAULT_DENY=path       opening exactly that path fails (EACCES)
//   ZFAULT_NEVER_OPEN=path opening that path at all aborts the program
//   ZFAULT_SLOW_TIMES=1    setting a file's times first waits two seconds
//   ZFAULT_SLOW_WRITE=ms   each write to a stream opened for writing first waits so long
//   ZFAULT_REPLACE=from:to once the stream opened for writing is closed, another
//                          "user" puts the file from at the name to (a hard link)
//   ZFAULT_SLOW_EXIT=1     the program waits two seconds after its end, before it is gone
//   ZFAULT_OVERFLOW=n      the n-th write to a stream opened for writing overflows the stack
//   ZFAULT_TIMES=EPERM     setting a file's times fails, as for a file of another user
//   ZFAULT_EIO=name:a-b,c-d  a read (pread) of that file's bytes a to b (or c to
//                          d) fails with EIO, as a floppy's bad sector does; the
//                          file is known by its last component, also in a
//                          process that was handed the descriptor (Wine's)
//   ZFAULT_SLOW_READ=name:ms  each read (pread) of that file first waits so long
// The shim defines open, openat and the rest itself: fortified, its own calls
// of them would go to the fortified forms, which it also defines, round and
// round (Clang with glibc 2.40 and later).
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

template <typename F>
F next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

long wanted(const char* variable) {
  const char* value = getenv(variable);
  return value != nullptr ? atol(value) : 0;
}

FILE* output_stream = nullptr;
long fstat_calls = 0;
long fwrite_calls = 0;
// The name each descriptor was opened under, for the stream made from it.
constexpr int kTracked = 256;
char* opened_as[kTracked];

void shrink_if_chosen(const char* path) {
  const char* chosen = getenv("ZFAULT_SHRINK");
  const char* colon = chosen != nullptr ? strrchr(chosen, ':') : nullptr;
  if (colon != nullptr && strncmp(chosen, path, static_cast<size_t>(colon - chosen)) == 0 &&
      path[colon - chosen] == '\0') {
    if (truncate(path, atol(colon + 1)) != 0) {
      abort();
    }
  }
}

void swap_if_chosen(const char* path) {
  const char* chosen = getenv("ZFAULT_SWAP");
  if (chosen != nullptr && strcmp(chosen, path) == 0 &&
      (unlink(path) != 0 || mkfifo(path, 0644) != 0)) {
    abort();
  }
}

bool stream_refused(const char* path) {
  shrink_if_chosen(path);
  swap_if_chosen(path);
  const char* refused = getenv("ZFAULT_FOPEN");
  if (refused != nullptr && strcmp(refused, path) == 0) {
    errno = EMFILE;
    return true;
  }
  return false;
}

FILE* open_stream(const char* real, const char* path, const char* mode) {
  if (stream_refused(path)) {
    return nullptr;
  }
  FILE* fp = next<FILE* (*)(const char*, const char*)>(real)(path, mode);
  if (fp != nullptr && mode[0] == 'w') {
    output_stream = fp;
  }
  return fp;
}

int open_descriptor(const char* real, const char* path, int flags, va_list rest) {
  const mode_t mode = (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(rest, int)) : 0;
  const char* never = getenv("ZFAULT_NEVER_OPEN");
  if (never != nullptr && strcmp(never, path) == 0) {
    abort();
  }
  const char* denied = getenv("ZFAULT_DENY");
  if (denied != nullptr && strcmp(denied, path) == 0) {
    errno = EACCES;
    return -1;
  }
  const int fd = next<int (*)(const char*, int, ...)>(real)(path, flags, mode);
  if (fd >= 0 && fd < kTracked) {
    free(opened_as[fd]);
    opened_as[fd] = strdup(path);
  }
  return fd;
}

template <typename Status>
int status_of(const char* real, int fd, Status* st) {
  if (++fstat_calls == wanted("ZFAULT_FSTAT")) {
    errno = EIO;
    return -1;
  }
  return next<int (*)(int, Status*)>(real)(fd, st);
}

}  // namespace

extern "C" {

FILE* fopen(const char* path, const char* mode) { return open_stream("fopen", path, mode); }
FILE* fopen64(const char* path, const char* mode) { return open_stream("fopen64", path, mode); }

// open and open64 alike: the mode argument is there only with O_CREAT.
#define ZFAULT_OPEN(call)                                     \
  int call(const char* path, int flags, ...) {                \
    va_list rest;                                             \
    va_start(rest, flags);                                    \
    const int fd = open_descriptor(#call, path, flags, rest); \
    va_end(rest);                                             \
    return fd;                                                \
  }
ZFAULT_OPEN(open)
ZFAULT_OPEN(open64)
// A fortified build calls these when the flags are not known while compiling.
int __open_2(const char* path, int flags) { return open(path, flags); }
int __open64_2(const char* path, int flags) { return open64(path, flags); }

// openat and openat64: the race of another user who creates the target
// between the tool's look at the name and its create.
#define ZFAULT_OPENAT(call)                                                                  \
  int call(int dir, const char* path, int flags, ...) {                                      \
    va_list rest;                                                                            \
    va_start(rest, flags);                                                                   \
    const mode_t mode = (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(rest, int)) : 0; \
    va_end(rest);                                                                            \
    const auto real = next<int (*)(int, const char*, int, ...)>(#call);                      \
    const char* planted = getenv("ZFAULT_PLANT");                                            \
    if ((flags & O_CREAT) != 0 && planted != nullptr && strcmp(planted, path) == 0) {        \
      const int other = real(dir, path, O_WRONLY | O_CREAT | O_EXCL, 0644);                  \
      if (other < 0 || write(other, "planted\n", 8) != 8) abort();                           \
      close(other);                                                                          \
    }                                                                                        \
    return real(dir, path, flags, mode);                                                     \
  }
ZFAULT_OPENAT(openat)
ZFAULT_OPENAT(openat64)
int __openat_2(int dir, const char* path, int flags) { return openat(dir, path, flags); }
int __openat64_2(int dir, const char* path, int flags) { return openat64(dir, path, flags); }

FILE* fdopen(int fd, const char* mode) {
  if (fd >= 0 && fd < kTracked && opened_as[fd] != nullptr && stream_refused(opened_as[fd])) {
    return nullptr;
  }
  FILE* fp = next<FILE* (*)(int, const char*)>("fdopen")(fd, mode);
  if (fp != nullptr && mode[0] == 'w') {
    output_stream = fp;
  }
  return fp;
}
// Times set by name or through a descriptor.
bool times_refused() {
  if (wanted("ZFAULT_SLOW_TIMES") != 0) {
    sleep(2);
  }
  if (getenv("ZFAULT_TIMES") != nullptr) {
    errno = EPERM;
    return true;
  }
  return false;
}
int futimens(int fd, const struct timespec times[2]) {
  return times_refused() ? -1 : next<int (*)(int, const struct timespec*)>("futimens")(fd, times);
}
int utimensat(int dir, const char* path, const struct timespec times[2], int flags) {
  if (times_refused()) {
    return -1;
  }
  return next<int (*)(int, const char*, const struct timespec*, int)>("utimensat")(dir, path, times,
                                                                                   flags);
}

int fstat(int fd, struct stat* st) { return status_of("fstat", fd, st); }
int fstat64(int fd, struct stat64* st) { return status_of("fstat64", fd, st); }

// True when `fd` is the file whose last component `chosen` names, up to its
// colon.
bool names_file(int fd, const char* chosen, const char* colon) {
  char link[64];
  char path[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t length = readlink(link, path, sizeof path - 1);
  const size_t name = static_cast<size_t>(colon - chosen);
  return length >= 0 && static_cast<size_t>(length) > name &&
         strncmp(path + length - name, chosen, name) == 0 && path[length - name - 1] == '/';
}

// True when the read of `size` bytes at `offset` of `fd` touches a stretch
// that ZFAULT_EIO makes unreadable.
bool bad_sector(int fd, size_t size, off_t offset) {
  const char* chosen = getenv("ZFAULT_EIO");
  const char* colon = chosen != nullptr ? strrchr(chosen, ':') : nullptr;
  if (colon == nullptr || size == 0 || !names_file(fd, chosen, colon)) {
    return false;
  }
  for (const char* p = colon + 1; *p != '\0';) {
    char* end = nullptr;
    const long long from = strtoll(p, &end, 10);
    const long long to = *end == '-' ? strtoll(end + 1, &end, 10) : from;
    if (offset <= to && offset + static_cast<off_t>(size) > from) {
      return true;
    }
    p = *end == ',' ? end + 1 : end;
    if (*end != ',' && *end != '\0') {
      break;
    }
  }
  return false;
}

void slow_if_chosen(int fd) {
  const char* chosen = getenv("ZFAULT_SLOW_READ");
  const char* colon = chosen != nullptr ? strrchr(chosen, ':') : nullptr;
  if (colon != nullptr && names_file(fd, chosen, colon)) {
    usleep(static_cast<useconds_t>(atol(colon + 1) * 1000));
  }
}

// pread and pread64 alike: slowed or failed as chosen, else the real read.
static ssize_t faulty_read(const char* real, int fd, void* into, size_t size, off_t offset) {
  slow_if_chosen(fd);
  if (bad_sector(fd, size, offset)) {
    errno = EIO;
    return -1;
  }
  return next<ssize_t (*)(int, void*, size_t, off_t)>(real)(fd, into, size, offset);
}
ssize_t pread(int fd, void* into, size_t size, off_t offset) {
  return faulty_read("pread", fd, into, size, offset);
}
ssize_t pread64(int fd, void* into, size_t size, off_t offset) {
  return faulty_read("pread64", fd, into, size, offset);
}

// Recurses until the stack is gone, as a real overflow does.
[[gnu::noinline]] int overflow(int depth) {
  volatile char frame[4096];
  frame[0] = static_cast<char>(depth);
  return depth > 1000000000 ? 0 : overflow(depth + 1) + frame[0];
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* fp) {
  if (fp == output_stream && wanted("ZFAULT_OVERFLOW") > 0 &&
      fwrite_calls + 1 == wanted("ZFAULT_OVERFLOW")) {
    overflow(0);
  }
  if (fp == output_stream && ++fwrite_calls == wanted("ZFAULT_FWRITE")) {
    errno = ENOSPC;
    return 0;
  }
  if (fp == output_stream && wanted("ZFAULT_SLOW_WRITE") > 0) {
    usleep(static_cast<useconds_t>(wanted("ZFAULT_SLOW_WRITE") * 1000));
  }
  return next<size_t (*)(const void*, size_t, size_t, FILE*)>("fwrite")(data, size, count, fp);
}

__attribute__((destructor)) void slow_exit() {
  if (wanted("ZFAULT_SLOW_EXIT") != 0) {
    sleep(2);
  }
}

int fclose(FILE* fp) {
  const int result = next<int (*)(FILE*)>("fclose")(fp);
  const char* replace = getenv("ZFAULT_REPLACE");
  if (fp == output_stream && replace != nullptr) {
    char from[256];
    snprintf(from, sizeof from, "%s", replace);
    char* to = strchr(from, ':');
    if (to == nullptr || (*to++ = '\0', unlink(to)) != 0 || link(from, to) != 0) {
      abort();
    }
  }
  if (fp == output_stream && wanted("ZFAULT_FCLOSE_OUTPUT") != 0) {
    output_stream = nullptr;
    errno = ENOSPC;
    return EOF;
  }
  return result;
}
}
