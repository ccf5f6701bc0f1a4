// make_sets DIR: writes the benchmark's three sets with the project's writer
// of component files, each in its own folder under DIR:
//   L: 127 components, 1 GiB of random data in all
//   S: 127 components of 1 byte each
//   M: 10 components of 100 MiB + 1 byte each
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "set_writer.hpp"

namespace {

// Random bytes, so that the checksum loop sees every value.
std::string random_data(std::size_t n) {
  std::string s(n, '\0');
  std::uint64_t x = 0x9E3779B97F4A7C15u;
  for (std::size_t i = 0; i < n; i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    for (std::size_t b = 0; b < 8 && i + b < n; ++b) {
      s[i + b] = static_cast<char>(x >> (8 * b));
    }
  }
  return s;
}

void make(const std::string& dir, const char* set, std::size_t bytes, int parts) {
  const std::string folder = dir + "/" + set;
  std::filesystem::create_directories(folder);
  write_set(folder, "P", cut_into(random_data(bytes), "whole.bin", parts, 868000000));
  std::printf("set %s: %d components, %zu bytes\n", set, parts, bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_sets DIR\n");
    return 2;
  }
  make(argv[1], "L", std::size_t{1} << 30, 127);
  make(argv[1], "S", 127, 127);
  make(argv[1], "M", 10 * ((std::size_t{100} << 20) + 1), 10);
  return 0;
}
