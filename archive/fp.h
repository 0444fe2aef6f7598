#pragma once
// The instrument's 4-byte float: a 24-bit sign-magnitude fraction (bytes 0-2,
// least significant first) and a 7-bit two's-complement binary exponent
// (byte 3, bits 0-6); bit 7 of byte 3 is the sign. Not IEEE 754.
#include <cstdint>
#include <span>

namespace talva::archive {

/// Decodes 4 instrument-float bytes to a double (exact; every pattern is finite).
double Byte_to_FP(std::span<const std::uint8_t, 4> FP_Byte);

/// Encodes `dval` into 4 instrument-float bytes (fraction rounded half up to
/// 24 bits). Always returns 0. Values outside the format:
///  - zero (either sign), NaN, and magnitudes that round below 2^-64 (the
///    smallest normalised value, bytes 00 00 80 41) encode as four zero
///    bytes, which decode to 0.0;
///  - infinities and magnitudes that round to 2^63 or above encode as the
///    largest magnitude with the value's sign: FF FF FF 3F, or FF FF FF BF.
int FP_to_Byte(double dval, std::span<std::uint8_t, 4> dch);

}  // namespace talva::archive
