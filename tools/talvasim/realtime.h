#pragma once
// talvasim realtime=true: the archive appended to as a correlator writes it,
// dump after dump at the pace of the dump time (sped up by a factor), each
// dump in pieces of random sizes, so that a reader following the file sees
// dumps cut anywhere.
#include "simulate.h"

namespace talva::talvasim {

struct Realtime {
  double speed = 1.0;  ///< dumps come this many times faster than dt says
  int pieces = 4;      ///< each dump in 1 to this many pieces
};

/// Sets the date and time of the first dump to the current UTC second.
void start_now(Settings& s);

/// Computes the dumps of `s` into a scratch folder beside the archive first (the layout and
/// gains files are written as simulate() writes them), then creates the
/// archive anew (an earlier file of that name is removed first; a link there
/// is not followed) and appends the file header at once and dump n (0-based)
/// by the time n + 1 dump times have passed, divided by the speed. SIGINT or
/// SIGTERM: the dump being written is finished, then the run stops.
/// Returns the number of products in the table.
int simulate_realtime(const Settings& s, const Realtime& rt);

}  // namespace talva::talvasim
