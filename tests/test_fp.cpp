// The instrument float: the worked examples in both directions, the exponent
// and sign quirks of the decoder, and the encoder's behaviour outside the
// format's range.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "archive/fp.h"

namespace {

using Bytes = std::array<std::uint8_t, 4>;

Bytes encode(double v) {
  Bytes b{0xAA, 0xAA, 0xAA, 0xAA};  // every byte must be overwritten
  EXPECT_EQ(FP_to_Byte(v, b), 0);
  return b;
}

double decode(Bytes b) { return Byte_to_FP(b); }

struct Example {
  double value;
  Bytes bytes;
  double decoded;
};

// value -> bytes b0 b1 b2 b3 -> the value those bytes decode to
const Example kExamples[] = {
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
    {0.4999999999, {0x00, 0x00, 0x80, 0x40}, 0.5},
};

TEST(InstrumentFloat, WorkedExamplesEncodeAndDecode) {
  for (const auto& e : kExamples) {
    SCOPED_TRACE(e.value);
    EXPECT_EQ(encode(e.value), e.bytes);
    EXPECT_EQ(decode(e.bytes), e.decoded);
  }
}

TEST(InstrumentFloat, DecodeOnlyPatterns) {
  EXPECT_EQ(decode({0x00, 0x00, 0x00, 0x00}), 0.0);
  const double negzero = decode({0x00, 0x00, 0x00, 0x80});
  EXPECT_EQ(negzero, 0.0);
  EXPECT_TRUE(std::signbit(negzero));
  EXPECT_EQ(decode({0x00, 0x00, 0xC0, 0xC0}), -0.75);  // exponent pattern 0x40 reads as 0
  EXPECT_EQ(decode({0xFF, 0xFF, 0xFF, 0x3F}), 9223371487098961920.0);
  EXPECT_EQ(decode({0x01, 0x00, 0x00, 0x41}), std::ldexp(1.0, -87));
}

TEST(InstrumentFloat, SignBitLeavesExponentAlone) {
  // positive and negative exponents, each with the sign bit clear and set
  for (std::uint8_t e : {0x01, 0x05, 0x3F, 0x41, 0x7F}) {
    const double pos = decode({0x00, 0x00, 0x80, e});
    const double neg = decode({0x00, 0x00, 0x80, static_cast<std::uint8_t>(e | 0x80)});
    EXPECT_EQ(neg, -pos) << int(e);
  }
  EXPECT_EQ(decode({0x00, 0x00, 0x80, 0x05}), 16.0);
  EXPECT_EQ(decode({0x00, 0x00, 0x80, 0x7B}), 0.5 / 32);  // 0x7B = -5
}

TEST(InstrumentFloat, ZeroExponentPatternsAndUnnormalisedMantissa) {
  EXPECT_EQ(decode({0x00, 0x00, 0x80, 0x00}), 0.5);
  EXPECT_EQ(decode({0x00, 0x00, 0x80, 0x40}), 0.5);
  EXPECT_EQ(decode({0x00, 0x00, 0x40, 0x01}), 0.5);  // b2 < 0x80 is accepted as it stands
  EXPECT_EQ(decode({0x01, 0x00, 0x00, 0x00}), std::ldexp(1.0, -24));
  // each mantissa byte in its own place: b0 least significant
  EXPECT_EQ(decode({0x00, 0x01, 0x00, 0x18}), 256.0);  // 2^8 / 2^24 * 2^24
  EXPECT_EQ(decode({0x00, 0x00, 0x01, 0x18}), 65536.0);
}

TEST(InstrumentFloat, EncoderExponentByte) {
  for (double v : {0.5, 0.75, 0.999, 0.5000001}) {
    EXPECT_EQ(encode(v)[3], 0x40) << v;
    EXPECT_EQ(encode(-v)[3], 0xC0) << v;
  }
  for (double v : {1.0, 1.5, 2.0, 12345.678, 0.9999999999}) {
    const auto b = encode(v);
    EXPECT_NE(b[3] & 0x7F, 0x40) << v;
    EXPECT_NE(b[3] & 0x7F, 0x00) << v;
    EXPECT_GE(b[2], 0x80) << v;  // normalised
  }
  EXPECT_EQ(encode(1.0e-6)[3], 0x6D);  // 2^-20 <= 1e-6 < 2^-19: E = -19
}

/// The value rounded half up to a 24-bit fraction, computed independently.
double rounded24(double v) {
  int e = 0;
  const double f = std::frexp(std::fabs(v), &e);  // f in [0.5, 1)
  const double q = std::floor(f * 16777216.0 + 0.5) / 16777216.0;
  return std::copysign(std::ldexp(q, e), v);
}

TEST(InstrumentFloat, RoundTripRoundsTo24Bits) {
  std::uint64_t x = 0x9E3779B97F4A7C15ull;
  for (int i = 0; i < 20000; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    const double mant = static_cast<double>(x >> 11) / 9007199254740992.0 + 0.25;
    const int exp = static_cast<int>(x % 100) - 50;
    const double v = (x & 1 ? -1.0 : 1.0) * std::ldexp(mant, exp);
    ASSERT_EQ(decode(encode(v)), rounded24(v)) << v;
  }
  // exact halves round up in magnitude
  const double half_ulp = 0.5 + std::ldexp(1.0, -25);
  EXPECT_EQ(decode(encode(half_ulp)), 0.5 + std::ldexp(1.0, -24));
  EXPECT_EQ(decode(encode(-half_ulp)), -(0.5 + std::ldexp(1.0, -24)));
}

TEST(InstrumentFloat, EncoderOutsideTheRange) {
  const Bytes zero{0, 0, 0, 0};
  const Bytes largest{0xFF, 0xFF, 0xFF, 0x3F};
  const Bytes most_negative{0xFF, 0xFF, 0xFF, 0xBF};
  EXPECT_EQ(encode(0.0), zero);
  EXPECT_EQ(encode(-0.0), zero);
  EXPECT_EQ(encode(std::numeric_limits<double>::quiet_NaN()), zero);
  EXPECT_EQ(encode(std::ldexp(1.0, -70)), zero);
  EXPECT_EQ(encode(std::numeric_limits<double>::denorm_min()), zero);
  EXPECT_EQ(encode(std::ldexp(0.75, -64)), zero);  // E would be -64
  EXPECT_EQ(encode(std::numeric_limits<double>::infinity()), largest);
  EXPECT_EQ(encode(-std::numeric_limits<double>::infinity()), most_negative);
  EXPECT_EQ(encode(std::ldexp(1.0, 63)), largest);
  EXPECT_EQ(encode(-1e300), most_negative);
  // just below 2^63 but rounding to it: clipped, not wrapped into the exponent's sign bit
  EXPECT_EQ(encode(std::ldexp(1.0 - std::ldexp(1.0, -26), 63)), largest);
  // the extremes of the range itself encode exactly
  EXPECT_EQ(encode(std::ldexp(1.0 - std::ldexp(1.0, -24), 63)), largest);
  const Bytes smallest_normal{0x00, 0x00, 0x80, 0x41};
  EXPECT_EQ(encode(std::ldexp(1.0, -64)), smallest_normal);
  EXPECT_EQ(decode(smallest_normal), std::ldexp(1.0, -64));
  // a value just below 2^-64 that rounds up to it is kept
  EXPECT_EQ(encode(std::ldexp(1.0 - std::ldexp(1.0, -30), -64)), smallest_normal);
}

}  // namespace
