#pragma once
// Big-endian encoding shared by the dataset writer and reader.
#include <bit>
#include <cstdint>
#include <cstring>

namespace talva::miriad::be {

inline void put32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}
inline void put64(std::uint8_t* p, std::uint64_t v) {
  put32(p, static_cast<std::uint32_t>(v >> 32));
  put32(p + 4, static_cast<std::uint32_t>(v));
}
inline void put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
inline void put_float(std::uint8_t* p, float v) { put32(p, std::bit_cast<std::uint32_t>(v)); }
inline void put_double(std::uint8_t* p, double v) { put64(p, std::bit_cast<std::uint64_t>(v)); }

inline std::uint32_t get32(const std::uint8_t* p) {
  return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}
inline std::uint64_t get64(const std::uint8_t* p) { return (std::uint64_t(get32(p)) << 32) | get32(p + 4); }
inline std::uint16_t get16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
inline float get_float(const std::uint8_t* p) { return std::bit_cast<float>(get32(p)); }
inline double get_double(const std::uint8_t* p) { return std::bit_cast<double>(get64(p)); }

}  // namespace talva::miriad::be

namespace talva::miriad {

/// Bytes of one element of a uv variable of type a j i r d c (0 for any other letter).
inline int element_size(char type) {
  switch (type) {
    case 'a':
      return 1;
    case 'j':
      return 2;
    case 'i':
    case 'r':
      return 4;
    case 'd':
    case 'c':
      return 8;
    default:
      return 0;
  }
}

}  // namespace talva::miriad
