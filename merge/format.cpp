#include "format.hpp"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <climits>
#include <cstring>

namespace {

std::int32_t little_endian_32(const unsigned char* p) {
  const std::uint32_t value = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                              std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
  return static_cast<std::int32_t>(value);
}

std::uint16_t little_endian_16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

int signed_byte(unsigned char b) { return static_cast<signed char>(b); }

// The header's bytes as they arrived, taken field by field in the order of
// the format: after the first field that did not arrive whole, no field is
// taken. One read brings them all; the fields it took are the ones that
// reading each on its own would have delivered.
struct Fields {
  const unsigned char* bytes;
  std::size_t got;
  std::size_t at = 0;
  bool cut = false;

  Fields(const unsigned char* arrived, std::size_t count) : bytes(arrived), got(count) {}
  // The next field of `size` bytes, or null once the header was cut short.
  const unsigned char* next(std::size_t size) {
    cut = cut || at + size > got;
    if (cut) {
      return nullptr;
    }
    at += size;
    return bytes + at - size;
  }
};

ComponentHeader empty_header() {
  ComponentHeader header{};
  header.data_length = INT32_MAX;
  return header;
}

// The count, sequence and name fields that open both forms. The buffer is
// larger than either name field, so the name is always terminated.
void read_head(Fields& fields, ComponentHeader& header, std::size_t name_field) {
  if (const unsigned char* p = fields.next(1)) {
    header.count = signed_byte(*p);
  }
  if (const unsigned char* p = fields.next(1)) {
    header.sequence = signed_byte(*p);
  }
  if (const unsigned char* p = fields.next(name_field)) {
    std::memcpy(header.name, p, name_field);
  }
}

// The fields that both forms share after the name: checksum, length.
void read_tail(Fields& fields, ComponentHeader& header) {
  if (const unsigned char* p = fields.next(2)) {
    header.checksum = little_endian_16(p);
  }
  if (const unsigned char* p = fields.next(4)) {
    header.data_length = little_endian_32(p);
  }
}

}  // namespace

ComponentHeader decode_first_header(const unsigned char* bytes, std::size_t got) {
  ComponentHeader header = empty_header();
  Fields fields(bytes, got);
  read_head(fields, header, kFirstNameField);
  if (const unsigned char* p = fields.next(4)) {
    header.stamp = little_endian_32(p);
  }
  if (const unsigned char* p = fields.next(4)) {
    header.total_size = little_endian_32(p);
  }
  read_tail(fields, header);
  return header;
}

ComponentHeader decode_continuation_header(const unsigned char* bytes, std::size_t got) {
  ComponentHeader header = empty_header();
  Fields fields(bytes, got);
  read_head(fields, header, kContinuationNameField);
  read_tail(fields, header);
  return header;
}

ComponentHeader read_first_header(std::FILE* fptr) {
  unsigned char bytes[kHeaderSize];
  return decode_first_header(bytes, std::fread(bytes, 1, sizeof bytes, fptr));
}

ComponentHeader read_continuation_header(std::FILE* fptr) {
  unsigned char bytes[kHeaderSize];
  return decode_continuation_header(bytes, std::fread(bytes, 1, sizeof bytes, fptr));
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

// Every component's name is built, and twice more for the check of the
// stored name: by hand, as the formatter would ("%s.Z%02d", with a drive
// "%2s\\%s.Z%02d"), cut to `out_size`.
void component_name(char* out, std::size_t out_size, const char* prefix, const char* drive,
                    int number) {
  if (out_size == 0) {
    return;
  }
  std::size_t at = 0;
  const auto put = [&](char c) {
    if (at + 1 < out_size) {
      out[at++] = c;
    }
  };
  if (drive != nullptr) {
    for (std::size_t width = std::strlen(drive); width < 2; ++width) {
      put(' ');
    }
    for (const char* p = drive; *p != '\0'; ++p) {
      put(*p);
    }
    put('\\');
  }
  for (const char* p = prefix; *p != '\0'; ++p) {
    put(*p);
  }
  put('.');
  put('Z');
  char digits[12];
  int count = 0;
  unsigned value = number < 0 ? 0u - static_cast<unsigned>(number) : static_cast<unsigned>(number);
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  if (number < 0) {
    put('-');
  } else if (count < 2) {
    digits[count++] = '0';
  }
  while (count > 0) {
    put(digits[--count]);
  }
  out[at] = '\0';
}
