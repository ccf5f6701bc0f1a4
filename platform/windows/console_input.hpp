// Single key presses from the console input device, never from standard
// input: answers and floppy key waits come from the keyboard even when
// standard input is redirected.
#pragma once

// Opens "CONIN$"; called once when the program starts.
void open_console_input();

// One value of one key press (a held extended code first), or -1 when there
// is no console or reading fails.
int read_console_key();
