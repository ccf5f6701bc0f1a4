// The merge engine: one run from the command line to the exit status, shared
// by both programs. Everything that differs between them is a field of the
// build profile or a function of the small platform piece (platform.hpp).
#pragma once

#include <sys/stat.h>
#include <utime.h>

#include <cstdint>
#include <cstdio>

#include "format.hpp"

// The unit that decides what is accepted of a component's data.
constexpr std::size_t kChunkSize = 10000;
// Data move in blocks of whole chunks, one read and one write each.
constexpr std::size_t kBlockChunks = 52;
constexpr std::size_t kBlockSize = kBlockChunks * kChunkSize;
constexpr std::size_t kMaxArgumentLength = 80;
// A read that fails is read again in pieces of a floppy's sector, so that
// only what the drive cannot read is lost.
constexpr long long kSectorSize = 512;
// The unreadable stretches of one component that are named one by one.
constexpr int kNamedStretches = 8;
constexpr std::size_t kReasonSize = 128;

// A stretch of a component's data that could not be read: its first and
// last byte, counted from the start of the component's data.
struct Stretch {
  long long from;
  long long to;
};

// The constant record of one program, chosen when it is built.
struct BuildProfile {
  const char* banner;  // printf format; its %s receives the credit text
  const char* usage;
  bool drive_option;          // a second argument may name floppy drive A: or B:
  int (*answer_input)();      // next answer character, or EOF when none can come
  bool echo_answers;          // answers are shown, as the console does not echo them
  bool stamp_zero_sets_time;  // a recorded stamp of 0 still sets the target's times
  bool dos_paths;             // '\\' and drive letters count in a stored target name
  bool utf8_controls;         // the terminal reads UTF-8: its controls are escaped in names
  // Whether the terminal reads UTF-8, asked when a name first holds a byte of
  // 0x80 or more; where it does not, the single bytes 0x80-0x9F are escaped
  // instead of the UTF-8 controls. Null: `utf8_controls` holds.
  bool (*reads_utf8)();
  bool lower_case_components;  // a missing "P.Zkk" is read as "P.zkk" (names are case-sensitive)
  const char* help_switch;     // besides --help, or null
  const char* help;            // what the tool does and where its manual is
  const char* version;         // the release, as --version prints it
  // Whether standard output is a terminal (a console), where a long read
  // shows a sign of life; null: never.
  bool (*output_is_terminal)();
  // A clock in milliseconds that only goes forward (it may wrap), for the
  // sign of life.
  std::uint32_t (*milliseconds)();
  // The columns of the terminal (the console) that standard output is, or 0
  // when that cannot be told: the sign of life never wraps.
  int (*terminal_width)();
  // A file can be given a moment before 1970 (a negative stamp).
  bool sets_times_before_1970;
};

// All state of one run; it lives for the whole process.
struct MergeRun {
  char FileName[kNameBufferSize];  // the current component
  char Prefix[kNameBufferSize];    // the base name of the set
  const char* drive;               // the floppy drive as typed, or null
  char Target[kNameBufferSize];    // the name the first header carries
  char Targets[kNameBufferSize];   // the name the current continuation header carries
  char Created[kNameBufferSize];   // the name the target is created under
  std::FILE* fptr;                 // the component being read
  std::FILE* optr;                 // the target being written
  int f;                           // short-lived descriptor of a size query
  struct stat buf;
  unsigned char aa[kBlockSize];  // a block of whole chunks of component data
  std::uint16_t jj;              // computed checksum of the current component
  struct utimbuf utimebuf;
  // From the first header, kept for the whole run.
  int count;
  std::int32_t stamp;
  std::int32_t total_size;
  // From the header of the current component.
  std::uint16_t stored_checksum;
  std::int32_t data_length;
  long long component_size;  // header included, as large as the file is
  int index;
  std::uint32_t sum;
  std::int32_t remaining;
  int errors;
  int sequence;          // the number the current continuation header carries
  long long set_done;    // data bytes of the whole file read so far
  long long header_got;  // bytes of the current header that arrived
  long long data_got;    // bytes of the current component's data that arrived
  // What of the current component could not be read: its header, or these
  // stretches of its data (all of them counted, the first ones named), and
  // the system's reason for the first.
  bool header_unreadable;
  Stretch unreadable[kNamedStretches];
  int unreadable_count;
  long long unreadable_bytes;
  char read_error[kReasonSize];
  // Reading goes on past a stretch that cannot be read, and every byte that
  // arrived is written, also of a chunk that did not arrive whole.
  bool read_on;
};

// The credit text that fills both banners.
extern const char kCredit[];

// Runs one merge and returns its exit status; a failure ends the process
// directly with its status, after its message.
int run_merge(int argc, char** argv, const BuildProfile& profile);
