// The instrument float: the worked examples in both directions, the decoder's
// exponent and sign quirks, rounding, and the encoder outside the range.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "archive/fp.h"

using talva::archive::Byte_to_FP;
using talva::archive::FP_to_Byte;

namespace {

using Bytes = std::array<std::uint8_t, 4>;

Bytes encode(double v) {
  Bytes b{0xAA, 0xAA, 0xAA, 0xAA};  // every byte must be overwritten
  EXPECT_EQ(FP_to_Byte(v, b), 0);
  return b;
}

double decode(Bytes b) { return Byte_to_FP(b); }

TEST(InstrumentFloat, WorkedExamplesBothWays) {
  struct {
    double value;
    Bytes bytes;  // b0 b1 b2 b3
    double decoded;
  } const examples[] = {
      {1.0, {0x00, 0x00, 0x80, 0x01}, 1.0},
      {-1.0, {0x00, 0x00, 0x80, 0x81}, -1.0},
      {0.5, {0x00, 0x00, 0x80, 0x40}, 0.5},
      {0.25, {0x00, 0x00, 0x80, 0x7F}, 0.25},
      {3.0, {0x00, 0x00, 0xC0, 0x02}, 3.0},
      {100.0, {0x00, 0x00, 0xC8, 0x07}, 100.0},
      {843.0, {0x00, 0xC0, 0xD2, 0x0A}, 843.0},
      {M_PI, {0xDB, 0x0F, 0xC9, 0x02}, 3.1415927410125732},
      {M_PI / 2, {0xDB, 0x0F, 0xC9, 0x01}, 1.5707963705062866},
      {-0.1, {0xCD, 0xCC, 0xCC, 0xFD}, -0.10000000149011612},
      {0.001, {0x6F, 0x12, 0x83, 0x77}, 0.0010000000474974513},
      {0.4999999999, {0x00, 0x00, 0x80, 0x40}, 0.5},  // the rounded fraction carries into the exponent
  };
  for (const auto& e : examples) {
    SCOPED_TRACE(e.value);
    EXPECT_EQ(encode(e.value), e.bytes);
    EXPECT_EQ(decode(e.bytes), e.decoded);
  }
}

TEST(InstrumentFloat, DecoderQuirks) {
  EXPECT_EQ(decode({0x00, 0x00, 0x00, 0x00}), 0.0);
  EXPECT_TRUE(std::signbit(decode({0x00, 0x00, 0x00, 0x80})));  // negative zero
  EXPECT_EQ(decode({0x00, 0x00, 0xC0, 0xC0}), -0.75);           // exponent pattern 0x40 reads as 0
  EXPECT_EQ(decode({0x00, 0x00, 0x80, 0x00}), 0.5);
  EXPECT_EQ(decode({0xFF, 0xFF, 0xFF, 0x3F}), 9223371487098961920.0);
  EXPECT_EQ(decode({0x01, 0x00, 0x00, 0x41}), std::ldexp(1.0, -87));
  EXPECT_EQ(decode({0x00, 0x00, 0x40, 0x01}), 0.5);    // unnormalised mantissa taken as it stands
  EXPECT_EQ(decode({0x00, 0x01, 0x00, 0x18}), 256.0);  // b1 is bits 8-15
  EXPECT_EQ(decode({0x00, 0x00, 0x01, 0x18}), 65536.0);
  // bit 7 of b3 is the sign only, whatever the exponent's sign
  for (std::uint8_t e : {0x01, 0x05, 0x3F, 0x41, 0x7B, 0x7F}) {
    const double pos = decode({0x00, 0x00, 0x80, e});
    EXPECT_EQ(decode({0x00, 0x00, 0x80, static_cast<std::uint8_t>(e | 0x80)}), -pos) << int(e);
  }
  EXPECT_EQ(decode({0x00, 0x00, 0x80, 0x7B}), 0.5 / 32);  // 0x7B = -5
}

/// The value rounded half up to a 24-bit fraction, computed independently.
double rounded24(double v) {
  int e = 0;
  const double f = std::frexp(std::fabs(v), &e);
  return std::copysign(std::ldexp(std::floor(f * 16777216.0 + 0.5) / 16777216.0, e), v);
}

TEST(InstrumentFloat, EncoderExponentByteAndRounding) {
  for (double v : {0.5, 0.75, 0.999, 0.5000001}) {  // [0.5, 1): exponent byte 0x40 / 0xC0
    EXPECT_EQ(encode(v)[3], 0x40) << v;
    EXPECT_EQ(encode(-v)[3], 0xC0) << v;
  }
  for (double v : {1.0, 2.0, 12345.678, 0.9999999999}) {  // never exponent 0 at or above 1
    EXPECT_NE(encode(v)[3] & 0x3F, 0) << v;
    EXPECT_GE(encode(v)[2], 0x80) << v;
  }
  EXPECT_EQ(encode(1.0e-6)[3], 0x6D);  // E = -19
  std::uint64_t x = 0x9E3779B97F4A7C15ull;
  for (int i = 0; i < 20000; ++i) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    const double v = (x & 1 ? -1.0 : 1.0) * std::ldexp(static_cast<double>(x >> 11) / 9007199254740992.0 + 0.25,
                                                       static_cast<int>(x % 100) - 50);
    ASSERT_EQ(decode(encode(v)), rounded24(v)) << v;
  }
  EXPECT_EQ(decode(encode(-(0.5 + std::ldexp(1.0, -25)))), -(0.5 + std::ldexp(1.0, -24)));  // halves go up in magnitude
}

TEST(InstrumentFloat, EncoderOutsideTheRange) {
  const Bytes zero{0, 0, 0, 0}, largest{0xFF, 0xFF, 0xFF, 0x3F}, most_negative{0xFF, 0xFF, 0xFF, 0xBF};
  const Bytes smallest{0x00, 0x00, 0x80, 0x41};
  for (double v : {0.0, -0.0, std::numeric_limits<double>::quiet_NaN(), std::ldexp(1.0, -70),
                   std::numeric_limits<double>::denorm_min(), std::ldexp(0.75, -64)})
    EXPECT_EQ(encode(v), zero) << v;
  EXPECT_EQ(encode(std::numeric_limits<double>::infinity()), largest);
  EXPECT_EQ(encode(-std::numeric_limits<double>::infinity()), most_negative);
  EXPECT_EQ(encode(std::ldexp(1.0, 63)), largest);
  EXPECT_EQ(encode(-1e300), most_negative);
  // rounding up to 2^63 clips instead of wrapping into the exponent's sign bit
  EXPECT_EQ(encode(std::ldexp(1.0 - std::ldexp(1.0, -26), 63)), largest);
  EXPECT_EQ(encode(std::ldexp(1.0 - std::ldexp(1.0, -24), 63)), largest);
  EXPECT_EQ(encode(std::ldexp(1.0, -64)), smallest);
  EXPECT_EQ(encode(std::ldexp(1.0 - std::ldexp(1.0, -30), -64)), smallest);  // rounds up into the range
  EXPECT_EQ(decode(smallest), std::ldexp(1.0, -64));
}

}  // namespace
