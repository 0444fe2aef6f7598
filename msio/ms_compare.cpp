#include "msio/ms_compare.h"

#include <casacore/casa/Arrays/Array.h>
#include <casacore/casa/Arrays/ArrayLogical.h>
#include <casacore/casa/Containers/Record.h>
#include <casacore/tables/Tables/ArrayColumn.h>
#include <casacore/tables/Tables/ScalarColumn.h>
#include <casacore/tables/Tables/Table.h>
#include <casacore/tables/Tables/TableColumn.h>
#include <casacore/tables/Tables/TableDesc.h>
#include <casacore/tables/Tables/TableRecord.h>

#include <sstream>

#include "util/stop.h"

namespace talva::msio {

namespace cc = casacore;

namespace {

class Comparer {
 public:
  explicit Comparer(std::size_t limit) : limit_(limit) {}
  std::vector<std::string> differences;

  void tables(const cc::Table& a, const cc::Table& b, const std::string& where) {
    if (full()) return;
    if (a.tableInfo().type() != b.tableInfo().type() || a.tableInfo().subType() != b.tableInfo().subType() ||
        a.tableInfo().readme() != b.tableInfo().readme())
      note(where + ": table info differs");
    if (a.nrow() != b.nrow())
      note(where + ": " + std::to_string(a.nrow()) + " rows against " + std::to_string(b.nrow()));
    keywords(a.keywordSet(), b.keywordSet(), where + " keywords");
    const cc::TableDesc &da = a.tableDesc(), &db = b.tableDesc();
    const cc::Vector<cc::String> na = da.columnNames(), nb = db.columnNames();
    if (na.size() != nb.size() || !cc::allEQ(na, nb)) {
      note(where + ": the columns differ");
      return;
    }
    for (const cc::String& name : na) {
      const std::string at = where + "." + std::string(name);
      const cc::ColumnDesc &ca = da.columnDesc(name), &cb = db.columnDesc(name);
      if (ca.dataType() != cb.dataType() || ca.isScalar() != cb.isScalar() || ca.ndim() != cb.ndim() ||
          !(ca.shape().isEqual(cb.shape())) || ca.options() != cb.options() || ca.comment() != cb.comment())
        note(at + ": the column descriptions differ");
      keywords(ca.keywordSet(), cb.keywordSet(), at + " keywords");
      if (a.nrow() == b.nrow() && ca.dataType() == cb.dataType() && ca.isScalar() == cb.isScalar())
        cells(a, b, name, ca, at);
    }
  }

 private:
  std::size_t limit_;
  bool full() const { return differences.size() >= limit_; }
  void note(const std::string& what) {
    if (!full()) differences.push_back(what);
  }

  template <typename T>
  void field(const cc::TableRecord& a, const cc::TableRecord& b, cc::uInt i, bool array, const std::string& at) {
    if (array) {
      cc::Array<T> va, vb;
      a.get(i, va);
      b.get(i, vb);
      if (!va.shape().isEqual(vb.shape()) || !cc::allEQ(va, vb)) note(at + " differs");
    } else {
      T va{}, vb{};
      a.get(i, va);
      b.get(i, vb);
      if (!(va == vb)) note(at + " differs");
    }
  }

  void keywords(const cc::TableRecord& a, const cc::TableRecord& b, const std::string& where) {
    if (a.nfields() != b.nfields()) {
      note(where + ": " + std::to_string(a.nfields()) + " fields against " + std::to_string(b.nfields()));
      return;
    }
    for (cc::uInt i = 0; i < a.nfields() && !full(); ++i) {
      const std::string at = where + " " + std::string(a.name(i));
      if (a.name(i) != b.name(i) || a.type(i) != b.type(i)) {
        note(at + ": name or type differs");
        continue;
      }
      switch (a.type(i)) {
        case cc::TpTable:
          tables(a.asTable(i), b.asTable(i), where + "/" + std::string(a.name(i)));
          break;
        case cc::TpRecord:
          keywords(a.subRecord(i), b.subRecord(i), at);
          break;
        case cc::TpBool:
          field<cc::Bool>(a, b, i, false, at);
          break;
        case cc::TpInt:
          field<cc::Int>(a, b, i, false, at);
          break;
        case cc::TpUInt:
          field<cc::uInt>(a, b, i, false, at);
          break;
        case cc::TpInt64:
          field<cc::Int64>(a, b, i, false, at);
          break;
        case cc::TpFloat:
          field<cc::Float>(a, b, i, false, at);
          break;
        case cc::TpDouble:
          field<cc::Double>(a, b, i, false, at);
          break;
        case cc::TpComplex:
          field<cc::Complex>(a, b, i, false, at);
          break;
        case cc::TpDComplex:
          field<cc::DComplex>(a, b, i, false, at);
          break;
        case cc::TpString:
          field<cc::String>(a, b, i, false, at);
          break;
        case cc::TpArrayBool:
          field<cc::Bool>(a, b, i, true, at);
          break;
        case cc::TpArrayInt:
          field<cc::Int>(a, b, i, true, at);
          break;
        case cc::TpArrayUInt:
          field<cc::uInt>(a, b, i, true, at);
          break;
        case cc::TpArrayInt64:
          field<cc::Int64>(a, b, i, true, at);
          break;
        case cc::TpArrayFloat:
          field<cc::Float>(a, b, i, true, at);
          break;
        case cc::TpArrayDouble:
          field<cc::Double>(a, b, i, true, at);
          break;
        case cc::TpArrayComplex:
          field<cc::Complex>(a, b, i, true, at);
          break;
        case cc::TpArrayDComplex:
          field<cc::DComplex>(a, b, i, true, at);
          break;
        case cc::TpArrayString:
          field<cc::String>(a, b, i, true, at);
          break;
        default:
          note(at + ": a keyword of a type not compared");
      }
    }
  }

  template <typename T>
  void column(const cc::Table& a, const cc::Table& b, const cc::String& name, bool scalar, const std::string& at) {
    if (scalar) {
      const cc::Vector<T> va = cc::ScalarColumn<T>(a, name).getColumn(), vb = cc::ScalarColumn<T>(b, name).getColumn();
      for (std::size_t r = 0; r < va.size() && !full(); ++r)
        if (!(va[r] == vb[r])) note(at + " row " + std::to_string(r) + " differs");
      return;
    }
    const cc::ArrayColumn<T> ca(a, name), cb(b, name);
    for (cc::rownr_t r = 0; r < a.nrow() && !full(); ++r) {
      const bool da = ca.isDefined(r), db = cb.isDefined(r);
      if (da != db) {
        note(at + " row " + std::to_string(r) + ": defined in one table only");
        continue;
      }
      if (!da) continue;
      const cc::Array<T> va = ca(r), vb = cb(r);
      if (!va.shape().isEqual(vb.shape()) || !cc::allEQ(va, vb)) note(at + " row " + std::to_string(r) + " differs");
    }
  }

  void cells(const cc::Table& a, const cc::Table& b, const cc::String& name, const cc::ColumnDesc& desc,
             const std::string& at) {
    const bool s = desc.isScalar();
    switch (desc.dataType()) {
      case cc::TpBool:
        column<cc::Bool>(a, b, name, s, at);
        break;
      case cc::TpInt:
        column<cc::Int>(a, b, name, s, at);
        break;
      case cc::TpUInt:
        column<cc::uInt>(a, b, name, s, at);
        break;
      case cc::TpInt64:
        column<cc::Int64>(a, b, name, s, at);
        break;
      case cc::TpFloat:
        column<cc::Float>(a, b, name, s, at);
        break;
      case cc::TpDouble:
        column<cc::Double>(a, b, name, s, at);
        break;
      case cc::TpComplex:
        column<cc::Complex>(a, b, name, s, at);
        break;
      case cc::TpDComplex:
        column<cc::DComplex>(a, b, name, s, at);
        break;
      case cc::TpString:
        column<cc::String>(a, b, name, s, at);
        break;
      default:
        note(at + ": a column of a type not compared");
    }
  }
};

}  // namespace

std::vector<std::string> compare_tables(const std::string& a, const std::string& b, std::size_t limit) {
  Comparer c(limit);
  try {
    c.tables(cc::Table(a), cc::Table(b), "");
  } catch (const cc::AipsError& e) {
    talva::stop("cannot compare " + a + " with " + b + ": " + e.what());
  }
  return c.differences;
}

}  // namespace talva::msio
