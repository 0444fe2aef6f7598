#pragma once
// The inspector's selection option ("ap(1e,1w)", "bs(2,b)", "bm(0.5)", "fx()")
// and the choice of correlation products it makes.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "array/layout.h"

namespace talva::dumpscope {

/// Option keys.
enum OptionKey : std::int32_t { kKeyNone = 0, kKeyAP = 1, kKeyBS = 2, kKeyBM = 3, kKeyFX = 4 };
/// Arm codes of the option.
enum ArmCode : std::int32_t { kArmE = 0, kArmW = 1, kArmB = 2, kArmX = 3 };

/// Capacity of the selection list and of the per-record arrays.
inline constexpr int kMaxEntries = 50000;
/// Length of the option text.
inline constexpr std::size_t kOptionLength = 80;

/// The decoded option. bays[1] and arms[1] start at 0 and keep that value for
/// options that do not set them (BS, BM, FX).
struct OptionRecord {
  std::int32_t key = kKeyNone;
  std::array<std::int32_t, 2> bays{0, 0};  ///< AP: bays of both antennas; BS: bays[0] = length L
  float beam_offset = 0.0f;                ///< BM only
  std::array<std::int32_t, 2> arms{0, 0};  ///< arm codes (ArmCode)
  std::int32_t error = 0;                  ///< 0 decoded, 1 rejected
};

/// Decodes the option text (upper-cased first). On a rejection prints the
/// reason on standard output and sets opt.error = 1.
void decode_option_(std::string_view option, OptionRecord& opt);
/// The same, keeping the messages instead of printing them.
void decode_option(std::string_view option, OptionRecord& opt, std::vector<std::string>& messages);

/// Searches the product table (nbsln entries) for `code`: index = position + 1.
/// Fails (error = 1, with a message) when the code is missing, or when its
/// correlation is not carried by the dumps (the last entry's item nbsln + 1)
/// or lies beyond the correlator layout's capacity.
void find_antnum_(std::int32_t code, std::int32_t nbsln, std::span<const std::int32_t> antnum, std::int32_t& index,
                  std::int32_t& error);

/// Result of a selection: product indices in selection order.
struct Selection {
  std::vector<std::int32_t> sel;
  std::int32_t error = 0;
  std::vector<std::string> messages;  ///< lines the selection prints
};

/// Makes the selection without printing (messages are kept in the result).
/// A product whose index lies above `layout_count` (the last product index of
/// the correlator layout) has no conjugation sign and fails the selection.
Selection select_products(std::int32_t nbsln, std::span<const std::int32_t> antnum, const OptionRecord& opt,
                          std::int32_t layout_count = talva::array::kMaxProducts);

/// Selects the products of the option, printing the messages of the search.
/// An empty selection (BM, FX, or a BS length that yields no pair) fails.
void select_baselines_(std::int32_t nbsln, std::span<const std::int32_t> antnum, const OptionRecord& opt,
                       std::int32_t& count, std::vector<std::int32_t>& sel, std::int32_t& error,
                       std::int32_t layout_count = talva::array::kMaxProducts);

/// Product code of the antenna pair (a, b): 256 * max + min (257 * a for a
/// pair of one antenna with itself); 0 when the pair cannot be a product.
std::int32_t pair_code(long long a, long long b);

}  // namespace talva::dumpscope
