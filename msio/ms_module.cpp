// Entry point of the loadable MeasurementSet writer (see row_writer.h).
#include "msio/ms_writer.h"

extern "C" __attribute__((visibility("default"))) void talva_ms_writer_open(const std::string& path,
                                                                            const msio::Setup& setup,
                                                                            std::unique_ptr<msio::RowWriter>& writer) {
  writer = std::make_unique<msio::Writer>(path, setup);
}
