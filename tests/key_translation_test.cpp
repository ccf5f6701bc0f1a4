// What a key press record gives a reader of the PC keyboard.
#include "key_translation.hpp"

#include <gtest/gtest.h>

namespace {

constexpr std::uint16_t kF1 = 0x70, kF6 = 0x75, kF7 = 0x76, kF10 = 0x79, kF11 = 0x7A, kF12 = 0x7B,
                        kHome = 0x24, kUp = 0x26, kPgUp = 0x21, kLeft = 0x25, kRight = 0x27,
                        kEnd = 0x23, kDown = 0x28, kPgDn = 0x22, kIns = 0x2D, kDel = 0x2E,
                        kEsc = 0x1B;

struct KeyCase {
  const char* title;
  KeyPress key;
  int first;
  int second;
};

TEST(TranslateKey, Table) {
  const KeyCase cases[] = {
      {"y", {'Y', 'y', 0}, 'y', kNoValue},
      {"Shift+y", {'Y', 'Y', kShift}, 'Y', kNoValue},
      {"Enter", {0x0D, 13, 0}, 13, kNoValue},
      {"Backspace", {0x08, 8, 0}, 8, kNoValue},
      {"Escape with its character", {kEsc, 27, 0}, 27, kNoValue},
      {"Escape without a character", {kEsc, 0, 0}, 27, kNoValue},
      {"Alt+Escape", {kEsc, 0, kLeftAlt}, 0, 1},
      {"Ctrl+C", {'C', 3, kLeftCtrl}, 3, kNoValue},
      {"character 255", {0, 255, 0}, 255, kNoValue},
      {"character with Alt stays a character", {'A', 'a', kLeftAlt}, 'a', kNoValue},
      {"F1", {kF1, 0, 0}, 0, 59},
      {"F10", {kF10, 0, 0}, 0, 68},
      {"Shift+F1", {kF1, 0, kShift}, 0, 84},
      {"Shift+F6 gives Y", {kF6, 0, kShift}, 0, 89},
      {"Ctrl+F1", {kF1, 0, kLeftCtrl}, 0, 94},
      {"right Ctrl+F10", {kF10, 0, kRightCtrl}, 0, 103},
      {"Alt+F1", {kF1, 0, kLeftAlt}, 0, 104},
      {"Alt+F7 gives n", {kF7, 0, kLeftAlt}, 0, 110},
      {"Alt before Ctrl and Shift", {kF7, 0, kRightAlt | kLeftCtrl | kShift}, 0, 110},
      {"Ctrl before Shift", {kF1, 0, kLeftCtrl | kShift}, 0, 94},
      {"F11", {kF11, 0, 0}, 0xE0, 133},
      {"F12", {kF12, 0, 0}, 0xE0, 134},
      {"Shift+F11", {kF11, 0, kShift}, 0xE0, 135},
      {"Shift+F12", {kF12, 0, kShift}, 0xE0, 136},
      {"Ctrl+F11", {kF11, 0, kLeftCtrl}, 0xE0, 137},
      {"Ctrl+F12", {kF12, 0, kLeftCtrl}, 0xE0, 138},
      {"Alt+F11", {kF11, 0, kLeftAlt}, 0xE0, 139},
      {"Alt+F12", {kF12, 0, kLeftAlt}, 0xE0, 140},
      {"keypad Up", {kUp, 0, 0}, 0, 72},
      {"grey Up", {kUp, 0, kEnhancedKey}, 0xE0, 72},
      {"grey Home", {kHome, 0, kEnhancedKey}, 0xE0, 71},
      {"keypad PgUp", {kPgUp, 0, 0}, 0, 73},
      {"Left", {kLeft, 0, 0}, 0, 75},
      {"Right", {kRight, 0, 0}, 0, 77},
      {"End", {kEnd, 0, 0}, 0, 79},
      {"Down", {kDown, 0, 0}, 0, 80},
      {"PgDn", {kPgDn, 0, 0}, 0, 81},
      {"Ins", {kIns, 0, 0}, 0, 82},
      {"grey Del", {kDel, 0, kEnhancedKey}, 0xE0, 83},
      {"Shift+Home as Home", {kHome, 0, kShift}, 0, 71},
      {"Ctrl+Home", {kHome, 0, kLeftCtrl}, 0, 119},
      {"Ctrl+Up", {kUp, 0, kLeftCtrl}, 0, 141},
      {"Ctrl+PgUp", {kPgUp, 0, kLeftCtrl}, 0, 132},
      {"Ctrl+Left", {kLeft, 0, kLeftCtrl}, 0, 115},
      {"Ctrl+Right", {kRight, 0, kLeftCtrl}, 0, 116},
      {"Ctrl+End", {kEnd, 0, kLeftCtrl}, 0, 117},
      {"Ctrl+Down", {kDown, 0, kLeftCtrl}, 0, 145},
      {"Ctrl+PgDn", {kPgDn, 0, kLeftCtrl}, 0, 118},
      {"Ctrl+Ins", {kIns, 0, kLeftCtrl}, 0, 146},
      {"Ctrl+Del", {kDel, 0, kLeftCtrl}, 0, 147},
      {"Alt+Home", {kHome, 0, kLeftAlt}, 0, 151},
      {"Alt+grey Up", {kUp, 0, kLeftAlt | kEnhancedKey}, 0xE0, 152},
      {"Alt+Del", {kDel, 0, kLeftAlt}, 0, 163},
      {"Alt+Q", {'Q', 0, kLeftAlt}, 0, 16},
      {"Alt+M", {'M', 0, kLeftAlt}, 0, 50},
      {"Alt+1", {'1', 0, kLeftAlt}, 0, 120},
      {"Alt+0", {'0', 0, kLeftAlt}, 0, 129},
      {"Shift alone is skipped", {0x10, 0, kShift}, kNoValue, kNoValue},
      {"Ctrl alone is skipped", {0x11, 0, kLeftCtrl}, kNoValue, kNoValue},
      {"Alt alone is skipped", {0x12, 0, kLeftAlt}, kNoValue, kNoValue},
      {"Caps Lock is skipped", {0x14, 0, 0}, kNoValue, kNoValue},
      {"Num Lock is skipped", {0x90, 0, kEnhancedKey}, kNoValue, kNoValue},
      {"all-zero record is skipped", {0, 0, 0}, kNoValue, kNoValue},
      {"letter without character or Alt is skipped", {'Q', 0, kLeftCtrl}, kNoValue, kNoValue},
  };
  for (const KeyCase& c : cases) {
    const KeyValues v = translate_key(c.key);
    EXPECT_EQ(v.first, c.first) << c.title;
    EXPECT_EQ(v.second, c.second) << c.title;
  }
}

// Every character a key can carry comes back as itself, 0-255, nothing held.
TEST(TranslateKey, EveryCharacterAsItself) {
  for (int c = 1; c <= 255; ++c) {
    const KeyValues v = translate_key({0x41, static_cast<unsigned char>(c), kLeftAlt});
    EXPECT_EQ(v.first, c);
    EXPECT_EQ(v.second, kNoValue);
  }
}

}  // namespace
