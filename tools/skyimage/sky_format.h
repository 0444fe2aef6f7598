#pragma once
// The texts skyimage prints for a place on the sky: each value rounded at
// the precision it is printed with, before it is split into fields.
#include <string>

namespace talva::skyimage {

/// Right ascension (radians, any turn) as "HH:MM:SS.sss", 00:00:00.000 to
/// 23:59:59.999: rounded to the millisecond of time, then wrapped into one day.
std::string format_ra(double ra);

/// Declination (radians) as "+DD:MM:SS.ss" / "-DD:MM:SS.ss", rounded to the
/// hundredth of an arcsecond; a value that rounds to zero is "+00:00:00.00".
std::string format_dec(double dec);

/// An offset in arcminutes as "%8.3f", never "-0.000".
std::string format_offset(double arcmin);

}  // namespace talva::skyimage
