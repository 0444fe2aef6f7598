// The MeasurementSet writer's main table, read back cell by cell through
// casacore: rows written in blocks, the columns that keep only their changes
// (times, whole-row flags, constants) holding the right value in every row,
// across the blocks' edges; and the comparison of two sets by content.
// (Compiled as C++17, as everything that includes casacore's headers.)
#include <gtest/gtest.h>

#include <casacore/casa/Arrays/Array.h>
#include <casacore/casa/Arrays/Vector.h>
#include <casacore/ms/MeasurementSets/MSColumns.h>
#include <casacore/ms/MeasurementSets/MeasurementSet.h>

#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "msio/ms_compare.h"
#include "msio/ms_writer.h"
#include "support/testsupport.h"

namespace {

namespace cc = casacore;
using talva::test::TempDir;

// Rows over three blocks of the writer (8192 rows each) and a part: a new
// time every 16 rows (so also on a block's first row; with one step back),
// the whole-row flag in runs and in single rows, from the first row on, up
// to a block's edge and on a block's first row.
std::vector<talva::msio::Row> made_up_rows(std::size_t n) {
  std::vector<talva::msio::Row> rows(n);
  for (std::size_t k = 0; k < n; ++k) {
    talva::msio::Row& r = rows[k];
    const double dump = static_cast<double>(k / 16);
    r.time = 5.0e9 + 10.0 * dump - (k / 16 == 700 ? 25.0 : 0.0);
    r.antenna1 = static_cast<int>(k % 7);
    r.antenna2 = static_cast<int>(k % 7 + 1 + k % 3);
    const double x = static_cast<double>(k);
    r.uvw = {x + 0.25, -x * 0.5, x / 3.0};
    r.data = {static_cast<float>(k % 1000) + 0.5f, -static_cast<float>(k % 777)};
    r.flagged = k < 3 || (k >= 8188 && k < 8192) || k == 16384 || k % 1000 == 999 || (k >= 20000 && k < 20400);
  }
  return rows;
}

void write_set(const std::string& path, const std::vector<talva::msio::Row>& rows) {
  talva::msio::Setup setup;
  setup.application = "test";
  setup.frequency = 1.0e9;
  setup.channel_width = 1.0e6;
  talva::msio::Writer w(path, setup);
  for (const auto& r : rows) w.add(r);
  w.set_antennas(std::vector<talva::msio::Antenna>(10, talva::msio::Antenna{"A", {}, 12.0}));
  w.close();
}

TEST(MeasurementSetWriter, EveryColumnHoldsEachRowsValueAcrossTheBlocks) {
  TempDir dir;
  const auto rows = made_up_rows(3 * 8192 + 1000);
  write_set(dir.file("blocks.ms"), rows);

  const cc::MeasurementSet ms(dir.file("blocks.ms"));
  const cc::MSMainColumns cols(ms);
  ASSERT_EQ(ms.nrow(), rows.size());
  const cc::Vector<double> time = cols.time().getColumn(), centroid = cols.timeCentroid().getColumn();
  const cc::Vector<double> interval = cols.interval().getColumn(), exposure = cols.exposure().getColumn();
  const cc::Vector<int> a1 = cols.antenna1().getColumn(), a2 = cols.antenna2().getColumn();
  const cc::Vector<bool> flag_row = cols.flagRow().getColumn();
  const cc::Array<double> uvw = cols.uvw().getColumn();
  const cc::Array<cc::Complex> data = cols.data().getColumn();
  const cc::Array<bool> flag = cols.flag().getColumn();
  const cc::Array<float> weight = cols.weight().getColumn(), sigma = cols.sigma().getColumn();
  std::size_t wrong = 0;
  for (std::size_t k = 0; k < rows.size() && wrong < 10; ++k) {
    const talva::msio::Row& r = rows[k];
    const auto row = static_cast<ssize_t>(k);
    const bool ok = time[k] == r.time && centroid[k] == r.time && interval[k] == 10.0 && exposure[k] == 10.0 &&
                    a1[k] == r.antenna1 && a2[k] == r.antenna2 && flag_row[k] == r.flagged &&
                    uvw(cc::IPosition(2, 0, row)) == r.uvw[0] && uvw(cc::IPosition(2, 1, row)) == r.uvw[1] &&
                    uvw(cc::IPosition(2, 2, row)) == r.uvw[2] && data(cc::IPosition(3, 0, 0, row)) == r.data &&
                    flag(cc::IPosition(3, 0, 0, row)) == r.flagged && weight(cc::IPosition(2, 0, row)) == 1.0f &&
                    sigma(cc::IPosition(2, 0, row)) == 1.0f && cols.feed1()(k) == 0 && cols.feed2()(k) == 0 &&
                    cols.dataDescId()(k) == 0 && cols.processorId()(k) == 0 && cols.fieldId()(k) == 0 &&
                    cols.arrayId()(k) == 0 && cols.observationId()(k) == 0 && cols.stateId()(k) == -1 &&
                    cols.scanNumber()(k) == 1 && !cols.flagCategory().isDefined(k);
    if (!ok) {
      ++wrong;
      ADD_FAILURE() << "row " << k << " holds other values than were written";
    }
  }
  EXPECT_EQ(cols.data().shape(0), cc::IPosition(2, 1, 1));
  EXPECT_EQ(cols.uvw().shape(0), cc::IPosition(1, 3));
}

TEST(MeasurementSetWriter, ASetWithoutRowsCloses) {
  TempDir dir;
  write_set(dir.file("empty.ms"), {});
  const cc::MeasurementSet ms(dir.file("empty.ms"));
  EXPECT_EQ(ms.nrow(), 0u);
  EXPECT_EQ(ms.antenna().nrow(), 10u);
}

// The comparison finds a difference in one cell of one column, in a
// keyword, in a subtable's cell, and nothing between sets written alike.
TEST(MeasurementSetWriter, ComparisonFindsEachKindOfDifference) {
  TempDir dir;
  const auto rows = made_up_rows(9000);
  write_set(dir.file("a.ms"), rows);
  write_set(dir.file("b.ms"), rows);
  EXPECT_TRUE(talva::msio::compare_tables(dir.file("a.ms"), dir.file("b.ms")).empty());

  struct Change {
    std::string what, expected;
    std::function<void(cc::MeasurementSet&)> apply;
  };
  const std::vector<Change> changes = {
      {"one DATA cell", ".DATA row 8500 differs",
       [](cc::MeasurementSet& ms) {
         cc::MSMainColumns(ms).data().put(8500, cc::Array<cc::Complex>(cc::IPosition(2, 1, 1), cc::Complex(9, 9)));
       }},
      {"one TIME cell", ".TIME row 4 differs",
       [](cc::MeasurementSet& ms) { cc::MSMainColumns(ms).time().put(4, 1.0); }},
      {"a column keyword", ".UVW keywords QuantumUnits differs",
       [](cc::MeasurementSet& ms) {
         cc::TableColumn(ms, "UVW").rwKeywordSet().define("QuantumUnits", cc::Vector<cc::String>(3, "km"));
       }},
      {"an antenna's name", "/ANTENNA.NAME row 3 differs",
       [](cc::MeasurementSet& ms) { cc::MSColumns(ms).antenna().name().put(3, "B"); }},
  };
  for (const Change& c : changes) {
    write_set(dir.file("c.ms"), rows);
    {
      cc::MeasurementSet ms(dir.file("c.ms"), cc::Table::Update);
      c.apply(ms);
    }
    const auto found = talva::msio::compare_tables(dir.file("a.ms"), dir.file("c.ms"));
    ASSERT_EQ(found.size(), 1u) << c.what;
    EXPECT_NE(found[0].find(c.expected), std::string::npos) << c.what << ": " << found[0];
    std::filesystem::remove_all(dir.file("c.ms"));
  }
}

}  // namespace
