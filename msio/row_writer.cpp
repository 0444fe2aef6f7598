#include "msio/row_writer.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

#include "util/stop.h"

namespace talva::msio {

namespace {

// The module's entry point: creates a Writer at `path`.
using OpenFunction = void(const std::string& path, const Setup& setup, std::unique_ptr<RowWriter>& writer);
constexpr const char* kEntryPoint = "talva_ms_writer_open";

}  // namespace

void check_new(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) talva::stop("MeasurementSet " + path + " exists; it is not replaced");
  const std::filesystem::path parent = std::filesystem::absolute(path).parent_path();
  if (!std::filesystem::is_directory(parent, ec))
    talva::stop("cannot create MeasurementSet " + path + ": no directory " + parent.string());
}

std::string writer_module_path(const std::string& program) {
  const std::filesystem::path dir = std::filesystem::path(program).parent_path();
  return (dir / ".." / "lib" / "talva" / "libtalva_ms_writer.so").lexically_normal().string();
}

namespace {

OpenFunction* writer_entry() {
  std::error_code ec;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec)
    talva::stop("cannot find the MeasurementSet writer: the program's own path is unknown (" + ec.message() + ")");
  const std::string module = writer_module_path(program.string());
  // Never closed: the writer's code must outlast every object it made
  // (a stop thrown inside it may still be on its way out). A second dlopen
  // returns the module already loaded.
  void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    talva::stop("cannot load the MeasurementSet writer " + module + (why ? std::string(": ") + why : std::string()));
  }
  auto* open = reinterpret_cast<OpenFunction*>(dlsym(handle, kEntryPoint));
  if (open == nullptr) talva::stop("the MeasurementSet writer " + module + " has no " + kEntryPoint);
  return open;
}

}  // namespace

void load_writer_module() { writer_entry(); }

std::unique_ptr<RowWriter> open_writer(const std::string& path, const Setup& setup) {
  std::unique_ptr<RowWriter> writer;
  writer_entry()(path, setup, writer);
  return writer;
}

}  // namespace talva::msio
