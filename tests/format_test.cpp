// The component format: header decoding, the checksum and component names.
#include "format.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "set_writer.hpp"

namespace {

// Decodes `bytes` as the start of a component file.
ComponentHeader decode(const std::string& bytes, bool first) {
  std::FILE* fp = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), fp);
  std::rewind(fp);
  const ComponentHeader h = first ? read_first_header(fp) : read_continuation_header(fp);
  std::fclose(fp);
  return h;
}

Component sample() {
  Component c;
  c.count = 3;
  c.sequence = 0;
  c.name = "report.txt";
  c.stamp = 868000000;
  c.total_size = 123456;
  c.checksum = 0xBEEF;
  c.data_length = 41152;
  return c;
}

struct HeaderCase {
  const char* title;
  bool first;
  std::string bytes;
  int count, sequence;
  std::string name;
  std::int32_t stamp, total_size;
  std::uint16_t checksum;
  std::int32_t data_length;
};

std::string with_byte(std::string s, std::size_t at, char b) {
  s[at] = b;
  return s;
}

TEST(ComponentHeader, DecodesEveryFormAndEveryCut) {
  const std::string first = encode_component(sample(), true);
  Component cont = sample();
  cont.sequence = 2;
  cont.name = std::string(78, 'n');
  const std::string second = encode_component(cont, false);
  Component odd = sample();
  odd.name = std::string("a\0junk", 6);
  odd.stamp = -5;
  odd.total_size = -1;
  odd.data_length = -2;
  const std::string bytes_after_zero = encode_component(odd, true);

  const HeaderCase cases[] = {
      {"whole first header", true, first, 3, 0, "report.txt", 868000000, 123456, 0xBEEF, 41152},
      {"continuation, 78-byte name", false, second, 3, 2, std::string(78, 'n'), 0, 0, 0xBEEF,
       41152},
      {"count and sequence sign-extend", true, with_byte(with_byte(first, 0, '\x80'), 1, '\xff'),
       -128, -1, "report.txt", 868000000, 123456, 0xBEEF, 41152},
      {"negative fields and bytes after the zero", true, bytes_after_zero, 3, 0, "a", -5, -1,
       0xBEEF, -2},
      {"70-byte name has no zero in the field", true,
       encode_component(
           [] {
             Component c = sample();
             c.name = std::string(70, 'x');
             return c;
           }(),
           true),
       3, 0, std::string(70, 'x'), 868000000, 123456, 0xBEEF, 41152},
      {"empty file", true, "", 0, 0, "", 0, 0, 0, INT32_MAX},
      {"count only", true, first.substr(0, 1), 3, 0, "", 0, 0, 0, INT32_MAX},
      {"name cut short reads as empty", true, first.substr(0, 40), 3, 0, "", 0, 0, 0, INT32_MAX},
      {"cut after the name", true, first.substr(0, 72), 3, 0, "report.txt", 0, 0, 0, INT32_MAX},
      {"cut inside the total size", true, first.substr(0, 78), 3, 0, "report.txt", 868000000, 0, 0,
       INT32_MAX},
      {"cut inside the length", true, first.substr(0, 84), 3, 0, "report.txt", 868000000, 123456,
       0xBEEF, INT32_MAX},
      {"continuation cut inside the checksum", false, second.substr(0, 81), 3, 2,
       std::string(78, 'n'), 0, 0, 0, INT32_MAX},
  };
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(c.title);
    const ComponentHeader h = decode(c.bytes, c.first);
    EXPECT_EQ(h.count, c.count);
    EXPECT_EQ(h.sequence, c.sequence);
    EXPECT_EQ(std::string(h.name), c.name);
    EXPECT_EQ(h.name[sizeof h.name - 1], '\0');
    EXPECT_EQ(h.stamp, c.stamp);
    EXPECT_EQ(h.total_size, c.total_size);
    EXPECT_EQ(h.checksum, c.checksum);
    EXPECT_EQ(h.data_length, c.data_length);
  }
}

TEST(ComponentChecksum, SumsSignedBytesModulo65536) {
  const struct {
    std::string data;
    std::uint16_t expected;
  } cases[] = {
      {"", 0x0000},
      {"\x01\x80\xff", 0xFF80},
      {"\xff", 0xFFFF},
      {"\x80", 0xFF80},
      {"abc", 'a' + 'b' + 'c'},
      {std::string(1000, '\x7f'), static_cast<std::uint16_t>(127000 % 65536)},
      {std::string(70000, '\x80'), static_cast<std::uint16_t>(-128LL * 70000 % 65536 + 65536)},
  };
  for (const auto& c : cases) {
    const auto* p = reinterpret_cast<const unsigned char*>(c.data.data());
    EXPECT_EQ(static_cast<std::uint16_t>(checksum_add(0, p, c.data.size())), c.expected);
    EXPECT_EQ(reference_checksum(c.data), c.expected);
    // Summing in pieces gives the same checksum as summing at once.
    const std::size_t half = c.data.size() / 2;
    EXPECT_EQ(static_cast<std::uint16_t>(
                  checksum_add(checksum_add(0, p, half), p + half, c.data.size() - half)),
              c.expected);
  }
}

// The vector sum against the portable loop: every length around the
// 16-byte steps, every alignment, and sums that wrap.
TEST(ComponentChecksum, FastSumEqualsPortableSum) {
  std::vector<unsigned char> data(70000 + 32);
  std::uint32_t x = 1997;
  for (auto& b : data) {
    x = x * 1103515245u + 12345u;
    b = static_cast<unsigned char>(x >> 16);
  }
  for (std::size_t offset = 0; offset < 16; ++offset) {
    for (std::size_t length : {0, 1, 15, 16, 17, 31, 33, 10000, 65537, 70000}) {
      const unsigned char* p = data.data() + offset;
      EXPECT_EQ(checksum_add(0xFFFFFF00u, p, length), checksum_add_portable(0xFFFFFF00u, p, length))
          << "offset " << offset << " length " << length;
    }
  }
  const std::vector<unsigned char> high(70000, 0xFF), low(70000, 0x7F);
  EXPECT_EQ(checksum_add(0, high.data(), high.size()), 0u - 70000u);
  EXPECT_EQ(checksum_add(0, low.data(), low.size()), 127u * 70000u);
}

TEST(ComponentName, NumbersWithTwoDigitsThenThree) {
  const struct {
    const char* prefix;
    const char* drive;
    int number;
    const char* expected;
  } cases[] = {
      {"report", nullptr, 0, "report.Z00"},    {"report", nullptr, 7, "report.Z07"},
      {"report", nullptr, 99, "report.Z99"},   {"report", nullptr, 100, "report.Z100"},
      {"report", nullptr, 126, "report.Z126"}, {"", nullptr, 0, ".Z00"},
      {"dir/r", nullptr, 1, "dir/r.Z01"},      {"report", "A:", 0, "A:\\report.Z00"},
      {"report", "b:", 12, "b:\\report.Z12"},
  };
  for (const auto& c : cases) {
    char out[kNameBufferSize];
    component_name(out, sizeof out, c.prefix, c.drive, c.number);
    EXPECT_STREQ(out, c.expected);
  }
  // Built by hand, the names are what the formatter gives, also cut short.
  for (const char* drive : {static_cast<const char*>(nullptr), "a:", "B"}) {
    for (int number = -3; number <= 130; ++number) {
      for (std::size_t size = 1; size <= 16; ++size) {
        char out[16];
        char expected[16];
        component_name(out, size, "rep", drive, number);
        if (drive != nullptr) {
          std::snprintf(expected, size, "%2s\\%s.Z%02d", drive, "rep", number);
        } else {
          std::snprintf(expected, size, "%s.Z%02d", "rep", number);
        }
        ASSERT_STREQ(out, expected) << number << " in " << size;
      }
    }
  }
}

}  // namespace
