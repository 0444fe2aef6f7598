#pragma once
// The inspector's plot device (PGPLOT API): opened once for the run, closed
// at its end. A device that cannot be opened gives one warning and every
// drawing call is then skipped.
#include <span>
#include <string>

namespace dumpscope {

class Plotter {
 public:
  /// pgbegin(0, device, nx, ny); panels below 1 are taken as 1.
  Plotter(const std::string& device, int nx, int ny);
  ~Plotter();
  Plotter(const Plotter&) = delete;
  Plotter& operator=(const Plotter&) = delete;

  bool is_open() const { return open_; }
  /// A new panel with the given ranges (justification 0, axes 0).
  void env(float xmin, float xmax, float ymin, float ymax);
  void label(const std::string& x, const std::string& y, const std::string& title);
  void line(std::span<const float> x, std::span<const float> y);
  void colour(int index);
  void set_colour(int index, float r, float g, float b);
  void char_height(float size);
  /// pgend; further calls draw nothing.
  void end();

 private:
  bool open_ = false;
};

}  // namespace dumpscope
