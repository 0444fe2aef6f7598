#pragma once
// Mode unpackers of talva2vis3: each turns one dump into uv records.
//
// The data unpackers (talva1a, orvex) average, per spacing, the gain-corrected
// correlations of all antenna pairs that share it. On their first call they
// build, spacing by spacing and in the order of the pair loops, the list of
// the pairs' product indices and gain terms, so that a dump then costs one
// pass over its pairs; the sums are formed in the same order as the plain
// loops, so the results are the same to the bit.
#include <array>
#include <complex>
#include <cstdint>
#include <span>
#include <vector>

#include "array/layout.h"
#include "array/s_matrix.h"

class UvPlot;

/// Caller-held rejection lists (counts and entries).
struct RejectLists {
  std::int32_t nrej = 0;
  std::span<const std::int32_t> rejlist;
  std::int32_t nbadant = 0;
  std::span<const std::int32_t> badlist;
};

/// What a data unpacker gets of one dump besides hour angle and time.
struct DumpData {
  std::int32_t nbsln = 0;
  std::span<const float> vis;               ///< the dump's items (2 * nbsln words)
  std::span<const std::int32_t> antnum;     ///< the archive's product table (nbsln codes)
  const ProductTable* products = nullptr;   ///< lookup built from antnum
  RejectLists rejects;
  UvPlot* plot = nullptr;                   ///< the (u, v) plot, or null
};

/// Product index of the pair (a, b) when the dump carries its correlation,
/// else 0; reports such a pair (once: the callers build their lists once).
std::int32_t usable_product(const ProductTable& table, std::int32_t a, std::int32_t b);

/// Run state of mode_talva1a3, built on its first call.
struct Talva1a3Run {
  struct Term {
    std::uint32_t word;          ///< offset of the item's first word in vis (2 * index - 2)
    float sign;                  ///< layout sign, negated for a pair listed with i > j (conjugated)
    std::complex<float> gain;    ///< G(j, i) = g(j) conj(g(i))
  };
  /// Step t of four classes summed side by side: their t-th terms, lane by lane.
  struct Block {
    std::array<std::uint32_t, 4> word;
    alignas(16) std::array<float, 4> sign;
    alignas(16) std::array<float, 4> gre;  ///< real parts of the gain products
    alignas(16) std::array<float, 4> gim;  ///< imaginary parts
  };
  std::int32_t nclass = 0;
  std::array<float, kNumClasses> lengths{};  ///< class lengths, wavelengths
  std::vector<Term> terms;                   ///< all classes, class by class
  std::array<std::size_t, kNumClasses + 1> start{};  ///< class s: terms[start[s-1] .. start[s])
  std::array<float, kNumClasses> wsum{};     ///< sum of |g(i)|^2 |g(j)|^2 per class
  /// Classes 4q+1 .. 4q+4: blocks[block_start[q] .. block_start[q+1]) cover
  /// their first (common) terms; the rest of each class is summed on its own.
  std::vector<Block> blocks;
  std::array<std::size_t, kNumClasses / 4 + 2> block_start{};
};

/// talva1a (96 antennas): one record per spacing class with at least one
/// usable pair, baseline 67585 + s. `first` nonzero builds the run state
/// (and is cleared). Pairs rejected by the driver's lists or by the shared
/// rejection records are left out.
void mode_talva1a3(Talva1a3Run& run, float ha, double time, const DumpData& d,
                   std::span<const std::complex<float>> gains, std::int32_t& nrec, std::int32_t np, float mdg,
                   std::int32_t& first);

/// Run state of mode_orvex, built on its first call.
struct OrvexRun {
  struct Term {
    std::uint32_t word;           ///< offset of the item's first word in vis
    float sign;                   ///< layout sign of the item
    std::complex<float> gi_conj;  ///< conj(g(i))
    std::complex<float> gj;       ///< g(j)
  };
  bool built = false;
  std::vector<Term> terms;
  std::array<std::size_t, 89> start{};
  std::array<float, 88> wsum{};
};

/// orvex (88 antennas): one record per spacing s = 1..88, baseline of the
/// spacing's first pair, 0+0i when no pair is left.
void mode_orvex(OrvexRun& run, float ha, double time, const DumpData& d, std::span<const std::complex<float>> gains,
                std::int32_t& nrec, std::int32_t np, float mdg);

/// Simulation unpackers: synthesised visibilities of a point source offset
/// by (dhr, ddec). Each returns the number of records it wrote.
int mode_talva1b(float ha, double time);
int mode_talva1c(float ha, double time);
int mode_talva1d(float ha, double time);
int mode_talva2a(float ha, double time);
int mode_talva2b(float ha, double time);
int mode_talva3a(float ha, double time);
int mode_talva3b(float ha, double time);
/// Dispatch of imode 2..8 to the simulation unpackers; 0 records for other numbers.
int unpack_simulation(int imode, float ha, double time);
