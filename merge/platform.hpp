// What each program supplies to the engine, linked in from platform/linux or
// platform/windows.
#pragma once

#include <utime.h>

#include <cstdio>

// True when anything at all stands at `name`, also a link that leads nowhere.
bool platform_name_exists(const char* name);

// True when `target` and the existing `component` are one file (the name
// `target` itself counts, not what a link there points to).
bool platform_same_file(const char* target, const char* component);

// Creates `name` for writing, or empties the regular file there, as fopen
// "wb" does; null when that fails. Whatever else stands at the name (a link,
// a FIFO, a device node) is removed first and a new file made in its place,
// never written through; a folder there fails. From the moment it exists until
// platform_release_target, an interrupt (Ctrl+C, a closed terminal, kill)
// deletes it and then ends the program as that interrupt would have: a
// cut-short file must never be left looking like the rebuilt one.
std::FILE* platform_create_target(const char* name);

// The run has its verdict on the target (or keeps it as written so far):
// interrupts have their usual effect again.
void platform_release_target();

// Gives `name` the access and modification times of `times`; 0 or -1.
int platform_set_times(const char* name, const struct utimbuf& times);
