// What each program supplies to the engine, linked in from platform/linux or
// platform/windows.
#pragma once

#include <utime.h>

#include <cstddef>
#include <cstdio>

#include "merge.hpp"

// The target's name is reached from the current folder without following a
// link anywhere in its folder part: a folder that is a link (on Windows a
// junction or another reparse point), or missing, makes the name one that
// cannot be created, so nothing is ever written elsewhere through it. Every
// call below that takes the target's name goes through that one resolution.

// True when anything at all stands at `name`, also a link that leads nowhere
// (the name itself counts, not what a link there points to).
bool platform_name_exists(const char* name);

// True when anything stands at `name`, a component's, also a link that leads
// nowhere; the target's resolution is not used.
bool platform_stands_at(const char* name);

// True when `target` is `component`: the same name in the same folder, as the
// platform compares names, whether or not the component exists; or one
// existing file, reached through a link at `target` or another hard link.
bool platform_same_file(const char* target, const char* component);

// True when standard input, output or error is the regular file that stands
// at `name` (the name itself: a link there is not followed).
bool platform_is_standard_stream(const char* name);

// Creates `name` for writing, exclusively: when something appeared at the
// name since it was found free, nothing is overwritten and the create fails.
// With `overwrite` (the user answered y) a regular file there is emptied in
// place, keeping its owner and mode, and whatever else stands at the name (a
// link, a FIFO, a device node) is removed first and a new file made in its
// place, never written through; a folder there fails. Null when that fails.
// From the moment the target exists until platform_release_target, an
// interrupt (Ctrl+C, a closed terminal, kill) deletes it and then ends the
// program as that interrupt would have: a cut-short file must never be left
// looking like the rebuilt one.
std::FILE* platform_create_target(const char* name, bool overwrite);

// The target opened read-only, without following a link; -1 when it cannot be.
int platform_open_target(const char* name);

// Sets the size of the target made, through the file itself: cut back, or
// grown with zeros. False when that fails.
bool platform_set_target_size(long long size);

// Deletes the target; the result is not used.
void platform_delete_target(const char* name);

// The run has its verdict on the target (or keeps it as written so far):
// interrupts have their usual effect again.
void platform_release_target();

// Gives `name` the access and modification times of `times`; 0 or -1.
int platform_set_times(const char* name, const struct utimbuf& times);

// Reads up to `size` bytes at `offset` of the file open as `fd`, without
// moving anything the caller relies on; 0 at the file's end. -1 when the
// system could not read them (a bad sector, a disk taken out), with the
// system's reason in `reason`.
long long platform_read_at(int fd, void* into, std::size_t size, long long offset,
                           char (&reason)[kReasonSize]);

// The sign of life shows on the terminal, and the `length` bytes at `blank`
// (null: none shows) blank it out: an interrupt or a stop writes them before
// the program goes. They stay as they are until the next call.
void platform_note_progress(const char* blank, std::size_t length);
