// The checksum alone, over one 10000-byte chunk, against copying the same
// chunk (the baseline, run in the same invocation): the SSE2 sum and the
// portable loop. Compare the bytes-per-second figures.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "format.hpp"

namespace {

std::vector<unsigned char> chunk() {
  std::vector<unsigned char> data(10000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 37 + 11);
  return data;
}

void copy_baseline(benchmark::State& state) {
  const auto data = chunk();
  std::vector<unsigned char> out(data.size());
  for (auto _ : state) {
    std::memcpy(out.data(), data.data(), data.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<long>(state.iterations() * data.size()));
}

void checksum(benchmark::State& state) {
  const auto data = chunk();
  for (auto _ : state) {
    benchmark::DoNotOptimize(checksum_add(0, data.data(), data.size()));
  }
  state.SetBytesProcessed(static_cast<long>(state.iterations() * data.size()));
}

void checksum_portable(benchmark::State& state) {
  const auto data = chunk();
  for (auto _ : state) {
    benchmark::DoNotOptimize(checksum_add_portable(0, data.data(), data.size()));
  }
  state.SetBytesProcessed(static_cast<long>(state.iterations() * data.size()));
}

BENCHMARK(copy_baseline);
BENCHMARK(checksum);
BENCHMARK(checksum_portable);

}  // namespace

BENCHMARK_MAIN();
