#pragma once
// Named constants shared by the library and the programs, each with the
// exact value its step computes with. Some steps deliberately use a
// different rounding of the same quantity; those are named by their role.
namespace talva {

/// Correlation products a file header may give: the capacity of the
/// correlator layout record and of the programs' product tables.
inline constexpr int kMaxProducts = 5000;

/// pi and 2 pi as single-precision values.
inline constexpr float kPi = 3.1415927f;
inline constexpr float kTwoPi = 6.2831855f;
/// Degrees per radian of the programs' keywords and reports
/// (57.2957763671875, one step of float below 57.29578).
inline constexpr float kDegPerRad = 57.2957763671875f;
/// Degrees per radian of the phase-calibration and meridian-distance tables
/// and the site geometry: the float nearest 57.29578 (57.295780181884766).
inline constexpr float kTableDegPerRad = 57.29578f;
/// Degrees per radian of the archive reader's decoded values (R2D).
inline constexpr double kArchiveDegPerRad = 57.2957795132;
/// Degrees per radian of the converters' debug tables and of the
/// recalibration's printed phases (57.2958, one digit fewer).
inline constexpr float kReportDegPerRad = 57.2958f;

/// Site latitude and longitude, radians.
inline constexpr float kLatitude = -0.61735f;
inline constexpr float kLongitude = 2.607929f;
/// Reference wavelength, metres.
inline constexpr float kWavelength = 0.356f;
/// Integration time of a dump, seconds: the largest float below 1.
inline constexpr float kIntTime = 0.99999994f;
/// pi as the converter's progress line rounds it when it turns the
/// meridian distance into degrees.
inline constexpr float kProgressLinePi = 3.1415f;
/// Modified Julian Date to Julian date.
inline constexpr double kMjdToJd = 2400000.5;

}  // namespace talva
