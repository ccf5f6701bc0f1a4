// The set's test and list: what a merge would find, said of every component,
// without creating, emptying or asking anything.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform.hpp"
#include "steps.hpp"
#include "target_name.hpp"

namespace {

// One status per outcome, the same on both programs, so that a script can
// tell them apart.
constexpr int kWhole = 0;        // a merge here would rebuild the file
constexpr int kDamaged = 2;      // a checksum error, a component cut short or unreadable
constexpr int kIncomplete = 3;   // a component missing, of another file or misnumbered
constexpr int kNotASet = 4;      // component 00 is not the start of a set
constexpr int kRefusedHere = 5;  // whole, but a merge here cannot make the file as recorded

constexpr const char kComponentLine[] = "%s: %s: %s\n";
constexpr const char kNotASetLine[] = "%s: %s: not a set\n";
constexpr const char kClosingLine[] = "%s: %d %s, %s: %s\n";
constexpr const char kAsksFirst[] = "%s exists: a merge here asks before it overwrites it\n";
constexpr const char kListedLine[] = "%s: %s (%ld bytes)%s\n";
constexpr const char kListedProblem[] = "%s: %s\n";
constexpr const char kLooseLine[] = "%s: number %d of %s, %ld bytes\n";
constexpr const char kStoredName[] = "Stored name: %s\n";
constexpr const char kCreatedAs[] = "Created as: %s\n";
constexpr const char kListedSize[] = "Size: %s\n";
constexpr const char kListedTime[] = "Time: %s\n";
constexpr const char kListedCount[] = "Components: %d\n";

// The most components a set can have: its count is a signed byte.
constexpr int kMostComponents = 127;

// What was found of one component, kept until every component was read: a
// component's place in the file may follow from the lengths after it.
struct Found {
  char name[kNameBufferSize];  // the file read
  Verdict verdict;
  long long length;  // of its data as its header counts; -1 where that cannot be trusted
  char what[512];    // the verdict in words, but for the stretches that cannot be read
  bool header_unreadable;
  Stretch unreadable[kNamedStretches];
  int unreadable_count;
  long long unreadable_bytes;
  char reason[kReasonSize];
  long long got;         // data bytes that arrived
  long long written_at;  // where in the salvaged file they went; -1: nowhere
};
Found found[kMostComponents];

// Where a component lies in the whole file: its first and last byte, -1
// where no number decides it.
struct Place {
  long long first;
  long long last;
};

// The length of data that the set's full components carry (all but the
// last have it, as the cutting tool cuts), where the known ones agree.
long long common_length(int count) {
  long long length = -1;
  for (int k = 0; k + 1 < count; ++k) {
    if (found[k].length < 0) {
      continue;
    }
    if (length >= 0 && found[k].length != length) {
      return -1;
    }
    length = found[k].length;
  }
  return length;
}

// Places every component: from the lengths before it, else from the
// recorded size and the lengths after it, else from the common length.
// Starts never go back and nothing lies past the recorded size: where the
// numbers contradict each other, a `?` stands instead.
void place_all(int count, long long total, Place (&places)[kMostComponents]) {
  long long forward[kMostComponents + 1];
  long long backward[kMostComponents + 1];
  forward[0] = 0;
  for (int k = 0; k < count; ++k) {
    forward[k + 1] = forward[k] >= 0 && found[k].length >= 0 ? forward[k] + found[k].length : -1;
  }
  backward[count] = total > 0 ? total : -1;
  for (int k = count - 1; k >= 0; --k) {
    backward[k] =
        backward[k + 1] >= 0 && found[k].length >= 0 ? backward[k + 1] - found[k].length : -1;
  }
  const long long common = common_length(count);
  long long starts[kMostComponents + 1];
  long long floor = 0;
  for (int k = 0; k <= count; ++k) {
    const long long by_common = k < count && common >= 0 ? k * common : -1;
    const long long candidates[] = {forward[k], backward[k], by_common};
    starts[k] = -1;
    for (const long long c : candidates) {
      if (c >= floor && (total <= 0 || c <= total)) {
        starts[k] = c;
        floor = c;
        break;
      }
    }
  }
  for (int k = 0; k < count; ++k) {
    const long long length = found[k].length;
    long long first = starts[k];
    long long last = -1;
    if (length >= 0 && first >= 0) {
      last = first + length - 1;
    } else if (starts[k + 1] >= 0) {
      last = starts[k + 1] - 1;
    } else if (k + 1 < count && common >= 0 && first >= 0) {
      last = first + common - 1;
    }
    if (first < 0 && length >= 0 && last >= 0) {
      first = last - length + 1;
    }
    if (total > 0 && first >= total) {
      first = -1;
    }
    if (total > 0 && last >= total) {
      last = -1;
    }
    if (first >= 0 && last >= 0 && last + 1 < first) {
      first = last = -1;
    }
    places[k] = {first, last};
  }
}

// "bytes 0-9999", "bytes 20000-?", "bytes ?-39999", "bytes ?", "no bytes".
void range_text(const Place& place, long long length, char (&text)[64]) {
  if (length == 0) {
    std::snprintf(text, sizeof text, "no bytes");
  } else if (place.first >= 0 && place.last >= 0) {
    std::snprintf(text, sizeof text, "bytes %lld-%lld", place.first, place.last);
  } else if (place.first >= 0) {
    std::snprintf(text, sizeof text, "bytes %lld-?", place.first);
  } else if (place.last >= 0) {
    std::snprintf(text, sizeof text, "bytes ?-%lld", place.last);
  } else {
    std::snprintf(text, sizeof text, "bytes ?");
  }
}

// What could not be read, by the file's bytes where the component's start
// is known, else by its own data bytes, and why.
void unreadable_text(const Found& f, long long start, char (&text)[512]) {
  if (f.header_unreadable) {
    std::snprintf(text, sizeof text, "its header cannot be read: %s", f.reason);
    return;
  }
  int n = std::snprintf(text, sizeof text, "cannot be read at %s",
                        start >= 0 ? "bytes" : "its data bytes");
  const long long base = start >= 0 ? start : 0;
  const int named = f.unreadable_count < kNamedStretches ? f.unreadable_count : kNamedStretches;
  for (int i = 0; i < named; ++i) {
    n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "%s%lld-%lld",
                       i == 0 ? " " : ", ", base + f.unreadable[i].from, base + f.unreadable[i].to);
  }
  if (f.unreadable_count > named) {
    n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), " and %d more",
                       f.unreadable_count - named);
  }
  std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), ": %s", f.reason);
}

// What is wrong with a component, in words; an unreadable one is said with
// its place, once that is known.
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
    case Verdict::unreadable:
      std::snprintf(text, sizeof text, "cannot be read");
      break;
    case Verdict::wrong_number:
      std::snprintf(text, sizeof text, "carries number %d instead of %d", run.sequence, run.index);
      break;
    case Verdict::other_file:
      std::snprintf(text, sizeof text, "belongs to another file: %s", shown(run.Targets).text);
      break;
    case Verdict::cut_short:
      if (run.header_got < static_cast<long long>(kHeaderSize)) {
        std::snprintf(text, sizeof text, "cut short within its header (%lld bytes)",
                      run.component_size);
      } else {
        std::snprintf(text, sizeof text, "cut short by %lld bytes", missing);
      }
      break;
    case Verdict::bad_checksum:
      std::snprintf(text, sizeof text, "checksum error, should be %04X is %04X",
                    static_cast<unsigned>(run.stored_checksum), static_cast<unsigned>(run.jj));
      break;
  }
}

// A component whose header is one of this set's: its length can be trusted.
bool is_of_the_set(Verdict verdict) {
  return verdict == Verdict::good || verdict == Verdict::cut_short ||
         verdict == Verdict::bad_checksum || verdict == Verdict::unreadable;
}

// Opens, judges and (with `read_data`) reads component `run.index`,
// component 00 included (it was opened already), and notes what was found.
// With a target, the data that arrive are written there from byte `at` on.
Verdict judge_component(MergeRun& run, const BuildProfile& profile, bool read_data,
                        std::FILE* target = nullptr, long long at = 0) {
  Verdict verdict = Verdict::good;
  if (run.index >= 1) {
    next_component(run, profile, run.index);
    verdict = open_and_judge(run, profile);
  }
  const bool open = verdict == Verdict::good;
  // A header cut before its length field lends no length.
  const bool whole_header = run.header_got >= static_cast<long long>(kHeaderSize);
  long long missing = 0;
  if (open && is_cut_short(run, missing)) {
    verdict = Verdict::cut_short;
  }
  Found& f = found[run.index];
  f.written_at = -1;
  f.got = 0;
  if (open && read_data && whole_header) {
    if (target != nullptr && std::fseek(target, static_cast<long>(at), SEEK_SET) != 0) {
      std::fclose(target);
      discard_unwritten(run);
    }
    const Verdict read = copy_component(run, target);
    if (read == Verdict::unreadable || verdict == Verdict::good) {
      verdict = read;
    }
    f.written_at = target != nullptr && run.data_got > 0 ? at : -1;
    f.got = run.data_got;
  }
  if (open) {
    std::fclose(run.fptr);
  }
  std::memcpy(f.name, run.FileName, sizeof f.name);
  f.verdict = verdict;
  f.length = -1;
  if (is_of_the_set(verdict) && whole_header) {
    f.length = run.data_length > 0 ? run.data_length : 0;  // a negative one copies nothing
  }
  describe(run, verdict, missing, f.what);
  f.header_unreadable = run.header_unreadable;
  f.unreadable_count = run.unreadable_count;
  f.unreadable_bytes = run.unreadable_bytes;
  std::memcpy(f.unreadable, run.unreadable, sizeof f.unreadable);
  std::memcpy(f.reason, run.read_error, sizeof f.reason);
  return verdict;
}

// Component 00 carries what the set is; where it cannot be read, or does
// not hold a first header (empty, too short, a text file, a later component
// renamed), there is no set to speak of. True when it is one, left open;
// otherwise it was said why.
bool judge_component_00(MergeRun& run, const BuildProfile& profile) {
  next_component(run, profile, 0);
  run.index = 0;
  const Verdict verdict = open_and_judge(run, profile);
  char why[512];
  switch (verdict) {
    case Verdict::good:
      break;
    case Verdict::unreadable:
      std::snprintf(why, sizeof why, "cannot be read: %s", run.read_error);
      break;
    default:
      describe(run, verdict, 0, why);
      break;
  }
  if (verdict == Verdict::good) {
    if (run.header_got < static_cast<long long>(kHeaderSize)) {
      std::snprintf(why, sizeof why, "%lld bytes, too short for a header", run.component_size);
    } else if (run.sequence != 0) {
      std::snprintf(why, sizeof why, "carries number %d, not 0", run.sequence);
    } else if (run.count < 1) {
      std::snprintf(why, sizeof why, "counts %d components", run.count);
    } else {
      return true;
    }
    std::fclose(run.fptr);
  }
  std::printf(kNotASetLine, shown(run.FileName).text, why);
  return false;
}

// Where a merge here would refuse to make the file under its name, the
// merge's own words; empty where it would not.
void refusal(MergeRun& run, const BuildProfile& profile, char (&text)[512]) {
  const bool no_file = choose_created_name(run, profile, false);
  text[0] = '\0';
  if (no_file || is_refused_name(run, profile)) {
    std::snprintf(text, sizeof text, "Can not create %s", shown(run.Created).text);
  }
}

// The category of a fault that ends a merge where it is met.
int ends_merge_as(Verdict verdict) {
  switch (verdict) {
    case Verdict::missing:
    case Verdict::wrong_number:
    case Verdict::other_file:
      return kIncomplete;
    case Verdict::status_failed:
    case Verdict::stream_failed:
    case Verdict::unreadable:
    case Verdict::cut_short:
      return kDamaged;
    default:
      return kWhole;
  }
}

// The status a merge here would come to, by the order in which it meets
// the faults: a refused name at once, then the first component that ends
// it, then checksum errors (the abort question comes only at the end), then
// the rebuilt size.
int status_of_set(const MergeRun& run, const char* refused, bool size_differs) {
  if (refused[0] != '\0') {
    return kRefusedHere;
  }
  bool checksum_errors = false;
  for (int k = 0; k < run.count; ++k) {
    const int ends = ends_merge_as(found[k].verdict);
    if (ends != kWhole) {
      return ends;
    }
    checksum_errors = checksum_errors || found[k].verdict == Verdict::bad_checksum;
  }
  return checksum_errors || size_differs ? kDamaged : kWhole;
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

int faults_in(int count) {
  int faults = 0;
  for (int k = 0; k < count; ++k) {
    faults += found[k].verdict != Verdict::good ? 1 : 0;
  }
  return faults;
}

// The closing line's verdict, for the status the set came to.
void closing_verdict(const MergeRun& run, const BuildProfile& profile, int status,
                     const char* refused, char (&text)[768]) {
  const int faults = faults_in(run.count);
  const char* needs = faults == 1 ? "component needs" : "components need";
  if (status == kRefusedHere && refused[0] != '\0') {
    std::snprintf(text, sizeof text, "a merge here ends at once: %s", refused);
  } else if (status == kIncomplete || (status == kDamaged && faults > 0)) {
    std::snprintf(text, sizeof text, "%s, %d %s attention",
                  status == kIncomplete ? "incomplete" : "damaged", faults, needs);
  } else if (status == kDamaged) {
    std::snprintf(text, sizeof text, "damaged: the components hold %lld bytes", run.set_done);
  } else if (status == kRefusedHere) {
    char when[32];
    iso_time(run.stamp, when);
    std::snprintf(text, sizeof text, "complete, but %.*s cannot give the file its recorded time %s",
                  static_cast<int>(std::strcspn(profile.version, " ")), profile.version, when);
  } else {
    std::snprintf(text, sizeof text, "complete and undamaged");
  }
}

// Says of each component where it lies and what was found, then the set's
// verdict, and yields the status of the outcome.
int report_components(const MergeRun& run, const BuildProfile& profile,
                      const Place (&places)[kMostComponents], const char* refused) {
  for (int k = 0; k < run.count; ++k) {
    char range[64];
    range_text(places[k], found[k].length, range);
    char what[512];
    if (found[k].verdict == Verdict::unreadable) {
      unreadable_text(found[k], places[k].first, what);
    } else {
      std::snprintf(what, sizeof what, "%s", found[k].what);
    }
    std::printf(kComponentLine, shown(found[k].name).text, range, what);
  }
  const bool size_differs = run.total_size > 0 && run.set_done != run.total_size;
  int status = status_of_set(run, refused, size_differs);
  if (status == kWhole && run.stamp < 0 && !profile.sets_times_before_1970) {
    status = kRefusedHere;  // a merge would end with the file at the wrong time
  }
  char size[64];
  size_text(run, size);
  char verdict[768];
  closing_verdict(run, profile, status, refused, verdict);
  std::printf(kClosingLine, shown(run.Target).text, run.count,
              run.count == 1 ? "component" : "components", size, verdict);
  return status;
}

}  // namespace

// Reads and checks every component as a merge does, going on past each
// fault (and past each stretch of a disk that cannot be read), then says of
// each where it lies in the file and what was found, and ends with the
// status of the outcome.
int test_set(MergeRun& run, const BuildProfile& profile) {
  run.read_on = true;
  if (!judge_component_00(run, profile)) {
    return kNotASet;
  }
  char refused[512];
  refusal(run, profile, refused);
  const bool asks = refused[0] == '\0' && platform_name_exists(run.Created);
  for (run.index = 0; run.index < run.count; ++run.index) {
    judge_component(run, profile, true);
  }
  Place places[kMostComponents];
  place_all(run.count, run.total_size, places);
  const int status = report_components(run, profile, places, refused);
  if (asks && status == kWhole) {
    std::printf(kAsksFirst, shown(run.Created).text);
  }
  return status;
}

namespace {

// Where there is no set to speak of (a loose disk, a component 00 lost),
// each component that is there says what it is of: its number, the file it
// belongs to and its length, read from its header. No disk is asked for.
void list_loose(MergeRun& run, const BuildProfile& profile) {
  for (run.index = 1; run.index < kMostComponents; ++run.index) {
    component_name(run.FileName, sizeof run.FileName, run.Prefix, run.drive, run.index);
    run.Target[0] = '\0';
    const Verdict verdict = open_and_judge(run, profile);
    if (verdict == Verdict::good) {
      std::fclose(run.fptr);
    }
    if (verdict == Verdict::missing) {
      continue;
    }
    if (!is_of_the_set(verdict) && verdict != Verdict::other_file &&
        verdict != Verdict::wrong_number) {
      std::printf(kListedProblem, shown(run.FileName).text, "cannot be read");
    } else if (run.header_got < static_cast<long long>(kHeaderSize)) {
      std::printf(kListedProblem, shown(run.FileName).text, "cut short within its header");
    } else {
      std::printf(kLooseLine, shown(run.FileName).text, run.sequence, shown(run.Targets).text,
                  static_cast<long>(run.data_length));
    }
  }
}

}  // namespace

// Tells what the set holds from its headers alone: no component's data are
// read, which on a floppy is most of the time a test takes.
int list_set(MergeRun& run, const BuildProfile& profile) {
  if (!judge_component_00(run, profile)) {
    list_loose(run, profile);
    return kNotASet;
  }
  std::printf(kStoredName, shown(run.Target).text);
  char refused[512];
  refusal(run, profile, refused);
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
  for (run.index = 0; run.index < run.count; ++run.index) {
    judge_component(run, profile, false);
  }
  Place places[kMostComponents];
  place_all(run.count, run.total_size, places);
  for (int k = 0; k < run.count; ++k) {
    const char* name = found[k].name;
    if (!is_of_the_set(found[k].verdict) || found[k].length < 0) {
      std::printf(kListedProblem, shown(name).text, found[k].what);
      continue;
    }
    char range[64];
    range_text(places[k], found[k].length, range);
    char shortfall[200] = "";
    if (found[k].verdict == Verdict::cut_short) {
      std::snprintf(shortfall, sizeof shortfall, ", %s", found[k].what);
    }
    std::printf(kListedLine, shown(name).text, range, static_cast<long>(found[k].length),
                shortfall);
  }
  if (refused[0] != '\0') {
    std::printf("%s\n", refused);
  }
  return status_of_set(run, refused, false);
}

namespace {

constexpr const char kSalvaging[] = "Salvaging %d files into: %s\n";
constexpr const char kNotWritten[] = "%s: not written: no number decides where it lies\n";
constexpr const char kFilled[] = "Filled with zeros: bytes %lld-%lld\n";
constexpr const char kSalvaged[] = "%s: %lld bytes, %lld of them filled with zeros\n";
// A salvaged file can never be taken for the rebuilt one.
constexpr const char kSalvagedSuffix[] = ".salvaged";

// The stretches of the salvaged file that hold no byte of the set: the
// gaps between the components written, and each stretch that could not be
// read. Sorted and joined; the count of them, and in `filled` their bytes
// (those of stretches beyond the ones named included).
constexpr int kMostStretches = kMostComponents * (kNamedStretches + 1) + 1;
Place zeros[kMostStretches];

void add_stretch(int& count, long long first, long long last, long long size) {
  last = last < size - 1 ? last : size - 1;
  if (first <= last && count < kMostStretches) {
    zeros[count++] = {first, last};
  }
}

int zero_stretches(const MergeRun& run, const Place (&places)[kMostComponents], long long size,
                   long long& filled) {
  int count = 0;
  long long covered = 0;  // the set's bytes up to here are written or counted
  long long unnamed = 0;
  for (int k = 0; k < run.count; ++k) {
    const Found& f = found[k];
    if (f.written_at < 0) {
      continue;
    }
    const long long first = places[k].first;
    add_stretch(count, covered, first - 1, size);
    covered = first + f.got > covered ? first + f.got : covered;
    long long named = 0;
    const int shown = f.unreadable_count < kNamedStretches ? f.unreadable_count : kNamedStretches;
    for (int i = 0; i < shown; ++i) {
      add_stretch(count, first + f.unreadable[i].from, first + f.unreadable[i].to, size);
      named += f.unreadable[i].to - f.unreadable[i].from + 1;
    }
    unnamed += f.unreadable_bytes - named;
  }
  add_stretch(count, covered, size - 1, size);
  // Sorted by their first byte, then joined where they touch.
  for (int i = 1; i < count; ++i) {
    for (int j = i; j > 0 && zeros[j].first < zeros[j - 1].first; --j) {
      const Place swap = zeros[j];
      zeros[j] = zeros[j - 1];
      zeros[j - 1] = swap;
    }
  }
  int joined = 0;
  for (int i = 0; i < count; ++i) {
    if (joined > 0 && zeros[i].first <= zeros[joined - 1].last + 1) {
      zeros[joined - 1].last =
          zeros[i].last > zeros[joined - 1].last ? zeros[i].last : zeros[joined - 1].last;
    } else {
      zeros[joined++] = zeros[i];
    }
  }
  filled = unnamed;
  for (int i = 0; i < joined; ++i) {
    filled += zeros[i].last - zeros[i].first + 1;
  }
  return joined;
}

// Where a component goes before every component was read: after the
// lengths before it, or, past a gap, at its number times component 00's
// length (the length the full components carry). Almost always its place.
long long provisional_place(int index, long long after_previous, std::int32_t first_length) {
  if (after_previous >= 0) {
    return after_previous;
  }
  return static_cast<long long>(index) * (first_length > 0 ? first_length : 0);
}

}  // namespace

// Reads the set as the test does, writing each component's data as it
// arrives at its place in a file of its own (`name.salvaged`), made with
// the merge's care: asked about before it is overwritten, made exclusively
// otherwise, deleted by an interrupt until it is done. Where the numbers
// place a component elsewhere than it was written (a set whose full
// components differ in length), every component is written once more.
// What cannot be had stays zeros; the file is as long as the recorded size.
int salvage_set(MergeRun& run, const BuildProfile& profile) {
  run.read_on = true;
  if (!judge_component_00(run, profile)) {
    return kNotASet;
  }
  const bool no_file = choose_created_name(run, profile, false);
  if (!no_file) {
    std::strcat(run.Created, kSalvagedSuffix);  // a stored name leaves room for it
  }
  const bool exists = ask_before_overwriting(run, profile, no_file);
  std::printf(kSalvaging, run.count, shown(run.Created).text);
  create_target(run, no_file, exists);
  const std::int32_t first_length = run.data_length;
  long long after_previous = 0;
  for (run.index = 0; run.index < run.count; ++run.index) {
    const long long at = provisional_place(run.index, after_previous, first_length);
    judge_component(run, profile, true, run.optr, at);
    const long long length = found[run.index].length;
    after_previous = after_previous >= 0 && length >= 0 ? after_previous + length : -1;
  }
  Place places[kMostComponents];
  place_all(run.count, run.total_size, places);
  bool misplaced = false;
  for (int k = 0; k < run.count; ++k) {
    misplaced = misplaced || (found[k].written_at >= 0 && found[k].written_at != places[k].first);
  }
  if (misplaced) {
    platform_set_target_size(0);
    run.set_done = 0;
    for (run.index = 0; run.index < run.count; ++run.index) {
      if (places[run.index].first < 0 || found[run.index].length < 0) {
        found[run.index].written_at = -1;
        continue;
      }
      if (run.index == 0) {
        next_component(run, profile, 0);
        open_and_judge(run, profile);
      }
      judge_component(run, profile, true, run.optr, places[run.index].first);
    }
  }
  // The recorded size, or where none is recorded, the end of what was written.
  long long size = run.total_size > 0 ? run.total_size : 0;
  for (int k = 0; k < run.count; ++k) {
    if (run.total_size <= 0 && found[k].written_at >= 0) {
      size = std::max(size, found[k].written_at + found[k].got);
    }
  }
  if (!platform_set_target_size(size) || std::fclose(run.optr) != 0) {
    discard_unwritten(run);
  }
  run.utimebuf.actime = run.stamp;
  run.utimebuf.modtime = run.stamp;
  if (run.stamp != 0 || profile.stamp_zero_sets_time) {
    platform_set_times(run.Created, run.utimebuf);  // where this program can give it
  }
  platform_release_target();

  int status = report_components(run, profile, places, "");
  bool unplaced = false;
  for (int k = 0; k < run.count; ++k) {
    if (found[k].got > 0 && found[k].written_at < 0) {
      std::printf(kNotWritten, shown(found[k].name).text);
      unplaced = true;
    }
  }
  long long filled = 0;
  const int stretches = zero_stretches(run, places, size, filled);
  for (int i = 0; i < stretches; ++i) {
    std::printf(kFilled, zeros[i].first, zeros[i].last);
  }
  std::printf(kSalvaged, shown(run.Created).text, size, filled);
  if (filled > 0 || unplaced) {
    status = status == kWhole ? kDamaged : status;
  }
  return status;
}
