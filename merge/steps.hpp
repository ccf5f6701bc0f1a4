// The steps that the merge shares with the set's test, list and salvage:
// opening, judging and reading a component, and the name the file is made
// under. One place decides what is wrong with a component, so that they can
// never disagree.
#pragma once

#include <cstdio>

#include "merge.hpp"
#include "target_name.hpp"

// What a component is found to be, in the order the checks are made.
enum class Verdict {
  good,
  missing,        // nothing that is a readable regular file at its name
  status_failed,  // its size could not be asked for
  stream_failed,  // no stream could be made for it
  unreadable,     // the system could not read its header or some of its data
  wrong_number,   // its header carries another component's number
  other_file,     // its header carries another file's name
  cut_short,      // shorter than the data its header counts
  bad_checksum,   // its data do not add up to the stored checksum
};

enum class SizeQuery { ok, open_failed, status_failed, stream_failed };

// Sets up what the steps take from the profile: the terminal's character
// set and, where output is a terminal, the sign of life's clock.
void begin_steps(const BuildProfile& profile);

// A name as it is shown to the terminal at hand.
ShownName shown(const char* name);

// Ends the run with `status`, whatever the target holds being its verdict.
[[noreturn]] void finish(int status);

// The next answer character; what was printed is out first.
int read_answer(const BuildProfile& profile);

enum class Question { overwrite, abort };

// Asks the y/n question that the caller printed; 'y' or 'n'.
int ask_yes_no(const BuildProfile& profile, Question kind);

// Where the file may not be made under `Created` (the set's own component,
// the tool's own input or output), says so and ends the run. Where a file
// is there, asks whether it may be overwritten; the answer n ends the run.
// True when a file is there and may be overwritten.
bool ask_before_overwriting(const MergeRun& run, const BuildProfile& profile, bool no_file);

// Creates the file under `Created` as `optr`, unbuffered, emptying what is
// there only with `exists` (the user said y); where that fails, says so and
// ends the run.
void create_target(MergeRun& run, bool no_file, bool exists);

// Asks for the size of the file open as `run.f`, which stays open for the
// caller on success; anything but a regular file counts as one that cannot
// be opened.
SizeQuery measure(MergeRun& run, long long& size);

// Builds the name of component `number` in `FileName` and, from a floppy,
// waits until the user has put in the disk that holds it.
void next_component(MergeRun& run, const BuildProfile& profile, int number);

// Opens the component named in `FileName` (component `run.index`), reads its
// header into the run and judges its number and carried name. With `good`
// the component stays open as `fptr`; otherwise it is closed again.
Verdict open_and_judge(MergeRun& run, const BuildProfile& profile);

// True when the open component holds fewer data bytes than its header counts;
// `missing` receives how many fewer.
bool is_cut_short(const MergeRun& run, long long& missing);

// Reads the open component's data in whole chunks, sums them into `jj` and,
// with a target, writes them there; `unreadable`, `bad_checksum` or `good`.
// A failed write ends the run as a full disk does.
Verdict copy_component(MergeRun& run, std::FILE* target);

// Fills `Created`: the stored name, or the safe name it is created under;
// with `announce`, a replaced name is said. True when the stored name leaves
// no file name at all.
bool choose_created_name(MergeRun& run, const BuildProfile& profile, bool announce);

// True when the file may not be made under `Created`: it would be written
// over a component of its own set or over the tool's own input or output.
bool is_refused_name(const MergeRun& run, const BuildProfile& profile);

// The target is closed already; it goes, and the run ends with the message
// of a failed write.
[[noreturn]] void discard_unwritten(MergeRun& run);

// The set's test and list: each reports on every component and yields the
// exit status.
int test_set(MergeRun& run, const BuildProfile& profile);
int list_set(MergeRun& run, const BuildProfile& profile);
// What a broken set still holds, each byte at its place, into a file of its
// own; its status is the test's, or 0 when nothing was lost.
int salvage_set(MergeRun& run, const BuildProfile& profile);
