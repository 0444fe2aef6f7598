#include "programs/talva2vis3/uv_output.h"

#include <array>
#include <cmath>
#include <cstdint>

#include "miriad/uvio.h"
#include "programs/talva2vis3/records.h"

namespace {
constexpr const char* kVersionLine = "TALVA: Miriad version 1.1 29-Aug-2006";
constexpr double kLatitude = static_cast<double>(-0.61735f);   // site latitude, radians
constexpr double kLongitude = static_cast<double>(2.607929f);  // site longitude, radians
constexpr float kIntTime = 0.99999994f;                        // largest float below 1, seconds

void put_r(int tno, const char* name, float v) { miriad::uvputvrr(tno, name, std::array<float, 1>{v}); }
void put_i(int tno, const char* name, std::int32_t v) { miriad::uvputvri(tno, name, std::array<std::int32_t, 1>{v}); }
void put_d(int tno, const char* name, double v) { miriad::uvputvrd(tno, name, std::array<double, 1>{v}); }
}  // namespace

int create_uv_dataset(const std::string& name, const UvHeader& h) {
  int tno = 0;
  miriad::uvopen(tno, name, "new");
  miriad::uvset(tno, "preamble", "uvw/time/baseline", 0, 0.0, 0.0, 0.0);
  miriad::hisopen(tno, "write");
  miriad::hiswrite(tno, kVersionLine);
  miriad::hisinput(tno, "IMAGER");
  put_r(tno, "epoch", 2000.0f);
  put_i(tno, "nants", h.nants);
  put_r(tno, "veldop", 0.0f);
  put_r(tno, "vsource", 0.0f);
  miriad::uvputvra(tno, "source", "TALVA");
  put_d(tno, "ra", h.ra);
  put_d(tno, "obsra", h.ra);
  put_d(tno, "dec", h.dec);
  put_d(tno, "obsdec", h.dec);
  put_d(tno, "latitud", kLatitude);
  put_d(tno, "longitu", kLongitude);
  miriad::uvputvra(tno, "telescop", "TALVA");
  put_r(tno, "inttime", kIntTime);
  put_i(tno, "nchan", 1);
  put_i(tno, "ischan", 1);
  put_i(tno, "nschan", 1);
  put_i(tno, "nspect", 1);
  put_d(tno, "sfreq", h.sfreq);
  put_d(tno, "sdf", h.sdf);
  put_i(tno, "npol", 1);
  put_i(tno, "pol", 1);
  put_r(tno, "jyperk", 40.0f);
  put_r(tno, "systemp", 45.0f);
  put_d(tno, "restfreq", 0.0);
  return tno;
}

void write_uv_record(double u, double v, double time, double baseline, std::complex<float> data) {
  const std::array<double, 5> preamble{u, v, 0.0, time, baseline};
  // A non-finite value (a damaged archive) is written as 0+0i and flagged bad.
  const bool finite = std::isfinite(data.real()) && std::isfinite(data.imag());
  const std::array<std::complex<float>, 1> d{finite ? data : std::complex<float>{}};
  const std::array<std::int32_t, 1> flags{finite ? 1 : 0};
  miriad::uvwrite(talva_common_.tno, preamble, d, flags, talva_common_.nchan);
}

void close_uv_dataset(int tno) {
  miriad::hisclose(tno);
  miriad::uvclose(tno);
}
