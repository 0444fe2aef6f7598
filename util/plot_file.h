#pragma once
// Plot files that replace earlier plots only when they are complete.
//
// The plot library names and writes its files itself ("uv.png/png" writes
// uv.png, "/png" giza.png, several pages uv_0000.png, uv_0001.png, ...).
// A PlotFiles draws them inside a private directory beside the target and,
// once the device is closed, checks that every page is complete (PNG: the
// IEND chunk; PostScript, EPS and PDF: the %%EOF trailer; SVG: the closing
// tag) before moving the pages over the earlier files. An incomplete plot
// (a full disk) is dropped with a warning; the earlier files stay as they were.
#include <memory>
#include <optional>
#include <string>

#include "util/output_file.h"

namespace talva {

/// The file a file device writes first (its only one for one page), as
/// the plot library names it; nullopt for a device that writes no file
/// (a display, "/null", a type the library does not know).
std::optional<std::string> plot_file_name(const std::string& device);

/// True when the plot file at `path` ends as a complete file of its type.
bool plot_file_complete(const std::string& path);

/// True when `file` (a name in the target's directory) is a page the plot
/// library may write for the first file `first` ("uv.png"): "uv.png" itself
/// or a numbered page "uv_0000.png", "uv_0001.png", ... (four digits or more).
bool plot_page_of(const std::string& file, const std::string& first);

class PlotFiles {
 public:
  /// For a file device, makes the private directory (on failure: a
  /// warning in `problem`, and device() is empty). Other devices pass.
  PlotFiles(const std::string& device, std::string& problem);
  /// The device text to hand to the plot library.
  const std::string& device() const { return device_; }
  /// The first file's final name (empty for devices without files).
  const std::string& target() const { return target_; }
  /// After the device was closed: whether every page is complete (else
  /// false, with the reason in `problem`).
  bool complete(std::string& problem) const;
  /// After the device was closed: checks every page and moves the pages
  /// into place as one set, removing the pages of an earlier plot of the
  /// same name that this one did not write. False, with the reason in
  /// `problem`, when nothing moved.
  bool publish(std::string& problem);

 private:
  std::string device_;
  std::string target_;
  std::string target_dir_;
  std::unique_ptr<PrivateDir> dir_;
};

}  // namespace talva
