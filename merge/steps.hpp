// The steps that the merge shares with the set's test and list: one place
// decides what is wrong with a component, so that they can never disagree.
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
  wrong_number,   // its header carries another component's number
  other_file,     // its header carries another file's name
  cut_short,      // shorter than the data its header counts
  bad_checksum,   // its data do not add up to the stored checksum
};

// A name as it is shown to the terminal at hand.
ShownName shown(const char* name);

// Builds the name of component `number` in `FileName` and, from a floppy,
// waits until the user has put in the disk that holds it.
void next_component(MergeRun& run, const BuildProfile& profile, int number);

// Opens component 00 and reads the set from its header; where it cannot be
// read, the run ends with the merge's message.
void open_component_00(MergeRun& run, const BuildProfile& profile);

// Opens the component named in `FileName` (component `run.index`), reads its
// header into the run and judges its number and carried name. With `good`
// the component stays open as `fptr`; otherwise it is closed again.
Verdict open_and_judge(MergeRun& run, const BuildProfile& profile);

// True when the open component holds fewer data bytes than its header counts;
// `missing` receives how many fewer.
bool is_cut_short(const MergeRun& run, long long& missing);

// Reads the open component's data in whole chunks, sums them into `jj` and,
// with a target, writes them there; `bad_checksum` or `good`. A failed write
// ends the run as a full disk does.
Verdict copy_component(MergeRun& run, std::FILE* target);

// Fills `Created`: the stored name, or the safe name it is created under;
// with `announce`, a replaced name is said. True when the stored name leaves
// no file name at all.
bool choose_created_name(MergeRun& run, const BuildProfile& profile, bool announce);

// The set's test and list: each reports on every component and yields the
// exit status.
int test_set(MergeRun& run, const BuildProfile& profile);
int list_set(MergeRun& run, const BuildProfile& profile);

// Ends the run with `status`, whatever the target holds being its verdict.
[[noreturn]] void finish(int status);
