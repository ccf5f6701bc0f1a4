// zunfelu end to end: each case writes a set, runs the real program in a
// fresh folder with given standard input, and checks the exact output, the
// status the shell sees, the files left behind and the target's times.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "set_writer.hpp"
#include "spawn.hpp"

namespace {

const std::string kBanner =
    "zunfelu Ver 1.08 03/05/97 - rebuilds a file from its numbered component files\n";
const std::string kUsage = "USAGE:\n\t zunfelu file\n";
constexpr std::int32_t kStamp = 868000000;  // a summer moment of 1997
const std::string kName = "report.txt";

// Deterministic bytes, half of them 0x80 or above, so the checksum's sign matters.
std::string bytes(std::size_t n, unsigned seed = 1) {
  std::string s(n, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return s;
}

const std::string kData = bytes(30000);
// Two components of 300000 bytes, each read as one block of 30 chunks.
const std::string kLarge = bytes(600000, 3);
// Component 00 cut to 300000 bytes, header included: its data end 86 bytes
// early, inside the block that reads them, and only its first 29 chunks count.
const std::string kLargeCutLine = [] {
  char line[100];
  std::snprintf(line, sizeof line, "Checksum error for file report.Z00 should be %04X is %04X\n",
                reference_checksum(kLarge.substr(0, 300000)),
                reference_checksum(kLarge.substr(0, 290000)));
  return std::string(line);
}();

std::vector<Component> three() { return cut_into(kData, kName, 3, kStamp); }

// The opening lines of a run; `between` stands between the size and the merge line.
std::string head(long total, int count, const std::string& name = kName,
                 const std::string& between = "") {
  return kBanner + "File size: " + std::to_string(total) + " \n" + between + "Merging " +
         std::to_string(count) + " files to create: " + name + "\n";
}

std::string reading(int from, int to, const std::string& prefix = "report") {
  std::string s;
  for (int k = from; k <= to; ++k) {
    s += "Reading " + component_file(prefix, k) + "\n";
  }
  return s;
}

const std::string kInvalid01 = "Invalid Component File: report.Z01\nMerge aborted\n";
const std::string kDiskWrite = "Disk write error or disk full!!!\nMerge ABORTED";
const std::string kOld = "component files created with DIVVLE ver 1.02\n";
// Every write succeeded, but the data do not add up to the recorded size.
std::string size_differs(long long size, long total, const std::string& name = kName) {
  return "Size of " + name + " is " + std::to_string(size) + ", the set records " +
         std::to_string(total) + "\nMerge ABORTED\n";
}

// Applies a change to a copy of the valid three-part set.
std::function<std::vector<Component>()> three_with(std::function<void(std::vector<Component>&)> f) {
  return [f] {
    auto set = three();
    f(set);
    return set;
  };
}

struct Case {
  const char* title;
  std::function<std::vector<Component>()> set = three;
  std::vector<std::string> args = {"report.Z00"};
  std::string input;
  std::optional<std::string> existing;  // a file already at the target's name
  std::string output;
  int status = 0;
  std::optional<std::string> target;  // what the target holds afterwards; none: absent
  bool stamped = false;               // the target carries the recorded times
  std::int32_t stamp = kStamp;
  std::vector<std::pair<std::string, std::string>> env;
  std::string set_dir;  // subfolder that holds the set
  std::string target_name = kName;
  std::string run_dir;                 // subfolder the program runs in; nothing may leave it
  std::optional<std::string> link_to;  // a symbolic link at the target's name points here
  long file_size_limit = -1;           // RLIMIT_FSIZE of the run
  std::function<void(const std::string& dir)> prepare;  // changes the written set
  bool close_stdout = false;
  bool broken_pipe_stdout = false;
  bool close_stdin = false;
  bool unprivileged = false;     // as root, run as nobody, so that permission bits count
  long open_files_limit = -1;    // RLIMIT_NOFILE of the run
  int umask = -1;                // the run's umask; 022 when not given
  int openat2_error = 0;         // the kernel answers openat2 so: ENOSYS (too old), EPERM
  bool protect_regular = false;  // fs.protected_regular is 1 for the run (root only)
  std::string stdin_from;        // standard input read from this file of the run's folder
  std::string stdout_to;         // standard output written over this file, as `>` does
  std::string stderr_to;         // standard error likewise, as `2>` does
  std::function<void(const std::string& dir)> check;  // more to check afterwards
  int signal = 0;                                     // the signal that ends the run
};

const std::string kHelp =
    "Rebuilds the file that was cut into P.Z00, P.Z01, ...; the manual: man zunfelu\n"
    "\t zunfelu --test file   checks every component and writes nothing\n"
    "\t zunfelu --list file   lists the set from its headers\n"
    "\t zunfelu --salvage file   writes what a broken set holds to NAME.salvaged\n"
    "\t their status: 0 whole, 2 damaged, 3 incomplete, 4 not a set, 5 not to be made here\n";

// Lowers the letter Z in the names of the chosen components.
void lower_extensions(const std::string& dir, std::initializer_list<int> numbers) {
  for (const int k : numbers) {
    std::string lower = component_file("report", k);
    lower[lower.find(".Z") + 1] = 'z';
    std::filesystem::rename(dir + "/" + component_file("report", k), dir + "/" + lower);
  }
}

const std::string kOverwrite = "File report.txt exists, overwrite (y/n)?\n";
const std::string kOldFile = "the file that was there before\n";

std::string bad_checksum_question(int n) {
  char question[64];
  std::snprintf(question, sizeof question, " %d checksum errors, abort merge (y/n)?\n", n);
  return question;
}

// Puts something other than a readable file where component `number` was.
void replace_component(const std::string& dir, int number, const std::string& kind) {
  const std::string path = dir + "/" + component_file("report", number);
  if (kind == "unreadable") {
    chmod(path.c_str(), 0);
    return;
  }
  std::filesystem::remove(path);
  if (kind == "dir") {
    std::filesystem::create_directory(path);
  } else {
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
  }
}

// Every component carries `name`, as a crafted set would.
std::function<std::vector<Component>()> named(const std::string& name) {
  return three_with([name](auto& s) {
    for (auto& c : s) c.name = name;
  });
}

std::string replaced(const std::string& stored, const std::string& created) {
  return "Stored name " + stored + " is not a plain relative path, creating " + created +
         " instead\n";
}

// The same case on a kernel without openat2, where the folders are walked one by one.
Case on_older_kernel(Case c, const char* title) {
  c.title = title;
  c.openat2_error = ENOSYS;
  return c;
}

// Every component carries `stored`, which is refused before anything is
// asked or written, as one of the set's own components.
Case refused(const char* title, const std::string& stored,
             std::function<void(const std::string& dir)> prepare = nullptr) {
  return {.title = title,
          .set = named(stored),
          .output = kBanner + "File size: 30000 \nCan not create " + stored,
          .status = 255,
          .target_name = stored,
          .prepare = std::move(prepare)};
}

// Every component carries `stored`, a plain name that is created as it is
// and printed as `shown`.
Case created_as_stored(const char* title, const std::string& stored, const std::string& shown) {
  return {.title = title,
          .set = named(stored),
          .output = head(30000, 3, shown) + reading(0, 2),
          .target = kData,
          .stamped = true,
          .target_name = stored};
}

// What --test says of a component, and its closing line.
std::string tested(const std::string& name, const std::string& range, const std::string& verdict) {
  return name + ": " + range + ": " + verdict + "\n";
}
std::string four_hex(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

// Every component carries `stored`, which a merge here would refuse to
// create: the test says so in the merge's words.
Case tested_refused(const char* title, const std::string& stored) {
  return {.title = title,
          .set = named(stored),
          .args = {"--test", "report"},
          .output = kBanner + tested("report.Z00", "bytes 0-9999", "good") +
                    tested("report.Z01", "bytes 10000-19999", "good") +
                    tested("report.Z02", "bytes 20000-29999", "good") + stored +
                    ": 3 components, 30000 bytes: a merge here ends at once: Can not create " +
                    stored + "\n",
          .status = 5,
          .target_name = stored};
}

// A target in a folder that the user may not change, though the file is
// theirs: where the run would delete it, it is emptied. The set carries
// "ro/report.txt"; `total` is its recorded size.
Case undeletable(const char* title, std::function<std::vector<Component>()> set,
                 const std::string& input, const std::string& after_head, int status,
                 long total = 30000) {
  return {
      .title = title,
      .set = std::move(set),
      .input = input,
      .output = head(total, 3, "ro/report.txt", "File ro/report.txt exists, overwrite (y/n)?\n") +
                after_head,
      .status = status,
      .target = "",
      .target_name = "ro/report.txt",
      .prepare =
          [](const std::string& dir) {
            std::filesystem::create_directory(dir + "/ro");
            write_bytes(dir + "/ro/report.txt", kOldFile);
            if (geteuid() == 0) {
              ASSERT_EQ(chown((dir + "/ro").c_str(), 65534, 65534), 0);
              ASSERT_EQ(chown((dir + "/ro/report.txt").c_str(), 65534, 65534), 0);
            }
            chmod((dir + "/ro").c_str(), 0555);
          },
      .unprivileged = true};
}

// The stored name a/b/x, where a may be entered but not listed (a home
// folder) and b is open to all, merged by a user who owns neither.
Case enterable_not_listable(const char* title, int openat2_error) {
  return {.title = title,
          .set = named("a/b/x"),
          .output = head(30000, 3, "a/b/x") + reading(0, 2),
          .target = kData,
          .stamped = true,
          .target_name = "a/b/x",
          .prepare =
              [](const std::string& dir) {
                std::filesystem::create_directories(dir + "/a/b");
                chmod((dir + "/a/b").c_str(), 0777);
                chmod((dir + "/a").c_str(), 0711);
              },
          .unprivileged = true,
          .openat2_error = openat2_error};
}

// Component `number` becomes a link to a device that reads without end.
void link_to_device(const std::string& dir, int number) {
  const std::string path = dir + "/" + component_file("report", number);
  std::filesystem::remove(path);
  std::filesystem::create_symlink("/dev/zero", path);
}

// A set of six components of 10000 bytes, broken by `change` and
// `prepare`, salvaged: `verdicts` are what the test says of each component,
// `zeros` the stretches filled, and every other byte is the original's.
const std::string kSix = bytes(60000, 6);
Case salvaged(const char* title, std::vector<std::string> verdicts,
              std::vector<std::pair<int, int>> zeros, const std::string& closing, int status,
              std::function<void(std::vector<Component>&)> change = nullptr,
              std::function<void(const std::string& dir)> prepare = nullptr) {
  std::string out = kBanner + "Salvaging 6 files into: report.txt.salvaged\n";
  for (int k = 0; k < 6; ++k) {
    out += tested(component_file("report", k),
                  "bytes " + std::to_string(k * 10000) + "-" + std::to_string(k * 10000 + 9999),
                  verdicts[static_cast<std::size_t>(k)]);
  }
  out += "report.txt: 6 components, 60000 bytes: " + closing + "\n";
  std::string target = kSix;
  int filled = 0;
  for (const auto& [first, last] : zeros) {
    out += "Filled with zeros: bytes " + std::to_string(first) + "-" + std::to_string(last) + "\n";
    target.replace(static_cast<std::size_t>(first), static_cast<std::size_t>(last - first + 1),
                   static_cast<std::size_t>(last - first + 1), '\0');
    filled += last - first + 1;
  }
  out += "report.txt.salvaged: 60000 bytes, " + std::to_string(filled) +
         " of them filled with zeros\n";
  return {.title = title,
          .set =
              [change] {
                auto set = cut_into(kSix, kName, 6, kStamp);
                if (change) change(set);
                return set;
              },
          .args = {"--salvage", "report"},
          .output = out,
          .status = status,
          .target = target,
          .stamped = true,
          .target_name = "report.txt.salvaged",
          .prepare = std::move(prepare)};
}

// --list of a whole set recorded at `stamp`, whose time it shows as `shown`.
Case listed_time(std::int32_t stamp, const std::string& shown) {
  static std::list<std::string> titles;  // a case's title outlives the case
  titles.push_back("a list shows the stamp " + std::to_string(stamp) + " as " + shown);
  return {.title = titles.back().c_str(),
          .set = [stamp] { return cut_into(kData, kName, 3, stamp); },
          .args = {"--list", "report"},
          .output = kBanner + "Stored name: report.txt\nSize: 30000 bytes\nTime: " + shown +
                    "\nComponents: 3\nreport.Z00: bytes 0-9999 (10000 bytes)\n"
                    "report.Z01: bytes 10000-19999 (10000 bytes)\n"
                    "report.Z02: bytes 20000-29999 (10000 bytes)\n"};
}

// Removes the components of these numbers.
std::function<void(const std::string&)> without(std::vector<int> numbers) {
  return [numbers](const std::string& dir) {
    for (const int k : numbers) std::filesystem::remove(dir + "/" + component_file("report", k));
  };
}

std::vector<Case> cases() {
  const auto wrong_sum = three_with([](auto& s) { s[1].checksum ^= 0x8001; });
  const std::string wrong_sum_line = "Checksum error for file report.Z01 should be " + [] {
    char b[8];
    std::snprintf(b, sizeof b, "%04X", reference_checksum(three()[1].data) ^ 0x8001);
    return std::string(b);
  }() + " is " + [] {
    char b[8];
    std::snprintf(b, sizeof b, "%04X", reference_checksum(three()[1].data));
    return std::string(b);
  }() + "\n";
  const std::string wrong_sum_run =
      head(30000, 3) + reading(0, 1) + wrong_sum_line + reading(2, 2) + bad_checksum_question(1);
  const auto short_by = [](const char* title, int missing) {
    return Case{.title = title,
                .set = three_with(
                    [missing](auto& s) { s[1].keep_bytes = 86 + s[1].data_length - missing; }),
                .output = head(30000, 3) + reading(0, 1) + kInvalid01,
                .status = 1};
  };
  char sum01[8];
  std::snprintf(sum01, sizeof sum01, "%04X", reference_checksum(three()[1].data));
  // Component 01 ends 10 bytes early after its size was taken: its only
  // chunk never arrives whole.
  const std::string cut_short_run = head(30000, 3) + reading(0, 1) +
                                    "Checksum error for file report.Z01 should be " + sum01 +
                                    " is 0000\n" + reading(2, 2) + bad_checksum_question(1);
  // Anything but a readable regular file where a component should be.
  const std::string unopenable00 = kBanner + " can't open file : report.Z00 \n";
  const std::string unopenable01 =
      head(30000, 3) + reading(0, 0) + " can't open file : report.Z01 \nMerge aborted\n";

  // Names, links and races: a folder part is reached without following links.
  const Case link_in_folder =
      Case{.title = "link in the folder part of a stored name is never followed",
           .set = named("d/report.txt"),
           .output = head(30000, 3, "d/report.txt") + "Can not create d/report.txt",
           .status = 255,
           .target_name = "d",
           .prepare =
               [](const std::string& dir) {
                 std::filesystem::create_directory(dir + "/victim");
                 std::filesystem::create_directory_symlink("victim", dir + "/d");
               },
           .check =
               [](const std::string& dir) {
                 EXPECT_EQ(list_dir(dir + "/victim"), std::vector<std::string>{});
               }};
  const Case plain_folders = Case{
      .title = "folder part reached without links is used",
      .set = named("d/./e/report.txt"),
      .output = head(30000, 3, "d/./e/report.txt") + reading(0, 2),
      .target = kData,
      .stamped = true,
      .target_name = "d/e/report.txt",
      .prepare = [](const std::string& dir) { std::filesystem::create_directories(dir + "/d/e"); }};

  return {
      {.title = "valid set",
       .output = head(30000, 3) + reading(0, 2),
       .target = kData,
       .stamped = true},
      {.title = "base name alone",
       .args = {"report"},
       .output = head(30000, 3) + reading(0, 2),
       .target = kData,
       .stamped = true},
      {.title = "any component named",
       .args = {"report.Z07", "extra", "words"},
       .output = head(30000, 3) + reading(0, 2),
       .target = kData,
       .stamped = true},
      {.title = "set in another folder, target here",
       .args = {"sub/report.Z00"},
       .output = head(30000, 3) + reading(0, 2, "sub/report"),
       .target = kData,
       .stamped = true,
       .set_dir = "sub"},
      {.title = "no argument", .args = {}, .output = kBanner + kUsage, .status = 255},
      {.title = "argument of 80 bytes is taken",
       .args = {std::string(80, 'q')},
       .output = kBanner + " can't open file : " + std::string(80, 'q') + ".Z00 \n",
       .status = 255},
      {.title = "argument of 81 bytes",
       .args = {std::string(81, 'q')},
       .output = kBanner + "File path too long",
       .status = 1},
      {.title = "dot first gives an empty base name",
       .args = {".Z00"},
       .output = kBanner + " can't open file : .Z00 \n",
       .status = 255},
      {.title = "dots in a folder name belong to the folder",
       .args = {"a.b/report.Z00"},
       .output = head(30000, 3) + reading(0, 2, "a.b/report"),
       .target = kData,
       .stamped = true,
       .set_dir = "a.b"},
      {.title = "set named from the current folder",
       .args = {"./report.Z00"},
       .output = head(30000, 3) + reading(0, 2, "./report"),
       .target = kData,
       .stamped = true},
      {.title = "dot first in the last component gives an empty base name",
       .args = {"a.b/.Z00"},
       .output = kBanner + " can't open file : a.b/.Z00 \n",
       .status = 255},
      {.title = "component 00 missing",
       .args = {"other"},
       .output = kBanner + " can't open file : other.Z00 \n",
       .status = 255},
      {.title = "component 00 status request fails",
       .output = kBanner + "FAIL",
       .status = 1,
       .env = {{"ZFAULT_FSTAT", "1"}}},
      {.title = "component 00 stream cannot open",
       .output = kBanner,
       .status = 255,
       .env = {{"ZFAULT_FOPEN", "report.Z00"}}},
      {.title = "overwrite y",
       .input = "y",
       .existing = kOldFile,
       .output = head(30000, 3, kName, kOverwrite) + reading(0, 2),
       .target = kData,
       .stamped = true},
      {.title = "overwrite Y after junk",
       .input = "x \nY",
       .existing = kOldFile,
       .output = head(30000, 3, kName, kOverwrite) + reading(0, 2),
       .target = kData,
       .stamped = true},
      {.title = "overwrite n",
       .input = "n",
       .existing = kOldFile,
       .output = kBanner + "File size: 30000 \n" + kOverwrite,
       .status = 1,
       .target = kOldFile},
      {.title = "overwrite, end of input",
       .input = "ok?",
       .existing = kOldFile,
       .output = kBanner + "File size: 30000 \n" + kOverwrite,
       .status = 1,
       .target = kOldFile},
      {.title = "target cannot be created",
       .set = three_with([](auto& s) {
         for (auto& c : s) c.name = "missing/dir/report.txt";
       }),
       .output = head(30000, 3, "missing/dir/report.txt") + "Can not create missing/dir/report.txt",
       .status = 255,
       .target_name = "missing"},
      {.title = "empty stored name",
       .set = three_with([](auto& s) {
         for (auto& c : s) c.name = "";
       }),
       .output = head(30000, 3, "") + "Can not create ",
       .status = 255,
       .target_name = ""},
      {.title = "component 01 missing",
       .set = three_with([](auto& s) { s.pop_back(); }),
       .output =
           head(30000, 3) + reading(0, 1) + " can't open file : report.Z02 \n" + "Merge aborted\n",
       .status = 255},
      {.title = "component 01 status request fails",
       .output = head(30000, 3) + reading(0, 0) + "FAIL",
       .status = 1,
       .target = kData.substr(0, 10000),
       .env = {{"ZFAULT_FSTAT", "2"}}},
      {.title = "component 01 stream cannot open",
       .output = head(30000, 3) + reading(0, 0) + "Can not open file report.Z01\n",
       .status = 255,
       .target = kData.substr(0, 10000),
       .env = {{"ZFAULT_FOPEN", "report.Z01"}}},
      {.title = "wrong sequence number",
       .set = three_with([](auto& s) { s[1].sequence = 2; }),
       .output = head(30000, 3) + reading(0, 0) + kInvalid01,
       .status = 1},
      {.title = "name differs in case",
       .set = three_with([](auto& s) { s[1].name = "Report.txt"; }),
       .output = head(30000, 3) + reading(0, 0) + kInvalid01,
       .status = 1},
      {.title = "bytes after a name's zero are ignored",
       .set = three_with([](auto& s) {
         s[0].name = kName + std::string("\0left", 5);
         s[1].name = kName + std::string("\0over", 5);
       }),
       .output = head(30000, 3) + reading(0, 2),
       .target = kData,
       .stamped = true},
      {.title = "70-byte name matches a terminated continuation name",
       .set = three_with([](auto& s) {
         for (auto& c : s) c.name = std::string(70, 'L');
       }),
       .output = head(30000, 3, std::string(70, 'L')) + reading(0, 2),
       .target = kData,
       .stamped = true,
       .target_name = std::string(70, 'L')},
      {.title = "70-byte name against a longer continuation name",
       .set = three_with([](auto& s) {
         for (auto& c : s) c.name = std::string(70, 'L');
         s[1].name = std::string(71, 'L');
       }),
       .output = head(30000, 3, std::string(70, 'L')) + reading(0, 0) + kInvalid01,
       .status = 1,
       .target_name = std::string(70, 'L')},
      {.title = "component smaller than its length",
       .set = three_with([](auto& s) { s[1].keep_bytes = s[1].data_length - 1; }),
       .output = head(30000, 3) + reading(0, 1) + kInvalid01,
       .status = 1},
      {.title = "checksum error kept with n",
       .set = wrong_sum,
       .input = "n",
       .output = wrong_sum_run,
       .target = kData,
       .stamped = true},
      {.title = "checksum error discarded with y",
       .set = wrong_sum,
       .input = "xq\ny",
       .output = wrong_sum_run,
       .status = 1},
      {.title = "checksum error, end of input discards",
       .set = wrong_sum,
       .output = wrong_sum_run,
       .status = 1},
      // However little of its data a component lacks, it cannot be whole.
      short_by("component 1 byte short", 1),
      short_by("component 86 bytes short", 86),
      short_by("component 87 bytes short", 87),
      {.title = "target longer than recorded",
       .set = three_with([](auto& s) {
         for (auto& c : s) c.total_size = 29999;
       }),
       .output = head(29999, 3) + reading(0, 2) + size_differs(30000, 29999),
       .status = 255},
      {.title = "unrecorded size draws the old-version notice",
       .set = three_with([](auto& s) { s[0].total_size = 0; }),
       .output = head(0, 3) + reading(0, 2) + kOld,
       .target = kData,
       .stamped = true},
      {.title = "count 0, size 0: empty target",
       .set = [] { return std::vector<Component>{{.count = 0, .name = kName, .stamp = kStamp}}; },
       .output = head(0, 0),
       .target = "",
       .stamped = true},
      {.title = "count byte 0x80 copies nothing",
       .set = three_with([](auto& s) {
         s[0].count = 0x80;
         s[0].total_size = 3;
       }),
       .output = head(3, -128) + size_differs(0, 3),
       .status = 255},
      // No header field is covered by a checksum: one bit flipped in the
      // recorded size, or a disk from another cut of the same file (each
      // component right in itself), leaves sizes that do not add up.
      {.title = "damaged size field",
       .set = three_with([](auto& s) { s[0].total_size ^= 0x10000; }),
       .output = head(30000 ^ 0x10000, 3) + reading(0, 2) + size_differs(30000, 30000 ^ 0x10000),
       .status = 255},
      // A link at a component's name is followed to the file; one that leads
      // nowhere is a component that cannot be opened, not one to look for
      // lower-cased.
      {.title = "component reached through a link",
       .output = head(30000, 3) + reading(0, 2),
       .target = kData,
       .stamped = true,
       .prepare =
           [](const std::string& dir) {
             std::filesystem::rename(dir + "/report.Z01", dir + "/real01");
             std::filesystem::create_symlink("real01", dir + "/report.Z01");
           }},
      {.title = "dangling link at a component's name, a lower-cased copy beside it",
       .output = head(30000, 3) + reading(0, 0) + " can't open file : report.Z01 \nMerge aborted\n",
       .status = 255,
       .prepare =
           [](const std::string& dir) {
             lower_extensions(dir, {1});
             std::filesystem::create_symlink("nowhere", dir + "/report.Z01");
           }},
      // Every name of a file that a failed merge wrote is emptied.
      {.title = "a second hard link of the target keeps none of a failed merge",
       .set = three_with([](auto& s) { s[2].sequence = 5; }),
       .input = "y",
       .existing = kOldFile,
       .output = head(30000, 3, kName, kOverwrite) + reading(0, 1) +
                 "Invalid Component File: report.Z02\nMerge aborted\n",
       .status = 1,
       .prepare =
           [](const std::string& dir) {
             std::filesystem::create_hard_link(dir + "/" + kName, dir + "/keep.txt");
           },
       .check = [](const std::string& dir) { EXPECT_EQ(read_bytes(dir + "/keep.txt"), ""); }},
      // The README's real sets: disks copied into two folders, component 00
      // renamed, the set gathered by links in a third.
      {.title = "set gathered by links from two folders, component 00 renamed",
       .args = {"set/report"},
       .output = head(30000, 3) + reading(0, 2, "set/report"),
       .target = kData,
       .stamped = true,
       .prepare =
           [](const std::string& dir) {
             namespace fs = std::filesystem;
             for (const char* sub : {"disk1", "disk2", "set"})
               fs::create_directory(dir + "/" + sub);
             const char* moved[] = {"disk1/report.Z00 (disk 1)", "disk1/report.Z01",
                                    "disk2/report.Z02"};
             for (int k = 0; k < 3; ++k) {
               fs::rename(dir + "/" + component_file("report", k), dir + "/" + moved[k]);
               fs::create_symlink(std::string("../") + moved[k],
                                  dir + "/set/" + component_file("report", k));
             }
           }},
      {.title = "disk 3 from another cut of the same file",
       .set = three_with([](auto& s) { s[2] = cut_into(kData, kName, 4, kStamp)[2]; }),
       .output = head(30000, 3) + reading(0, 2) + size_differs(27500, 30000),
       .status = 255},
      {.title = "negative length copies nothing",
       .set =
           [] {
             return std::vector<Component>{
                 {.count = 1, .name = kName, .stamp = kStamp, .data_length = -1, .data = "xyz"}};
           },
       .output = head(0, 1) + reading(0, 0),
       .target = "",
       .stamped = true},
      {.title = "stamp 0 dates the target 1970",
       .set = [] { return cut_into(kData, kName, 3, 0); },
       .output = head(30000, 3) + reading(0, 2),
       .target = kData,
       .stamped = true,
       .stamp = 0},
      {.title = "component 00 cut after its name",
       .set = three_with([](auto& s) { s[0].keep_bytes = 72; }),
       .output = head(0, 3) + reading(0, 0) + "Invalid Component File: report.Z00\nMerge aborted\n",
       .status = 1},
      {.title = "component 01 header cut short",
       .set = three_with([](auto& s) { s[1].keep_bytes = 84; }),
       .output = head(30000, 3) + reading(0, 1) + kInvalid01,
       .status = 1},
      {.title = "chunk tails: 9999, 10000, 10001, 20000 and 1 byte",
       .set =
           [] {
             std::vector<Component> set;
             std::string whole;
             const int sizes[] = {9999, 10000, 10001, 20000, 1};
             for (int k = 0; k < 5; ++k) {
               const std::string d = bytes(static_cast<std::size_t>(sizes[k]), 7 + k);
               whole += d;
               set.push_back({.count = 5,
                              .sequence = k,
                              .name = kName,
                              .stamp = kStamp,
                              .checksum = reference_checksum(d),
                              .data_length = sizes[k],
                              .data = d});
             }
             set[0].total_size = static_cast<std::int32_t>(whole.size());
             return set;
           },
       .output = head(50001, 5) + reading(0, 4),
       .target =
           [] {
             std::string whole;
             const int sizes[] = {9999, 10000, 10001, 20000, 1};
             for (int k = 0; k < 5; ++k) whole += bytes(static_cast<std::size_t>(sizes[k]), 7 + k);
             return whole;
           }(),
       .stamped = true},
      {.title = "absolute stored name is created here",
       .set = named("/nonexistent/zf/report.txt"),
       .output =
           head(30000, 3, kName, replaced("/nonexistent/zf/report.txt", kName)) + reading(0, 2),
       .target = kData,
       .stamped = true},
      {.title = "climbing stored name stays in the current folder",
       .set = named("../../report.txt"),
       .output = head(30000, 3, kName, replaced("../../report.txt", kName)) + reading(0, 2),
       .target = kData,
       .stamped = true,
       .run_dir = "deep/run"},
      {.title = "replaced name that exists is asked about",
       .set = named("/x/../report.txt"),
       .input = "n",
       .existing = kOldFile,
       .output = kBanner + "File size: 30000 \n" + replaced("/x/../report.txt", kName) + kOverwrite,
       .status = 1,
       .target = kOldFile},
      // A name that leaves no file name: no notice naming nothing, no question.
      {.title = "name that climbs to no file fails without a question",
       .set = named("sub/.."),
       .output = head(30000, 3, "sub/..") + "Can not create sub/..",
       .status = 255,
       .target_name = "..",
       .run_dir = "run"},
      {.title = "absolute name that leaves nothing",
       .set = named("/tmp/"),
       .output = head(30000, 3, "/tmp/") + "Can not create /tmp/",
       .status = 255,
       .target_name = ""},
      {.title = "stored name of the parent folder",
       .set = named(".."),
       .output = head(30000, 3, "..") + "Can not create ..",
       .status = 255,
       .target_name = "..",
       .run_dir = "run"},
      {.title = "stored name of the current folder is not asked about",
       .set = named("."),
       .output = head(30000, 3, ".") + "Can not create .",
       .status = 255,
       .target_name = "."},
      {.title = "continuation names are compared as stored",
       .set = three_with([](auto& s) {
         for (auto& c : s) c.name = "/x/report.txt";
         s[2].name = kName;
       }),
       .output = head(30000, 3, kName, replaced("/x/report.txt", kName)) + reading(0, 1) +
                 "Invalid Component File: report.Z02\nMerge aborted\n",
       .status = 1},
      created_as_stored("control bytes in names are shown escaped", "evil\x1b]0;PWNED\x07\r.txt",
                        "evil\\033]0;PWNED\\007\\015.txt"),
      refused("stored name of component 01 is refused untouched", "report.Z01"),
      refused("stored name of component 00 is refused untouched", "report.Z00"),
      {.title = "link at the target's name is replaced, never written through",
       .input = "y",
       .output = head(30000, 3, kName, kOverwrite) + reading(0, 2),
       .target = kData,
       .stamped = true,
       .link_to = "precious.txt"},
      {.title = "replaced link, then a failed merge: the link's file is intact",
       .set = three_with([](auto& s) { s.pop_back(); }),
       .input = "y",
       .output = head(30000, 3, kName, kOverwrite) + reading(0, 1) +
                 " can't open file : report.Z02 \nMerge aborted\n",
       .status = 255,
       .link_to = "precious.txt"},
      {.title = "FIFO at the target's name is replaced",
       .input = "y",
       .output = head(30000, 3, kName, kOverwrite) + reading(0, 2),
       .target = kData,
       .stamped = true,
       .prepare = [](const std::string& dir) { mkfifo((dir + "/" + kName).c_str(), 0644); }},
      {.title = "dangling link at the target's name is asked about",
       .input = "n",
       .output = kBanner + "File size: 30000 \n" + kOverwrite,
       .status = 1,
       .link_to = "elsewhere.txt"},
      {.title = "failed chunk write",
       .output = head(30000, 3) + reading(0, 1) + kDiskWrite,
       .status = 255,
       .env = {{"ZFAULT_FWRITE", "2"}}},
      {.title = "failed chunk write with no recorded size",
       .set = three_with([](auto& s) { s[0].total_size = 0; }),
       .output = head(0, 3) + reading(0, 0) + kDiskWrite,
       .status = 255,
       .env = {{"ZFAULT_FWRITE", "1"}}},
      {.title = "failed close of the target, before any question",
       .set = wrong_sum,
       .output = head(30000, 3) + reading(0, 1) + wrong_sum_line + reading(2, 2) + kDiskWrite,
       .status = 255,
       .env = {{"ZFAULT_FCLOSE_OUTPUT", "1"}}},
      {.title = "failed write in a component with a wrong checksum: no checksum line",
       .set = wrong_sum,
       .output = head(30000, 3) + reading(0, 1) + kDiskWrite,
       .status = 255,
       .env = {{"ZFAULT_FWRITE", "2"}}},
      {.title = "failed write in the last block, before the abort question",
       .set = wrong_sum,
       .output = head(30000, 3) + reading(0, 1) + wrong_sum_line + reading(2, 2) + kDiskWrite,
       .status = 255,
       .env = {{"ZFAULT_FWRITE", "3"}}},
      {.title = "data end early inside a large block: whole chunks only",
       .set = [] { return cut_into(kLarge, kName, 2, kStamp); },
       .input = "n",
       .output = head(600000, 2) + reading(0, 0) + kLargeCutLine + reading(1, 1) +
                 bad_checksum_question(1) + size_differs(590000, 600000),
       .status = 255,
       .env = {{"ZFAULT_SHRINK", "report.Z00:300000"}}},
      {.title = "file-size limit is a write failure, not a signal",
       .output = head(30000, 3) + reading(0, 1) + kDiskWrite,
       .status = 255,
       .file_size_limit = 15000},
      {.title = "file-size limit with no recorded size",
       .set = three_with([](auto& s) { s[0].total_size = 0; }),
       .output = head(0, 3) + reading(0, 1) + kDiskWrite,
       .status = 255,
       .file_size_limit = 15000},
      // Faults of the file system and of the caller.
      {.title = "component 01 is a directory",
       .output = unopenable01,
       .status = 255,
       .prepare = [](const std::string& dir) { replace_component(dir, 1, "dir"); }},
      {.title = "component 00 is a directory",
       .output = unopenable00,
       .status = 255,
       .prepare = [](const std::string& dir) { replace_component(dir, 0, "dir"); }},
      {.title = "component 01 is a FIFO, nobody writes to it",
       .output = unopenable01,
       .status = 255,
       .prepare = [](const std::string& dir) { replace_component(dir, 1, "fifo"); }},
      {.title = "component 00 is a FIFO",
       .output = unopenable00,
       .status = 255,
       .prepare = [](const std::string& dir) { replace_component(dir, 0, "fifo"); }},
      {.title = "component 01 cannot be read",
       .output = unopenable01,
       .status = 255,
       .prepare = [](const std::string& dir) { replace_component(dir, 1, "unreadable"); },
       .unprivileged = true},
      {.title = "component 01 shrinks after its size was taken",
       .input = "n",
       .output = cut_short_run + size_differs(20000, 30000),
       .status = 255,
       .env = {{"ZFAULT_SHRINK", "report.Z01:5086"}}},
      {.title = "component 01 shrinks after its size was taken, discarded",
       .input = "Y",
       .output = cut_short_run,
       .status = 1,
       .env = {{"ZFAULT_SHRINK", "report.Z01:5086"}}},
      {.title = "component 01 swapped for a FIFO after its size was taken",
       .output = head(30000, 3) + reading(0, 2),
       .target = kData,
       .stamped = true,
       .env = {{"ZFAULT_SWAP", "report.Z01"}}},
      {.title = "standard output closed", .target = kData, .stamped = true, .close_stdout = true},
      {.title = "standard input and output closed",
       .target = kData,
       .stamped = true,
       .close_stdout = true,
       .close_stdin = true},
      {.title = "standard output is a pipe nobody reads",
       .target = kData,
       .stamped = true,
       .broken_pipe_stdout = true},
      {.title = "broken pipe and a failed write still end as a failure",
       .status = 255,
       .env = {{"ZFAULT_FWRITE", "2"}},
       .broken_pipe_stdout = true},
      {.title = "standard input closed at the overwrite question",
       .existing = kOldFile,
       .output = kBanner + "File size: 30000 \n" + kOverwrite,
       .status = 1,
       .target = kOldFile,
       .close_stdin = true},
      link_in_folder,
      on_older_kernel(link_in_folder, "link in the folder part, on a kernel without openat2"),
      plain_folders,
      on_older_kernel(plain_folders, "plain folders, on a kernel without openat2"),
      {.title = "file created by another between the look and the create is kept",
       .output = head(30000, 3) + "Can not create report.txt",
       .status = 255,
       .target = "planted\n",
       .env = {{"ZFAULT_PLANT", "report.txt"}}},
      refused("component 01 that is a link is still refused by name", "report.Z01",
              [](const std::string& dir) {
                std::filesystem::rename(dir + "/report.Z01", dir + "/real01");
                std::filesystem::create_symlink("real01", dir + "/report.Z01");
              }),
      refused("stored name that links to component 02 is refused", "alias.txt",
              [](const std::string& dir) {
                std::filesystem::create_symlink("report.Z02", dir + "/alias.txt");
              }),
      refused("stored name that is another hard link of component 00 is refused", "copy.txt",
              [](const std::string& dir) {
                std::filesystem::create_hard_link(dir + "/report.Z00", dir + "/copy.txt");
              }),
      [] {
        Case c = refused("stored name of a missing component is refused by name", "report.Z02");
        c.set = three_with([](auto& s) {
          for (auto& part : s) part.name = "report.Z02";
          s.pop_back();
        });
        return c;
      }(),
      [] {
        Case c = refused("own components are compared as names in one folder", "report.Z01");
        c.args = {"./report.Z00"};
        return c;
      }(),
      {.title = "a name one past the set is no component",
       .set = named("report.Z03"),
       .input = "n",
       .existing = kOldFile,
       .output = kBanner + "File size: 30000 \nFile report.Z03 exists, overwrite (y/n)?\n",
       .status = 1,
       .target = kOldFile,
       .target_name = "report.Z03"},
      // The Windows name rules are not Linux's.
      {.title = "a backslash is part of the last component on Linux",
       .args = {"v1.0\\report.Z00"},
       .output = kBanner + " can't open file : v1.Z00 \n",
       .status = 255},
      created_as_stored("a colon is a plain character on Linux", "a:b", "a:b"),
      created_as_stored("a device name of Windows is a plain name on Linux", "nul.txt", "nul.txt"),
      created_as_stored("terminal controls in UTF-8 are shown escaped",
                        "x\xc2\x9b"
                        "2J\xe2\x80\xaetxt.exe",
                        "x\\302\\233"
                        "2J\\342\\200\\256txt.exe"),
      // What happens to an existing file and to the new one.
      {.title = "a file answered y is emptied in place: mode and other links kept",
       .input = "y",
       .existing = kOldFile,
       .output = head(30000, 3, kName, kOverwrite) + reading(0, 2),
       .target = kData,
       .stamped = true,
       .prepare =
           [](const std::string& dir) {
             chmod((dir + "/" + kName).c_str(), 0640);
             std::filesystem::create_hard_link(dir + "/" + kName, dir + "/other-link");
           },
       .check =
           [](const std::string& dir) {
             struct stat st {};
             stat((dir + "/" + kName).c_str(), &st);
             EXPECT_EQ(st.st_mode & 07777, 0640u);
             EXPECT_EQ(read_bytes(dir + "/other-link"), kData);
           }},
      {.title = "times that cannot be set end with 255",
       .output = head(30000, 3) + reading(0, 2),
       .status = 255,
       .target = kData,
       .env = {{"ZFAULT_TIMES", "EPERM"}}},
      // The size and the times are those of the file the tool made, through
      // its own descriptor: one that the umask leaves unreadable is measured,
      // one that another program put at the name meanwhile is not.
      {.title = "target the umask leaves unreadable is measured through its descriptor",
       .output = head(30000, 3) + reading(0, 2),
       .target = kData,
       .stamped = true,
       .unprivileged = true,
       .umask = 0477},
      {.title = "a file of the recorded size put at the name meanwhile is not reported rebuilt",
       .output = head(30000, 3) + reading(0, 2) + " can't open file : report.txt \n",
       .status = 255,
       .target = bytes(30000, 9),
       .env = {{"ZFAULT_REPLACE", "other.txt:report.txt"}},
       .prepare = [](const std::string& dir) { write_bytes(dir + "/other.txt", bytes(30000, 9)); },
       .check =
           [](const std::string& dir) {
             struct stat st {};
             ASSERT_EQ(stat((dir + "/report.txt").c_str(), &st), 0);
             EXPECT_NE(st.st_mtime, kStamp);
           }},
      {.title = "a file put at the name before the abort question stays on y",
       .set = wrong_sum,
       .input = "y",
       .output = wrong_sum_run,
       .status = 1,
       .target = bytes(30000, 9),
       .env = {{"ZFAULT_REPLACE", "other.txt:report.txt"}},
       .prepare = [](const std::string& dir) { write_bytes(dir + "/other.txt", bytes(30000, 9)); }},
      // The recorded time as --list shows it, on both sides of 1970, of a
      // month's end and of the range a signed 32-bit stamp holds.
      listed_time(-1, "1969-12-31T23:59:59Z"),
      listed_time(0, "1970-01-01T00:00:00Z"),
      listed_time(951825600, "2000-02-29T12:00:00Z"),
      listed_time(951868800, "2000-03-01T00:00:00Z"),
      listed_time(INT32_MIN, "1901-12-13T20:45:52Z"),
      listed_time(INT32_MAX, "2038-01-19T03:14:07Z"),
      {.title = "status request on the rebuilt target fails",
       .output = head(30000, 3) + reading(0, 2) + "FAIL",
       .status = 1,
       .target = kData,
       .env = {{"ZFAULT_FSTAT", "4"}}},
      {.title = "a write limit is met at the component that passes it",
       .set = [] { return cut_into(bytes(12700), kName, 127, kStamp); },
       .output = head(12700, 127) + reading(0, 10) + kDiskWrite,
       .status = 255,
       .file_size_limit = 1050},
      {.title = "each component is closed after it is read",
       .set = [] { return cut_into(bytes(127), kName, 127, kStamp); },
       .output = head(127, 127) + reading(0, 126),
       .target = bytes(127),
       .stamped = true,
       .open_files_limit = 40},
      // Careless callers.
      {.title = "127 components with standard input and output closed",
       .set = [] { return cut_into(bytes(127), kName, 127, kStamp); },
       .target = bytes(127),
       .stamped = true,
       .close_stdout = true,
       .close_stdin = true},
      {.title = "closed standard input is never read from a component",
       .set =
           [] {
             std::string data = kData;
             data[0] = 'y';
             return cut_into(data, kName, 3, kStamp);
           },
       .existing = kOldFile,
       .output = kBanner + "File size: 30000 \n" + kOverwrite,
       .status = 1,
       .target = kOldFile,
       .close_stdin = true},
      {.title = "no /dev/null for a closed descriptor: nothing is opened",
       .status = 255,
       .env = {{"ZFAULT_DENY", "/dev/null"}},
       .close_stdout = true,
       .close_stdin = true},
      // The tool's own input and output are never the target.
      {.title = "standard output sent into the target is refused",
       .input = "y",
       .existing = kOldFile,
       .status = 255,
       .target = kBanner + "File size: 30000 \nCan not create report.txt",
       .stdout_to = kName},
      {.title = "standard error sent into the target is refused",
       .existing = kOldFile,
       .output = kBanner + "File size: 30000 \nCan not create report.txt",
       .status = 255,
       .target = "",  // as `2>` left it
       .stderr_to = kName},
      {.title = "standard input read from the target is refused",
       .existing = kOldFile,
       .output = kBanner + "File size: 30000 \nCan not create report.txt",
       .status = 255,
       .target = kOldFile,
       .stdin_from = kName},
      // Lower-cased names, as a CD-ROM or a floppy tool leaves them.
      {.title = "lower-case set",
       .output = head(30000, 3) + "Reading report.z00\nReading report.z01\nReading report.z02\n",
       .target = kData,
       .stamped = true,
       .prepare =
           [](const std::string& dir) {
             lower_extensions(dir, {0, 1, 2});
           }},
      {.title = "mixed-case set",
       .output = head(30000, 3) + "Reading report.Z00\nReading report.z01\nReading report.Z02\n",
       .target = kData,
       .stamped = true,
       .prepare = [](const std::string& dir) { lower_extensions(dir, {1}); }},
      {.title = "lower-case component missing is named as usual",
       .output = head(30000, 3) + "Reading report.z00\nReading report.z01\n" +
                 " can't open file : report.Z02 \nMerge aborted\n",
       .status = 255,
       .prepare =
           [](const std::string& dir) {
             lower_extensions(dir, {0, 1});
             std::filesystem::remove(dir + "/report.Z02");
           }},
      refused("lower-case stored name of a component is refused", "report.z02"),
      {.title = "a name differing in more than the letter Z is no component",
       .set = named("REPORT.Z01"),
       .output = head(30000, 3, "REPORT.Z01") + reading(0, 2),
       .target = kData,
       .stamped = true,
       .target_name = "REPORT.Z01"},
      // Asking about the tool.
      {.title = "help", .args = {"--help"}, .output = kBanner + kUsage + kHelp},
      {.title = "version",
       .args = {"--version"},
       .output = kBanner + "zunfelu " ZUNFEL_VERSION "\n"},
      {.title = "a word that begins like --help is a set",
       .args = {"--helpdesk"},
       .output = kBanner + " can't open file : --helpdesk.Z00 \n",
       .status = 255},
      {.title = "a Windows help switch is a set on Linux",
       .args = {"/?"},
       .output = kBanner + " can't open file : /?.Z00 \n",
       .status = 255},
      // What becomes of an existing file and of names that only look alike.
      {.title = "an old file longer than the rebuilt one, answered y, is emptied first",
       .input = "y",
       .existing = bytes(40000, 9),
       .output = head(30000, 3, kName, kOverwrite) + reading(0, 2),
       .target = kData,
       .stamped = true},
      {.title = "a set in a folder whose stored name is a component name is created here",
       .set = named("report.Z01"),
       .args = {"sub/report.Z00"},
       .output = head(30000, 3, "report.Z01") + reading(0, 2, "sub/report"),
       .target = kData,
       .stamped = true,
       .set_dir = "sub",
       .target_name = "report.Z01"},
      [] {
        // Compared by the file the link leads to, not by the link itself.
        Case c = refused("stored name that a component links to is refused", "real01",
                         [](const std::string& dir) {
                           std::filesystem::rename(dir + "/report.Z01", dir + "/real01");
                           std::filesystem::create_symlink("real01", dir + "/report.Z01");
                         });
        c.input = "y";
        c.target = encode_component(named("real01")()[1], false);
        return c;
      }(),
      {.title = "replaced stored name that is a component as created is refused",
       .set = named("/old/disk/report.Z01"),
       .output = kBanner + "File size: 30000 \n" + replaced("/old/disk/report.Z01", "report.Z01") +
                 "Can not create report.Z01",
       .status = 255,
       .target_name = "report.Z01"},
      {.title = "replaced stored name, failed write: the name created is deleted",
       .set = named("/old/disk/report.txt"),
       .output = head(30000, 3, kName, replaced("/old/disk/report.txt", kName)) + reading(0, 1) +
                 kDiskWrite,
       .status = 255,
       .env = {{"ZFAULT_FWRITE", "2"}}},
      {.title = "replaced stored name, abort answered y: the name created is deleted",
       .set = three_with([](auto& s) {
         for (auto& c : s) c.name = "/old/disk/report.txt";
         s[1].checksum ^= 0x8001;
       }),
       .input = "y",
       .output = head(30000, 3, kName, replaced("/old/disk/report.txt", kName)) + reading(0, 1) +
                 wrong_sum_line + reading(2, 2) + bad_checksum_question(1),
       .status = 1},
      {.title = "a recorded size of 1 that differs is deleted",
       .set = three_with([](auto& s) { s[0].total_size = 1; }),
       .output = head(1, 3) + reading(0, 2) + size_differs(30000, 1),
       .status = 255},
      // A target whose folder does not let it go is emptied instead.
      undeletable("undeletable target, invalid component", three_with([](auto& s) {
                    for (auto& c : s) c.name = "ro/report.txt";
                    s[2].sequence = 5;
                  }),
                  "y", reading(0, 1) + "Invalid Component File: report.Z02\nMerge aborted\n", 1),
      undeletable("undeletable target, size differs", three_with([](auto& s) {
                    for (auto& c : s) c.name = "ro/report.txt";
                    s[0].total_size = 29999;
                  }),
                  "y", reading(0, 2) + size_differs(30000, 29999, "ro/report.txt"), 255, 29999),
      // Without a descriptor to empty it again, the file is not touched.
      [] {
        Case c = undeletable("undeletable target, no descriptor to spare", three_with([](auto& s) {
                               for (auto& c : s) c.name = "ro/report.txt";
                               s[2].sequence = 5;
                             }),
                             "y", "Can not create ro/report.txt", 255);
        c.open_files_limit = 6;
        c.target = kOldFile;
        return c;
      }(),
      undeletable("undeletable target, abort answered y", three_with([](auto& s) {
                    for (auto& c : s) c.name = "ro/report.txt";
                    s[1].checksum ^= 0x8001;
                  }),
                  "yy", reading(0, 1) + wrong_sum_line + reading(2, 2) + bad_checksum_question(1),
                  1),
      {.title = "the kernel's protection of sticky folders applies to an answered y",
       .set = named("secret.txt"),
       .input = "y",
       .output = kBanner + "File size: 30000 \nFile secret.txt exists, overwrite (y/n)?\n" +
                 "Merging 3 files to create: secret.txt\nCan not create secret.txt",
       .status = 255,
       .target = "another user's\n",
       .target_name = "secret.txt",
       .prepare =
           [](const std::string& dir) {
             if (geteuid() != 0) return;  // the case is not run
             chmod(dir.c_str(), 01777);
             write_bytes(dir + "/secret.txt", "another user's\n");
             ASSERT_EQ(chown((dir + "/secret.txt").c_str(), 65534, 65534), 0);
             chmod((dir + "/secret.txt").c_str(), 0666);
           },
       .protect_regular = true},
      // Folders on the way, with and without openat2.
      [&] {
        Case c = plain_folders;
        c.title = "plain folders, openat2 refused by a container profile";
        c.openat2_error = EPERM;
        return c;
      }(),
      {.title = "a FIFO where a folder should be, on a kernel without openat2",
       .set = named("d/report.txt"),
       .output = head(30000, 3, "d/report.txt") + "Can not create d/report.txt",
       .status = 255,
       .target_name = "d",
       .prepare = [](const std::string& dir) { mkfifo((dir + "/d").c_str(), 0644); },
       .openat2_error = ENOSYS},
      enterable_not_listable("a folder that may be entered but not listed", 0),
      enterable_not_listable("a folder that may be entered but not listed, without openat2",
                             ENOSYS),
      // A device is never opened, whatever leads to it.
      {.title = "component 01 a link to a device is refused unopened",
       .output = unopenable01,
       .status = 255,
       .env = {{"ZFAULT_NEVER_OPEN", "report.Z01"}},
       .prepare = [](const std::string& dir) { link_to_device(dir, 1); }},
      {.title = "component 00 a link to a device is refused unopened",
       .output = unopenable00,
       .status = 255,
       .env = {{"ZFAULT_NEVER_OPEN", "report.Z00"}},
       .prepare = [](const std::string& dir) { link_to_device(dir, 0); }},
      // Names on terminals of other character sets.
      created_as_stored("the Arabic letter mark is shown escaped",
                        "a\xd8\x9c"
                        "1.txt",
                        "a\\330\\234"
                        "1.txt"),
      [] {
        Case c = created_as_stored("a lone 0x9B is shown escaped on an 8-bit terminal",
                                   "caf\xe9\x9b"
                                   "2J.txt",
                                   "caf\xe9\\233"
                                   "2J.txt");
        c.env = {{"LC_ALL", "C"}};
        return c;
      }(),
      [] {
        Case c = created_as_stored("the 8-bit controls end at 0x80 and 0x9F",
                                   "\x7f\x80\x9f\xa0.txt", "\\177\\200\\237\xa0.txt");
        c.env = {{"LC_ALL", "C"}};
        return c;
      }(),
      created_as_stored("an Arabic letter beside the mark is shown as it is", "\xd8\xa8.txt",
                        "\xd8\xa8.txt"),
      created_as_stored("a lone 0x9B is a character of a code page on a UTF-8 terminal",
                        "caf\xe9\x9b"
                        "2J.txt",
                        "caf\xe9\x9b"
                        "2J.txt"),
      // Tested and listed: every component is reported, nothing is created,
      // emptied or asked.
      {.title = "a good set tested: nothing asked about or written over",
       .args = {"--test", "report"},
       .existing = kOldFile,
       .output = kBanner + tested("report.Z00", "bytes 0-9999", "good") +
                 tested("report.Z01", "bytes 10000-19999", "good") +
                 tested("report.Z02", "bytes 20000-29999", "good") +
                 "report.txt: 3 components, 30000 bytes: complete and undamaged\n"
                 "report.txt exists: a merge here asks before it overwrites it\n",
       .target = kOldFile},
      // A merge would end at the missing Z02, before the abort question.
      {.title = "a test names a damaged component and two missing ones with their bytes",
       .set =
           [] {
             auto set = cut_into(bytes(40000), kName, 4, kStamp);
             set[1].checksum ^= 0x8001;
             return set;
           },
       .args = {"--test", "report.Z00"},
       .output =
           kBanner + tested("report.Z00", "bytes 0-9999", "good") +
           tested("report.Z01", "bytes 10000-19999",
                  "checksum error, should be " +
                      four_hex(reference_checksum(bytes(40000).substr(10000, 10000)) ^ 0x8001) +
                      " is " + four_hex(reference_checksum(bytes(40000).substr(10000, 10000)))) +
           tested("report.Z02", "bytes 20000-29999", "missing or not a file") +
           tested("report.Z03", "bytes 30000-39999", "missing or not a file") +
           "report.txt: 4 components, 40000 bytes: incomplete, 3 components need attention\n",
       .status = 3,
       .prepare =
           [](const std::string& dir) {
             std::filesystem::remove(dir + "/report.Z02");
             std::filesystem::remove(dir + "/report.Z03");
           }},
      {.title = "a test of a set on a read-only medium names a short component",
       .set = three_with([](auto& s) {
         s[1].keep_bytes = 86 + 10000 - 10;
         s[2].sequence = 7;
       }),
       .args = {"--test", "ro/report.Z00"},
       .output = kBanner + tested("ro/report.Z00", "bytes 0-9999", "good") +
                 tested("ro/report.Z01", "bytes 10000-19999", "cut short by 10 bytes") +
                 tested("ro/report.Z02", "bytes 20000-29999", "carries number 7 instead of 2") +
                 "report.txt: 3 components, 30000 bytes: damaged, 2 components need attention\n",
       .status = 2,
       .set_dir = "ro",
       .prepare = [](const std::string& dir) { chmod(dir.c_str(), 0555); },
       .unprivileged = true},
      {.title = "a test of a set whose data do not add up to its size",
       .set = three_with([](auto& s) { s[0].total_size = 29999; }),
       .args = {"--test", "report"},
       .output =
           kBanner + tested("report.Z00", "bytes 0-9999", "good") +
           tested("report.Z01", "bytes 10000-19999", "good") +
           tested("report.Z02", "bytes 20000-?", "good") +
           "report.txt: 3 components, 29999 bytes: damaged: the components hold 30000 bytes\n",
       .status = 2},
      {.title = "a list of 127 components from their headers",
       .set = [] { return cut_into(bytes(127), "/old/" + kName, 127, kStamp); },
       .args = {"--list", "report"},
       .output =
           [] {
             std::string out = kBanner +
                               "Stored name: /old/report.txt\nCreated as: report.txt\nSize: 127 "
                               "bytes\nTime: 1997-07-04T07:06:40Z\nComponents: 127\n";
             for (int k = 0; k < 127; ++k) {
               char line[64];
               std::snprintf(line, sizeof line, "report.Z%02d: bytes %d-%d (1 bytes)\n", k, k, k);
               out += line;
             }
             return out;
           }()},
      {.title = "a list names a missing component and one of another file",
       .set = three_with([](auto& s) { s[2].name = "other.txt"; }),
       .args = {"--list", "report"},
       .output = kBanner +
                 "Stored name: report.txt\nSize: 30000 bytes\nTime: 1997-07-04T07:06:40Z\n"
                 "Components: 3\nreport.Z00: bytes 0-9999 (10000 bytes)\n"
                 "report.Z01: missing or not a file\n"
                 "report.Z02: belongs to another file: other.txt\n",
       .status = 3,
       .prepare = [](const std::string& dir) { std::filesystem::remove(dir + "/report.Z01"); }},
      {.title = "a loose disk listed without its component 00 says what each component is",
       .args = {"--list", "report.Z02"},
       .output = kBanner + "report.Z00: missing or not a file: not a set\n"
                           "report.Z01: number 1 of report.txt, 10000 bytes\n"
                           "report.Z02: number 2 of report.txt, 10000 bytes\n",
       .status = 4,
       .prepare = [](const std::string& dir) { std::filesystem::remove(dir + "/report.Z00"); }},
      {.title = "a component 00 of three bytes is no set",
       .args = {"--test", "report"},
       .output = kBanner + "report.Z00: 3 bytes, too short for a header: not a set\n",
       .status = 4,
       .prepare = [](const std::string& dir) { write_bytes(dir + "/report.Z00", "abc"); }},
      tested_refused("a test says that a merge here cannot create a stored name .", "."),
      tested_refused("a test says that a merge cannot write over the set", "report.Z01"),
      {.title = "a test names each bad sector of a disk by the file's bytes and reads on",
       .args = {"--test", "report"},
       .output = kBanner + tested("report.Z00", "bytes 0-9999", "good") +
                 tested("report.Z01", "bytes 10000-19999",
                        "cannot be read at bytes 10938-11449, 15034-15545: Input/output error") +
                 tested("report.Z02", "bytes 20000-29999", "good") +
                 "report.txt: 3 components, 30000 bytes: damaged, 1 component needs attention\n",
       .status = 2,
       .env = {{"ZFAULT_EIO", "report.Z01:1024-1535,5120"}}},
      {.title = "a merge names a bad sector, not a checksum error, and leaves no file",
       .output = head(30000, 3) + reading(0, 1) +
                 "Can not read report.Z01, bytes 10938-11449 of the file: Input/output error\n"
                 "Merge aborted\n",
       .status = 255,
       .env = {{"ZFAULT_EIO", "report.Z01:1024-1535"}}},
      // A header cut before its length lends none: the places follow from
      // the lengths around it and the one length of the full components.
      {.title = "a test places components around a header cut before its length",
       .set = [] { return cut_into(bytes(40000), kName, 4, kStamp); },
       .args = {"--test", "report"},
       .output =
           kBanner + tested("report.Z00", "bytes 0-9999", "good") +
           tested("report.Z01", "bytes 10000-19999", "cut short within its header (84 bytes)") +
           tested("report.Z02", "bytes 20000-29999", "missing or not a file") +
           tested("report.Z03", "bytes 30000-39999", "good") +
           "report.txt: 4 components, 40000 bytes: damaged, 2 components need attention\n",
       .status = 2,
       .prepare =
           [](const std::string& dir) {
             std::filesystem::resize_file(dir + "/report.Z01", 84);
             std::filesystem::remove(dir + "/report.Z02");
           }},
      {.title = "a test puts no byte past a recorded size that the lengths exceed",
       .set = three_with([](auto& s) { s[0].total_size = 15000; }),
       .args = {"--test", "report"},
       .output = kBanner + tested("report.Z00", "bytes 0-9999", "good") +
                 tested("report.Z01", "bytes 10000-?", "good") +
                 tested("report.Z02", "bytes ?-14999", "missing or not a file") +
                 "report.txt: 3 components, 15000 bytes: incomplete, 1 component needs attention\n",
       .status = 3,
       .prepare = [](const std::string& dir) { std::filesystem::remove(dir + "/report.Z02"); }},
      {.title = "a mode word anywhere but first is refused before anything is read",
       .args = {"report", "--test"},
       .output = kBanner + kUsage,
       .status = 255},
      {.title = "a second set after a mode is refused",
       .args = {"--list", "report", "other"},
       .output = kBanner + kUsage,
       .status = 255},
      // Salvage: every byte that can be had at its place, zeros elsewhere.
      salvaged("a whole set salvaged is the original",
               {"good", "good", "good", "good", "good", "good"}, {}, "complete and undamaged", 0),
      salvaged("a middle component missing is salvaged as zeros",
               {"good", "good", "missing or not a file", "good", "good", "good"}, {{20000, 29999}},
               "incomplete, 1 component needs attention", 3, nullptr, without({2})),
      salvaged("the last component missing is salvaged as zeros up to the size",
               {"good", "good", "good", "good", "good", "missing or not a file"}, {{50000, 59999}},
               "incomplete, 1 component needs attention", 3, nullptr, without({5})),
      salvaged("two missing components leave the one between them in place",
               {"good", "missing or not a file", "good", "missing or not a file", "good", "good"},
               {{10000, 19999}, {30000, 39999}}, "incomplete, 2 components need attention", 3,
               nullptr, without({1, 3})),
      salvaged("a misnumbered component is salvaged as zeros",
               {"good", "good", "carries number 7 instead of 2", "good", "good", "good"},
               {{20000, 29999}}, "incomplete, 1 component needs attention", 3,
               [](auto& s) { s[2].sequence = 7; }),
      salvaged("a component cut short keeps every byte it holds",
               {"good", "good", "cut short by 10 bytes", "good", "good", "good"}, {{29990, 29999}},
               "damaged, 1 component needs attention", 2,
               [](auto& s) { s[2].keep_bytes = 86 + 10000 - 10; }),
      salvaged("a checksum error is salvaged as read and said",
               {"good", "good",
                "checksum error, should be " +
                    four_hex(reference_checksum(kSix.substr(20000, 10000)) ^ 1) + " is " +
                    four_hex(reference_checksum(kSix.substr(20000, 10000))),
                "good", "good", "good"},
               {}, "damaged, 1 component needs attention", 2, [](auto& s) { s[2].checksum ^= 1; }),
      [] {
        Case c = salvaged("a bad sector costs that sector and nothing more",
                          {"good", "cannot be read at bytes 10938-11449: Input/output error",
                           "good", "good", "good", "good"},
                          {{10938, 11449}}, "damaged, 1 component needs attention", 2);
        c.env = {{"ZFAULT_EIO", "report.Z01:1024-1535"}};
        return c;
      }(),
      {.title = "an existing salvaged file is asked about and kept on n",
       .args = {"--salvage", "report"},
       .input = "n",
       .existing = kOldFile,
       .output = kBanner + "File report.txt.salvaged exists, overwrite (y/n)?\n",
       .status = 1,
       .target = kOldFile,
       .target_name = "report.txt.salvaged"},
      {.title = "a mode without a set draws the usage",
       .args = {"--list"},
       .output = kBanner + kUsage,
       .status = 255},
      // Mended faults that a user would see.
      {.title = "a size that differs names the file created, not the stored name",
       .set = three_with([](auto& s) {
         for (auto& c : s) c.name = "/old/disk/report.txt";
         s[0].total_size = 29999;
       }),
       .output = head(29999, 3, kName, replaced("/old/disk/report.txt", kName)) + reading(0, 2) +
                 size_differs(30000, 29999),
       .status = 255},
      [] {
        Case c = created_as_stored("a name whose only high byte is 0x80 asks the terminal",
                                   "a\x80.txt", "a\\200.txt");
        c.env = {{"LC_ALL", "C"}};
        return c;
      }(),
      {.title = "no descriptor to spare: a link at the name answered y stays",
       .input = "y",
       .output = head(30000, 3, kName, kOverwrite) + "Can not create report.txt",
       .status = 255,
       .target = kOldFile,
       // The leak check at the end needs a descriptor that this run has not.
       .env = {{"ASAN_OPTIONS", "detect_leaks=0"}},
       .prepare =
           [](const std::string& dir) {
             write_bytes(dir + "/precious.txt", kOldFile);
             std::filesystem::create_symlink("precious.txt", dir + "/report.txt");
           },
       .open_files_limit = 5,
       .check =
           [](const std::string& dir) {
             EXPECT_TRUE(std::filesystem::is_symlink(dir + "/report.txt"));
           }},
      {.title = "no descriptor to open it: a file answered y is not emptied",
       .input = "y",
       .existing = kOldFile,
       .output = head(30000, 3, kName, kOverwrite) + "Can not create report.txt",
       .status = 255,
       .target = kOldFile,
       .open_files_limit = 6},
      {.title = "a real stack overflow during the copy deletes the target",
       .output = head(30000, 3) + reading(0, 1),
       .status = -1,
       .env = {{"ZFAULT_OVERFLOW", "2"}},
       .signal = SIGSEGV},
      {.title = "127 components reach three-digit names",
       .set = [] { return cut_into(bytes(127), kName, 127, kStamp); },
       .output = head(127, 127) + reading(0, 126),
       .target = bytes(127),
       .stamped = true},
  };
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.title; }

// A kernel setting changed for a while and put back as it was found.
class KernelSetting {
 public:
  KernelSetting(std::string path, const std::string& value)
      : path_(std::move(path)), found_(read_bytes(path_)) {
    write_bytes(path_, value);
  }
  ~KernelSetting() { write_bytes(path_, found_); }
  KernelSetting(const KernelSetting&) = delete;
  KernelSetting& operator=(const KernelSetting&) = delete;

 private:
  std::string path_;
  std::string found_;
};

class ZunfeluEndToEnd : public ::testing::TestWithParam<Case> {};

// A test name made of the case's title.
std::string case_name(const ::testing::TestParamInfo<Case>& info) {
  std::string name;
  for (const char* p = info.param.title; *p != '\0'; ++p) {
    name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  }
  return name;
}

TEST_P(ZunfeluEndToEnd, Case) {
  {
    const Case& c = GetParam();
    TempDir top(c.unprivileged);
    const std::string run = c.run_dir.empty() ? top.path() : top / c.run_dir;
    const std::string set_dir = c.set_dir.empty() ? run : run + "/" + c.set_dir;
    std::filesystem::create_directories(set_dir);
    write_set(set_dir, "report", c.set());
    if (c.existing) {
      write_bytes(run + "/" + c.target_name, *c.existing);
    }
    if (c.link_to) {
      std::filesystem::create_symlink(*c.link_to, run + "/" + c.target_name);
      if (c.input == "y") {
        write_bytes(run + "/" + *c.link_to, kOldFile);  // what the link leads to
      }
    }
    if (c.prepare) {
      c.prepare(set_dir);
    }
    int uid = -1;
    if (c.unprivileged && geteuid() == 0) {
      uid = 65534;
      chmod(top.path().c_str(), 0777);
      chmod(run.c_str(), 0777);
    }
    std::vector<std::string> expected_files = list_dir(run);
    const bool listed = std::count(expected_files.begin(), expected_files.end(), c.target_name);
    // Once the user said y, what stood at the name is gone unless a target is.
    if (!c.target && listed && c.input == "y") {
      std::erase(expected_files, c.target_name);
    }
    if (c.target && !listed && c.target_name.find('/') == std::string::npos) {
      expected_files.push_back(c.target_name);
      std::sort(expected_files.begin(), expected_files.end());
    }
    // Names are shown for a UTF-8 terminal unless the case says otherwise.
    auto env = c.env;
    env.insert(env.begin(), {"LC_ALL", "C.UTF-8"});
    // A case that makes library calls fail has the fault shim preloaded.
    if (std::any_of(env.begin(), env.end(),
                    [](auto& v) { return v.first.starts_with("ZFAULT_"); })) {
      env.emplace_back("LD_PRELOAD", runnable_copy(FAULT_SHIM));
    }
    Spawn s{.argv = {runnable_copy(ZUNFELU)},
            .cwd = run,
            .input = c.input,
            .env = env,
            .file_size_limit = c.file_size_limit,
            .close_stdout = c.close_stdout,
            .broken_pipe_stdout = c.broken_pipe_stdout,
            .close_stdin = c.close_stdin,
            .uid = uid};
    s.open_files_limit = c.open_files_limit;
    s.umask = c.umask >= 0 ? c.umask : 022;
    s.openat2_error = c.openat2_error;
    s.stdin_from = c.stdin_from;
    s.stdout_to = c.stdout_to;
    s.stderr_to = c.stderr_to;
    s.argv.insert(s.argv.end(), c.args.begin(), c.args.end());
    std::optional<KernelSetting> protection;
    if (c.protect_regular) {
      if (geteuid() != 0) {
        GTEST_SKIP() << "not run: fs.protected_regular can be set by root only";
      }
      protection.emplace("/proc/sys/fs/protected_regular", "1");
    }
    const Outcome o = spawn(s);
    protection.reset();
    EXPECT_EQ(o.signal, c.signal);
    EXPECT_EQ(o.errors, "");
    EXPECT_EQ(o.output, c.output);
    EXPECT_EQ(o.status, c.status);
    // Times first: reading the target would move its access time.
    const std::string target = run + "/" + c.target_name;
    if (c.stamped) {
      struct stat st {};
      ASSERT_EQ(stat(target.c_str(), &st), 0);
      EXPECT_EQ(st.st_mtime, c.stamp);
      EXPECT_EQ(st.st_atime, c.stamp);
    }
    // A new target is made for reading and writing by everyone, less the umask.
    if (c.target && !c.existing && !c.link_to && !c.prepare) {
      struct stat st {};
      ASSERT_EQ(lstat(target.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0666u & ~static_cast<unsigned>(s.umask));
    }
    // A target the umask left unreadable is opened to the test, which may not be root.
    if (c.target && c.umask >= 0) {
      chmod(target.c_str(), 0600);
    }
    if (c.target) {
      EXPECT_EQ(read_bytes(target), *c.target);
    }
    if (c.link_to) {
      EXPECT_EQ(std::filesystem::is_symlink(target), c.input != "y");
      if (c.input == "y") {
        EXPECT_EQ(read_bytes(run + "/" + *c.link_to), kOldFile);
      }
    }
    if (c.check) {
      c.check(run);
    }
    EXPECT_EQ(list_dir(run), expected_files);
    if (!c.run_dir.empty()) {
      const std::string first = c.run_dir.substr(0, c.run_dir.find('/'));
      EXPECT_EQ(list_dir(top.path()), std::vector<std::string>{first});
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sets, ZunfeluEndToEnd, ::testing::ValuesIn(cases()), case_name);

}  // namespace

namespace {

// The question must reach a pipe before the tool waits for its answer, and
// an input left non-blocking by another program is still waited on: an
// answer that comes later is no end of input.
TEST(ZunfeluDialogue, QuestionArrivesBeforeTheAnswerIsRead) {
  const auto wrong_sum = [] {
    auto set = three();
    set[1].checksum ^= 1;
    return set;
  };
  const struct {
    const char* title;
    bool nonblocking;
    bool abort_question;
    bool full_output = false;  // a non-blocking output pipe, full when the run starts
  } table[] = {
      {"overwrite question", false, false},
      {"overwrite question, non-blocking input", true, false},
      {"abort question, non-blocking input", true, true},
      {"overwrite question, output non-blocking and full", false, false, true},
      {"abort question, output non-blocking and full", true, true, true},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.title);
    TempDir dir;
    write_set(dir.path(), "report", c.abort_question ? wrong_sum() : three());
    if (!c.abort_question) {
      write_bytes(dir / kName, kOldFile);
    }
    Dialogue d({ZUNFELU, "report.Z00"}, dir.path(), 0, c.nonblocking, c.full_output);
    const std::string question = c.abort_question ? bad_checksum_question(1) : kOverwrite;
    if (c.full_output) {
      usleep(300000);  // the tool meets the full pipe before anyone reads it
    }
    EXPECT_TRUE(d.wait_for(question, 10)) << "no question on the pipe";
    usleep(300000);
    d.send(c.abort_question ? "n" : "y");
    // The answer counts when it comes: the input stays open meanwhile.
    EXPECT_TRUE(d.wait_for_end(10)) << "the answer was not taken while the input stayed open";
    const Outcome o = d.finish();
    EXPECT_TRUE(o.output.ends_with(c.abort_question ? question : reading(0, 2))) << o.output;
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(read_bytes(dir / kName), kData);
  }
}

// At the overwrite question another program moves the target's folder away
// and makes a new one: the answer y writes into the new one, never through
// the folder that was found before the question. Meanwhile the CPU limit
// that `ulimit -t` set (soft and hard alike) was lowered by a second, so
// that SIGXCPU, which deletes the unfinished file, comes before SIGKILL.
TEST(ZunfeluDialogue, FolderMovedAtTheQuestionAndACpuLimit) {
  TempDir dir;
  std::filesystem::create_directories(dir / "run/sub");
  std::filesystem::create_directories(dir / "outside");
  auto set = three();
  for (auto& c : set) c.name = "sub/x.txt";
  write_set(dir / "run", "report", set);
  write_bytes(dir / "run/sub/x.txt", kOldFile);
  Dialogue d({ZUNFELU, "report"}, dir / "run", 0, false, false, {}, -1, {{RLIMIT_CPU, 30}});
  ASSERT_TRUE(d.wait_for("File sub/x.txt exists, overwrite (y/n)?\n", 10));
  const std::string limits = read_bytes("/proc/" + std::to_string(d.pid()) + "/limits");
  EXPECT_THAT(limits, ::testing::ContainsRegex("Max cpu time +29 +30 +seconds"));
  std::filesystem::rename(dir / "run/sub", dir / "outside/sub");
  std::filesystem::create_directory(dir / "run/sub");
  d.send("y");
  const Outcome o = d.finish();
  EXPECT_EQ(o.status, 0) << o.output;
  EXPECT_EQ(read_bytes(dir / "run/sub/x.txt"), kData);
  EXPECT_EQ(read_bytes(dir / "outside/sub/x.txt"), kOldFile);
}

// Each line leaves the tool when it happens, to a pipe (a log, `| tee`) as
// to a terminal; only a terminal shows a sign of life while a component's
// data take long (here each write of the target takes 300 ms), and that line
// is gone again before the next one, so the screen ends as without it.
TEST(ZunfeluDialogue, LinesWhenTheyHappenAndASignOfLifeOnATerminal) {
  for (const bool terminal : {false, true}) {
    SCOPED_TRACE(terminal ? "terminal" : "pipe");
    TempDir dir;
    write_set(dir.path(), "report", cut_into(bytes(100000), kName, 2, kStamp));
    setenv("LD_PRELOAD", runnable_copy(FAULT_SHIM).c_str(), 1);
    setenv("ZFAULT_SLOW_WRITE", "300", 1);
    Dialogue d({runnable_copy(ZUNFELU), "report"}, dir.path(), 0, false, false, {}, -1, {},
               terminal ? 80 : 0);
    unsetenv("LD_PRELOAD");
    unsetenv("ZFAULT_SLOW_WRITE");
    ASSERT_TRUE(d.wait_for("Reading report.Z00\n", 10));
    // Neither held back until a later line (the end) nor until the progress.
    EXPECT_EQ(d.output().find("Reading report.Z01"), std::string::npos);
    EXPECT_EQ(d.output().find("\r  component"), std::string::npos);
    EXPECT_EQ(d.wait_for("\r  component 1 of 2:", 5), terminal);
    const Outcome o = d.finish();
    EXPECT_EQ(o.status, 0);
    // Each sign of life is blanked out again before the next line.
    const std::regex progress("(\r  component [^\r]*)+\r +\r");
    EXPECT_EQ(std::regex_replace(o.output, progress, ""), head(100000, 2) + reading(0, 1));
  }
}

// The sign of life on a terminal: never for a read under a second, each
// line blanked out by exactly as many blanks as it has columns, before a
// failed write's message too, and no figure above 100 %, also where the
// recorded size is smaller than the data.
TEST(ZunfeluDialogue, SignOfLifeOnlyForLongReadsAndAlwaysBlanked) {
  const struct {
    const char* title;
    int parts;
    int part_size;
    std::int32_t recorded;
    const char* slow_write;
    const char* failing_write;
    bool shown;
    std::string rest;  // the output without the sign of life
  } runs[] = {
      {"a read of 0.45 s", 1, 30000, 30000, "150", "", false, head(30000, 1) + reading(0, 0)},
      {"a write that fails", 2, 50000, 20000, "300", "5", true,
       head(20000, 2) + reading(0, 0) + kDiskWrite},
  };
  for (const auto& r : runs) {
    SCOPED_TRACE(r.title);
    TempDir dir;
    auto set =
        cut_into(bytes(static_cast<std::size_t>(r.parts * r.part_size)), kName, r.parts, kStamp);
    set[0].total_size = r.recorded;
    write_set(dir.path(), "report", set);
    setenv("LD_PRELOAD", runnable_copy(FAULT_SHIM).c_str(), 1);
    setenv("ZFAULT_SLOW_WRITE", r.slow_write, 1);
    setenv("ZFAULT_FWRITE", r.failing_write, 1);
    Dialogue d({runnable_copy(ZUNFELU), "report"}, dir.path(), 0, false, false, {}, -1, {}, 80);
    unsetenv("LD_PRELOAD");
    unsetenv("ZFAULT_SLOW_WRITE");
    unsetenv("ZFAULT_FWRITE");
    const Outcome o = d.finish();
    EXPECT_EQ(o.output.find("\r  component") != std::string::npos, r.shown) << o.output;
    const std::regex shown_then_blank("(\r  component [^\r]*)\r( *)\r");
    for (auto it = std::sregex_iterator(o.output.begin(), o.output.end(), shown_then_blank);
         it != std::sregex_iterator(); ++it) {
      EXPECT_EQ((*it)[2].length(), (*it)[1].length() - 1) << it->str();
    }
    const std::regex figure("(\\d+)%");
    for (auto it = std::sregex_iterator(o.output.begin(), o.output.end(), figure);
         it != std::sregex_iterator(); ++it) {
      EXPECT_LE(std::stoi((*it)[1]), 100) << o.output;
    }
    const std::regex progress("(\r  component [^\r]*)+\r +\r");
    EXPECT_EQ(std::regex_replace(o.output, progress, ""), r.rest);
  }
}

// On a terminal of 30 columns the sign of life never wraps; Ctrl+Z blanks
// it before the tool stops and it comes back with the next update; a signal
// that ends the tool blanks it before the tool goes.
TEST(ZunfeluDialogue, SignOfLifeFitsTheTerminalAndGoesBeforeAStopOrAnEnd) {
  TempDir dir;
  write_set(dir.path(), "report", cut_into(bytes(100000), kName, 2, kStamp));
  setenv("LD_PRELOAD", runnable_copy(FAULT_SHIM).c_str(), 1);
  setenv("ZFAULT_SLOW_WRITE", "1500", 1);
  Dialogue d({runnable_copy(ZUNFELU), "report"}, dir.path(), 0, false, false, {}, -1, {}, 30);
  unsetenv("LD_PRELOAD");
  unsetenv("ZFAULT_SLOW_WRITE");
  ASSERT_TRUE(d.wait_for("\r  component 1 of 2:", 10));
  d.signal(SIGTSTP);
  d.wait_for("not printed", 1);
  EXPECT_TRUE(std::regex_search(d.output(), std::regex("component [^\r]*\r {29}\r$")))
      << d.output();
  d.signal(SIGCONT);
  EXPECT_TRUE(d.wait_for(" \r\r  component 1 of 2:", 10));
  d.signal(SIGTERM);
  const Outcome o = d.finish();
  EXPECT_EQ(o.signal, SIGTERM);
  EXPECT_TRUE(std::regex_search(o.output, std::regex("component [^\r]*\r {29}\r$"))) << o.output;
  const std::regex line("\r  component [^\r]*");
  for (auto it = std::sregex_iterator(o.output.begin(), o.output.end(), line);
       it != std::sregex_iterator(); ++it) {
    EXPECT_EQ(it->length(), 30) << it->str();  // 29 columns and the carriage return
  }
}

// True once `done` holds, checked every 10 ms; false after `seconds`.
bool poll_until(int seconds, const std::function<bool()>& done) {
  for (int k = 0; k < seconds * 100; ++k) {
    if (done()) return true;
    usleep(10000);
  }
  return false;
}

// Real signals at each stage of a run. A run whose output pipe holds 4096
// bytes and is never read blocks at its second block of output: with long
// component names that is in the middle of a 127-component set, or, for a
// set whose output fits in two blocks, at the end of the process, after the
// verdict.
enum class Stage { overwrite_question, copying, abort_question, old_version_notice, finished };

struct InterruptCase {
  const char* title;
  Stage stage;
  int sig;
  std::optional<std::string> target;  // afterwards; none: absent
  // The set stores d/report.txt, and an unrelated ./report.txt stands by.
  bool in_folder = false;
  bool ignored = false;      // the caller ignores the signal, as nohup does
  bool undeletable = false;  // the target's folder does not let it go
  std::string answer;        // sent after the signal
  bool harmless = false;     // the signal's default changes nothing
  bool lowered = false;      // the components are named report.zkk
};

TEST(ZunfeluInterrupts, TargetIsDeletedUntilTheVerdict) {
  const std::string folder(60, 'd');  // each "Reading" line takes about 80 bytes
  const std::string many = bytes(127 * 1000);
  const std::string some = bytes(60 * 1000);
  std::vector<InterruptCase> table = {
      {"Ctrl+C during the copy", Stage::copying, SIGINT, std::nullopt},
      {"kill during the copy", Stage::copying, SIGTERM, std::nullopt},
      {"closed terminal during the copy", Stage::copying, SIGHUP, std::nullopt},
      {"Ctrl+C at the overwrite question", Stage::overwrite_question, SIGINT, kOldFile},
      {"closed terminal at the overwrite question", Stage::overwrite_question, SIGHUP, kOldFile},
      {"kill at the abort question", Stage::abort_question, SIGTERM, std::nullopt},
      {"Ctrl+C at the abort question", Stage::abort_question, SIGINT, std::nullopt},
      {"Ctrl+C after the notice of an unrecorded size, before the times", Stage::old_version_notice,
       SIGINT, std::nullopt},
      {"kill after the verdict", Stage::finished, SIGTERM, some},
      {"closed terminal after the verdict", Stage::finished, SIGHUP, some},
      {"Ctrl+\\ during the copy", Stage::copying, SIGQUIT, std::nullopt},
      {"a CPU time limit during the copy", Stage::copying, SIGXCPU, std::nullopt},
      {"an alarm during the copy", Stage::copying, SIGALRM, std::nullopt},
      {"SIGUSR1 during the copy", Stage::copying, SIGUSR1, std::nullopt},
      {"SIGUSR2 during the copy", Stage::copying, SIGUSR2, std::nullopt},
      {"a virtual timer during the copy", Stage::copying, SIGVTALRM, std::nullopt},
      {"a profiling timer during the copy", Stage::copying, SIGPROF, std::nullopt},
      {"a real-time signal during the copy", Stage::copying, SIGRTMIN + 1, std::nullopt},
      {"Ctrl+C at the abort question, target in a folder", Stage::abort_question, SIGINT,
       std::nullopt, true},
      {"closed terminal ignored at the abort question, then n", Stage::abort_question, SIGHUP,
       kData, false, true, false, "n"},
      {"kill during the copy, target undeletable", Stage::copying, SIGTERM, "", false, false, true},
      {"Ctrl+C during the copy of a lower-cased set", Stage::copying, SIGINT, std::nullopt, false,
       false, false, "", false, true},
  };
  // Every signal whose default ends the tool (a fault's with its core file,
  // where enabled), and the four whose default changes nothing.
  const rlimit no_core{0, 0};
  ASSERT_EQ(setrlimit(RLIMIT_CORE, &no_core), 0);
  std::vector<int> ending = {SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGALRM, SIGUSR1,  SIGUSR2,
                             SIGXCPU, SIGVTALRM, SIGPROF, SIGABRT, SIGSEGV, SIGBUS,   SIGILL,
                             SIGTRAP, SIGFPE,    SIGSYS,  SIGPOLL, SIGPWR,  SIGSTKFLT};
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) ending.push_back(sig);
  for (const int sig : ending)
    table.push_back({"at the abort question", Stage::abort_question, sig});
  for (const int sig : {SIGWINCH, SIGCHLD, SIGCONT, SIGURG}) {
    table.push_back({"changes nothing at the abort question", Stage::abort_question, sig, kData,
                     false, false, false, "n", true});
  }
  for (const InterruptCase& c : table) {
    SCOPED_TRACE(std::string(c.title) + ": " + strsignal(c.sig));
    TempDir dir(c.undeletable);
    const bool notice = c.stage == Stage::old_version_notice;
    std::filesystem::create_directories(dir / folder);
    auto set = c.stage == Stage::copying    ? cut_into(many, kName, 127, kStamp)
               : c.stage == Stage::finished ? cut_into(some, kName, 3, kStamp)
                                            : three();
    if (c.stage == Stage::abort_question) {
      set[1].checksum ^= 1;
    }
    if (notice) {
      set[0].total_size = 0;
    }
    if (c.in_folder || c.undeletable) {
      for (auto& part : set) part.name = c.in_folder ? "d/report.txt" : "ro/report.txt";
    }
    write_set(dir / folder, "report", set);
    if (c.lowered) {
      for (int k = 0; k < 127; ++k) lower_extensions(dir / folder, {k});
    }
    if (c.stage == Stage::overwrite_question || c.in_folder) {
      write_bytes(dir / kName, kOldFile);
    }
    const std::string target = c.in_folder     ? dir / "d/report.txt"
                               : c.undeletable ? dir / "ro/report.txt"
                                               : dir / kName;
    int uid = -1;
    if (c.in_folder) {
      std::filesystem::create_directory(dir / "d");
    }
    if (c.undeletable) {
      // The user's own file, in a folder they may not change: answered y.
      std::filesystem::create_directory(dir / "ro");
      write_bytes(target, kOldFile);
      if (geteuid() == 0) {
        uid = 65534;
        for (const std::string& p : {dir.path(), dir / folder}) chmod(p.c_str(), 0755);
        for (const std::string& p : {dir / "ro", target}) {
          ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0);
        }
      }
      chmod((dir / "ro").c_str(), 0555);
    }
    // The times of a set without a recorded size are set slowly, by the
    // fault shim, so that the signal comes after the notice, before them.
    // After the verdict, the program is held at its end for the signal.
    if (notice || c.stage == Stage::finished) {
      setenv("LD_PRELOAD", runnable_copy(FAULT_SHIM).c_str(), 1);
      setenv(notice ? "ZFAULT_SLOW_TIMES" : "ZFAULT_SLOW_EXIT", "1", 1);
    }
    Dialogue d({runnable_copy(ZUNFELU), folder + "/report.Z00"}, dir.path(), 4096, false, false,
               c.ignored ? std::vector<int>{c.sig} : std::vector<int>{}, uid);
    if (c.undeletable) {
      d.send("y");
    }
    unsetenv("LD_PRELOAD");
    unsetenv("ZFAULT_SLOW_TIMES");
    unsetenv("ZFAULT_SLOW_EXIT");
    struct stat st {};
    const auto reached = [&] {
      switch (c.stage) {
        case Stage::overwrite_question:
          return d.wait_for(kOverwrite, 10);
        case Stage::abort_question:
          return d.wait_for(bad_checksum_question(1), 10);
        case Stage::copying:
        case Stage::old_version_notice:
        case Stage::finished:
          break;
      }
      // The output is not read: wait until the target is under way, whole
      // (then the run stalls in the notice), or stamped.
      for (int k = 0; k < 1000; ++k) {
        if (stat(target.c_str(), &st) == 0 &&
            (c.stage == Stage::copying ? st.st_size > (c.undeletable ? 100 : 0)
             : notice                  ? st.st_size == static_cast<off_t>(kData.size())
                                       : st.st_mtime == kStamp)) {
          if (notice) {
            usleep(300000);  // from the last write into the slow times
          }
          return true;
        }
        usleep(10000);
      }
      return false;
    };
    ASSERT_TRUE(reached()) << "the run never got there";
    if (c.stage == Stage::copying) {
      EXPECT_LT(st.st_size, static_cast<off_t>(many.size()));
    }
    d.signal(c.sig);
    if (!c.answer.empty()) {
      usleep(200000);
      d.send(c.answer);
    }
    const Outcome o = d.finish();
    EXPECT_EQ(o.signal, c.ignored || c.harmless ? 0 : c.sig);
    if (c.ignored || c.harmless) {
      EXPECT_EQ(o.status, 0);
    }
    if (c.in_folder) {
      EXPECT_EQ(read_bytes(dir / kName), kOldFile) << "the unrelated file was touched";
    }
    if (c.target) {
      EXPECT_EQ(read_bytes(target), *c.target);
    } else {
      EXPECT_FALSE(std::filesystem::exists(target));
    }
  }
}

// The first process of a PID namespace (a container's) is not ended by its
// own signal: it must still end at once, with the status a shell shows,
// during the copy and at a question alike.
TEST(ZunfeluInterrupts, FirstProcessOfANamespaceEndsAtOnce) {
  for (const int sig : {SIGTERM, SIGINT, -SIGTERM}) {
    const bool asking = sig > 0;  // at the overwrite question, else during the copy
    SCOPED_TRACE(asking ? "at the question" : "during the copy");
    TempDir dir;
    const std::string folder(60, 'd');
    std::filesystem::create_directories(dir / folder);
    write_set(dir / folder, "report", cut_into(bytes(127 * 1000), kName, 127, kStamp));
    if (asking) write_bytes(dir / kName, kOldFile);
    // A plain user gets a namespace of their own as its root.
    std::vector<std::string> argv = {"/usr/bin/unshare", "--pid", "--fork"};
    if (geteuid() != 0) argv.insert(argv.begin() + 1, "--map-root-user");
    argv.insert(argv.end(), {runnable_copy(ZUNFELU), folder + "/report.Z00"});
    Dialogue d(argv, dir.path(), asking ? 0 : 4096);
    struct stat st {};
    ASSERT_TRUE(asking ? d.wait_for(kOverwrite, 10) : poll_until(10, [&] {
      return stat((dir / kName).c_str(), &st) == 0 && st.st_size > 0;
    })) << "the run never got under way";
    // The tool is the only child of unshare.
    const std::string children =
        "/proc/" + std::to_string(d.pid()) + "/task/" + std::to_string(d.pid()) + "/children";
    const int tool = std::atoi(read_bytes(children).c_str());
    ASSERT_GT(tool, 0) << "no child of unshare";
    kill(tool, std::abs(sig));
    ASSERT_TRUE(d.wait_for_end(10)) << "the tool went on after the signal";
    const Outcome o = d.finish();
    EXPECT_EQ(o.status, 128 + std::abs(sig));
    EXPECT_EQ(std::filesystem::exists(dir / kName), asking);
  }
}

// A small tmpfs that fills up during the merge, with and without a recorded size.
TEST(ZunfeluFullDisk, WriteFailsAndTargetIsDeleted) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "full-disk cases not run: mounting a small tmpfs needs root";
  }
  for (const std::int32_t total : {30000, 0}) {
    TempDir dir;
    auto set = three();
    set[0].total_size = total;
    std::filesystem::create_directories(dir / "set");
    write_set(dir / "set", "report", set);
    const std::string disk = dir / "disk";
    std::filesystem::create_directories(disk);
    ASSERT_EQ(mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=16k"), 0)
        << "cannot mount a tmpfs: " << std::strerror(errno);
    // Unmounted whatever the outcome: a failed check must not leave a mount behind.
    const std::unique_ptr<const std::string, void (*)(const std::string*)> mounted(
        &disk, [](const std::string* d) { umount2(d->c_str(), MNT_DETACH); });
    // Named by its absolute path: dots in the folders above belong to them.
    const std::string prefix = dir / "set/report";
    const Outcome o = spawn({.argv = {ZUNFELU, prefix}, .cwd = disk});
    EXPECT_EQ(list_dir(disk), std::vector<std::string>{});
    // Stream buffering decides which component's write meets the full disk.
    const std::vector<std::string> expected = {head(total, 3) + reading(0, 1, prefix) + kDiskWrite,
                                               head(total, 3) + reading(0, 2, prefix) + kDiskWrite};
    EXPECT_THAT(expected, ::testing::Contains(o.output));
    EXPECT_EQ(o.status, 255);
  }
}

}  // namespace
