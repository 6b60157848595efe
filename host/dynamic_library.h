// The host library's only contact with the platform's loader: open a shared library,
// look up symbols, close it. One implementation file per platform.
#pragma once

#include <memory>
#include <string>

namespace vorbel::detail {

class DynamicLibrary {
 public:
  virtual ~DynamicLibrary() = default;
  // The address of an exported symbol, or null when the library has none by that name.
  virtual void* Symbol(const char* name) = 0;
};

// Opens the library at `path` with all symbols bound now; null plus the loader's
// reason in *error on failure.
std::unique_ptr<DynamicLibrary> OpenDynamicLibrary(const std::string& path, std::string* error);

// The full path of the running program, or an empty string when it cannot be told.
std::string RunningProgramPath();

// The module library's file name on this platform.
extern const char* const kModuleFileName;

}  // namespace vorbel::detail
