// Loading the module library and finding its two entry points.
#pragma once

#include <memory>
#include <string>

#include "se_sdk2/semodule_base.h"

namespace vorbel {

namespace detail {
class DynamicLibrary;
}

class ModuleLibrary {
 public:
  // Loads the library at `path` and looks up getModuleProperties and makeModule.
  // On failure returns null and puts one line naming the path (and the missing symbol,
  // if that was the trouble) into *error.
  static std::unique_ptr<ModuleLibrary> Load(const std::string& path, std::string* error);

  ~ModuleLibrary();
  ModuleLibrary(const ModuleLibrary&) = delete;
  ModuleLibrary& operator=(const ModuleLibrary&) = delete;

  GetModulePropertiesFn getModuleProperties() const { return getModuleProperties_; }
  MakeModuleFn makeModule() const { return makeModule_; }
  const std::string& path() const { return path_; }

 private:
  ModuleLibrary(std::string path, std::unique_ptr<detail::DynamicLibrary> library,
                GetModulePropertiesFn getModuleProperties, MakeModuleFn makeModule);

  std::string path_;
  std::unique_ptr<detail::DynamicLibrary> library_;
  GetModulePropertiesFn getModuleProperties_;
  MakeModuleFn makeModule_;
};

// The module library beside the running program; when the program's own path cannot be
// read, the one in this build's output folder.
std::string DefaultModulePath();

}  // namespace vorbel
