// merge_bench ZUNFELU DIR [RUNS [PLAIN_COPY]]: times zunfelu merging each set
// that make_sets wrote against `cat P.Z00 ... > out` and, with PLAIN_COPY
// (bench/plain_copy), a copy through a 128 KiB user buffer, on the same
// files in the same folder, in turn (the order turning round each time),
// after one warm-up of each. The machine's
// speed drifts, so the figures that count are the ratios of each pair of
// neighbouring runs (zunfelu/cat and zunfelu/plain): their median and their
// range. It also prints the median times, the throughput and the peak
// resident memory of each.
//
// cat copies inside the kernel where it can; a merge, which must sum every
// byte, cannot, so the plain copy is the fair baseline.
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
#include <cstring>
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

// Median, least and greatest of a set of ratios.
std::string spread(std::vector<double> v) {
  if (v.empty()) return "-";
  char text[64];
  std::snprintf(text, sizeof text, "%.2f (%.2f-%.2f)", median(v),
                *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()));
  return text;
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
  std::printf("%-4s %9s %9s %9s %18s %18s %12s %11s %8s\n", "set", "zunfelu s", "cat s", "plain s",
              "zunfelu/cat", "zunfelu/plain", "zunfelu MB/s", "zunfelu KiB", "cat KiB");
  // ZUNFEL_BENCH_SETS (for example "S") times only the sets it names.
  const char* chosen = std::getenv("ZUNFEL_BENCH_SETS");
  for (const char* set : {"L", "S", "M"}) {
    if (chosen != nullptr && std::strstr(chosen, set) == nullptr) continue;
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
    std::vector<double> merge_times, cat_times, plain_times, vs_cat, vs_plain;
    long merge_peak = 0, cat_peak = 0;
    for (int i = 0; i <= runs; ++i) {  // run 0 warms up
      // Whichever runs first after a pause is slower here, so the order
      // turns round from one turn to the next.
      Timing m{}, c{};
      double p = 0;
      for (int k = 0; k < 3; ++k) {
        switch ((i + k) % 3) {
          case 0:
            std::remove(target.c_str());
            m = run({zunfelu, "P.Z00"}, folder, "/dev/null");
            break;
          case 1:
            std::remove(out.c_str());
            c = run(cat, folder, out.c_str());
            break;
          default:
            if (!plain.empty()) {
              std::remove(out.c_str());
              p = run(copy, folder, out.c_str()).seconds;
            }
        }
      }
      if (i == 0) continue;
      merge_times.push_back(m.seconds);
      cat_times.push_back(c.seconds);
      vs_cat.push_back(m.seconds / c.seconds);
      if (p > 0) {
        plain_times.push_back(p);
        vs_plain.push_back(m.seconds / p);
      }
      merge_peak = std::max(merge_peak, m.peak_kib);
      cat_peak = std::max(cat_peak, c.peak_kib);
    }
    std::remove(target.c_str());
    std::remove(out.c_str());
    const double m = median(merge_times);
    std::printf("%-4s %9.4f %9.4f %9.4f %18s %18s %12.1f %11ld %8ld\n", set, m, median(cat_times),
                plain_times.empty() ? 0.0 : median(plain_times), spread(vs_cat).c_str(),
                spread(vs_plain).c_str(), bytes / m / 1e6, merge_peak, cat_peak);
  }
  std::printf("ratios: median (least-greatest) of %d pairs of neighbouring runs\n", runs);
  return 0;
}
