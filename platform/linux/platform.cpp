#include "platform.hpp"

#include <sys/stat.h>

// The name itself counts, not what it points to: a link at the target's
// name, dangling or not, must draw the overwrite question, or the new file
// would be written through it.
bool platform_name_exists(const char* name) {
  struct stat st;
  return lstat(name, &st) == 0;
}

int platform_set_times(const char* name, const struct utimbuf& times) {
  return utime(name, &times) == 0 ? 0 : -1;
}
