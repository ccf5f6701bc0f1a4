// A preloaded library that makes chosen library calls fail, so that the
// failure paths of the real program can be driven end to end:
//   ZFAULT_FOPEN=name      fopen of that name fails
//   ZFAULT_FSTAT=n         the n-th fstat fails
//   ZFAULT_FWRITE=n        the n-th fwrite to a stream opened "wb" fails
//   ZFAULT_FCLOSE_OUTPUT=1 closing a stream opened "wb" fails (it is closed)
//   ZFAULT_SHRINK=name:n   that file is cut to n bytes just before it is opened
//                          as a stream, after the tool has asked for its size
#include <dlfcn.h>
#include <errno.h>
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

FILE* open_stream(const char* real, const char* path, const char* mode) {
  shrink_if_chosen(path);
  const char* refused = getenv("ZFAULT_FOPEN");
  if (refused != nullptr && strcmp(refused, path) == 0) {
    errno = EACCES;
    return nullptr;
  }
  FILE* fp = next<FILE* (*)(const char*, const char*)>(real)(path, mode);
  if (fp != nullptr && mode[0] == 'w') {
    output_stream = fp;
  }
  return fp;
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
int fstat(int fd, struct stat* st) { return status_of("fstat", fd, st); }
int fstat64(int fd, struct stat64* st) { return status_of("fstat64", fd, st); }

size_t fwrite(const void* data, size_t size, size_t count, FILE* fp) {
  if (fp == output_stream && ++fwrite_calls == wanted("ZFAULT_FWRITE")) {
    errno = ENOSPC;
    return 0;
  }
  return next<size_t (*)(const void*, size_t, size_t, FILE*)>("fwrite")(data, size, count, fp);
}

int fclose(FILE* fp) {
  const int result = next<int (*)(FILE*)>("fclose")(fp);
  if (fp == output_stream && wanted("ZFAULT_FCLOSE_OUTPUT") != 0) {
    output_stream = nullptr;
    errno = ENOSPC;
    return EOF;
  }
  return result;
}
}
