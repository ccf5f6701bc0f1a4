#include "console_input.hpp"

#include <windows.h>

#include <cstdio>

#include "key_translation.hpp"

namespace {

HANDLE console_input = INVALID_HANDLE_VALUE;
int held = kNoValue;  // the extended code of the last key without a character

// Reads records until a key press gives a value; the console is in raw
// mode meanwhile, so nothing is echoed and Ctrl+C arrives as character 3.
KeyValues next_key_press() {
  for (;;) {
    INPUT_RECORD record;
    DWORD read = 0;
    if (!ReadConsoleInputA(console_input, &record, 1, &read) || read != 1) {
      return {kNoValue, kNoValue};
    }
    if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) {
      continue;
    }
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    const KeyValues values =
        translate_key({key.wVirtualKeyCode, static_cast<unsigned char>(key.uChar.AsciiChar),
                       static_cast<std::uint32_t>(key.dwControlKeyState)});
    if (values.first != kNoValue) {
      return values;
    }
  }
}

}  // namespace

void open_console_input() {
  console_input =
      CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
}

int read_console_key() {
  if (held != kNoValue) {
    const int value = held;
    held = kNoValue;
    return value;
  }
  DWORD mode = 0;
  if (console_input == INVALID_HANDLE_VALUE || !GetConsoleMode(console_input, &mode) ||
      !SetConsoleMode(console_input, 0)) {
    return EOF;
  }
  const KeyValues values = next_key_press();
  SetConsoleMode(console_input, mode);
  held = values.second;
  return values.first;
}
