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
  for (const char* name : {"", ".", ".."}) {
    EXPECT_TRUE(names_no_file(name, false)) << name;
    EXPECT_TRUE(names_no_file(name, true)) << name;
  }
  EXPECT_FALSE(names_no_file("...", false));
  EXPECT_TRUE(names_no_file("...", true));
  EXPECT_TRUE(names_no_file(".. ", true));
  EXPECT_FALSE(names_no_file(".x", true));
}

}  // namespace
