// Which stored names are created as they are, and what replaces the others.
#include "target_name.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

struct NameCase {
  const char* stored;
  bool dos_paths;
  const char* created;
  bool replaced;
};

TEST(SafeTargetName, Table) {
  const NameCase cases[] = {
      {"report.txt", false, "report.txt", false},
      {"dir/report.txt", false, "dir/report.txt", false},
      {"a..b/..c/d..", false, "a..b/..c/d..", false},
      {"./report.txt", false, "./report.txt", false},
      {".", false, ".", false},
      {"", false, "", false},
      {"/etc/passwd", false, "passwd", true},
      {"//x", false, "x", true},
      {"../report.txt", false, "report.txt", true},
      {"a/../../b", false, "b", true},
      {"a/..", false, "..", true},
      {"..", false, "..", true},
      {"/", false, "", true},
      {"/tmp/", false, "", true},
      {"/.", false, ".", true},
      {"..\\x", false, "..\\x", false},  // a backslash is a plain character on Linux
      {"C:x", false, "C:x", false},
      {"dir\\report.txt", true, "dir\\report.txt", false},
      {"..\\x", true, "x", true},
      {"a/..\\b", true, "b", true},
      {"\\x", true, "x", true},
      {"\\\\server\\share\\f.txt", true, "f.txt", true},
      {"C:x", true, "x", true},
      {"c:\\dos\\f", true, "f", true},
      {"C:", true, "", true},
      {"C:..\\f", true, "f", true},
      {"a\\.. \\f", true, "f", true},
      {"a\\...\\f", true, "f", true},
      {"a\\.x.\\f", true, "a\\.x.\\f", false},
      // A colon inside a name opens a data stream of another file.
      {"1:x", true, "x", true},
      {"report.txt:hidden", true, "hidden", true},
      // Found by the fuzzer: a drive in the last component.
      {"/etc/../x\\C:y", true, "y", true},
      {"a\\C:", true, "", true},
  };
  for (const NameCase& c : cases) {
    const TargetName t = safe_target_name(c.stored, c.dos_paths);
    EXPECT_EQ(std::string(t.name), c.created) << c.stored << " dos " << c.dos_paths;
    EXPECT_EQ(t.replaced, c.replaced) << c.stored << " dos " << c.dos_paths;
  }
}

TEST(SafeTargetName, NamesNoFile) {
  for (const char* name : {"..", "/", ".", "a/", "a/..", "a/.", ""}) {
    EXPECT_TRUE(leaves_no_file(name, false)) << name;
  }
  EXPECT_TRUE(leaves_no_file("a\\.. ", true));
  EXPECT_FALSE(leaves_no_file("a\\.. ", false));
  EXPECT_FALSE(leaves_no_file("a/.x", false));
  for (const char* name : {"", ".", ".."}) {
    EXPECT_TRUE(names_no_file(name, false)) << name;
    EXPECT_TRUE(names_no_file(name, true)) << name;
  }
  EXPECT_FALSE(names_no_file("...", false));
  EXPECT_TRUE(names_no_file("...", true));
  EXPECT_TRUE(names_no_file(".. ", true));
  EXPECT_FALSE(names_no_file(".x", true));
}

TEST(TargetNameParts, LastComponentDevicesAndShownNames) {
  const struct {
    const char* path;
    bool dos_paths;
    const char* last;
  } parts[] = {
      {"report.Z00", false, "report.Z00"},
      {"../sets/report.Z00", false, "report.Z00"},
      {"a.b\\report", false, "a.b\\report"},
      {"C:\\users\\john.doe\\report.Z00", true, "report.Z00"},
      {"a:x.Z00", true, "x.Z00"},
      {"dir/", true, ""},
  };
  for (const auto& c : parts) {
    EXPECT_STREQ(last_component(c.path, c.dos_paths), c.last) << c.path;
  }
  for (const char* device : {"NUL", "con", "Aux.txt", "com1.log", "LPT9", "nul .", "PRN..x",
                             "CONIN$", "conout$.txt", "COM\xB9", "lpt\xB3.a", "dir\\NUL"}) {
    EXPECT_TRUE(is_device_name(device)) << device;
  }
  for (const char* file : {"NULL", "COM0", "LPT10", "xcon", "_NUL", "COM\xB4", "con x", "CONIN"}) {
    EXPECT_FALSE(is_device_name(file)) << file;
  }
  const struct {
    const char* name;
    const char* shown;          // on a UTF-8 terminal (Linux)
    const char* shown_console;  // on the Windows console
  } shown[] = {
      {"report.txt", "report.txt", "report.txt"},
      {"evil\x1b]0;PWNED\x07\x1b[31mred.txt", "evil\\033]0;PWNED\\007\\033[31mred.txt",
       "evil\\033]0;PWNED\\007\\033[31mred.txt"},
      {"spoof.txt\rFile size: OK\n", "spoof.txt\\015File size: OK\\012",
       "spoof.txt\\015File size: OK\\012"},
      {"\x01\x1f\x7f\x80\xff\\", "\\001\\037\\177\x80\xff\\", "\\001\\037\\177\x80\xff\\"},
      // C1 controls in UTF-8: CSI 2J clears, OSC retitles; U+202E reverses.
      {"a\xc2\x9b"
       "2J",
       "a\\302\\233"
       "2J",
       "a\xc2\x9b"
       "2J"},
      {"\xc2\x9d"
       "0;x\xc2\x9c\xc2\x80\xc2\x9f\xc2\xa0",
       "\\302\\235"
       "0;x\\302\\234\\302\\200\\302\\237\xc2\xa0",
       "\xc2\x9d"
       "0;x\xc2\x9c\xc2\x80\xc2\x9f\xc2\xa0"},
      {"\xe2\x80\xaetxt.exe", "\\342\\200\\256txt.exe", "\xe2\x80\xaetxt.exe"},
      {"\xe2\x80\x8e\xe2\x80\x8f\xe2\x80\xaa\xe2\x81\xa6\xe2\x81\xa9\xe2\x80\x8d\xe2\x81\xaa",
       "\\342\\200\\216\\342\\200\\217\\342\\200\\252\\342\\201\\246\\342\\201\\251\xe2\x80\x8d\xe2"
       "\x81\xaa",
       "\xe2\x80\x8e\xe2\x80\x8f\xe2\x80\xaa\xe2\x81\xa6\xe2\x81\xa9\xe2\x80\x8d\xe2\x81\xaa"},
      {"cut\xc2", "cut\xc2", "cut\xc2"},
      {"cut\xe2\x80", "cut\xe2\x80", "cut\xe2\x80"},
  };
  for (const auto& c : shown) {
    EXPECT_STREQ(shown_name(c.name, true).text, c.shown) << c.name;
    EXPECT_STREQ(shown_name(c.name, false).text, c.shown_console) << c.name;
  }
  EXPECT_EQ(std::string(shown_name(std::string(99, '\x1b').c_str(), true).text).size(), 396u);
}

}  // namespace
