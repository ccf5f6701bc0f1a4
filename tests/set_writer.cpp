#include "set_writer.hpp"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace {

void put_le(std::string& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  }
}

void put_name(std::string& out, const std::string& name, std::size_t field) {
  std::string bytes = name.substr(0, field);
  bytes.resize(field, '\0');
  out += bytes;
}

}  // namespace

std::uint16_t reference_checksum(const std::string& data) {
  long long sum = 0;
  for (unsigned char b : data) {
    sum += b < 0x80 ? b : b - 256;
  }
  return static_cast<std::uint16_t>(((sum % 65536) + 65536) % 65536);
}

std::vector<Component> cut_into(const std::string& whole, const std::string& name, int parts,
                                std::int32_t stamp) {
  std::vector<Component> set;
  const std::size_t piece = parts > 0 ? whole.size() / static_cast<std::size_t>(parts) : 0;
  for (int k = 0; k < parts; ++k) {
    Component c;
    c.count = parts;
    c.sequence = k;
    c.name = name;
    c.stamp = stamp;
    c.total_size = static_cast<std::int32_t>(whole.size());
    const std::size_t from = piece * static_cast<std::size_t>(k);
    c.data = k + 1 == parts ? whole.substr(from) : whole.substr(from, piece);
    c.data_length = static_cast<std::int32_t>(c.data.size());
    c.checksum = reference_checksum(c.data);
    set.push_back(c);
  }
  return set;
}

std::string encode_component(const Component& c, bool first) {
  std::string out;
  out.push_back(static_cast<char>(c.count & 0xFF));
  out.push_back(static_cast<char>(c.sequence & 0xFF));
  if (first) {
    put_name(out, c.name, 70);
    put_le(out, static_cast<std::uint32_t>(c.stamp), 4);
    put_le(out, static_cast<std::uint32_t>(c.total_size), 4);
  } else {
    put_name(out, c.name, 78);
  }
  put_le(out, c.checksum, 2);
  put_le(out, static_cast<std::uint32_t>(c.data_length), 4);
  out += c.data;
  if (c.keep_bytes >= 0 && static_cast<std::size_t>(c.keep_bytes) < out.size()) {
    out.resize(static_cast<std::size_t>(c.keep_bytes));
  }
  return out;
}

std::string component_file(const std::string& prefix, int number) {
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".Z%02d", number);
  return prefix + suffix;
}

void write_set(const std::string& dir, const std::string& prefix,
               const std::vector<Component>& set) {
  for (std::size_t k = 0; k < set.size(); ++k) {
    write_bytes(dir + "/" + component_file(prefix, static_cast<int>(k)),
                encode_component(set[k], k == 0));
  }
}

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
