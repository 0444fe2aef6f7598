// Entry point of the loadable MeasurementSet writer (see row_writer.h).
#include "msio/ms_writer.h"

extern "C" __attribute__((visibility("default"))) void talva_ms_writer_open(
    const std::string& path, const talva::msio::Setup& setup, std::unique_ptr<talva::msio::RowWriter>& writer) {
  writer = std::make_unique<talva::msio::Writer>(path, setup);
}
