// Redundancy classes of the array: the S matrix and the class lengths.
#include <algorithm>

#include "array/s_matrix.h"
#include "util/fmt.h"
#include "util/stop.h"

namespace talva::array {

namespace {
constexpr int kLastClassifiedBay = 44;  // bays 45-48 of each arm take part in no class
constexpr int kFirstWest = 49;
constexpr int kLastWestClassified = 92;
}  // namespace

void setup_s_matrix_(std::span<std::int32_t> S, int n, int& nclass, talva::Output& out) {
  if (n < 0 || S.size() < static_cast<std::size_t>(n) * static_cast<std::size_t>(n)) {
    talva::stop("setup_s_matrix: matrix of " + std::to_string(S.size()) + " entries is too small for order " +
                std::to_string(n));
  }
  std::fill(S.begin(), S.begin() + static_cast<std::ptrdiff_t>(n) * n, 0);
  const int east = std::min(kLastClassifiedBay, n);
  // East arm: i east of j when i > j
  for (int i = 1; i <= east; ++i)
    for (int j = 1; j <= east; ++j) mat(S, n, i, j) = std::max(i - j, 0);
  // West arm: i east of j when i < j
  const int west = std::min(kLastWestClassified, n);
  for (int i = kFirstWest; i <= west; ++i)
    for (int j = kFirstWest; j <= west; ++j) mat(S, n, i, j) = std::max(j - i, 0);
  out.line(talva::ListLine() << "Done West arm");
  // Cross arm: 44 + (i - 1) + (j - 49)
  for (int i = 1; i <= east; ++i)
    for (int j = kFirstWest; j <= west; ++j) mat(S, n, i, j) = i + j - 6;
  nclass = 0;
  for (std::size_t e = 0; e < static_cast<std::size_t>(n) * static_cast<std::size_t>(n); ++e)
    nclass = std::max(nclass, S[e]);
}

void setup_s_lengths_(std::span<const std::int32_t> S, int n, int nclass, std::span<const double> xpos,
                      std::span<float> lengths, talva::Output& out) {
  const std::size_t nc = std::min(static_cast<std::size_t>(std::max(nclass, 0)), lengths.size());
  std::fill(lengths.begin(), lengths.begin() + static_cast<std::ptrdiff_t>(nc), 0.0f);
  const std::size_t nn = static_cast<std::size_t>(std::max(n, 0));
  if (S.size() < nn * nn || xpos.size() < nn) {
    talva::stop("setup_s_lengths: tables too small for order " + std::to_string(n));
  }
  for (int r = 1; r <= n; ++r) {
    for (int c = 1; c <= n; ++c) {
      const std::int32_t k = S[static_cast<std::size_t>((r - 1) + (c - 1) * n)];
      if (k >= 1 && static_cast<std::size_t>(k) <= nc) {
        lengths[static_cast<std::size_t>(k - 1)] =
            static_cast<float>(xpos[static_cast<std::size_t>(c - 1)] - xpos[static_cast<std::size_t>(r - 1)]);
      }
    }
  }
  for (int i = 1; i <= n; ++i) out.line(talva::ListLine() << "xpos " << i << xpos[static_cast<std::size_t>(i - 1)]);
  for (std::size_t k = 1; k <= nc; ++k) out.line(talva::ListLine() << static_cast<int>(k) << lengths[k - 1]);
}

void setup_s_lengths2_(std::span<float> lengths, int nclass, float spacing, float offset) {
  const int first = std::min(43, static_cast<int>(lengths.size()));
  for (int k = 1; k <= first; ++k) lengths[static_cast<std::size_t>(k - 1)] = spacing * static_cast<float>(k);
  for (int m = 0; m <= nclass - 44 && static_cast<std::size_t>(44 + m) <= lengths.size(); ++m)
    lengths[static_cast<std::size_t>(44 + m - 1)] = offset + spacing * static_cast<float>(m);
}

}  // namespace talva::array
