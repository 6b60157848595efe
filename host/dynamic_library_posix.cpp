#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include "host/dynamic_library.h"

namespace vorbel::detail {

namespace {

class PosixLibrary final : public DynamicLibrary {
 public:
  explicit PosixLibrary(void* handle) : handle_(handle) {}
  ~PosixLibrary() override { dlclose(handle_); }
  PosixLibrary(const PosixLibrary&) = delete;
  PosixLibrary& operator=(const PosixLibrary&) = delete;

  void* Symbol(const char* name) override { return dlsym(handle_, name); }

 private:
  void* handle_;
};

}  // namespace

const char* const kModuleFileName = "vorbel.so";

std::unique_ptr<DynamicLibrary> OpenDynamicLibrary(const std::string& path, std::string* error) {
  dlerror();  // Clear any earlier message.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    if (error != nullptr) {
      const char* reason = dlerror();
      *error = reason != nullptr ? reason : "unknown loader error";
    }
    return nullptr;
  }
  return std::make_unique<PosixLibrary>(handle);
}

std::string RunningProgramPath() {
  char buffer[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (length <= 0) return {};
  return std::string(buffer, static_cast<size_t>(length));
}

}  // namespace vorbel::detail
