// zcut FILE PREFIX PARTS [STAMP]: cuts FILE into a component set, as the
// companion cutting tool would. Used for the bundled example and the benchmark.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "set_writer.hpp"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: zcut FILE PREFIX PARTS [STAMP]\n");
    return 2;
  }
  const std::string whole = read_bytes(argv[1]);
  const int parts = std::atoi(argv[3]);
  const auto stamp = static_cast<std::int32_t>(argc > 4 ? std::atol(argv[4]) : 0);
  std::string name = argv[1];
  if (const auto slash = name.rfind('/'); slash != std::string::npos) {
    name = name.substr(slash + 1);
  }
  write_set(".", argv[2], cut_into(whole, name, parts, stamp));
  return 0;
}
