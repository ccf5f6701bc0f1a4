// The corruption soak: from a fixed seed, thousands of generated sets, most
// of them broken somewhere, each merged by the real (sanitized) zunfelu with
// random answers. An independent model of the rules predicts every run's
// output, status and target; the run must match it and break no invariant.
//   ZUNFEL_SOAK_SEED=n   another seed      ZUNFEL_SOAK_CASES=n  another count
//   ZUNFEL_SOAK_CASE=i   replay case i of the seed alone
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "set_writer.hpp"
#include "spawn.hpp"

namespace {

const std::string kBanner =
    "zunfelu Ver 1.08 03/05/97 - rebuilds a file from its numbered component files\n";
const std::string kOld = "the file that was there before\n";

long env_or(const char* name, long fallback) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::atol(v) : fallback;
}

// One generated case: the component files as they lie on disk, the answers,
// and whether a file already stands at the target's name.
struct Generated {
  std::map<int, std::string> files;  // component number -> bytes
  std::string stored_name;
  std::string input;
  bool existing = false;
  std::int32_t stamp = 0;
};

class Rng {
 public:
  explicit Rng(std::uint64_t seed) : engine_(seed) {}
  long in(long low, long high) { return std::uniform_int_distribution<long>(low, high)(engine_); }
  bool chance(int percent) { return in(1, 100) <= percent; }
  template <typename T>
  const T& pick(const std::vector<T>& v) {
    return v[static_cast<std::size_t>(in(0, static_cast<long>(v.size()) - 1))];
  }

 private:
  std::mt19937_64 engine_;
};

std::string random_bytes(Rng& rng, long n) {
  std::string s(static_cast<std::size_t>(n), '\0');
  for (char& c : s) c = static_cast<char>(rng.in(0, 255));
  return s;
}

Generated generate(Rng& rng) {
  Generated g;
  const int parts = static_cast<int>(rng.in(1, 4));
  std::vector<Component> set;
  std::int32_t total = 0;
  g.stored_name = rng.pick<std::string>({"t.bin", "t.bin", "t.bin", "T.BIN", std::string(70, 'n'),
                                         "sub/t.bin", "/abs/t.bin", "../t.bin", "a/..", ""});
  g.stamp = rng.chance(10) ? 0 : static_cast<std::int32_t>(rng.in(1, INT32_MAX));
  for (int k = 0; k < parts; ++k) {
    const long length =
        rng.chance(50) ? rng.pick<long>({0, 1, 9999, 10000, 10001, 20000}) : rng.in(0, 25000);
    Component c;
    c.count = parts;
    c.sequence = k;
    c.name = g.stored_name;
    c.stamp = g.stamp;
    c.data = random_bytes(rng, length);
    c.data_length = static_cast<std::int32_t>(length);
    c.checksum = reference_checksum(c.data);
    total += c.data_length;
    set.push_back(c);
  }
  set[0].total_size =
      rng.chance(70) ? total : rng.pick<std::int32_t>({0, -1, total + 1, total - 1});
  if (rng.chance(15)) set[0].count = rng.pick<int>({0, -3, parts + 1, 1, 127});
  for (int k = 0; k < parts; ++k) {
    Component& c = set[static_cast<std::size_t>(k)];
    if (rng.chance(8)) c.checksum ^= static_cast<std::uint16_t>(rng.in(1, 0xFFFF));
    if (k > 0 && rng.chance(5)) c.sequence = static_cast<int>(rng.in(-128, 127));
    if (k > 0 && rng.chance(5)) c.name = g.stored_name + "x";
    if (k > 0 && rng.chance(5)) c.name = g.stored_name + std::string(1, '\0') + "ignored";
    if (rng.chance(5)) c.data_length += static_cast<std::int32_t>(rng.pick<long>({1, 87, -1}));
    if (rng.chance(3)) c.data_length = static_cast<std::int32_t>(rng.in(INT32_MIN, -1));
    if (rng.chance(5)) c.data += random_bytes(rng, rng.in(1, 100));  // never read
    if (rng.chance(6)) c.keep_bytes = rng.in(0, 86 + static_cast<long>(c.data.size()) - 1);
  }
  for (int k = 0; k < parts; ++k) {
    if (k > 0 && rng.chance(4)) continue;  // missing component
    g.files[k] = encode_component(set[static_cast<std::size_t>(k)], k == 0);
  }
  g.existing = rng.chance(30);
  const long answers = rng.in(0, 4);
  for (long i = 0; i < answers; ++i) g.input += rng.pick<char>({'y', 'Y', 'n', 'N', 'x', '\n'});
  return g;
}

// ---- The model: the rules, written from their description, not the engine.

struct Expected {
  std::string output;
  int status = 0;
  std::optional<std::string> target;  // none: no file at the target's name
  bool stamped = false;
  std::int32_t stamp = 0;  // from component 00 as it lies on disk
};

struct Header {
  int count = 0, sequence = 0;
  std::string name;
  std::int32_t stamp = 0, total = 0;
  std::uint16_t checksum = 0;
  std::int32_t length = INT32_MAX;
  std::size_t end = 0;  // where reading stopped
};

std::int32_t le(const std::string& b, std::size_t at, std::size_t n) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < n; ++i)
    v |= std::uint32_t{static_cast<unsigned char>(b[at + i])} << 8 * i;
  return static_cast<std::int32_t>(v);
}

Header parse(const std::string& b, bool first) {
  Header h;
  const std::size_t name_field = first ? 70 : 78;
  std::vector<std::size_t> sizes = {1, 1, name_field};
  if (first) sizes.insert(sizes.end(), {4, 4});
  sizes.insert(sizes.end(), {2, 4});
  std::size_t at = 0;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    if (at + sizes[i] > b.size()) {
      h.end = b.size();
      return h;
    }
    const std::string field = b.substr(at, sizes[i]);
    const std::size_t which = first || i < 3 ? i : i + 2;  // continuation skips stamp, total
    switch (which) {
      case 0:
        h.count = static_cast<signed char>(field[0]);
        break;
      case 1:
        h.sequence = static_cast<signed char>(field[0]);
        break;
      case 2:
        h.name = field.substr(0, field.find('\0'));
        break;
      case 3:
        h.stamp = le(field, 0, 4);
        break;
      case 4:
        h.total = le(field, 0, 4);
        break;
      case 5:
        h.checksum = static_cast<std::uint16_t>(le(field, 0, 2));
        break;
      case 6:
        h.length = le(field, 0, 4);
        break;
    }
    at += sizes[i];
  }
  h.end = at;
  return h;
}

std::string hex4(unsigned v) {
  char b[8];
  std::snprintf(b, sizeof b, "%04X", v & 0xFFFF);
  return b;
}

std::string component(int k) {
  char b[16];
  std::snprintf(b, sizeof b, "s.Z%02d", k);
  return b;
}

// The name created: an absolute or climbing name gives way to its last part;
// a name that leaves no file is kept as stored, without a notice.
std::string safe_name(const std::string& stored, std::string& notice) {
  bool unsafe = !stored.empty() && stored[0] == '/';
  std::size_t begin = 0;
  for (;;) {
    const std::size_t slash = stored.find('/', begin);
    const std::string part = stored.substr(begin, slash - begin);
    unsafe = unsafe || part == "..";
    if (slash == std::string::npos) break;
    begin = slash + 1;
  }
  const std::string last = stored.substr(stored.rfind('/') + 1);
  if (!unsafe || last.empty() || last == "." || last == "..") return stored;
  notice =
      "Stored name " + stored + " is not a plain relative path, creating " + last + " instead\n";
  return last;
}

Expected model(const Generated& g, const std::string& target) {
  Expected e;
  std::size_t next_answer = 0;
  auto ask = [&](char on_end) {
    while (next_answer < g.input.size()) {
      const char c = static_cast<char>(std::tolower(g.input[next_answer++]));
      if (c == 'y' || c == 'n') return c;
    }
    return on_end;
  };
  std::string& out = e.output;
  const std::string& zero = g.files.at(0);
  const Header first = parse(zero, true);
  out = kBanner + "File size: " + std::to_string(first.total) + " \n";
  std::string notice;
  const std::string name = safe_name(first.name, notice);
  out += notice;
  const std::string last = name.substr(name.rfind('/') + 1);
  const bool no_file = last.empty() || last == "." || last == "..";
  const bool exists = g.existing && name == target;
  if (exists) {
    out += "File " + name + " exists, overwrite (y/n)?\n";
    if (ask('n') == 'n') {
      e.status = 1;
      e.target = kOld;
      return e;
    }
  }
  if (exists) e.target.reset();  // truncated at once; what follows decides
  out += "Merging " + std::to_string(first.count) + " files to create: " + name + "\n";
  if (no_file || name.find('/') != std::string::npos) {
    out += "Can not create " + name;
    e.status = 255;
    return e;
  }
  std::string written;
  int errors = 0;
  for (int k = 0; k < first.count; ++k) {
    Header h = first;
    const std::string* file = &zero;
    if (k > 0) {
      const auto it = g.files.find(k);
      if (it == g.files.end()) {
        out += " can't open file : " + component(k) + " \nMerge aborted\n";
        e.status = 255;
        return e;
      }
      file = &it->second;
      h = parse(*file, false);
      if (h.sequence != k || h.name != first.name) {
        out += "Invalid Component File: " + component(k) + "\nMerge aborted\n";
        e.status = 1;
        return e;
      }
    }
    out += "Reading " + component(k) + "\n";
    if (static_cast<std::int64_t>(file->size()) - 86 < h.length) {
      out += "Invalid Component File: " + component(k) + "\nMerge aborted\n";
      e.status = 1;
      return e;
    }
    std::int64_t remaining = h.length;
    std::size_t at = h.end;
    std::int32_t sum = 0;
    while (remaining > 0) {
      const std::size_t chunk = static_cast<std::size_t>(std::min<std::int64_t>(remaining, 10000));
      if (at + chunk > file->size()) break;
      for (std::size_t i = 0; i < chunk; ++i) sum += static_cast<signed char>((*file)[at + i]);
      written += file->substr(at, chunk);
      at += chunk;
      remaining -= static_cast<std::int64_t>(chunk);
    }
    if (static_cast<std::uint16_t>(sum) != h.checksum) {
      out += "Checksum error for file " + component(k) + " should be " + hex4(h.checksum) + " is " +
             hex4(static_cast<unsigned>(sum)) + "\n";
      ++errors;
    }
  }
  if (errors > 0) {
    out += " " + std::to_string(errors) + " checksum errors, abort merge (y/n)?\n";
    if (ask('y') == 'y') {
      e.status = 1;
      return e;
    }
  }
  if (static_cast<std::int64_t>(written.size()) != first.total) {
    if (first.total < 1) {
      out += "component files created with DIVVLE ver 1.02\n";
    } else {
      out += "Size of " + name + " is " + std::to_string(written.size()) + ", the set records " +
             std::to_string(first.total) + "\nMerge ABORTED\n";
      e.status = 255;
      return e;
    }
  }
  e.target = written;
  e.stamped = true;
  e.stamp = first.stamp;
  return e;
}

// ---- The runner.

std::map<int, long> statuses;  // how often each status came, for the summary

std::string run_case(const std::string& work, long seed, long index) {
  Rng rng(static_cast<std::uint64_t>(seed) * 1000003u + static_cast<std::uint64_t>(index));
  Generated g = generate(rng);
  const std::string dir = work + "/" + std::to_string(index);
  std::filesystem::create_directory(dir);
  for (const auto& [k, bytes] : g.files) write_bytes(dir + "/" + component(k), bytes);
  std::string notice;
  const std::string target = safe_name(parse(g.files.at(0), true).name, notice);
  const bool can_exist =
      !target.empty() && target != "." && target != ".." && target.find('/') == std::string::npos;
  // A file can stand only at a name that names one in this folder.
  g.existing = g.existing && can_exist;
  if (g.existing) write_bytes(dir + "/" + target, kOld);
  const Expected e = model(g, target);

  const Outcome o = spawn({.argv = {ZUNFELU, "s.Z00"},
                           .cwd = dir,
                           .input = g.input,
                           .env = {{"UBSAN_OPTIONS", "halt_on_error=1:exitcode=98"}}});
  ++statuses[o.status];
  std::string why;
  auto check = [&](bool ok, const std::string& what) {
    if (!ok) why += what + "; ";
  };
  check(o.signal == 0, "ended by signal " + std::to_string(o.signal));
  check(o.status == 0 || o.status == 1 || o.status == 255, "status " + std::to_string(o.status));
  check(o.errors.empty(), "standard error: " + o.errors.substr(0, 2000));
  check(o.status == e.status,
        "status " + std::to_string(o.status) + ", model " + std::to_string(e.status));
  check(o.output == e.output, "output\n" + o.output + "\nmodel\n" + e.output);
  // Nothing but the components and the target may be there afterwards, and
  // the components must be as they were.
  std::vector<std::string> expected_files;
  for (const auto& [k, bytes] : g.files) {
    expected_files.push_back(component(k));
    check(read_bytes(dir + "/" + component(k)) == bytes, "component " + component(k) + " changed");
  }
  if (e.target) expected_files.push_back(target);
  std::sort(expected_files.begin(), expected_files.end());
  check(list_dir(dir) == expected_files, "files left differ from the model");
  if (e.target && std::filesystem::exists(dir + "/" + target)) {
    struct stat st {};
    stat((dir + "/" + target).c_str(), &st);
    if (e.stamped) check(st.st_mtime == e.stamp, "mtime " + std::to_string(st.st_mtime));
    check(read_bytes(dir + "/" + target) == *e.target, "target bytes differ from the model");
  }
  std::filesystem::remove_all(dir);
  return why;
}

TEST(CorruptionSoak, GeneratedSetsMatchTheRules) {
  const long seed = env_or("ZUNFEL_SOAK_SEED", 1997);
  const long only = env_or("ZUNFEL_SOAK_CASE", -1);
  const long count = only >= 0 ? 1 : env_or("ZUNFEL_SOAK_CASES", 3000);
  TempDir work;
  int failures = 0;
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < count && failures < 5; ++i) {
    const long index = only >= 0 ? only : i;
    const std::string why = run_case(work.path(), seed, index);
    if (!why.empty()) {
      ++failures;
      ADD_FAILURE() << "replay with ZUNFEL_SOAK_SEED=" << seed << " ZUNFEL_SOAK_CASE=" << index
                    << ": " << why;
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("soak: seed %ld, %ld cases, %d failures, %.1f s; statuses:", seed, count, failures,
              seconds);
  for (const auto& [status, n] : statuses) std::printf(" %d x%ld", status, n);
  std::printf("\n");
}

}  // namespace
