#include "util/plot_file.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "util/stop.h"

namespace talva {
namespace {

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

/// Extension of the files of a device type ("" for types that write none).
std::string file_extension(const std::string& type) {
  const std::string t = lower(type);
  if (t == "png" || t == "svg" || t == "eps") return t;
  if (t == "ps" || t == "vps" || t == "cps") return "ps";
  if (t == "pdf" || t == "vpdf") return "pdf";
  return "";
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

/// Directory, file name and type of a file device ("a/b.png/png").
struct FileDevice {
  std::string dir, name, type;
};

std::optional<FileDevice> file_device(const std::string& device) {
  const auto slash = device.rfind('/');
  if (slash == std::string::npos) return std::nullopt;
  FileDevice d;
  d.type = device.substr(slash + 1);
  const std::string ext = file_extension(d.type);
  if (ext.empty()) return std::nullopt;
  std::string file = device.substr(0, slash);
  const auto dir_end = file.rfind('/');
  d.dir = dir_end == std::string::npos ? "." : (dir_end == 0 ? "/" : file.substr(0, dir_end));
  d.name = dir_end == std::string::npos ? file : file.substr(dir_end + 1);
  if (d.name.empty()) d.name = "giza";  // the library's own default name
  if (!ends_with(d.name, "." + ext)) d.name += "." + ext;
  return d;
}

std::string join(const std::string& dir, const std::string& name) {
  return dir == "." ? name : (dir == "/" ? "/" + name : dir + "/" + name);
}

}  // namespace

std::optional<std::string> plot_file_name(const std::string& device) {
  const auto d = file_device(device);
  if (!d) return std::nullopt;
  return join(d->dir, d->name);
}

bool plot_file_complete(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  const std::streamoff size = in.tellg();
  const std::streamoff n = std::min<std::streamoff>(size, 1024);
  std::string tail(static_cast<std::size_t>(n), '\0');
  in.seekg(size - n);
  if (!in.read(tail.data(), n)) return false;
  const auto dot = path.rfind('.');
  const std::string ext = dot == std::string::npos ? "" : lower(path.substr(dot + 1));
  if (ext == "png") {
    static constexpr std::array<unsigned char, 12> kIend{0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    return tail.size() >= kIend.size() &&
           std::equal(kIend.begin(), kIend.end(), tail.end() - static_cast<std::ptrdiff_t>(kIend.size()),
                      [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); });
  }
  if (ext == "ps" || ext == "eps" || ext == "pdf") return tail.find("%%EOF") != std::string::npos;
  if (ext == "svg") return tail.find("</svg>") != std::string::npos;
  return size > 0;
}

bool plot_page_of(const std::string& file, const std::string& first) {
  if (file == first) return true;
  const auto dot = first.rfind('.');
  if (dot == std::string::npos || dot == 0) return false;
  const std::string stem = first.substr(0, dot) + "_", ext = first.substr(dot);
  if (file.size() < stem.size() + 4 + ext.size() || file.compare(0, stem.size(), stem) != 0 || !ends_with(file, ext))
    return false;
  const std::string digits = file.substr(stem.size(), file.size() - stem.size() - ext.size());
  return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

PlotFiles::PlotFiles(const std::string& device, std::string& problem) : device_(device) {
  const auto d = file_device(device);
  if (!d) return;
  target_dir_ = d->dir;
  target_ = join(d->dir, d->name);
  try {
    dir_ = std::make_unique<PrivateDir>(target_);
  } catch (const Stop& e) {
    problem = e.message();
    device_.clear();
    return;
  }
  device_ = dir_->dotless_path() + "/" + d->name + "/" + d->type;
}

bool PlotFiles::complete(std::string& problem) const {
  if (!dir_) return true;
  const std::vector<std::string> pages = dir_->files();
  if (pages.empty()) {
    problem = "the plot library wrote no file for " + target_;
    return false;
  }
  for (const std::string& p : pages) {
    if (!plot_file_complete(dir_->path() + "/" + p)) {
      problem = "the plot file " + join(target_dir_, p) + " was not written completely";
      return false;
    }
  }
  return true;
}

bool PlotFiles::publish(std::string& problem) {
  if (!dir_) return true;
  if (!complete(problem)) return false;
  const std::vector<std::string> pages = dir_->files();
  const std::string first = target_.substr(target_.rfind('/') == std::string::npos ? 0 : target_.rfind('/') + 1);
  if (!dir_->publish_set(pages, [&first](const std::string& n) { return plot_page_of(n, first); })) {
    problem = "cannot replace " + target_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace talva
