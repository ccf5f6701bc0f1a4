#include "key_translation.hpp"

namespace {

constexpr int kEscape = 27;
constexpr int kGreyPrefix = 0xE0;

// Extended codes of one key by modifier; 0 where the PC keyboard has none.
struct Codes {
  std::uint16_t virtual_key;
  unsigned char plain, shift, ctrl, alt;
};

// The PC keyboard's extended codes, by Windows virtual-key code.
constexpr Codes kCodes[] = {
    {0x70, 59, 84, 94, 104},     // F1
    {0x71, 60, 85, 95, 105},     // F2
    {0x72, 61, 86, 96, 106},     // F3
    {0x73, 62, 87, 97, 107},     // F4
    {0x74, 63, 88, 98, 108},     // F5
    {0x75, 64, 89, 99, 109},     // F6
    {0x76, 65, 90, 100, 110},    // F7
    {0x77, 66, 91, 101, 111},    // F8
    {0x78, 67, 92, 102, 112},    // F9
    {0x79, 68, 93, 103, 113},    // F10
    {0x7A, 133, 135, 137, 139},  // F11
    {0x7B, 134, 136, 138, 140},  // F12
    {0x24, 71, 71, 119, 151},    // Home
    {0x26, 72, 72, 141, 152},    // Up
    {0x21, 73, 73, 132, 153},    // Page Up
    {0x25, 75, 75, 115, 155},    // Left
    {0x0C, 76, 76, 143, 0},      // keypad 5 without Num Lock
    {0x27, 77, 77, 116, 157},    // Right
    {0x23, 79, 79, 117, 159},    // End
    {0x28, 80, 80, 145, 160},    // Down
    {0x22, 81, 81, 118, 161},    // Page Down
    {0x2D, 82, 82, 146, 162},    // Insert
    {0x2E, 83, 83, 147, 163},    // Delete
    {0x09, 0, 15, 148, 165},     // Tab, when it comes without its character
    {0x08, 0, 0, 0, 14},         // Alt+Backspace
    {0x0D, 0, 0, 0, 28},         // Alt+Enter
    {0x1B, 0, 0, 0, 1},          // Alt+Escape
    {0xBD, 0, 0, 0, 130},        // Alt+-
    {0xBB, 0, 0, 0, 131},        // Alt+=
};

// Alt with a letter or digit gives the key's scan code (letters) or 120-129
// (1-9, 0), as the PC keyboard does.
constexpr unsigned char kAltLetters[26] = {30, 48, 46, 32, 18, 33, 34, 35, 23, 36, 37, 38, 50,
                                           49, 24, 25, 16, 19, 31, 20, 22, 47, 17, 45, 21, 44};

int alt_code(std::uint16_t virtual_key) {
  if (virtual_key >= 'A' && virtual_key <= 'Z') {
    return kAltLetters[virtual_key - 'A'];
  }
  if (virtual_key >= '1' && virtual_key <= '9') {
    return 120 + (virtual_key - '1');
  }
  return virtual_key == '0' ? 129 : 0;
}

// Alt, then Ctrl, then Shift decides which code a key gives.
int extended_code(const KeyPress& key) {
  const bool alt = (key.control_state & (kLeftAlt | kRightAlt)) != 0;
  const bool ctrl = (key.control_state & (kLeftCtrl | kRightCtrl)) != 0;
  const bool shift = (key.control_state & kShift) != 0;
  for (const Codes& c : kCodes) {
    if (c.virtual_key == key.virtual_key) {
      return alt ? c.alt : ctrl ? c.ctrl : shift ? c.shift : c.plain;
    }
  }
  return alt ? alt_code(key.virtual_key) : 0;
}

// F11 and F12 only ever existed as grey keys.
bool is_grey(const KeyPress& key) {
  return (key.control_state & kEnhancedKey) != 0 || key.virtual_key == 0x7A ||
         key.virtual_key == 0x7B;
}

}  // namespace

KeyValues translate_key(const KeyPress& key) {
  if (key.character != 0) {
    return {key.character, kNoValue};
  }
  const int code = extended_code(key);
  if (code != 0) {
    return {is_grey(key) ? kGreyPrefix : 0, code};
  }
  // Some consoles deliver Escape without its character.
  if (key.virtual_key == 0x1B) {
    return {kEscape, kNoValue};
  }
  return {kNoValue, kNoValue};
}
