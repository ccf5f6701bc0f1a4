// Zunfel32.exe's version information and manifest, read back as Windows
// Explorer and installers read them.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string value(const std::vector<char>& info, const char* name) {
  char* text = nullptr;
  UINT length = 0;
  const std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void**>(&text), &length)) {
    return "(missing)";
  }
  return std::string(text, length > 0 ? length - 1 : 0);
}

TEST(Zunfel32Version, CarriesTheProjectVersion) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(ZUNFEL32_EXE, &ignored);
  ASSERT_GT(size, 0u) << "no version resource in " << ZUNFEL32_EXE;
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoA(ZUNFEL32_EXE, 0, size, info.data()));
  std::printf("read back: %s %s, %s\n", value(info, "ProductName").c_str(),
              value(info, "FileVersion").c_str(), value(info, "FileDescription").c_str());
  EXPECT_EQ(value(info, "FileVersion"), PROJECT_VERSION);
  EXPECT_EQ(value(info, "ProductVersion"), PROJECT_VERSION);
  EXPECT_EQ(value(info, "ProductName"), "zunfelu");
  EXPECT_EQ(value(info, "OriginalFilename"), "Zunfel32.exe");
  EXPECT_EQ(value(info, "InternalName"), "Zunfel32");
  EXPECT_EQ(value(info, "FileDescription"),
            "Zunfel32 - rebuilds a file from its numbered component files");
  EXPECT_EQ(value(info, "LegalCopyright"), "Copyright (c) 2026 the zunfelu authors, MIT licence");
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  const std::string numbers = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                              std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                              std::to_string(HIWORD(fixed->dwFileVersionLS));
  EXPECT_EQ(numbers, PROJECT_VERSION);

  HMODULE exe = LoadLibraryExA(ZUNFEL32_EXE, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(exe, nullptr);
  HRSRC manifest = FindResourceA(exe, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  ASSERT_NE(manifest, nullptr) << "no manifest";
  const char* xml = static_cast<const char*>(LockResource(LoadResource(exe, manifest)));
  const std::string text(xml, SizeofResource(exe, manifest));
  EXPECT_NE(text.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(text.find("supportedOS"), std::string::npos);
  FreeLibrary(exe);
}

}  // namespace
