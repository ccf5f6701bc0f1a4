#include "platform.hpp"

#include <unistd.h>

bool platform_name_exists(const char* name) { return access(name, F_OK) == 0; }

int platform_set_times(const char* name, const struct utimbuf& times) {
  return utime(name, &times) == 0 ? 0 : -1;
}
