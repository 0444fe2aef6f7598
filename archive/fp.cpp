// The instrument's 4-byte float: decoding and encoding.
#include "archive/fp.h"

#include <cmath>

namespace talva::archive {

namespace {

constexpr double kTwo24 = 16777216.0;  // 2^24: scale of the 24-bit fraction
constexpr int kMaxExponent = 63;
constexpr int kMinExponent = -63;

void put_zero(std::span<std::uint8_t, 4> dch) { dch[0] = dch[1] = dch[2] = dch[3] = 0; }

void put_largest(bool negative, std::span<std::uint8_t, 4> dch) {
  dch[0] = dch[1] = dch[2] = 0xFF;
  dch[3] = negative ? 0xBF : 0x3F;
}

}  // namespace

double Byte_to_FP(std::span<const std::uint8_t, 4> FP_Byte) {
  const std::uint8_t SignM = FP_Byte[3] & 0x80;
  const double SignMan = SignM == 0x80 ? -1.0 : 1.0;
  const double Mantissa = SignMan * ((FP_Byte[2] * 256.0 + FP_Byte[1]) * 256.0 + FP_Byte[0]) / kTwo24;

  // Bits 0-6 of byte 3 are a 7-bit two's-complement exponent whatever bit 7
  // holds; the pattern 0x40 (-64) comes out as 0.
  std::uint8_t FourthByte = FP_Byte[3];
  const std::uint8_t SByte4 = FP_Byte[3] & 0x40;
  int SExp = 1;
  if (SByte4 == 0x40) {
    SExp = -1;
    FourthByte = static_cast<std::uint8_t>(256 - FourthByte);
  }
  const int Exponent = (FourthByte & 0x3F) * SExp;
  const double FP_Result = std::ldexp(Mantissa, Exponent);  // exact
  return FP_Result;
}

int FP_to_Byte(double dval, std::span<std::uint8_t, 4> dch) {
  if (std::isnan(dval) || dval == 0.0) {
    put_zero(dch);
    return 0;
  }
  const bool negative = dval < 0;
  const int sman = negative ? -1 : 1;
  double value = std::fabs(dval);
  if (std::isinf(value) || value >= std::ldexp(1.0, kMaxExponent)) {
    put_largest(negative, dch);
    return 0;
  }
  if (value < std::ldexp(1.0, kMinExponent - 2)) {  // far below the range: no loop over subnormals
    put_zero(dch);
    return 0;
  }

  // Normalise to value = f * 2^E (halving and doubling are exact).
  int expnt = 0;
  if (value >= 1.0) {
    while (value > 1.0) {  // f ends in (0.5, 1]
      value /= 2.0;
      ++expnt;
    }
  } else {
    int count = 0;
    while (value < 1.0) {
      value *= 2.0;
      ++count;
    }
    value /= 2.0;  // f ends in [0.5, 1)
    expnt = -(count - 1);
  }

  const auto t1 = static_cast<std::uint32_t>(value * kTwo24 + 0.5);  // half up to 24 bits
  std::uint32_t m1 = t1 / 65536;
  const std::uint32_t m2 = (t1 % 65536) / 256;
  const std::uint32_t m3 = t1 % 256;
  if (m1 > 255) {  // the rounded fraction reached one: 0.5 x 2^(E+1)
    m1 = 0x80;
    ++expnt;
  }
  if (expnt > kMaxExponent) {
    put_largest(negative, dch);
    return 0;
  }
  if (expnt < kMinExponent) {
    put_zero(dch);
    return 0;
  }

  dch[0] = static_cast<std::uint8_t>(m3);
  dch[1] = static_cast<std::uint8_t>(m2);
  dch[2] = static_cast<std::uint8_t>(m1);
  std::uint8_t b3 = 0x40;  // E = 0: a fraction in [0.5, 1)
  if (expnt > 0) b3 = static_cast<std::uint8_t>(expnt);
  if (expnt < 0) b3 = static_cast<std::uint8_t>(128 + expnt);
  if (sman < 0) b3 |= 0x80;
  dch[3] = b3;
  return 0;
}

}  // namespace talva::archive
