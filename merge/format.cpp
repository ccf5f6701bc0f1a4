#include "format.hpp"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <climits>
#include <cstring>

namespace {

// Reads one field as one item; after the first short field nothing more is
// read, and a field that did not arrive whole is left zero.
bool read_field(std::FILE* fptr, unsigned char* field, std::size_t size, bool& cut) {
  std::memset(field, 0, size);
  if (cut) {
    return false;
  }
  if (std::fread(field, size, 1, fptr) != 1) {
    std::memset(field, 0, size);
    cut = true;
    return false;
  }
  return true;
}

std::int32_t little_endian_32(const unsigned char* p) {
  const std::uint32_t value = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                              std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
  return static_cast<std::int32_t>(value);
}

std::uint16_t little_endian_16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

int signed_byte(unsigned char b) { return static_cast<signed char>(b); }

// Reads the fields that both forms share after the name: checksum, length.
void read_tail(std::FILE* fptr, ComponentHeader& header, bool& cut) {
  unsigned char field[4];
  if (read_field(fptr, field, 2, cut)) {
    header.checksum = little_endian_16(field);
  }
  if (read_field(fptr, field, 4, cut)) {
    header.data_length = little_endian_32(field);
  }
}

ComponentHeader empty_header() {
  ComponentHeader header{};
  header.data_length = INT32_MAX;
  return header;
}

// Reads the count, sequence and name fields that open both forms.
void read_head(std::FILE* fptr, ComponentHeader& header, std::size_t name_field, bool& cut) {
  unsigned char byte[1];
  if (read_field(fptr, byte, 1, cut)) {
    header.count = signed_byte(byte[0]);
  }
  if (read_field(fptr, byte, 1, cut)) {
    header.sequence = signed_byte(byte[0]);
  }
  // The buffer is larger than either field, so the name is always terminated.
  read_field(fptr, reinterpret_cast<unsigned char*>(header.name), name_field, cut);
}

}  // namespace

ComponentHeader read_first_header(std::FILE* fptr) {
  ComponentHeader header = empty_header();
  bool cut = false;
  read_head(fptr, header, kFirstNameField, cut);
  unsigned char field[4];
  if (read_field(fptr, field, 4, cut)) {
    header.stamp = little_endian_32(field);
  }
  if (read_field(fptr, field, 4, cut)) {
    header.total_size = little_endian_32(field);
  }
  read_tail(fptr, header, cut);
  return header;
}

ComponentHeader read_continuation_header(std::FILE* fptr) {
  ComponentHeader header = empty_header();
  bool cut = false;
  read_head(fptr, header, kContinuationNameField, cut);
  read_tail(fptr, header, cut);
  return header;
}

std::uint32_t checksum_add_portable(std::uint32_t sum, const unsigned char* data,
                                    std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    sum += static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(data[i])));
  }
  return sum;
}

#ifdef __SSE2__
// A byte b taken as signed is (b XOR 0x80) taken as unsigned, less 128: the
// unsigned sums come from psadbw, eight bytes to a lane, 32 bytes a step, and the 128s are
// taken off at the end. The sum wraps at 2^32 like the portable one.
std::uint32_t checksum_add(std::uint32_t sum, const unsigned char* data, std::size_t length) {
  const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
  const __m128i zero = _mm_setzero_si128();
  __m128i lanes = _mm_setzero_si128();
  __m128i more = _mm_setzero_si128();  // a second sum, so that two steps overlap
  const std::size_t whole = length - length % 32;
  for (std::size_t i = 0; i < whole; i += 32) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 16));
    lanes = _mm_add_epi64(lanes, _mm_sad_epu8(_mm_xor_si128(a, flip), zero));
    more = _mm_add_epi64(more, _mm_sad_epu8(_mm_xor_si128(b, flip), zero));
  }
  lanes = _mm_add_epi64(lanes, more);
  std::uint64_t halves[2];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(halves), lanes);
  sum +=
      static_cast<std::uint32_t>(halves[0] + halves[1] - 128 * static_cast<std::uint64_t>(whole));
  return checksum_add_portable(sum, data + whole, length - whole);
}
#else
std::uint32_t checksum_add(std::uint32_t sum, const unsigned char* data, std::size_t length) {
  return checksum_add_portable(sum, data, length);
}
#endif

void component_name(char* out, std::size_t out_size, const char* prefix, const char* drive,
                    int number) {
  if (drive != nullptr) {
    std::snprintf(out, out_size, "%2s\\%s.Z%02d", drive, prefix, number);
  } else {
    std::snprintf(out, out_size, "%s.Z%02d", prefix, number);
  }
}
