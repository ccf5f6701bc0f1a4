// The rules that keep Zunfel32's target below the current folder, with a
// made-up file system in which junctions can be shown, as Wine cannot.
#include "target_path.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// sub and sub\deep are folders, junction is a junction, file.txt a file.
std::uint32_t fake_attributes(const char* path) {
  const struct {
    const char* path;
    std::uint32_t attributes;
  } table[] = {
      {"sub", kAttributeDirectory},
      {"sub\\deep", kAttributeDirectory},
      {"sub/deep", kAttributeDirectory},
      {"junction", kAttributeDirectory | kAttributeReparsePoint},
      {"sub\\link", kAttributeDirectory | kAttributeReparsePoint},
      {"file.txt", 0x20},
  };
  for (const auto& entry : table) {
    if (std::strcmp(entry.path, path) == 0) return entry.attributes;
  }
  return kNoAttributes;
}

TEST(TargetPath, FoldersOnTheWay) {
  const struct {
    const char* name;
    bool plain;
  } cases[] = {
      {"report.txt", true},
      {"sub\\report.txt", true},
      {"sub\\deep\\report.txt", true},
      {"sub/deep/report.txt", true},
      {"junction\\report.txt", false},
      {"sub\\link\\report.txt", false},
      {"sub\\link\\deep\\report.txt", false},
      {"missing\\report.txt", false},
      {"file.txt\\report.txt", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(folders_are_plain(c.name, fake_attributes), c.plain) << c.name;
  }
}

TEST(TargetPath, LiesBelowTheFolder) {
  const struct {
    const char* folder;
    const char* path;
    bool below;
  } cases[] = {
      {"\\\\?\\C:\\sets", "\\\\?\\C:\\sets\\report.txt", true},
      {"\\\\?\\C:\\sets", "\\\\?\\C:\\sets\\sub\\report.txt", true},
      // Wine's folders are Linux folders: SET is not set.
      {"\\??\\Z:\\base\\set", "\\??\\Z:\\base\\SET\\victim.txt", false},
      {"\\\\?\\C:\\", "\\\\?\\C:\\report.txt", true},
      {"\\\\?\\C:\\sets", "\\\\?\\C:\\setsx\\report.txt", false},
      {"\\\\?\\C:\\sets", "\\\\?\\C:\\sets", false},
      {"\\\\?\\C:\\sets", "\\\\?\\C:\\sets\\", false},
      {"\\\\?\\C:\\sets", "\\\\?\\D:\\sets\\report.txt", false},
      {"\\\\?\\C:\\sets", "\\\\?\\C:\\Windows\\report.txt", false},
      // The form in which Windows names an open file.
      {"\\Device\\HarddiskVolume2\\sets", "\\Device\\HarddiskVolume2\\sets\\report.txt", true},
      {"\\Device\\HarddiskVolume2\\", "\\Device\\HarddiskVolume2\\report.txt", true},
      {"\\Device\\HarddiskVolume2\\sets", "\\Device\\HarddiskVolume3\\sets\\report.txt", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(path_lies_below(c.folder, c.path), c.below) << c.folder << " " << c.path;
  }
}

}  // namespace
