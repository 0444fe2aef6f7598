#pragma once
// Flushing many files to the disk at once.
//
// Each fsync waits for a flush of the disk's write cache; on a disk where
// that flush costs milliseconds, a tree of a hundred small files (a
// MeasurementSet) synced one file after the other waits a hundred times.
// Syncs issued together are flushed together, so sync_all hands the
// descriptors to a few threads of its own (which block every signal) and
// returns when all are done. (Plain C++17: the MeasurementSet writer uses it.)
#include <vector>

namespace talva {

/// fsyncs every descriptor of `fds`; 0, or the errno of a sync that failed.
int sync_all(const std::vector<int>& fds);

}  // namespace talva
