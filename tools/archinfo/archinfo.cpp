// archinfo: opens an archive, prints every decoded dump header (verbose mode)
// and a one-line summary per dump.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "archive/archiv_util.h"
#include "array/layout.h"
#include "miriad/key.h"
#include "util/stop.h"

namespace {

/// Mean amplitude of the items that belong to a product (items 2..nbsln).
double mean_amplitude(const std::vector<float>& vis, int nbsln) {
  if (nbsln < 2) return 0;
  double sum = 0;
  for (int k = 2; k <= nbsln; ++k) sum += std::hypot(double{vis[2 * k - 2]}, double{vis[2 * k - 1]});
  return sum / (nbsln - 1);
}

}  // namespace

int main(int argc, char** argv) {
  return talva::run_main([&] {
    std::string path;
    bool verbose = true;
    miriad::keyini(argc, argv, "lists an archive's file header and one line per dump (date, time, hour angle, mode)",
                   "archive=cal.arc verbose=f");
    miriad::keya("archive", path, "", miriad::required("the archive"));
    miriad::keyl("verbose", verbose, true, "also print every dump header the archive reader decodes");
    miriad::keyfin();

    talva::StdoutOutput out;
    ArchiveReader archive(out);
    if (archive.init_archiv_(path.c_str()) != 0) talva::stop("archinfo: cannot open " + path);
    std::vector<std::int32_t> antnum(kMaxProducts);
    std::vector<float> vis(2 * kMaxProducts);
    int nant = 0, nbsln = 0;
    if (archive.read_header_(nant, nbsln, antnum) != 0) talva::stop("archinfo: cannot read the file header of " + path);
    std::printf("archive %s: %d antenna records and %d products per dump\n", path.c_str(), nant, nbsln);
    if (verbose) archive.setverbose();

    int dumps = 0;
    while (archive.read_dump_(nbsln, vis, 0) == 0) {
      ++dumps;
      int yr, mn, dy, hr, mi, se, mode;
      float ha;
      archive.read_dumppar_date_(yr, mn, dy);
      archive.read_dumppar_time_(hr, mi, se);
      archive.read_dumppar_ha_(ha);
      archive.read_dumppar_mode_(mode);
      const std::string why = archive.dump_time_problem();
      std::printf("dump %5d  %04d-%02d-%02d %02d:%02d:%02d  HA %9.4f h  mode %4d  mean amplitude %12.6f%s\n", dumps, yr,
                  mn, dy, hr, mi, se, static_cast<double>(ha), mode, mean_amplitude(vis, nbsln),
                  why.empty() ? "" : ("  impossible date or time: " + why).c_str());
    }
    archive.close_archiv_();
    std::printf("%d dumps read\n", dumps);
    return 0;
  });
}
