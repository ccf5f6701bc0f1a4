// The component file format: names, the two 86-byte header forms and the
// per-component checksum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Every name the tool handles lives in a buffer of this size.
constexpr std::size_t kNameBufferSize = 100;
constexpr std::size_t kHeaderSize = 86;
constexpr std::size_t kFirstNameField = 70;
constexpr std::size_t kContinuationNameField = 78;

// A decoded component header, first or continuation form. The continuation
// form leaves `stamp` and `total_size` at zero: its name field covers them.
struct ComponentHeader {
  int count;
  int sequence;
  char name[kNameBufferSize];
  std::int32_t stamp;
  std::int32_t total_size;
  std::uint16_t checksum;
  std::int32_t data_length;
};

// Both readers start at the beginning of the stream and stop at the first
// field that does not arrive whole. Fields that did not arrive are zero (a
// name cut short reads as empty), except `data_length`, which reads as the
// largest length there is, so that the length check turns a cut header away.
ComponentHeader read_first_header(std::FILE* fptr);
ComponentHeader read_continuation_header(std::FILE* fptr);
// The same from the `got` bytes of a header that arrived.
ComponentHeader decode_first_header(const unsigned char* bytes, std::size_t got);
ComponentHeader decode_continuation_header(const unsigned char* bytes, std::size_t got);

// Adds bytes to a component checksum: each byte counts as a signed 8-bit
// value. The sum is kept unsigned so that it wraps instead of overflowing;
// its low 16 bits are the checksum.
// With SSE2 the bytes are summed sixteen at a time; the portable loop gives
// the same sum on every target.
std::uint32_t checksum_add(std::uint32_t sum, const unsigned char* data, std::size_t length);
std::uint32_t checksum_add_portable(std::uint32_t sum, const unsigned char* data,
                                    std::size_t length);

// Builds the name of component `number` of the set `prefix` ("P.Z00",
// "P.Z07", "P.Z100"); with a drive ("A:") it becomes "A:\P.Z07".
void component_name(char* out, std::size_t out_size, const char* prefix, const char* drive,
                    int number);
