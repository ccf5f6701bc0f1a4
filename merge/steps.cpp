#include "steps.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform.hpp"

namespace {

constexpr const char kFloppyPrompt[] =
    "Please insert floppy into drive %s with %s\nPress any key when ready ...\n";
constexpr const char kStoredNameReplaced[] =
    "Stored name %s is not a plain relative path, creating %s instead\n";
constexpr const char kDeviceNameReplaced[] =
    "Stored name %s is a device name, creating %s instead\n";
constexpr const char kDiskWrite[] = "Disk write error or disk full!!!\nMerge ABORTED";
constexpr const char kOverwrite[] = "File %s exists, overwrite (y/n)?\n";
constexpr const char kCannotCreate[] = "Can not create %s";

// Which terminal controls are escaped in names shown. Only a byte of 0x80 or
// more makes the terminal's character set matter: it is asked for then, once.
bool (*reads_utf8)() = nullptr;
bool utf8_controls = false;
bool c1_bytes = false;

// A sign of life on a terminal while a component's data take long: one line
// of how far the component and the whole file are, rewritten in place at
// most four times a second and blanked out before anything else is printed,
// so that the screen ends as it would have without it. Elsewhere (a file, a
// pipe) nothing of it is written and no clock is read.
// The profile's clock where output is a terminal; null elsewhere.
std::uint32_t (*milliseconds)() = nullptr;
int (*terminal_width)() = nullptr;
constexpr std::uint32_t kQuiet = 1000;  // before the first line
constexpr std::uint32_t kBetweenLines = 250;
constexpr std::uint32_t kQuickBlock = 50;  // a block may grow
// What blanks the line on the screen out again: a carriage return, a blank
// for each of its columns and a carriage return; empty while none shows.
char progress_blank[82];
std::size_t progress_blank_length = 0;

}  // namespace

void begin_steps(const BuildProfile& profile) {
  reads_utf8 = profile.reads_utf8;
  utf8_controls = profile.utf8_controls;
  const bool terminal = profile.output_is_terminal != nullptr && profile.output_is_terminal();
  milliseconds = terminal ? profile.milliseconds : nullptr;
  terminal_width = profile.terminal_width;
}

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

// Standard output may be a pipe or a file and so block-buffered: what the
// user is asked must be out before the tool waits for the answer.
int read_answer(const BuildProfile& profile) {
  std::fflush(stdout);
  return profile.answer_input();
}

namespace {

int fold(int c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

}  // namespace

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

bool ask_before_overwriting(const MergeRun& run, const BuildProfile& profile, bool no_file) {
  if (!no_file && is_refused_name(run, profile)) {
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
  return exists;
}

void create_target(MergeRun& run, bool no_file, bool exists) {
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

namespace {

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

}  // namespace

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

namespace {

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
  return SizeQuery::ok;
}

// Reads `want` bytes at `offset` of the open component into `into`, fewer
// only at its end; -1 when the system could not read them.
long long read_at(MergeRun& run, unsigned char* into, std::size_t want, long long offset) {
  std::size_t got = 0;
  while (got < want) {
    const long long n = platform_read_at(fileno(run.fptr), into + got, want - got,
                                         offset + static_cast<long long>(got), run.read_error);
    if (n < 0) {
      return -1;
    }
    if (n == 0) {
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  return static_cast<long long>(got);
}

// Notes the data bytes `from` to `to` as unreadable, joined to the stretch
// before them where they follow it.
void note_unreadable(MergeRun& run, long long from, long long to) {
  run.unreadable_bytes += to - from + 1;
  const int last = run.unreadable_count - 1;
  if (last >= 0 && last < kNamedStretches && run.unreadable[last].to + 1 == from) {
    run.unreadable[last].to = to;
    return;
  }
  if (run.unreadable_count < kNamedStretches) {
    run.unreadable[run.unreadable_count] = {from, to};
  }
  ++run.unreadable_count;
}

// Reads `want` bytes of data from data offset `at` into `aa`; fewer only at
// the file's end. Where the system cannot read the block, it is read again
// sector by sector (the file's own sectors, as the disk holds them): each
// sector that cannot be read is noted and left as zeros, and reading goes on
// past it, unless the run stops at the first.
std::size_t read_block(MergeRun& run, std::size_t want, long long at) {
  const long long offset = static_cast<long long>(kHeaderSize) + at;
  const long long got = read_at(run, run.aa, want, offset);
  if (got >= 0) {
    return static_cast<std::size_t>(got);
  }
  std::size_t done = 0;
  while (done < want) {
    const long long here = offset + static_cast<long long>(done);
    const std::size_t rest = want - done;
    const std::size_t to_boundary = static_cast<std::size_t>(kSectorSize - here % kSectorSize);
    const std::size_t piece = rest < to_boundary ? rest : to_boundary;
    const long long n = read_at(run, run.aa + done, piece, here);
    if (n < 0) {
      const long long first = at + static_cast<long long>(done);
      note_unreadable(run, first, first + static_cast<long long>(piece) - 1);
      std::memset(run.aa + done, 0, piece);
      if (!run.read_on) {
        return done;
      }
    } else if (static_cast<std::size_t>(n) < piece) {
      return done + static_cast<std::size_t>(n);
    }
    done += piece;
  }
  return done;
}

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
  // The line stays one column short of the terminal's width: it never
  // wraps, which would leave a line behind at each update.
  const int columns = terminal_width != nullptr ? terminal_width() : 0;
  if (columns > 1 && n - 1 > columns - 1) {
    n = columns;
  }
  if (columns == 1) {
    return;
  }
  // The handler has the blank before any of the line is on the screen (a
  // signal may come the moment it is), and never sees it half made.
  platform_note_progress(nullptr, 0);
  progress_blank_length = static_cast<std::size_t>(n) + 1;
  std::memset(progress_blank, ' ', progress_blank_length);
  progress_blank[0] = '\r';
  progress_blank[n] = '\r';
  platform_note_progress(progress_blank, progress_blank_length);
  std::fwrite(line, 1, static_cast<std::size_t>(n), stdout);
  std::fflush(stdout);
}

void erase_progress() {
  if (progress_blank_length > 0) {
    platform_note_progress(nullptr, 0);
    std::fwrite(progress_blank, 1, progress_blank_length, stdout);
    std::fflush(stdout);
    progress_blank_length = 0;
  }
}

// A target that is not the whole file is never left behind as if it were.
[[noreturn]] void discard_target(MergeRun& run) {
  platform_delete_target(run.Created);
  finish(-1);
}

}  // namespace

void discard_unwritten(MergeRun& run) {
  std::printf(kDiskWrite);
  discard_target(run);
}

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
  run.header_unreadable = false;
  run.unreadable_count = 0;
  run.unreadable_bytes = 0;
  unsigned char bytes[kHeaderSize];
  run.header_got = read_at(run, bytes, sizeof bytes, 0);
  if (run.header_got < 0) {
    run.header_got = 0;
    run.header_unreadable = true;
  }
  const std::size_t got = static_cast<std::size_t>(run.header_got);
  if (run.index == 0) {
    const ComponentHeader header = decode_first_header(bytes, got);
    run.count = header.count;
    std::memcpy(run.Target, header.name, sizeof run.Target);
    run.stamp = header.stamp;
    run.total_size = header.total_size;
    run.stored_checksum = header.checksum;
    run.data_length = header.data_length;
    run.sequence = header.sequence;
    // Its number and name are what the set is.
    return run.header_unreadable ? Verdict::unreadable : Verdict::good;
  }
  const ComponentHeader header = decode_continuation_header(bytes, got);
  std::memcpy(run.Targets, header.name, sizeof run.Targets);
  run.stored_checksum = header.checksum;
  run.data_length = header.data_length;
  run.sequence = header.sequence;
  // The name is compared only when the number is right.
  const Verdict verdict = run.header_unreadable                       ? Verdict::unreadable
                          : header.sequence != run.index              ? Verdict::wrong_number
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
  run.data_got = 0;
  run.remaining = run.data_length;
  std::size_t block = milliseconds != nullptr ? kChunkSize : kBlockSize;
  const std::uint32_t started = milliseconds != nullptr ? milliseconds() : 0;
  std::uint32_t shown_at = started;
  while (run.remaining > 0) {
    const std::uint32_t before = milliseconds != nullptr ? milliseconds() : 0;
    const std::size_t want = static_cast<std::size_t>(run.remaining) < block
                                 ? static_cast<std::size_t>(run.remaining)
                                 : block;
    const std::size_t got = read_block(run, want, run.data_length - run.remaining);
    const std::size_t whole = got == want ? got : got - got % kChunkSize;
    run.sum = checksum_add(run.sum, run.aa, whole);
    run.data_got += static_cast<long long>(got);
    const std::size_t kept = run.read_on ? got : whole;
    if (target != nullptr && kept > 0 && std::fwrite(run.aa, kept, 1, target) != 1) {
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
  if (run.unreadable_count > 0) {
    return Verdict::unreadable;
  }
  return run.jj != run.stored_checksum ? Verdict::bad_checksum : Verdict::good;
}

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

// Nor may it be written over the tool's own input or output
// (`zunfelu report > report.txt`): the answers would be read from it and
// the messages written into it.
bool is_refused_name(const MergeRun& run, const BuildProfile& profile) {
  return is_component_of_set(run, profile) || platform_is_standard_stream(run.Created);
}
