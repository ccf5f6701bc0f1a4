// Turns one console key press into the values a program of the PC keyboard
// reads: a character, or 0 / E0 hexadecimal followed by an extended code.
// Pure, so that it is tested on Linux as well as under Windows.
#pragma once

#include <cstdint>

// The fields of a key press record that matter; state bits as Windows has them.
struct KeyPress {
  std::uint16_t virtual_key;
  unsigned char character;  // 0 when the key carries none
  std::uint32_t control_state;
};

constexpr std::uint32_t kRightAlt = 0x0001;
constexpr std::uint32_t kLeftAlt = 0x0002;
constexpr std::uint32_t kRightCtrl = 0x0004;
constexpr std::uint32_t kLeftCtrl = 0x0008;
constexpr std::uint32_t kShift = 0x0010;
constexpr std::uint32_t kEnhancedKey = 0x0100;

constexpr int kNoValue = -1;

// `first` is kNoValue for a key to skip; `second` is the value held for the
// next read, or kNoValue.
struct KeyValues {
  int first;
  int second;
};

KeyValues translate_key(const KeyPress& key);
