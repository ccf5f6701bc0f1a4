// Zunfel32.exe end to end under Wine: runs without a console (every answer
// is the end of input), runs in a tmux pane with real key presses, and runs
// with exact key records written into the console input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "set_writer.hpp"
#include "spawn.hpp"

namespace fs = std::filesystem;

namespace {

const std::string kWine = WINE_SH;
// The windows preset's build, or the one ZUNFEL_WINDOWS_BUILD names (the
// 64-bit build when the 32-bit Wine cannot be had).
std::string windows_build() {
  const char* chosen = std::getenv("ZUNFEL_WINDOWS_BUILD");
  return chosen != nullptr && *chosen != '\0' ? chosen : WINDOWS_BUILD_DIR;
}
const std::string kExe = windows_build() + "/Zunfel32.exe";
const std::string kExe64 = WINDOWS_X64_BUILD_DIR "/Zunfel32.exe";
// The fault shim, from a path without blanks: LD_PRELOAD splits at them.
std::string shim() { return runnable_copy(FAULT_SHIM); }
const std::string kInjectKeys = windows_build() + "/tests/inject_keys.exe";
const std::string kConsoleEvent = windows_build() + "/tests/console_event.exe";
const std::string kZone = "America/New_York";
constexpr std::int32_t kSummer = 868000000;  // 1997-07-04, daylight saving time in New York
constexpr std::int32_t kWinter = 850000000;  // 1996-12-07
const std::string kName = "report.txt";
const std::string kOldFile = "the file that was there before\n";

std::string prefix;  // the Wine prefix of this run

// Every "\n" leaves a Windows program as "\r\n".
std::string crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string data(std::size_t n) {
  std::string s(n, '\0');
  std::uint32_t x = 12345;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return s;
}

const std::string kData = data(25000);

std::vector<Component> three(std::int32_t stamp = kSummer) {
  return cut_into(kData, kName, 3, stamp);
}

const std::string kBanner =
    "Zunfel32 Ver 1.08a - rebuilds a file from its numbered component files\n";
const std::string kUsage = "USAGE:\n\t merge file [A|B:]\n";
const std::string kHelp =
    "Rebuilds the file that was cut into P.Z00, P.Z01, ...; the manual: README.txt beside "
    "Zunfel32.exe\n"
    "\t Zunfel32 --test file [A|B:]   checks every component and writes nothing\n"
    "\t Zunfel32 --list file [A|B:]   lists the set from its headers\n"
    "\t Zunfel32 --salvage file [A|B:]   writes what a broken set holds to NAME.salvaged\n"
    "\t their status: 0 whole, 2 damaged, 3 incomplete, 4 not a set, 5 not to be made here\n";
const std::string kOverwrite = "File report.txt exists, overwrite (y/n)?\n";
const std::string kAbort = " 1 checksum errors, abort merge (y/n)?\n";

std::string head(long total = 25000, const std::string& name = kName,
                 const std::string& between = "") {
  return kBanner + "File size: " + std::to_string(total) + " \n" + between +
         "Merging 3 files to create: " + name + "\n";
}

std::string reading(int from, int to, const std::string& prefix_name = "report") {
  std::string s;
  for (int k = from; k <= to; ++k) s += "Reading " + component_file(prefix_name, k) + "\n";
  return s;
}

std::string size_differs(long long size, long total) {
  return "Size of report.txt is " + std::to_string(size) + ", the set records " +
         std::to_string(total) + "\nMerge ABORTED\n";
}

std::string floppy(int k, const std::string& drive = "a:") {
  return "Please insert floppy into drive " + drive + " with " + drive + "\\" +
         component_file("report", k) + "\nPress any key when ready ...\n";
}

// The whole run from a drive, a prompt before each component is opened.
std::string floppy_run(const std::string& drive = "a:") {
  std::string s = kBanner + floppy(0, drive) + head().substr(kBanner.size());
  for (int k = 0; k < 3; ++k) {
    s += (k > 0 ? floppy(k, drive) : "") + reading(k, k, drive + "\\report");
  }
  return s;
}

// What --test says of a component of three().
std::string tested(int k, const std::string& verdict, const std::string& folder = "") {
  const char* ranges[] = {"bytes 0-8332", "bytes 8333-16665", "bytes 16666-24999"};
  return folder + component_file("report", k) + ": " + ranges[k] + ": " + verdict + "\n";
}

std::string checksum_line() {
  char line[100];
  const std::uint16_t sum = reference_checksum(three()[1].data);
  std::snprintf(line, sizeof line, "Checksum error for file report.Z01 should be %04X is %04X\n",
                sum ^ 0x0101, sum);
  return line;
}

std::vector<Component> wrong_sum() {
  auto set = three();
  set[1].checksum ^= 0x0101;
  return set;
}

std::vector<std::pair<std::string, std::string>> wine_env() {
  return {{"WINEPREFIX", prefix}, {"WINEDEBUG", "-all"}, {"TZ", kZone}};
}

// "Z:\\path\\to\\file", as Windows programs see a Linux path.
std::string windows_path(const std::string& path) {
  std::string out = "Z:" + path;
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

// Drive a: is a folder of the test while the case runs.
class FloppyDrive {
 public:
  FloppyDrive(const std::string& folder, const std::string& letter)
      : link_(prefix + "/dosdevices/" + letter) {
    fs::remove(link_);
    fs::create_directory_symlink(folder, link_);
  }
  ~FloppyDrive() { fs::remove(link_); }

 private:
  std::string link_;
};

struct WineCase {
  const char* title;
  std::function<std::vector<Component>()> set = [] { return three(); };
  std::vector<std::string> args = {"report.Z00"};
  std::optional<std::string> existing;
  std::string output;  // with "\n"; compared as "\r\n"
  int status = 0;
  std::optional<std::string> target;
  std::optional<std::int32_t> stamp;  // the target's times afterwards; none: left alone
  bool on_floppy = false;             // the set lies on drive a:
  std::string set_dir;                // or in this subfolder
  std::string target_name = kName;
  // Key presses: text awaited on the output, then tmux keys for it.
  std::vector<std::pair<std::string, std::vector<std::string>>> keys;
  std::vector<std::string> records;  // exact records written before the program starts
  std::string redirected_input;      // standard input, redirected inside Windows
  bool output_to_target = false;     // standard output redirected over the target, inside Windows
  std::string hard_link;             // a second name of the existing target; empty afterwards
  std::string drive = "a:";          // the floppy drive of `on_floppy`
  // Components from this number on are on a second disk, put in (the
  // drive's folder changed) when the key "<disk 2>" comes.
  int second_disk = 0;
  std::function<void(const std::string& dir)> prepare;  // changes the run's folder
  // The fault shim's ZFAULT_EIO: reads of these bytes fail inside Wine as a
  // floppy's bad sector does. The shim is a 64-bit library, so such a case
  // runs the 64-bit Zunfel32.exe (the same source) under the 64-bit loader.
  std::string bad_sectors;
};

// Runs a shell command in a fresh tmux pane on a socket of the test's own.
class Pane {
 public:
  Pane(const std::string& dir, const std::string& command) : dir_(dir) {
    tmux({"new-session", "-d", "-x", "160", "-y", "40", command});
  }
  ~Pane() { tmux({"kill-server"}); }
  Pane(const Pane&) = delete;
  Pane& operator=(const Pane&) = delete;

  // True once `done` holds, checked every 50 ms; false after `seconds`.
  static bool poll(int seconds, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
  }
  bool wait_for(const std::string& text, int seconds) {
    return poll(seconds, [&] { return read_file(dir_ + "/out").find(text) != std::string::npos; });
  }
  void send(const std::string& key) { tmux({"send-keys", "-t", "zunfel", key}); }
  // What the pane shows now.
  std::string capture() {
    return spawn({.argv = {"/usr/bin/tmux", "-L", "zunfel", "-f", "/dev/null", "capture-pane", "-p",
                           "-t", "zunfel"},
                  .cwd = dir_,
                  .env = {{"TMUX_TMPDIR", dir_ + "/tmux"}}})
        .output;
  }
  // The program's exit status, or -1 when it did not end in time.
  int finish(int seconds) {
    if (!poll(seconds, [&] { return fs::exists(dir_ + "/status"); })) return -1;
    return std::atoi(read_file(dir_ + "/status").c_str());
  }

 private:
  static std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  void tmux(std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/tmux", "-L", "zunfel", "-f", "/dev/null"});
    if (args[5] == "new-session") args.insert(args.begin() + 6, {"-s", "zunfel"});
    spawn({.argv = args, .cwd = dir_, .env = {{"TMUX_TMPDIR", dir_ + "/tmux"}}});
  }
  std::string dir_;
};

std::string shell_word(const std::string& word) { return "'" + word + "'"; }

// The shell command of a pane that runs `program` under Wine in `dir`, with
// its output in out and err and its exit status, once it ends, in status.
std::string pane_command(const std::string& dir, const std::vector<std::string>& program) {
  fs::create_directories(dir + "/tmux");
  std::string command = "cd " + shell_word(dir) + " && export WINEPREFIX=" + shell_word(prefix) +
                        " TZ=" + kZone + " && bash " + shell_word(kWine) + " run";
  for (const std::string& word : program) {
    command += ' ';
    command += shell_word(word);
  }
  return command + " > out 2> err; echo $? > status.new; mv status.new status";
}

// Runs the case's program: in a pane when it needs a console, else detached.
Outcome run_once(const WineCase& c, const std::string& dir) {
  std::vector<std::string> program = {c.bad_sectors.empty() ? kExe : kExe64};
  if (!c.redirected_input.empty()) {
    program = {"cmd", "/c", "<", "answers.txt", windows_path(kExe)};
  }
  if (c.output_to_target) {
    program = {"cmd", "/c", ">", c.target_name, windows_path(kExe)};
  }
  program.insert(program.end(), c.args.begin(), c.args.end());
  if (!c.records.empty()) {
    std::vector<std::string> wrapped = {kInjectKeys};
    wrapped.insert(wrapped.end(), c.records.begin(), c.records.end());
    wrapped.push_back("--");
    wrapped.push_back(windows_path(kExe));
    wrapped.insert(wrapped.end(), c.args.begin(), c.args.end());
    program = wrapped;
  }
  if (c.keys.empty() && c.records.empty() && c.redirected_input.empty()) {
    Spawn s{.argv = {"/bin/bash", kWine, "run"}, .cwd = dir, .env = wine_env(), .detach = true};
    if (!c.bad_sectors.empty()) {
      s.env.push_back({"LD_PRELOAD", shim()});
      s.env.push_back({"ZFAULT_EIO", c.bad_sectors});
    }
    s.argv.insert(s.argv.end(), program.begin(), program.end());
    return spawn(s);
  }
  Outcome o;
  {
    std::string command = pane_command(dir, program);
    if (!c.bad_sectors.empty()) {
      command.insert(command.find("export ") + 7,
                     "LD_PRELOAD=" + shell_word(shim()) + " ZFAULT_EIO=" + c.bad_sectors + " ");
    }
    Pane pane(dir, command);
    for (const auto& [text, keys] : c.keys) {
      EXPECT_TRUE(pane.wait_for(crlf(text), 20)) << "never shown: " << text;
      for (const std::string& key : keys) {
        if (key == "<disk 2>") {
          fs::remove(prefix + "/dosdevices/" + c.drive);
          fs::create_directory_symlink(dir + "/floppy2", prefix + "/dosdevices/" + c.drive);
        } else {
          pane.send(key);
        }
      }
    }
    o.status = pane.finish(30);
  }
  std::ifstream in(dir + "/out", std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  o.output = s.str();
  if (o.output.empty()) o.errors = read_bytes(dir + "/err");
  for (const char* scratch : {"out", "err", "status", "tmux"}) fs::remove_all(dir + "/" + scratch);
  return o;
}

// The program prints its banner before anything else, so a run without any
// output never started: Wine now and then fails to start a program in a
// fresh console at once. Such a run is tried once more, and said so.
Outcome run_case(const WineCase& c, const std::string& dir) {
  Outcome o = run_once(c, dir);
  if (o.output.empty()) {
    std::printf("  %s: no output at all (status %d, Wine said: %s), starting it again\n", c.title,
                o.status, o.errors.c_str());
    o = run_once(c, dir);
  }
  return o;
}

// Every component carries an unsafe `stored` name: the file is created here
// as report.txt, and the tool says so.
WineCase replaced_name_case(const char* title, const std::string& stored) {
  return {.title = title,
          .set =
              [stored] {
                auto s = three();
                for (auto& c : s) c.name = stored;
                return s;
              },
          .output = head(25000, kName,
                         "Stored name " + stored +
                             " is not a plain relative path, creating report.txt instead\n") +
                    reading(0, 2),
          .target = kData,
          .stamp = kSummer};
}

// Every component carries the device name `stored`: the file is created
// as `created`, and the tool says so. With `folder`, the set lies there and
// the names are in it.
WineCase device_name_case(const char* title, const std::string& stored, const std::string& created,
                          const std::string& folder = "") {
  WineCase c = replaced_name_case(title, stored);
  const std::string in = folder.empty() ? "" : folder + "\\";
  c.output =
      head(25000, created,
           "Stored name " + stored + " is a device name, creating " + created + " instead\n") +
      reading(0, 2, in + "report");
  c.args = {in + "report.Z00"};
  c.set_dir = folder;
  c.target_name = created;
  std::replace(c.target_name.begin(), c.target_name.end(), '\\', '/');
  return c;
}

// Every component carries `stored` as the file's name.
std::function<std::vector<Component>()> named(const std::string& stored) {
  return [stored] {
    auto s = three();
    for (auto& c : s) c.name = stored;
    return s;
  };
}

std::vector<WineCase> cases() {
  const std::string yes = "y\n", no = "n\n";
  return {
      // Without a console every read is the end of input.
      {.title = "valid set, summer stamp",
       .output = head() + reading(0, 2),
       .target = kData,
       .stamp = kSummer},
      {.title = "valid set, winter stamp",
       .set = [] { return three(kWinter); },
       .output = head() + reading(0, 2),
       .target = kData,
       .stamp = kWinter},
      {.title = "stamp 0 leaves the times alone",
       .set = [] { return three(0); },
       .output = head() + reading(0, 2),
       .target = kData},
      {.title = "negative stamp: times cannot be set",
       .set = [] { return three(-5); },
       .output = head() + reading(0, 2),
       .status = 255,
       .target = kData},
      {.title = "components of several blocks each",
       .set = [] { return cut_into(data(1300000), kName, 2, kSummer); },
       .output =
           head(1300000).replace(head(1300000).find("Merging 3"), 9, "Merging 2") + reading(0, 1),
       .target = data(1300000),
       .stamp = kSummer},
      {.title = "no argument", .args = {}, .output = kBanner + kUsage, .status = 255},
      {.title = "drive c: refused",
       .args = {"report", "c:"},
       .output = kBanner + kUsage,
       .status = 255},
      {.title = "drive A:\\ refused",
       .args = {"report", "A:\\"},
       .output = kBanner + kUsage,
       .status = 255},
      {.title = "bare drive letter refused",
       .args = {"report", "A"},
       .output = kBanner + kUsage,
       .status = 255},
      {.title = "fourth word ignored",
       .args = {"report", "a:", "more"},
       .output = floppy_run(),
       .target = kData,
       .stamp = kSummer,
       .on_floppy = true},
      {.title = "argument of 81 bytes",
       .args = {std::string(81, 'q')},
       .output = kBanner + "File path too long",
       .status = 1},
      {.title = "help", .args = {"--help"}, .output = kBanner + kUsage + kHelp},
      {.title = "help, the Windows way", .args = {"/?"}, .output = kBanner + kUsage + kHelp},
      {.title = "version",
       .args = {"--version"},
       .output = kBanner + "Zunfel32 " ZUNFEL_VERSION "\n"},
      {.title = "component 1 byte short",
       .set =
           [] {
             auto s = three();
             s[1].keep_bytes = 86 + s[1].data_length - 1;
             return s;
           },
       .output = head() + reading(0, 1) + "Invalid Component File: report.Z01\nMerge aborted\n",
       .status = 1},
      {.title = "standard output sent into the target is refused",
       .existing = kOldFile,
       .status = 255,
       .target = crlf(kBanner + "File size: 25000 \n") + "Can not create report.txt",
       .output_to_target = true},
      {.title = "component 00 missing",
       .args = {"other"},
       .output = kBanner + " can't open file : other.Z00 \n",
       .status = 255},
      {.title = "overwrite question without a console keeps the file",
       .existing = kOldFile,
       .output = kBanner + "File size: 25000 \n" + kOverwrite,
       .status = 1,
       .target = kOldFile},
      {.title = "abort question without a console discards",
       .set = wrong_sum,
       .output = head() + reading(0, 1) + checksum_line() + reading(2, 2) + kAbort,
       .status = 1},
      {.title = "component 02 missing",
       .set =
           [] {
             auto s = three();
             s.pop_back();
             return s;
           },
       .output = head() + reading(0, 1) + " can't open file : report.Z02 \nMerge aborted\n",
       .status = 255},
      {.title = "wrong sequence number",
       .set =
           [] {
             auto s = three();
             s[2].sequence = 5;
             return s;
           },
       .output = head() + reading(0, 1) + "Invalid Component File: report.Z02\nMerge aborted\n",
       .status = 1},
      {.title = "target longer than recorded",
       .set =
           [] {
             auto s = three();
             s[0].total_size = 24999;
             return s;
           },
       .output = head(24999) + reading(0, 2) + size_differs(25000, 24999),
       .status = 255},
      // Sizes that do not add up are named as such, never as a full disk.
      {.title = "damaged size field",
       .set =
           [] {
             auto s = three();
             s[0].total_size ^= 0x10000;
             return s;
           },
       .output = head(25000 ^ 0x10000) + reading(0, 2) + size_differs(25000, 25000 ^ 0x10000),
       .status = 255},
      {.title = "disk 3 from another cut of the same file",
       .set =
           [] {
             auto s = three();
             s[2] = cut_into(kData, kName, 4, kSummer)[2];
             return s;
           },
       .output = head() + reading(0, 2) + size_differs(22916, 25000),
       .status = 255},
      {.title = "count byte 0x80 copies nothing",
       .set =
           [] {
             auto s = three();
             s[0].count = 0x80;
             s[0].total_size = 3;
             return s;
           },
       .output = kBanner + "File size: 3 \nMerging -128 files to create: report.txt\n" +
                 size_differs(0, 3),
       .status = 255},
      replaced_name_case("drive-letter stored name is created here", "C:\\windows\\report.txt"),
      replaced_name_case("stored name with a data stream is created here", "notes.txt:report.txt"),
      replaced_name_case("climbing stored name is created here", "..\\report.txt"),
      {.title = "set named from the current folder",
       .args = {".\\report.Z00"},
       .output = head() + reading(0, 2, ".\\report"),
       .target = kData,
       .stamp = kSummer},
      {.title = "dots in a folder name belong to the folder",
       .args = {"john.doe\\report.Z00"},
       .output = head() + reading(0, 2, "john.doe\\report"),
       .target = kData,
       .stamp = kSummer,
       .set_dir = "john.doe"},
      {.title = "a command line changed by the ANSI code page is refused",
       .args = {"\u03A9mega.Z00"},
       .output = kBanner + kUsage,
       .status = 255},
      {.title = "stored name of a component, in another case, is refused untouched",
       .set =
           [] {
             auto s = three();
             for (auto& c : s) c.name = "report.z01";
             return s;
           },
       .output = kBanner + "File size: 25000 \nCan not create report.z01",
       .status = 255},
      device_name_case("stored device name NUL", "NUL", "_NUL"),
      device_name_case("stored device name with an extension", "com1.log", "_com1.log"),
      device_name_case("device name in a folder gets its _ on the last part", "sub\\LPT1",
                       "sub\\_LPT1", "sub"),
      {.title = "stored name of a missing component is refused by name",
       .set =
           [] {
             auto s = three();
             for (auto& c : s) c.name = "REPORT.Z02";
             s.pop_back();
             return s;
           },
       .output = kBanner + "File size: 25000 \nCan not create REPORT.Z02",
       .status = 255},
      // Real key presses in a tmux pane.
      {.title = "overwrite y",
       .existing = kOldFile,
       .output = head(25000, kName, kOverwrite + yes) + reading(0, 2),
       .target = kData,
       .stamp = kSummer,
       .keys = {{kOverwrite, {"y"}}}},
      {.title = "overwrite Y echoed as typed",
       .existing = kOldFile,
       .output = head(25000, kName, kOverwrite + "Y\n") + reading(0, 2),
       .target = kData,
       .stamp = kSummer,
       .keys = {{kOverwrite, {"Y"}}}},
      {.title = "overwrite n after junk",
       .existing = kOldFile,
       .output = kBanner + "File size: 25000 \n" + kOverwrite + "x\n \nn\n",
       .status = 1,
       .target = kOldFile,
       .keys = {{kOverwrite, {"x", "Space", "n"}}}},
      {.title = "abort Y echoed folded",
       .set = wrong_sum,
       .output = head() + reading(0, 1) + checksum_line() + reading(2, 2) + kAbort + "y\n",
       .status = 1,
       .keys = {{kAbort, {"Y"}}}},
      {.title = "abort N keeps the target",
       .set = wrong_sum,
       .output = head() + reading(0, 1) + checksum_line() + reading(2, 2) + kAbort + "q\nn\n",
       .target = kData,
       .stamp = kSummer,
       .keys = {{kAbort, {"Q", "N"}}}},
      {.title = "Shift+F6 answers yes",
       .existing = kOldFile,
       .output = head(25000, kName, kOverwrite + std::string(1, '\0') + "\nY\n") + reading(0, 2),
       .target = kData,
       .stamp = kSummer,
       .keys = {{kOverwrite, {"S-F6"}}}},
      {.title = "Alt+F7 answers no",
       .existing = kOldFile,
       .output = kBanner + "File size: 25000 \n" + kOverwrite + std::string(1, '\0') + "\nn\n",
       .status = 1,
       .target = kOldFile,
       .keys = {{kOverwrite, {"M-F7"}}}},
      {.title = "cursor key gives two refused values",
       .existing = kOldFile,
       .output = head(25000, kName, kOverwrite + std::string(1, '\0') + "\nH\ny\n") + reading(0, 2),
       .target = kData,
       .stamp = kSummer,
       .keys = {{kOverwrite, {"Up", "y"}}}},
      {.title = "floppy prompts, a function key serves two",
       .args = {"report", "a:"},
       .output = floppy_run(),
       .target = kData,
       .stamp = kSummer,
       .on_floppy = true,
       .keys = {{floppy(0), {"x"}}, {floppy(1), {"F1"}}}},
      {.title = "answers come from the console, not redirected input",
       .existing = kOldFile,
       .output = head(25000, kName, kOverwrite + yes) + reading(0, 2),
       .target = kData,
       .stamp = kSummer,
       .keys = {{kOverwrite, {"y"}}},
       .redirected_input = "nnnn"},
      // Exact records in the console input.
      {.title = "Ctrl+C is read and refused",
       .existing = kOldFile,
       .output = head(25000, kName, kOverwrite + "\x03\n" + yes) + reading(0, 2),
       .target = kData,
       .stamp = kSummer,
       .records = {"67:3:8", "89:121:0"}},
      {.title = "a second hard link of the target keeps none of a failed merge",
       .set =
           [] {
             auto s = three();
             s[2].sequence = 5;
             return s;
           },
       .existing = kOldFile,
       .output = head(25000, kName, kOverwrite + yes) + reading(0, 1) +
                 "Invalid Component File: report.Z02\nMerge aborted\n",
       .status = 1,
       .records = {"89:121:0"},
       .hard_link = "keep.txt"},
      // Tested and listed, also from floppies: nothing is created or asked.
      {.title = "a test from drive a: with two disks",
       .args = {"--test", "report", "a:"},
       .output = kBanner + floppy(0) + floppy(1) + floppy(2) + tested(0, "good", "a:\\") +
                 tested(1, "good", "a:\\") + tested(2, "good", "a:\\") +
                 "report.txt: 3 components, 25000 bytes: complete and undamaged\n",
       .on_floppy = true,
       .keys = {{floppy(0), {"x"}}, {floppy(1), {"x"}}, {floppy(2), {"<disk 2>", "x"}}},
       .second_disk = 2},
      {.title = "a test names a damaged component and a missing one",
       .set =
           [] {
             auto s = wrong_sum();
             s.pop_back();
             return s;
           },
       .args = {"--test", "report"},
       .existing = kOldFile,
       .output =
           kBanner + tested(0, "good") +
           tested(1,
                  "checksum error, should be" +
                      checksum_line().substr(checksum_line().find(" should be") + 10).erase(13)) +
           "report.Z02: bytes 16666-24999: missing or not a file\n" +
           "report.txt: 3 components, 25000 bytes: incomplete, 2 components need attention\n",
       .status = 3,
       .target = kOldFile},
      // A floppy's bad sector: the test names its bytes and reads on, the
      // merge names it and leaves no file. Wine reports the failed read as
      // a drive that is not ready.
      {.title = "a test names a bad sector of drive a: and reads on",
       .args = {"--test", "report", "a:"},
       .output =
           kBanner + floppy(0) + floppy(1) + floppy(2) + tested(0, "good", "a:\\") +
           "a:\\report.Z01: bytes 8333-16665: cannot be read at bytes 9271-9782: Not ready\n" +
           tested(2, "good", "a:\\") +
           "report.txt: 3 components, 25000 bytes: damaged, 1 component needs attention\n",
       .status = 2,
       .on_floppy = true,
       .keys = {{floppy(0), {"x"}}, {floppy(1), {"x"}}, {floppy(2), {"x"}}},
       .bad_sectors = "report.Z01:1024-1535"},
      {.title = "a merge names a bad sector and leaves no file",
       .output = head() + reading(0, 1) +
                 "Can not read report.Z01, bytes 9271-9782 of the file: Not ready\nMerge aborted\n",
       .status = 255,
       .bad_sectors = "report.Z01:1024-1535"},
      // Salvage: each byte that can be had at its place, zeros elsewhere.
      {.title = "a salvage of a set without its last component",
       .set =
           [] {
             auto s = three();
             s.pop_back();
             return s;
           },
       .args = {"--salvage", "report"},
       .output = kBanner + "Salvaging 3 files into: report.txt.salvaged\n" + tested(0, "good") +
                 tested(1, "good") + tested(2, "missing or not a file") +
                 "report.txt: 3 components, 25000 bytes: incomplete, 1 component needs attention\n"
                 "Filled with zeros: bytes 16666-24999\n"
                 "report.txt.salvaged: 25000 bytes, 8334 of them filled with zeros\n",
       .status = 3,
       .target = kData.substr(0, 16666) + std::string(8334, '\0'),
       .stamp = kSummer,
       .target_name = "report.txt.salvaged"},
      {.title = "a salvage from drive a: loses a bad sector and nothing more",
       .args = {"--salvage", "report", "a:"},
       .output =
           kBanner + floppy(0) + "Salvaging 3 files into: report.txt.salvaged\n" + floppy(1) +
           floppy(2) + tested(0, "good", "a:\\") +
           "a:\\report.Z01: bytes 8333-16665: cannot be read at bytes 9271-9782: Not ready\n" +
           tested(2, "good", "a:\\") +
           "report.txt: 3 components, 25000 bytes: damaged, 1 component needs attention\n"
           "Filled with zeros: bytes 9271-9782\n"
           "report.txt.salvaged: 25000 bytes, 512 of them filled with zeros\n",
       .status = 2,
       .target = kData.substr(0, 9271) + std::string(512, '\0') + kData.substr(9783),
       .stamp = kSummer,
       .on_floppy = true,
       .target_name = "report.txt.salvaged",
       .keys = {{floppy(0), {"x"}}, {floppy(1), {"x"}}, {floppy(2), {"x"}}},
       .bad_sectors = "report.Z01:1024-1535"},
      // Wine shows a link to a file as a plain file: y never writes through it.
      {.title = "a link at the name to a file beside it is not written through on y",
       .existing = kOldFile,
       .output = head(25000, kName, kOverwrite + "y\n") + "Can not create report.txt",
       .status = 255,
       .target = kOldFile,
       .target_name = "other.txt",
       .keys = {{kOverwrite, {"y"}}},
       .prepare =
           [](const std::string& dir) { fs::create_symlink("other.txt", dir + "/report.txt"); }},
      {.title = "a test of a set dated before 1970 says the time cannot be given",
       .set = [] { return three(-1); },
       .args = {"--test", "report"},
       .output = kBanner + tested(0, "good") + tested(1, "good") + tested(2, "good") +
                 "report.txt: 3 components, 25000 bytes: complete, but Zunfel32 cannot give the "
                 "file its recorded time 1969-12-31T23:59:59Z\n",
       .status = 5},
      {.title = "a list of a good set",
       .set = [] { return three(kWinter); },
       .args = {"--list", "report"},
       .output = kBanner + "Stored name: report.txt\nSize: 25000 bytes\n" +
                 "Time: 1996-12-07T23:06:40Z\nComponents: 3\n" +
                 "report.Z00: bytes 0-8332 (8333 bytes)\n" +
                 "report.Z01: bytes 8333-16665 (8333 bytes)\n" +
                 "report.Z02: bytes 16666-24999 (8334 bytes)\n"},
      {.title = "drive b:",
       .args = {"report", "b:"},
       .output = floppy_run("b:"),
       .target = kData,
       .stamp = kSummer,
       .on_floppy = true,
       .drive = "b:"},
      {.title = "an existing file longer than the set answered y is emptied first",
       .existing = data(40000),
       .output = head(25000, kName, kOverwrite + yes) + reading(0, 2),
       .target = kData,
       .stamp = kSummer,
       .keys = {{kOverwrite, {"y"}}}},
      {.title = "a file behind a folder link is not asked about",
       .set = named("d\\report.txt"),
       .output = head(25000, "d\\report.txt") + "Can not create d\\report.txt",
       .status = 255,
       .prepare =
           [](const std::string& dir) {
             fs::create_directory(dir + "/real");
             write_bytes(dir + "/real/report.txt", kOldFile);
             fs::create_directory_symlink("real", dir + "/d");
           }},
      {.title = "a drive as the stored name is as a name that leaves no file",
       .set = named("x:"),
       .output = head(25000, "x:") + "Can not create x:",
       .status = 255},
      {.title = "grey Up gives E0 then 72, Escape 27",
       .existing = kOldFile,
       .output = kBanner + "File size: 25000 \n" + kOverwrite + "\xE0\nH\n\x1B\n" + no,
       .status = 1,
       .target = kOldFile,
       .records = {"38:0:256", "27:27:0", "78:110:0"}},
  };
}

void PrintTo(const WineCase& c, std::ostream* os) { *os << c.title; }

class Zunfel32EndToEnd : public ::testing::TestWithParam<WineCase> {};

TEST_P(Zunfel32EndToEnd, Case) {
  const WineCase& c = GetParam();
  TempDir dir;
  const std::string set_dir = c.on_floppy         ? dir / "floppy"
                              : c.set_dir.empty() ? dir.path()
                                                  : dir / c.set_dir;
  fs::create_directories(set_dir);
  write_set(set_dir, "report", c.set());
  if (c.second_disk > 0) {
    fs::create_directories(dir / "floppy2");
    for (int k = c.second_disk; fs::exists(set_dir + "/" + component_file("report", k)); ++k) {
      fs::rename(set_dir + "/" + component_file("report", k),
                 dir / ("floppy2/" + component_file("report", k)));
    }
  }
  if (c.prepare) c.prepare(dir.path());
  if (c.existing) write_bytes(dir / c.target_name, *c.existing);
  if (!c.hard_link.empty()) fs::create_hard_link(dir / c.target_name, dir / c.hard_link);
  if (!c.redirected_input.empty()) write_bytes(dir / "answers.txt", c.redirected_input);
  const auto before = list_dir(dir.path());
  std::optional<FloppyDrive> drive;
  if (c.on_floppy) drive.emplace(set_dir, c.drive);
  const std::time_t started = std::time(nullptr);
  const Outcome o = run_case(c, dir.path());
  EXPECT_EQ(o.output, crlf(c.output));
  EXPECT_EQ(o.status, c.status);
  auto expected = before;
  if (c.target && !c.existing && c.target_name.find('/') == std::string::npos) {
    expected.push_back(c.target_name);
  }
  if (!c.hard_link.empty()) {
    std::erase(expected, c.target_name);
    EXPECT_EQ(read_bytes(dir / c.hard_link), "");
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(list_dir(dir.path()), expected);
  if (c.target) {
    struct stat st {};
    ASSERT_EQ(stat((dir / c.target_name).c_str(), &st), 0);
    if (c.stamp) {
      EXPECT_EQ(st.st_mtime, *c.stamp);
      EXPECT_EQ(st.st_atime, *c.stamp);
    } else {
      EXPECT_GE(st.st_mtime, started - 5);
    }
    EXPECT_EQ(read_bytes(dir / c.target_name), *c.target);
  }
}

std::string case_name(const ::testing::TestParamInfo<WineCase>& info) {
  std::string name;
  for (const char* p = info.param.title; *p != '\0'; ++p) {
    name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Wine, Zunfel32EndToEnd, ::testing::ValuesIn(cases()), case_name);

// Nothing is written outside the current folder (`set`): not through a
// link at the name to a file in `SET` beside it (under Wine two folders),
// and not when another program swaps the stored name's folder for a link
// to `SET` back and forth while the tool runs (a race, shown over many runs).
TEST(Zunfel32Links, NothingIsWrittenOutsideTheCurrentFolder) {
  TempDir top;
  const std::string here = top / "set";
  const std::string outside = top / "SET";
  fs::create_directories(here + "/sub");
  fs::create_directories(outside);
  write_bytes(outside + "/victim.txt", kOldFile);
  write_set(here, "report", three());
  fs::create_symlink("../SET/victim.txt", here + "/report.txt");
  const Outcome linked = run_case({.title = "link", .keys = {{kOverwrite, {"y"}}}}, here);
  EXPECT_EQ(linked.output,
            crlf(head(25000, kName, kOverwrite + "y\n") + "Can not create report.txt"));
  EXPECT_EQ(linked.status, 255);
  EXPECT_TRUE(fs::is_symlink(here + "/report.txt"));
  auto set = three();
  for (auto& c : set) c.name = "sub\\x.txt";
  write_set(here, "report", set);
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    while (!stop) {
      fs::rename(here + "/sub", here + "/sub.real");
      fs::create_directory_symlink("../SET", here + "/sub");
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      fs::remove(here + "/sub");
      fs::rename(here + "/sub.real", here + "/sub");
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  for (int run = 0; run < 20; ++run) {
    const Outcome o = run_case({.title = "swapped"}, here);
    EXPECT_TRUE(o.status == 0 || o.status == 255) << o.status << o.output;
    // Looked at before the file made inside goes: removing it by name while
    // `sub` is the link would remove what it wrote outside.
    EXPECT_FALSE(fs::exists(outside + "/x.txt")) << "run " << run << " wrote outside";
    fs::remove(outside + "/x.txt");
    fs::remove(here + "/sub.real/x.txt");
    fs::remove(here + "/sub/x.txt");
  }
  stop = true;
  swapper.join();
  EXPECT_EQ(list_dir(outside), std::vector<std::string>{"victim.txt"});
  EXPECT_EQ(read_bytes(outside + "/victim.txt"), kOldFile);
}

// The sign of life of a slow read (the fault shim makes each read of the
// component wait, so the 64-bit program runs) shows on the console, also
// with standard input redirected, and never in a pipe.
TEST(Zunfel32SignOfLife, OnTheConsoleNeverInAPipe) {
  TempDir dir;
  write_set(dir.path(), "report", cut_into(data(150000), kName, 1, kSummer));
  write_bytes(dir / "answers.txt", "");
  const std::string slow = "LD_PRELOAD=" + shell_word(shim()) + " ZFAULT_SLOW_READ=report.Z00:300 ";
  std::string command =
      pane_command(dir.path(), {"cmd", "/c", "<", "answers.txt", windows_path(kExe64), "report"});
  command.replace(command.find(" > out"), 6, "");  // the console itself
  command.insert(command.find("export ") + 7, slow);
  {
    Pane pane(dir.path(), command);
    EXPECT_TRUE(Pane::poll(
        20, [&] { return pane.capture().find("component 1 of 1:") != std::string::npos; }));
    EXPECT_EQ(pane.finish(30), 0);
  }
  fs::remove(dir / kName);
  Spawn s{.argv = {"/bin/bash", kWine, "run", kExe64, "report"},
          .cwd = dir.path(),
          .env = wine_env(),
          .detach = true};
  s.env.push_back({"LD_PRELOAD", shim()});
  s.env.push_back({"ZFAULT_SLOW_READ", "report.Z00:300"});
  const Outcome piped = spawn(s);
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.output.find("\r  component"), std::string::npos) << piped.output;
}

// A Ctrl+C event from a helper in the same console, at each stage of a run.
// Output to a FIFO that holds 4096 bytes and is never read stops the run in
// the middle of a 127-component set with long names.
enum class Stage { overwrite_question, copying, abort_question };

TEST(Zunfel32Interrupts, CtrlCDeletesTheTargetUntilTheVerdict) {
  const std::string folder(60, 'd');
  const std::string many = data(127 * 1000);
  const struct {
    const char* title;
    Stage stage;
    std::optional<std::string> target;  // afterwards; none: absent
  } table[] = {
      {"during the copy", Stage::copying, std::nullopt},
      {"at the overwrite question", Stage::overwrite_question, kOldFile},
      {"at the abort question", Stage::abort_question, std::nullopt},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.title);
    TempDir dir;
    fs::create_directories(dir / folder);
    write_set(dir / folder, "report",
              c.stage == Stage::copying          ? cut_into(many, kName, 127, kSummer)
              : c.stage == Stage::abort_question ? wrong_sum()
                                                 : three());
    if (c.stage == Stage::overwrite_question) write_bytes(dir / kName, kOldFile);
    int reader = -1;
    if (c.stage == Stage::copying) {
      ASSERT_EQ(mkfifo((dir / "out").c_str(), 0600), 0);
      reader = open((dir / "out").c_str(), O_RDONLY | O_NONBLOCK);
      ASSERT_GE(fcntl(reader, F_SETPIPE_SZ, 4096), 0);
    }
    Pane pane(dir.path(), pane_command(dir.path(), {kConsoleEvent, "trigger", "--",
                                                    windows_path(kExe), folder + "/report.Z00"}));
    const auto under_way = [&] {
      struct stat st {};
      return stat((dir / kName).c_str(), &st) == 0 && st.st_size > 0;
    };
    const bool reached =
        c.stage == Stage::copying
            ? Pane::poll(30, under_way)
            : pane.wait_for(crlf(c.stage == Stage::abort_question ? kAbort : kOverwrite), 30);
    ASSERT_TRUE(reached) << "the run never got there";
    write_bytes(dir / "trigger", "");
    const int status = pane.finish(30);
    if (reader >= 0) close(reader);
    // Before the target exists the event has Wine's default effect.
    if (c.stage != Stage::overwrite_question) {
      EXPECT_EQ(status, 0x3A) << "not 0xC000013A";
    }
    if (c.target) {
      EXPECT_EQ(read_bytes(dir / kName), *c.target);
    } else {
      EXPECT_FALSE(fs::exists(dir / kName));
    }
  }
}

// Processes still running in the prefix, each as "pid (name) command line".
std::vector<std::string> processes_in(const std::string& wine_prefix) {
  std::vector<std::string> found;
  const std::string mark = "WINEPREFIX=" + wine_prefix;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::ifstream environ(entry.path() / "environ", std::ios::binary);
    std::ifstream stat(entry.path() / "stat");
    std::ifstream cmdline(entry.path() / "cmdline", std::ios::binary);
    std::string env((std::istreambuf_iterator<char>(environ)), {});
    std::string command((std::istreambuf_iterator<char>(cmdline)), {});
    std::replace(command.begin(), command.end(), '\0', ' ');
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    const bool zombie =
        close != std::string::npos && line.size() > close + 2 && line[close + 2] == 'Z';
    if (!zombie && env.find(mark + '\0') != std::string::npos) {
      found.push_back(line.substr(0, close + 1) + " " + command);
    }
  }
  return found;
}

// The programs of the tests among them: Wine's own services and loaders come
// and go as Wine pleases, these must have ended with their case.
std::vector<std::string> programs_in(const std::string& wine_prefix) {
  std::vector<std::string> programs;
  for (const std::string& p : processes_in(wine_prefix)) {
    std::string folded = p;
    std::transform(folded.begin(), folded.end(), folded.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    for (const char* ours : {"zunfel32.exe", "inject_keys.exe", "console_event.exe"}) {
      if (folded.find(ours) != std::string::npos) programs.push_back(p);
    }
  }
  return programs;
}

// One prefix for the whole run, removed at its end.
class WinePrefix : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(kExe)) << kExe << " is missing: build the windows preset first";
    ASSERT_TRUE(fs::exists(kInjectKeys)) << kInjectKeys << " is missing";
    ASSERT_TRUE(fs::exists("/usr/bin/tmux")) << "tmux is missing";
    prefix = root_.path() + "/prefix";
    const Outcome o = spawn({.argv = {"/bin/bash", kWine, "create", prefix, "persistent"},
                             .cwd = root_.path(),
                             .detach = true});
    ASSERT_EQ(o.status, 0) << "cannot create a Wine prefix: " << o.output;
  }
  void TearDown() override {
    EXPECT_EQ(programs_in(prefix), std::vector<std::string>{}) << "still running";
    spawn({.argv = {"/bin/bash", kWine, "remove", prefix}, .cwd = root_.path(), .detach = true});
    // With its server gone, Wine's own processes end within moments (Wine 10
    // keeps a loader a little longer than Wine 8): none may stay.
    std::vector<std::string> left = processes_in(prefix);
    for (int k = 0; k < 100 && !left.empty(); ++k) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      left = processes_in(prefix);
    }
    EXPECT_EQ(left, std::vector<std::string>{}) << "left behind";
  }

 private:
  TempDir root_;
};

const auto* const kPrefix = ::testing::AddGlobalTestEnvironment(new WinePrefix);

}  // namespace
