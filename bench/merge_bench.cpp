// merge_bench ZUNFELU DIR [RUNS [PLAIN_COPY]]: times zunfelu merging each set that
// make_sets wrote against `cat P.Z00 ... > out` on the same files, in the
// same folder, alternating the two, after one warm-up of each. Prints the
// medians, the ratio zunfelu / cat, the throughput and the peak resident
// memory of each. The ratio of the medians is the figure that counts; the
// ratio of the fastest runs shows how much of it is the machine's noise.
//
// With PLAIN_COPY (bench/plain_copy) it also times a copy through a user
// buffer: cat copies inside the kernel where it can, a merge cannot.
//
// The peak memory comes from wait4's rusage. A child inherits its parent's
// size as its peak until it executes the program, so this driver stays small
// and is linked statically; it reads no data itself.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Timing {
  double seconds;
  long peak_kib;
};

Timing run(const std::vector<std::string>& args, const std::string& cwd, const char* out) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int output = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (chdir(cwd.c_str()) != 0 || in < 0 || output < 0 || dup2(in, 0) < 0 || dup2(output, 1) < 0) {
      _exit(120);
    }
    execv(argv[0], argv.data());
    _exit(121);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed with status %d\n", args[0].c_str(), status);
    std::exit(1);
  }
  return {seconds, usage.ru_maxrss};
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

long long set_bytes(const std::string& folder, int& parts) {
  long long bytes = 0;
  parts = 0;
  for (;; ++parts) {
    char name[32];
    std::snprintf(name, sizeof name, "/P.Z%02d", parts);
    FILE* f = std::fopen((folder + name).c_str(), "rb");
    if (f == nullptr) break;
    std::fseek(f, 0, SEEK_END);
    bytes += std::ftell(f) - 86;
    std::fclose(f);
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: merge_bench ZUNFELU DIR [RUNS [PLAIN_COPY]]\n");
    return 2;
  }
  const std::string zunfelu = argv[1];
  const std::string dir = argv[2];
  const int runs = argc > 3 ? std::atoi(argv[3]) : 5;
  const std::string plain = argc > 4 ? argv[4] : "";
  std::string summary;
  std::printf("%-4s %10s %10s %7s %12s %10s %11s %10s %10s %9s\n", "set", "zunfelu s", "cat s",
              "ratio", "zunfelu MB/s", "cat MB/s", "zunfelu KiB", "cat KiB", "plain s", "vs plain");
  for (const char* set : {"L", "S", "M"}) {
    const std::string folder = dir + "/" + set;
    int parts = 0;
    const long long bytes = set_bytes(folder, parts);
    std::vector<std::string> cat = {"/bin/cat"};
    for (int k = 0; k < parts; ++k) {
      char name[32];
      std::snprintf(name, sizeof name, "P.Z%02d", k);
      cat.push_back(name);
    }
    std::vector<std::string> copy = cat;
    copy[0] = plain;
    const std::string target = folder + "/whole.bin";
    const std::string out = folder + "/out";
    std::vector<double> merge_times, cat_times, plain_times;
    long merge_peak = 0, cat_peak = 0;
    for (int i = 0; i <= runs; ++i) {  // run 0 warms up
      std::remove(target.c_str());
      const Timing m = run({zunfelu, "P.Z00"}, folder, "/dev/null");
      std::remove(out.c_str());
      const Timing c = run(cat, folder, out.c_str());
      double p = 0;
      if (!plain.empty()) {
        std::remove(out.c_str());
        p = run(copy, folder, out.c_str()).seconds;
      }
      if (i == 0) continue;
      merge_times.push_back(m.seconds);
      cat_times.push_back(c.seconds);
      plain_times.push_back(p);
      merge_peak = std::max(merge_peak, m.peak_kib);
      cat_peak = std::max(cat_peak, c.peak_kib);
    }
    std::remove(target.c_str());
    std::remove(out.c_str());
    const double m = median(merge_times), c = median(cat_times), p = median(plain_times);
    const double best = *std::min_element(merge_times.begin(), merge_times.end()) /
                        *std::min_element(cat_times.begin(), cat_times.end());
    std::printf("%-4s %10.4f %10.4f %7.2f %12.1f %10.1f %11ld %10ld %10.4f %9.2f\n", set, m, c,
                m / c, bytes / m / 1e6, bytes / c / 1e6, merge_peak, cat_peak, p,
                p > 0 ? m / p : 0.0);
    char line[160];
    std::snprintf(line, sizeof line,
                  "%s ratio %.2f (fastest runs %.2f) rss %.1f MiB (cat %.1f MiB)", set, m / c, best,
                  merge_peak / 1024.0, cat_peak / 1024.0);
    summary += line;
    if (p > 0) {
      std::snprintf(line, sizeof line, "; against a plain read/write copy %.2f", m / p);
      summary += line;
    }
    summary += "\n";
  }
  std::printf("%s", summary.c_str());
  return 0;
}
