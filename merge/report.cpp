// The set's test and list: what a merge would find, said of every component,
// without creating, emptying or asking anything.
#include <cstdio>
#include <cstring>

#include "steps.hpp"
#include "target_name.hpp"

namespace {

constexpr const char kComponentLine[] = "%s: %s: %s\n";
constexpr const char kClosingLine[] = "%s: %d %s, %s: %s\n";
constexpr const char kListedLine[] = "%s: %s (%ld bytes)%s\n";
constexpr const char kListedProblem[] = "%s: %s\n";
constexpr const char kStoredName[] = "Stored name: %s\n";
constexpr const char kCreatedAs[] = "Created as: %s\n";
constexpr const char kListedSize[] = "Size: %s\n";
constexpr const char kListedTime[] = "Time: %s\n";
constexpr const char kListedCount[] = "Components: %d\n";

// "bytes 0-9999", "bytes 20000-?", "bytes ?-39999", "no bytes". `next` is
// where the component starts in the whole file, as far as the lengths read
// so far tell, or -1 when one before it gave no length that can be trusted;
// it moves on to where the next one starts. `length` is -1 where this
// component's header cannot be trusted; the last component ends where the
// recorded size does.
void place(const MergeRun& run, long long& next, long long length, char (&text)[64]) {
  const long long start = next;
  long long end = start >= 0 && length >= 0 ? start + length - 1 : -1;
  if (end < 0 && run.index == run.count - 1 && run.total_size > 0) {
    end = run.total_size - 1;
  }
  const long long first = start >= 0 ? start : (end >= 0 && length >= 0 ? end - length + 1 : -1);
  next = start >= 0 && length >= 0 ? start + length : -1;
  if (length == 0) {
    std::snprintf(text, sizeof text, "no bytes");
  } else if (first >= 0 && end >= 0) {
    std::snprintf(text, sizeof text, "bytes %lld-%lld", first, end);
  } else if (first >= 0) {
    std::snprintf(text, sizeof text, "bytes %lld-?", first);
  } else if (end >= 0) {
    std::snprintf(text, sizeof text, "bytes ?-%lld", end);
  } else {
    std::snprintf(text, sizeof text, "bytes ?");
  }
}

// A component of this set, whatever its data: it is still open, and its
// header's length can be trusted.
bool is_of_the_set(Verdict verdict) {
  return verdict == Verdict::good || verdict == Verdict::cut_short ||
         verdict == Verdict::bad_checksum;
}

// The length of data a component's header counts, where its header is one
// of this set's; a negative length copies nothing.
long long trusted_length(const MergeRun& run, Verdict verdict) {
  if (!is_of_the_set(verdict)) {
    return -1;
  }
  return run.data_length > 0 ? run.data_length : 0;
}

// What is wrong with a component, in words.
void describe(const MergeRun& run, Verdict verdict, long long missing, char (&text)[512]) {
  switch (verdict) {
    case Verdict::good:
      std::snprintf(text, sizeof text, "good");
      break;
    case Verdict::missing:
      std::snprintf(text, sizeof text, "missing or not a file");
      break;
    case Verdict::status_failed:
      std::snprintf(text, sizeof text, "its size cannot be read");
      break;
    case Verdict::stream_failed:
      std::snprintf(text, sizeof text, "cannot be read");
      break;
    case Verdict::wrong_number:
      std::snprintf(text, sizeof text, "carries number %d instead of %d", run.sequence, run.index);
      break;
    case Verdict::other_file:
      std::snprintf(text, sizeof text, "belongs to another file: %s", shown(run.Targets).text);
      break;
    case Verdict::cut_short:
      std::snprintf(text, sizeof text, "cut short by %lld bytes", missing);
      break;
    case Verdict::bad_checksum:
      std::snprintf(text, sizeof text, "checksum error, should be %04X is %04X",
                    static_cast<unsigned>(run.stored_checksum), static_cast<unsigned>(run.jj));
      break;
  }
}

// The status a merge would end with at this fault.
int status_of(Verdict verdict) {
  return verdict == Verdict::missing || verdict == Verdict::stream_failed ? -1 : 1;
}

// Opens and judges component `run.index`, component 00 included (it was
// opened already); a component that passed is left open.
Verdict judge_next(MergeRun& run, const BuildProfile& profile, long long& missing) {
  Verdict verdict = Verdict::good;
  if (run.index >= 1) {
    next_component(run, profile, run.index);
    verdict = open_and_judge(run, profile);
  }
  if (verdict == Verdict::good && is_cut_short(run, missing)) {
    verdict = Verdict::cut_short;
  }
  return verdict;
}

// The recorded size in words.
void size_text(const MergeRun& run, char (&text)[64]) {
  if (run.total_size > 0) {
    std::snprintf(text, sizeof text, "%ld bytes", static_cast<long>(run.total_size));
  } else {
    std::snprintf(text, sizeof text, "size not recorded");
  }
}

// A stamp as UTC in ISO 8601 form, counted out without the C library, whose
// Windows form knows no moment before 1970.
void iso_time(std::int32_t stamp, char (&text)[32]) {
  long long days = stamp / 86400;
  long long seconds = stamp % 86400;
  if (seconds < 0) {
    seconds += 86400;
    --days;
  }
  // Days since 1970-01-01 to a civil date (the proleptic Gregorian calendar).
  const long long z = days + 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const long long day = doy - (153 * mp + 2) / 5 + 1;
  const long long month = mp < 10 ? mp + 3 : mp - 9;
  const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", year, month, day,
                seconds / 3600, seconds / 60 % 60, seconds % 60);
}

}  // namespace

// Reads and checks every component as a merge does, going on past each
// fault, and ends with the status a merge would have ended with at the
// set's first fault (a checksum error as if the abort question had been
// answered y).
int test_set(MergeRun& run, const BuildProfile& profile) {
  next_component(run, profile, 0);
  open_component_00(run, profile);
  long long next = 0;
  int faults = 0;
  int status = 0;
  for (run.index = 0; run.index < run.count; ++run.index) {
    long long missing = 0;
    Verdict verdict = judge_next(run, profile, missing);
    if (verdict == Verdict::good) {
      verdict = copy_component(run, nullptr);
    }
    if (is_of_the_set(verdict)) {
      std::fclose(run.fptr);
    }
    char range[64];
    char what[512];
    place(run, next, trusted_length(run, verdict), range);
    describe(run, verdict, missing, what);
    std::printf(kComponentLine, shown(run.FileName).text, range, what);
    if (verdict != Verdict::good && faults++ == 0) {
      status = status_of(verdict);  // where a merge would have ended
    }
  }
  if (run.count <= 0) {
    std::fclose(run.fptr);  // component 00 was opened for its header only
  }
  char size[64];
  size_text(run, size);
  char verdict[128];
  if (faults > 0) {
    std::snprintf(verdict, sizeof verdict, "%d %s attention", faults,
                  faults == 1 ? "component needs" : "components need");
  } else if (run.total_size > 0 && run.set_done != run.total_size) {
    std::snprintf(verdict, sizeof verdict, "the components hold %lld bytes", run.set_done);
    status = -1;  // the merge's rebuilt size would not be the recorded one
  } else {
    std::snprintf(verdict, sizeof verdict, "complete and undamaged");
  }
  std::printf(kClosingLine, shown(run.Target).text, run.count,
              run.count == 1 ? "component" : "components", size, verdict);
  return status;
}

// Tells what the set holds from its headers alone: no component's data are
// read, which on a floppy is most of the time a test takes.
int list_set(MergeRun& run, const BuildProfile& profile) {
  run.headers_only = true;
  next_component(run, profile, 0);
  open_component_00(run, profile);
  std::printf(kStoredName, shown(run.Target).text);
  choose_created_name(run, profile, false);
  if (std::strcmp(run.Created, run.Target) != 0) {
    std::printf(kCreatedAs, shown(run.Created).text);
  }
  char size[64];
  size_text(run, size);
  std::printf(kListedSize, size);
  char when[32];
  iso_time(run.stamp, when);
  std::printf(kListedTime, when);
  std::printf(kListedCount, run.count);
  long long next = 0;
  int status = 0;
  for (run.index = 0; run.index < run.count; ++run.index) {
    long long missing = 0;
    const Verdict verdict = judge_next(run, profile, missing);
    const long long length = trusted_length(run, verdict);
    char range[64];
    place(run, next, length, range);
    char what[512];
    describe(run, verdict, missing, what);
    if (is_of_the_set(verdict)) {
      std::fclose(run.fptr);
      char shortfall[600] = "";
      if (verdict == Verdict::cut_short) {
        std::snprintf(shortfall, sizeof shortfall, ", %s", what);
      }
      std::printf(kListedLine, shown(run.FileName).text, range, static_cast<long>(length),
                  shortfall);
    } else {
      std::printf(kListedProblem, shown(run.FileName).text, what);
    }
    if (verdict != Verdict::good) {
      status = 1;
    }
  }
  if (run.count <= 0) {
    std::fclose(run.fptr);
  }
  return status;
}
