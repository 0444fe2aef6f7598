#pragma once
// The product of two single-precision complex values, written out.
#include <complex>

namespace talva {

/// (a + bi)(c + di) = (ac - bd) + (ad + bc)i in single precision: as the
/// complex product rounds for finite values (without its recovery of
/// infinite parts from NaN results), the same wherever it is formed (the
/// build forbids contractions).
inline std::complex<float> complex_product(std::complex<float> x, std::complex<float> y) {
  const float a = x.real(), b = x.imag(), c = y.real(), d = y.imag();
  return {a * c - b * d, a * d + b * c};
}

}  // namespace talva
