// Redundancy classes: the S matrix and the class lengths.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <vector>

#include "array/s_matrix.h"

using talva::array::kNumAntennas;
using talva::array::mat;
using talva::array::setup_s_lengths2_;
using talva::array::setup_s_lengths_;
using talva::array::setup_s_matrix_;

namespace {

struct Smatrix {
  std::vector<std::int32_t> s = std::vector<std::int32_t>(kNumAntennas * kNumAntennas, -1);
  int nclass = -1;
  std::string out;
  Smatrix() {
    talva::StringOutput printed;
    setup_s_matrix_(s, kNumAntennas, nclass, printed);
    out = printed.text();
  }
  int operator()(int i, int j) { return mat(std::span<std::int32_t>(s), kNumAntennas, i, j); }
};

// Position of an antenna in metres, East positive.
double xpos_m(int ant) {
  const int bay = ant > 48 ? ant - 48 : ant;
  const double x = 16.46 + 17.68 * (bay - 1);
  return ant > 48 ? -x : x;
}

}  // namespace

TEST(SMatrix, KeyEntriesAndClassCount) {
  Smatrix S;
  EXPECT_EQ(S.out, " Done West arm\n");
  EXPECT_EQ(S.nclass, 130);
  EXPECT_EQ(S(2, 1), 1);
  EXPECT_EQ(S(1, 2), 0);
  EXPECT_EQ(S(44, 1), 43);
  EXPECT_EQ(S(45, 1), 0);
  EXPECT_EQ(S(49, 50), 1);
  EXPECT_EQ(S(50, 49), 0);
  EXPECT_EQ(S(49, 92), 43);
  EXPECT_EQ(S(93, 92), 0);
  EXPECT_EQ(S(1, 49), 44);
  EXPECT_EQ(S(44, 92), 130);
  EXPECT_EQ(S(49, 1), 0);
}

TEST(SMatrix, EveryPairClassifiedOnceAtTheEastWestOrientation) {
  Smatrix S;
  std::map<int, int> members;
  for (int i = 1; i <= 96; ++i) {
    EXPECT_EQ(S(i, i), 0);
    for (int j = i + 1; j <= 96; ++j) {
      const bool classified = (i <= 44 || (i >= 49 && i <= 92)) && (j <= 44 || (j >= 49 && j <= 92));
      const int a = S(i, j), b = S(j, i);
      if (!classified) {
        EXPECT_EQ(a + b, 0) << i << "," << j;
        continue;
      }
      ASSERT_TRUE((a == 0) != (b == 0)) << i << "," << j;
      // the non-zero entry sits at (east antenna, west antenna)
      const int east = a != 0 ? i : j;
      const int west = a != 0 ? j : i;
      EXPECT_GT(xpos_m(east), xpos_m(west)) << i << "," << j;
      ++members[a + b];
    }
  }
  ASSERT_EQ(members.size(), 130u);
  EXPECT_EQ(members[1], 86);  // 43 on each arm
  EXPECT_EQ(members[43], 2);
  EXPECT_EQ(members[44], 1);  // the two innermost bays
  EXPECT_EQ(members[45], 2);
  EXPECT_EQ(members[130], 1);
}

TEST(SMatrix, AllPairsOfAClassHaveTheSameLength) {
  Smatrix S;
  std::vector<double> xpos(96);
  for (int a = 1; a <= 96; ++a) xpos[static_cast<std::size_t>(a - 1)] = xpos_m(a);
  std::vector<float> lengths(130, 99.0f);
  talva::StringOutput printed;
  setup_s_lengths_(S.s, 96, S.nclass, xpos, lengths, printed);
  const std::string& out = printed.text();
  EXPECT_NEAR(lengths[0], -17.68f, 1e-4f);
  EXPECT_NEAR(lengths[43], -32.92f, 1e-4f);
  for (int i = 1; i <= 96; ++i)
    for (int j = 1; j <= 96; ++j) {
      const int k = S(i, j);
      if (k == 0) continue;
      EXPECT_NEAR(xpos_m(j) - xpos_m(i), lengths[static_cast<std::size_t>(k - 1)], 1e-3) << i << "," << j;
    }
  // the ideal table agrees, up to the sign convention of positions
  std::vector<float> ideal(130, 0.0f);
  setup_s_lengths2_(ideal, 130, 17.68f, 32.92f);
  for (int k = 1; k <= 130; ++k)
    EXPECT_NEAR(ideal[static_cast<std::size_t>(k - 1)], -lengths[static_cast<std::size_t>(k - 1)], 2e-3) << k;
  EXPECT_NEAR(ideal[42], 760.24f, 1e-3f);
  EXPECT_NEAR(ideal[43], 32.92f, 1e-5f);
  EXPECT_NEAR(ideal[129], 1553.4f, 1e-2f);
  // printed tables: 96 position lines then 130 class lines
  std::size_t lines = 0;
  for (char c : out) lines += c == '\n';
  EXPECT_EQ(lines, 96u + 130u);
  EXPECT_EQ(out.rfind(" xpos 1 16.46", 0), 0u) << out.substr(0, 40);
}
