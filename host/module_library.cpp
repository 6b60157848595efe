#include "host/module_library.h"

#include <utility>

#include "host/dynamic_library.h"

#ifndef VORBEL_BUILD_BIN_DIR
#error "VORBEL_BUILD_BIN_DIR must name the build's output folder"
#endif

namespace vorbel {

ModuleLibrary::ModuleLibrary(std::string path, std::unique_ptr<detail::DynamicLibrary> library,
                             GetModulePropertiesFn getModuleProperties, MakeModuleFn makeModule)
    : path_(std::move(path)),
      library_(std::move(library)),
      getModuleProperties_(getModuleProperties),
      makeModule_(makeModule) {}

ModuleLibrary::~ModuleLibrary() = default;

std::unique_ptr<ModuleLibrary> ModuleLibrary::Load(const std::string& path, std::string* error) {
  std::string reason;
  std::unique_ptr<detail::DynamicLibrary> library = detail::OpenDynamicLibrary(path, &reason);
  if (library == nullptr) {
    if (error != nullptr) *error = "cannot load module library '" + path + "': " + reason;
    return nullptr;
  }
  void* properties = library->Symbol("getModuleProperties");
  void* make = library->Symbol("makeModule");
  const char* missing = properties == nullptr ? "getModuleProperties"
                        : make == nullptr     ? "makeModule"
                                              : nullptr;
  if (missing != nullptr) {
    if (error != nullptr) {
      *error = "module library '" + path + "' does not export '" + missing + "'";
    }
    return nullptr;
  }
  return std::unique_ptr<ModuleLibrary>(new ModuleLibrary(
      path, std::move(library), reinterpret_cast<GetModulePropertiesFn>(properties),
      reinterpret_cast<MakeModuleFn>(make)));
}

std::string DefaultModulePath() {
  std::string program = detail::RunningProgramPath();
  std::string::size_type slash = program.find_last_of("/\\");
  if (slash != std::string::npos) return program.substr(0, slash + 1) + detail::kModuleFileName;
  return std::string(VORBEL_BUILD_BIN_DIR) + "/" + detail::kModuleFileName;
}

}  // namespace vorbel
