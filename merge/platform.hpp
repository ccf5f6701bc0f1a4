// What each program supplies to the engine, linked in from platform/linux or
// platform/windows.
#pragma once

#include <utime.h>

// True when anything at all stands at `name`, also a link that leads nowhere.
bool platform_name_exists(const char* name);

// Gives `name` the access and modification times of `times`; 0 or -1.
int platform_set_times(const char* name, const struct utimbuf& times);
