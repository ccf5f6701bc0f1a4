// A test-side writer of component files, able to write valid sets and sets
// broken in any field. It shares no code with the engine on purpose.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Component {
  int count = 1;
  int sequence = 0;
  std::string name;  // raw bytes of the name field; zero-padded, cut to the field
  std::int32_t stamp = 0;
  std::int32_t total_size = 0;
  std::uint16_t checksum = 0;
  std::int32_t data_length = 0;
  std::string data;           // what follows the header
  long long keep_bytes = -1;  // cut the written file to this many bytes
};

// The signed-byte checksum, computed independently of the engine.
std::uint16_t reference_checksum(const std::string& data);

// Cuts `whole` into `parts` valid components (the last takes the rest).
std::vector<Component> cut_into(const std::string& whole, const std::string& name, int parts,
                                std::int32_t stamp);

// The bytes of one component file; the first header when `first`.
std::string encode_component(const Component& c, bool first);

// "P.Z00", "P.Z07", "P.Z100".
std::string component_file(const std::string& prefix, int number);

// Writes every component of `set` as prefix.Z00, prefix.Z01, … in `dir`.
void write_set(const std::string& dir, const std::string& prefix,
               const std::vector<Component>& set);

void write_bytes(const std::string& path, const std::string& bytes);
std::string read_bytes(const std::string& path);
