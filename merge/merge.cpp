#include "merge.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform.hpp"
#include "steps.hpp"
#include "target_name.hpp"

const char kCredit[] = "- rebuilds a file from its numbered component files";

namespace {

// Everything the tool can say, in one place.
constexpr const char kPathTooLong[] = "File path too long";
constexpr const char kCannotOpen[] = " can't open file : %s \n";
constexpr const char kStatusFailed[] = "FAIL";
constexpr const char kFileSize[] = "File size: %ld \n";
constexpr const char kOverwrite[] = "File %s exists, overwrite (y/n)?\n";
constexpr const char kMerging[] = "Merging %d files to create: %s\n";
constexpr const char kCannotCreate[] = "Can not create %s";
constexpr const char kMergeAborted[] = "Merge aborted\n";
constexpr const char kCannotOpenStream[] = "Can not open file %s\n";
constexpr const char kInvalidComponent[] = "Invalid Component File: %s\nMerge aborted\n";
constexpr const char kReading[] = "Reading %s\n";
constexpr const char kChecksumError[] = "Checksum error for file %s should be %04X is %04X\n";
constexpr const char kAbortQuestion[] = " %d checksum errors, abort merge (y/n)?\n";
constexpr const char kOldVersion[] = "component files created with DIVVLE ver 1.02\n";
constexpr const char kDiskWrite[] = "Disk write error or disk full!!!\nMerge ABORTED";
constexpr const char kSizeDiffers[] = "Size of %s is %lld, the set records %ld\nMerge ABORTED\n";
constexpr const char kStoredNameReplaced[] =
    "Stored name %s is not a plain relative path, creating %s instead\n";
constexpr const char kDeviceNameReplaced[] =
    "Stored name %s is a device name, creating %s instead\n";
constexpr const char kFloppyPrompt[] =
    "Please insert floppy into drive %s with %s\nPress any key when ready ...\n";

constexpr const char* kDrives[] = {"A:", "B:", "a:", "b:"};

MergeRun run;
// Which terminal controls are escaped in names shown. Only a byte of 0x80 or
// more makes the terminal's character set matter: it is asked for then, once.
bool (*reads_utf8)() = nullptr;
bool utf8_controls = false;
bool c1_bytes = false;

enum class Question { overwrite, abort };
enum class SizeQuery { ok, open_failed, status_failed, stream_failed };

}  // namespace

ShownName shown(const char* name) {
  for (const char* p = name; reads_utf8 != nullptr && *p != '\0'; ++p) {
    if (static_cast<unsigned char>(*p) >= 0x80) {
      c1_bytes = !reads_utf8();
      utf8_controls = utf8_controls && !c1_bytes;
      reads_utf8 = nullptr;
    }
  }
  return shown_name(name, utf8_controls, c1_bytes);
}

// Whatever the target holds when the run ends here is its verdict, so an
// interrupt during the exit no longer deletes it.
void finish(int status) {
  platform_release_target();
  std::exit(status);
}

namespace {

// Standard output may be a pipe or a file and so block-buffered: what the
// user is asked must be out before the tool waits for the answer.
int read_answer(const BuildProfile& profile) {
  std::fflush(stdout);
  return profile.answer_input();
}

int fold(int c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

// Reads answer characters until one folds to y or n. When no answer can ever
// come, the question is answered the way that stops the run: the existing
// file stays, the damaged target goes.
int ask_yes_no(const BuildProfile& profile, Question kind) {
  for (;;) {
    int c = read_answer(profile);
    if (c == EOF) {
      return kind == Question::overwrite ? 'n' : 'y';
    }
    if (profile.echo_answers && kind == Question::overwrite) {
      std::printf("%c\n", c);
    }
    c = fold(c);
    if (profile.echo_answers && kind == Question::abort) {
      std::printf("%c\n", c);
    }
    if (c == 'y' || c == 'n') {
      return c;
    }
  }
}

// A FIFO swapped in after the look would make the open wait for a writer;
// on a regular file the flag changes nothing, so it is never cleared.
#ifdef O_NONBLOCK
constexpr int kDoNotWait = O_NONBLOCK;
#else
constexpr int kDoNotWait = 0;
#endif
// A terminal opened by a process without one would become its controlling
// terminal.
#ifdef O_NOCTTY
constexpr int kNoTerminal = O_NOCTTY;
#else
constexpr int kNoTerminal = 0;
#endif
// Windows descriptors translate line ends unless told otherwise.
#ifdef O_BINARY
constexpr int kBinary = O_BINARY;
#else
constexpr int kBinary = 0;
#endif

// Asks for the size of the file open as `f`, which stays open for the
// caller on success. Only a regular file can be a component: a FIFO, a
// device or a directory counts as a file that cannot be opened, before the
// tool waits on it or reads from it.
SizeQuery measure(MergeRun& run, long long& size) {
  if (run.f < 0) {
    return SizeQuery::open_failed;
  }
  if (fstat(run.f, &run.buf) != 0) {
    close(run.f);
    return SizeQuery::status_failed;
  }
  if (!S_ISREG(run.buf.st_mode)) {
    close(run.f);
    return SizeQuery::open_failed;
  }
  size = run.buf.st_size;
  return SizeQuery::ok;
}

// The letter of a component's extension, "Z" in "P.Z07".
char* extension_letter(char* name) { return std::strrchr(name, '.') + 1; }

// Where "P.Zkk" is missing, a copy whose names were lowered (a CD-ROM, some
// floppy tools) holds it as "P.zkk": `FileName` then names that file. True
// when something stands at the name left in `FileName`.
bool look_at_component(MergeRun& run, const BuildProfile& profile, struct stat& seen) {
  if (stat(run.FileName, &seen) == 0) {
    return true;
  }
  // A link that leads nowhere is a component that is there but cannot be
  // opened, not one to look for under another spelling.
  if (errno != ENOENT || !profile.lower_case_components || platform_stands_at(run.FileName)) {
    return false;
  }
  char* letter = extension_letter(run.FileName);
  *letter = 'z';
  if (stat(run.FileName, &seen) == 0) {
    return true;
  }
  *letter = 'Z';  // neither is there: the message names the usual spelling
  return false;
}

// A component is looked at before it is opened: opening a device, a tape or
// a serial line has effects of its own, so only a regular file is opened.
// The descriptor must then be that same file, and it is the one that is
// measured and read, so a name swapped in between is never read unchecked.
SizeQuery open_component(MergeRun& run, const BuildProfile& profile, long long& size) {
  struct stat seen;
  if (!look_at_component(run, profile, seen) || !S_ISREG(seen.st_mode)) {
    return SizeQuery::open_failed;
  }
  run.f = open(run.FileName, O_RDONLY | kDoNotWait | kNoTerminal | kBinary);
  const SizeQuery query = measure(run, size);
  if (query != SizeQuery::ok) {
    return query;
  }
  // Where the C library numbers no files (Windows gives every file 0), the
  // look and the size query both found a regular file, which must do.
  if (seen.st_ino != 0 && (run.buf.st_dev != seen.st_dev || run.buf.st_ino != seen.st_ino)) {
    close(run.f);
    return SizeQuery::open_failed;
  }
  run.fptr = fdopen(run.f, "rb");
  if (run.fptr == nullptr) {
    close(run.f);
    return SizeQuery::stream_failed;
  }
  // The stream buffers the header (and a small component's data) in one
  // read; larger data then go from the file straight into `aa`.
  // Where only headers are wanted (a list of a set on floppies), no byte of
  // data is read.
  std::setvbuf(run.fptr, run.fbuf, _IOFBF, run.headers_only ? kHeaderSize : sizeof run.fbuf);
  return SizeQuery::ok;
}

void abandon_target(MergeRun& run) {
  std::fclose(run.optr);
  platform_delete_target(run.Created);
}

// A target that is not the whole file is never left behind as if it were.
// The target must be closed already, and the reason said.
[[noreturn]] void discard_target(MergeRun& run) {
  platform_delete_target(run.Created);
  finish(-1);
}

[[noreturn]] void discard_unwritten(MergeRun& run) {
  std::printf(kDiskWrite);
  discard_target(run);
}

// A sign of life on a terminal while a component's data take long: one line
// of how far the component and the whole file are, rewritten in place at
// most four times a second and blanked out before anything else is printed,
// so that the screen ends as it would have without it. Elsewhere (a file, a
// pipe) nothing of it is written and no clock is read.
// The profile's clock where output is a terminal; null elsewhere.
std::uint32_t (*milliseconds)() = nullptr;
constexpr std::uint32_t kQuiet = 1000;  // before the first line
constexpr std::uint32_t kBetweenLines = 250;
constexpr std::uint32_t kQuickBlock = 50;  // a block may grow
std::size_t progress_width = 0;            // of the line on the screen; 0: none

void show_progress(const MergeRun& run, long long done) {
  char line[80];
  const long long length = run.data_length > 0 ? run.data_length : 1;
  int n = std::snprintf(line, sizeof line, "\r  component %d of %d: %3lld%%", run.index + 1,
                        run.count, done * 100 / length);
  if (run.total_size > 0) {
    const long long whole = (run.set_done + done) * 100 / run.total_size;
    n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n),
                       ", the whole file: %3lld%%", whole < 100 ? whole : 100);
  }
  std::fputs(line, stdout);
  std::fflush(stdout);
  progress_width = static_cast<std::size_t>(n) - 1;
}

void erase_progress() {
  if (progress_width > 0) {
    std::printf("\r%*s\r", static_cast<int>(progress_width), "");
    std::fflush(stdout);
    progress_width = 0;
  }
}

}  // namespace

// Builds the name of the next component and, from a floppy, waits until the
// user has put in the disk that holds it.
void next_component(MergeRun& run, const BuildProfile& profile, int number) {
  component_name(run.FileName, sizeof run.FileName, run.Prefix, run.drive, number);
  if (run.drive != nullptr) {
    std::printf(kFloppyPrompt, run.drive, shown(run.FileName).text);
    read_answer(profile);
  }
}

Verdict open_and_judge(MergeRun& run, const BuildProfile& profile) {
  long long size = 0;
  switch (open_component(run, profile, size)) {
    case SizeQuery::open_failed:
      return Verdict::missing;
    case SizeQuery::status_failed:
      return Verdict::status_failed;
    case SizeQuery::stream_failed:
      return Verdict::stream_failed;
    case SizeQuery::ok:
      break;
  }
  run.component_size = size;
  if (run.index == 0) {
    const ComponentHeader header = read_first_header(run.fptr);
    run.count = header.count;
    std::memcpy(run.Target, header.name, sizeof run.Target);
    run.stamp = header.stamp;
    run.total_size = header.total_size;
    run.stored_checksum = header.checksum;
    run.data_length = header.data_length;
    return Verdict::good;  // its number and name are what the set is
  }
  const ComponentHeader header = read_continuation_header(run.fptr);
  std::memcpy(run.Targets, header.name, sizeof run.Targets);
  run.stored_checksum = header.checksum;
  run.data_length = header.data_length;
  run.sequence = header.sequence;
  // The name is compared only when the number is right.
  const Verdict verdict = header.sequence != run.index                ? Verdict::wrong_number
                          : std::strcmp(run.Target, run.Targets) != 0 ? Verdict::other_file
                                                                      : Verdict::good;
  if (verdict != Verdict::good) {
    std::fclose(run.fptr);
  }
  return verdict;
}

// The header is part of the file: a component cut short by even one byte of
// its data is one that cannot be whole.
bool is_cut_short(const MergeRun& run, long long& missing) {
  missing = run.data_length - (run.component_size - static_cast<long long>(kHeaderSize));
  return missing > 0;
}

// Copies the data of the open component into the target in blocks of whole
// 10000-byte chunks (the last one shorter), summing each block before it is
// written. A chunk that does not arrive whole ends the copy: neither it nor
// anything after it is summed or written. The target is unbuffered, so every
// byte is written, and a failure known, before the tool prints or asks
// anything again. On a terminal the blocks start small and grow while they
// come quickly, so that a slow medium (a floppy) still shows a sign of life.
Verdict copy_component(MergeRun& run, std::FILE* target) {
  run.sum = 0;
  run.remaining = run.data_length;
  std::size_t block = milliseconds != nullptr ? kChunkSize : kBlockSize;
  const std::uint32_t started = milliseconds != nullptr ? milliseconds() : 0;
  std::uint32_t shown_at = started;
  while (run.remaining > 0) {
    const std::uint32_t before = milliseconds != nullptr ? milliseconds() : 0;
    const std::size_t want = static_cast<std::size_t>(run.remaining) < block
                                 ? static_cast<std::size_t>(run.remaining)
                                 : block;
    const std::size_t got = std::fread(run.aa, 1, want, run.fptr);
    const std::size_t whole = got == want ? got : got - got % kChunkSize;
    run.sum = checksum_add(run.sum, run.aa, whole);
    if (target != nullptr && whole > 0 && std::fwrite(run.aa, whole, 1, target) != 1) {
      erase_progress();
      std::fclose(target);
      discard_unwritten(run);
    }
    run.remaining -= static_cast<std::int32_t>(whole);
    if (got != want) {
      break;
    }
    if (milliseconds != nullptr) {
      // The clock may wrap: its differences are taken unsigned.
      const std::uint32_t now = milliseconds();
      if (now - before < kQuickBlock && block < kBlockSize) {
        block = 2 * block < kBlockSize ? 2 * block : kBlockSize;
      }
      if (now - started >= kQuiet && now - shown_at >= kBetweenLines && run.remaining > 0) {
        show_progress(run, run.data_length - run.remaining);
        shown_at = now;
      }
    }
  }
  erase_progress();
  run.set_done += run.data_length - run.remaining;
  run.jj = static_cast<std::uint16_t>(run.sum);
  return run.jj != run.stored_checksum ? Verdict::bad_checksum : Verdict::good;
}

namespace {

// Opens the next component (not 00) and checks that it belongs to the set;
// whatever is wrong with it ends the merge with its message.
void open_continuation(MergeRun& run, const BuildProfile& profile) {
  next_component(run, profile, run.index);
  switch (open_and_judge(run, profile)) {
    case Verdict::missing:
      std::printf(kCannotOpen, shown(run.FileName).text);
      std::printf(kMergeAborted);
      abandon_target(run);
      finish(-1);
    case Verdict::status_failed:
      std::printf(kStatusFailed);
      finish(1);
    case Verdict::stream_failed:
      std::printf(kCannotOpenStream, shown(run.FileName).text);
      finish(-1);
    case Verdict::wrong_number:
    case Verdict::other_file:
      std::printf(kInvalidComponent, shown(run.FileName).text);
      abandon_target(run);
      finish(1);
    default:
      break;
  }
}

}  // namespace

// Fills `Created`: the stored name, unless it would write outside the current
// folder or, on Windows, to a device. A stored name that leaves no file name
// at all ("..", "/", ".") is kept as it is: nothing is created under it, and
// no notice names a replacement that would name nothing either. True for
// such a name.
bool choose_created_name(MergeRun& run, const BuildProfile& profile, bool announce) {
  const TargetName safe = safe_target_name(run.Target, profile.dos_paths);
  if (leaves_no_file(safe.name, profile.dos_paths)) {
    std::strcpy(run.Created, run.Target);
    return true;
  }
  std::strcpy(run.Created, safe.name);
  if (safe.replaced && announce) {
    std::printf(kStoredNameReplaced, shown(run.Target).text, shown(run.Created).text);
  }
  if (!profile.dos_paths || !is_device_name(run.Created)) {
    return false;
  }
  // The `_` goes in front of the last component, where the device is.
  char device[kNameBufferSize];
  std::strcpy(device, run.Created);
  const std::size_t folder = static_cast<std::size_t>(last_component(device, true) - device);
  run.Created[folder] = '_';  // a stored name has at most 78 bytes: there is room
  std::strcpy(run.Created + folder + 1, device + folder);
  if (announce) {
    std::printf(kDeviceNameReplaced, shown(device).text, shown(run.Created).text);
  }
  return false;
}

namespace {

// Writing the target over a component of its own set would destroy the set
// while it is read: each name of the set counts, whether that component
// exists or not, and where components may be read lower-cased, both
// spellings. Component 00 always counts: it is open already.
bool is_component_of_set(const MergeRun& run, const BuildProfile& profile) {
  char name[kNameBufferSize];
  for (int k = 0; k == 0 || k < run.count; ++k) {
    component_name(name, sizeof name, run.Prefix, run.drive, k);
    if (platform_same_file(run.Created, name)) {
      return true;
    }
    if (profile.lower_case_components) {
      *extension_letter(name) = 'z';
      if (platform_same_file(run.Created, name)) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace

// Component 00 is the set's only source of its count, name and size: where
// it cannot be read, nothing else can be said.
void open_component_00(MergeRun& run, const BuildProfile& profile) {
  switch (open_and_judge(run, profile)) {
    case Verdict::missing:
      std::printf(kCannotOpen, shown(run.FileName).text);
      finish(-1);
    case Verdict::status_failed:
      std::printf(kStatusFailed);
      finish(1);
    case Verdict::stream_failed:
      finish(-1);
    default:
      break;
  }
}

namespace {

// Opens component 00, learns the set from its header and creates the target.
void open_first(MergeRun& run, const BuildProfile& profile) {
  open_component_00(run, profile);
  std::printf(kFileSize, static_cast<long>(run.total_size));

  // A name that names no file is not asked about: creating it fails.
  const bool no_file = choose_created_name(run, profile, true);
  // Nor may it be written over the tool's own input or output
  // (`zunfelu report > report.txt`): the answers would be read from it and
  // the messages written into it.
  if (!no_file && (is_component_of_set(run, profile) || platform_is_standard_stream(run.Created))) {
    std::printf(kCannotCreate, shown(run.Created).text);
    finish(-1);
  }
  const bool exists = !no_file && platform_name_exists(run.Created);
  if (exists) {
    std::printf(kOverwrite, shown(run.Created).text);
    if (ask_yes_no(profile, Question::overwrite) == 'n') {
      finish(1);
    }
  }
  std::printf(kMerging, run.count, shown(run.Created).text);
  // Only an answered y may empty what is there: otherwise the create is
  // exclusive, so that a file that appeared meanwhile is never overwritten.
  run.optr = no_file ? nullptr : platform_create_target(run.Created, exists);
  if (run.optr == nullptr) {
    std::printf(kCannotCreate, shown(run.Created).text);
    finish(-1);
  }
  // Blocks go to the file as they are written: none is pending when the
  // tool next prints or asks, so a failed write is reported where it was.
  std::setvbuf(run.optr, nullptr, _IONBF, 0);
}

// Decides what becomes of the target once every component was copied, and
// yields the run's exit status.
int complete(MergeRun& run, const BuildProfile& profile) {
  // Closing flushes the stream's last bytes: its failure is a failed write.
  if (std::fclose(run.optr) != 0) {
    discard_unwritten(run);
  }
  if (run.errors > 0) {
    std::printf(kAbortQuestion, run.errors);
    if (ask_yes_no(profile, Question::abort) == 'y') {
      platform_delete_target(run.Created);
      finish(1);
    }
  }
  long long size = 0;
  run.f = platform_open_target(run.Created);
  switch (measure(run, size)) {
    case SizeQuery::open_failed:
    case SizeQuery::stream_failed:
      std::printf(kCannotOpen, shown(run.Created).text);
      finish(-1);
    case SizeQuery::status_failed:
      std::printf(kStatusFailed);
      finish(1);
    case SizeQuery::ok:
      break;
  }
  close(run.f);  // only the size was wanted
  run.utimebuf.actime = run.stamp;
  run.utimebuf.modtime = run.stamp;
  if (size != run.total_size) {
    if (run.total_size < 1) {
      std::printf(kOldVersion);  // kept, and given its times below
    } else {
      // Every write and the close succeeded, so this is no full disk: the
      // set's data do not add up (a damaged size field, a component from
      // another cut of the file), and the two sizes say by how much.
      std::printf(kSizeDiffers, shown(run.Created).text, size, static_cast<long>(run.total_size));
      discard_target(run);
    }
  }
  const bool set = (run.stamp == 0 && !profile.stamp_zero_sets_time) ||
                   platform_set_times(run.Created, run.utimebuf) == 0;
  platform_release_target();
  return set ? 0 : -1;
}

enum class Mode { merge, test, list };

// Takes the command line apart: the mode, the drive, the length limit, the
// base name.
Mode start_run(MergeRun& run, int argc, char** argv, const BuildProfile& profile) {
  std::printf(profile.banner, kCredit);
  if (argc < 2) {
    std::printf("%s", profile.usage);
    finish(-1);
  }
  // Only these exact words ask about the tool or choose a mode; every other
  // argument is a set.
  if (std::strcmp(argv[1], "--help") == 0 ||
      (profile.help_switch != nullptr && std::strcmp(argv[1], profile.help_switch) == 0)) {
    std::printf("%s%s", profile.usage, profile.help);
    finish(0);
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("%s", profile.version);
    finish(0);
  }
  const Mode mode = std::strcmp(argv[1], "--test") == 0   ? Mode::test
                    : std::strcmp(argv[1], "--list") == 0 ? Mode::list
                                                          : Mode::merge;
  if (mode != Mode::merge) {
    --argc;
    ++argv;  // the set and the drive follow the mode's word
    if (argc < 2) {
      std::printf("%s", profile.usage);
      finish(-1);
    }
  }
  if (profile.drive_option && argc >= 3) {
    for (const char* drive : kDrives) {
      if (std::strcmp(argv[2], drive) == 0) {
        run.drive = argv[2];
      }
    }
    if (run.drive == nullptr) {
      std::printf("%s", profile.usage);
      finish(-1);
    }
  }
  if (std::strlen(argv[1]) > kMaxArgumentLength) {
    std::printf(kPathTooLong);
    finish(1);
  }
  std::strcpy(run.FileName, argv[1]);
  // The base name ends at the first dot of the last path component: dots in
  // folder names ("./", "../sets/", "john.doe\\") belong to the folder.
  const char* dot = std::strchr(last_component(run.FileName, profile.dos_paths), '.');
  const std::size_t length =
      dot != nullptr ? static_cast<std::size_t>(dot - run.FileName) : std::strlen(run.FileName);
  std::memcpy(run.Prefix, run.FileName, length);
  return mode;
}

}  // namespace

int run_merge(int argc, char** argv, const BuildProfile& profile) {
  reads_utf8 = profile.reads_utf8;
  utf8_controls = profile.utf8_controls;
  const Mode mode = start_run(run, argc, argv, profile);
  const bool terminal = profile.output_is_terminal != nullptr && profile.output_is_terminal();
  milliseconds = terminal ? profile.milliseconds : nullptr;
  if (mode == Mode::test) {
    return test_set(run, profile);
  }
  if (mode == Mode::list) {
    return list_set(run, profile);
  }
  next_component(run, profile, 0);
  open_first(run, profile);
  for (run.index = 0; run.index < run.count; ++run.index) {
    if (run.index >= 1) {
      open_continuation(run, profile);
    }
    std::printf(kReading, shown(run.FileName).text);
    long long missing = 0;
    if (is_cut_short(run, missing)) {
      std::printf(kInvalidComponent, shown(run.FileName).text);
      abandon_target(run);
      finish(1);
    }
    if (copy_component(run, run.optr) == Verdict::bad_checksum) {
      std::printf(kChecksumError, shown(run.FileName).text,
                  static_cast<unsigned>(run.stored_checksum), static_cast<unsigned>(run.jj));
      ++run.errors;
    }
    std::fclose(run.fptr);
  }
  if (run.count <= 0) {
    std::fclose(run.fptr);  // component 00 was opened for its header only
  }
  return complete(run, profile);
}
