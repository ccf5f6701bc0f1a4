// libFuzzer target: any byte string as the start of a component file, decoded
// as a first and as a continuation header, and summed as component data; any
// byte string as a stored target name.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "format.hpp"
#include "target_name.hpp"

namespace {

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort();
  }
}

std::int32_t le32(const std::uint8_t* p) {
  return static_cast<std::int32_t>(std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                                   std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24);
}

// The input as a stream; fmemopen refuses an empty buffer, /dev/null does not.
std::FILE* stream_of(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return std::fopen("/dev/null", "rb");
  }
  return fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
}

void check_header(const std::uint8_t* data, std::size_t size, bool first) {
  std::FILE* f = stream_of(data, size);
  require(f != nullptr, "no stream");
  const ComponentHeader h = first ? read_first_header(f) : read_continuation_header(f);
  std::fclose(f);
  const std::size_t field = first ? kFirstNameField : kContinuationNameField;
  // The name ends inside its field or right after it, and nothing of the
  // input lands beyond the field.
  require(std::memchr(h.name, 0, field + 1) != nullptr, "name not terminated");
  for (std::size_t i = field; i < kNameBufferSize; ++i) {
    require(h.name[i] == 0, "bytes past the name field");
  }
  const std::size_t name_end = 2 + field;
  if (size >= 1) require(h.count == static_cast<std::int8_t>(data[0]), "count");
  if (size >= 2) require(h.sequence == static_cast<std::int8_t>(data[1]), "sequence");
  if (size >= name_end) {
    require(std::strncmp(h.name, reinterpret_cast<const char*>(data + 2), field) == 0, "name");
  } else {
    require(h.name[0] == 0, "a name cut short reads as empty");
  }
  if (first && size >= 76) require(h.stamp == le32(data + 72), "stamp");
  if (first && size >= 80) require(h.total_size == le32(data + 76), "total size");
  if (size >= 82) require(h.checksum == (data[80] | data[81] << 8), "checksum");
  if (size >= kHeaderSize) {
    require(h.data_length == le32(data + 82), "data length");
  } else {
    require(h.data_length == INT32_MAX, "a cut header's length must fail the length check");
  }
}

void check_checksum(const std::uint8_t* data, std::size_t size) {
  std::int64_t reference = 0;
  for (std::size_t i = 0; i < size; ++i) {
    reference += static_cast<std::int8_t>(data[i]);
  }
  const std::uint32_t whole = checksum_add(0, data, size);
  require(static_cast<std::uint16_t>(whole) == static_cast<std::uint16_t>(reference), "sum");
  const std::size_t cut = size == 0 ? 0 : data[0] % (size + 1);
  const std::uint32_t split = checksum_add(checksum_add(0, data, cut), data + cut, size - cut);
  require(static_cast<std::uint16_t>(split) == static_cast<std::uint16_t>(whole), "split sum");
}

void check_target_name(const std::uint8_t* data, std::size_t size, bool dos) {
  const std::string stored(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 99));
  const TargetName t = safe_target_name(stored.c_str(), dos);
  const std::string name = t.name;
  require(!name.empty() || t.replaced || stored.empty() || stored[0] == '\0', "empty safe name");
  if (t.replaced) {
    require(name.find('/') == std::string::npos, "separator left in a replaced name");
    if (dos) {
      require(name.find('\\') == std::string::npos, "backslash left in a replaced name");
      require(name.size() < 2 || name[1] != ':', "drive left in a replaced name");
    }
  } else {
    require(name.empty() || name[0] != '/', "absolute name kept");
    require(("/" + name + "/").find("/../") == std::string::npos, "climbing name kept");
  }
  // What is shown holds no control byte and, for a name without a
  // backslash of its own, reads back as the name.
  const std::string shown = shown_name(stored.c_str(), !dos).text;
  const std::string name_part = stored.substr(0, stored.find('\0'));
  const bool plain = name_part.find('\\') == std::string::npos;
  std::string unescaped;
  for (std::size_t k = 0; k < shown.size(); ++k) {
    const unsigned char c = static_cast<unsigned char>(shown[k]);
    require(c >= 0x20 && c != 0x7F, "control byte shown");
    require(dos || c != 0xC2 || k + 1 >= shown.size() ||
                static_cast<unsigned char>(shown[k + 1]) < 0x80 ||
                static_cast<unsigned char>(shown[k + 1]) > 0x9F,
            "C1 control shown");
    if (plain && c == '\\' && k + 3 < shown.size()) {
      unescaped += static_cast<char>(std::stoi(shown.substr(k + 1, 3), nullptr, 8));
      k += 3;
    } else {
      unescaped += shown[k];
    }
  }
  require(!plain || unescaped == name_part, "shown name does not read back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_header(data, size, true);
  check_header(data, size, false);
  check_checksum(data, size);
  check_target_name(data, size, false);
  check_target_name(data, size, true);
  return 0;
}
