#include "merge.hpp"

#include <fcntl.h>
#include <unistd.h>

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
constexpr const char kMerging[] = "Merging %d files to create: %s\n";
constexpr const char kMergeAborted[] = "Merge aborted\n";
constexpr const char kCannotOpenStream[] = "Can not open file %s\n";
constexpr const char kInvalidComponent[] = "Invalid Component File: %s\nMerge aborted\n";
constexpr const char kReading[] = "Reading %s\n";
constexpr const char kChecksumError[] = "Checksum error for file %s should be %04X is %04X\n";
constexpr const char kAbortQuestion[] = " %d checksum errors, abort merge (y/n)?\n";
constexpr const char kOldVersion[] = "component files created with DIVVLE ver 1.02\n";
constexpr const char kSizeDiffers[] = "Size of %s is %lld, the set records %ld\nMerge ABORTED\n";
constexpr const char kCannotRead[] = "Can not read %s, %s: %s\nMerge aborted\n";

constexpr const char* kDrives[] = {"A:", "B:", "a:", "b:"};

MergeRun run;

// A disk that cannot be read is named as such, never as a checksum error:
// which component, where in the file (its header, or its first stretch that
// could not be read, by the file's bytes from `start`) and the system's
// reason.
void say_unreadable(const MergeRun& run, long long start) {
  char where[64] = "its header";
  if (!run.header_unreadable) {
    std::snprintf(where, sizeof where, "bytes %lld-%lld of the file",
                  start + run.unreadable[0].from, start + run.unreadable[0].to);
  }
  std::printf(kCannotRead, shown(run.FileName).text, where, run.read_error);
}

void abandon_target(MergeRun& run) {
  std::fclose(run.optr);
  platform_delete_target(run.Created);
}

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
    case Verdict::unreadable:
      say_unreadable(run, run.set_done);
      abandon_target(run);
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
    case Verdict::unreadable:
      say_unreadable(run, 0);
      finish(-1);
    default:
      break;
  }
}

// Opens component 00, learns the set from its header and creates the target.
void open_first(MergeRun& run, const BuildProfile& profile) {
  open_component_00(run, profile);
  std::printf(kFileSize, static_cast<long>(run.total_size));

  // A name that names no file is not asked about: creating it fails.
  const bool no_file = choose_created_name(run, profile, true);
  const bool exists = ask_before_overwriting(run, profile, no_file);
  std::printf(kMerging, run.count, shown(run.Created).text);
  create_target(run, no_file, exists);
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
      platform_delete_target(run.Created);
      finish(-1);
    }
  }
  const bool set = (run.stamp == 0 && !profile.stamp_zero_sets_time) ||
                   platform_set_times(run.Created, run.utimebuf) == 0;
  platform_release_target();
  return set ? 0 : -1;
}

enum class Mode { merge, test, list, salvage };

// Only these exact words choose a mode; every other argument is a set.
Mode mode_of(const char* word) {
  return std::strcmp(word, "--test") == 0      ? Mode::test
         : std::strcmp(word, "--list") == 0    ? Mode::list
         : std::strcmp(word, "--salvage") == 0 ? Mode::salvage
                                               : Mode::merge;
}

[[noreturn]] void refuse_usage(const BuildProfile& profile) {
  std::printf("%s", profile.usage);
  finish(-1);
}

// Takes the command line apart: the mode, the drive, the length limit, the
// base name.
Mode start_run(MergeRun& run, int argc, char** argv, const BuildProfile& profile) {
  std::printf(profile.banner, kCredit);
  if (argc < 2) {
    refuse_usage(profile);
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
  const Mode mode = mode_of(argv[1]);
  // A mode's word later on (`report --test`) would otherwise be ignored and
  // the set merged: it is refused before anything is read.
  for (int i = 2; i < argc; ++i) {
    if (mode_of(argv[i]) != Mode::merge) {
      refuse_usage(profile);
    }
  }
  if (mode != Mode::merge) {
    --argc;
    ++argv;  // the set and the drive follow the mode's word
    // One set, and a drive where there may be one: a second set
    // (`--list a b`) would otherwise go unchecked.
    if (argc < 2 || argc > (profile.drive_option ? 3 : 2)) {
      refuse_usage(profile);
    }
  }
  if (profile.drive_option && argc >= 3) {
    for (const char* drive : kDrives) {
      if (std::strcmp(argv[2], drive) == 0) {
        run.drive = argv[2];
      }
    }
    if (run.drive == nullptr) {
      refuse_usage(profile);
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
  begin_steps(profile);
  const Mode mode = start_run(run, argc, argv, profile);
  if (mode == Mode::test) {
    return test_set(run, profile);
  }
  if (mode == Mode::list) {
    return list_set(run, profile);
  }
  if (mode == Mode::salvage) {
    return salvage_set(run, profile);
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
    const long long start = run.set_done;
    const Verdict verdict = copy_component(run, run.optr);
    if (verdict == Verdict::unreadable) {
      say_unreadable(run, start);
      abandon_target(run);
      finish(-1);
    }
    if (verdict == Verdict::bad_checksum) {
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
