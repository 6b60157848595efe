// The library's two exports: the module description and instance creation.
#include <new>

#include "module/module.h"
#include "se_sdk2/semodule_base.h"

#if defined(_WIN32)
#define VORBEL_EXPORT extern "C" __declspec(dllexport)
#else
#define VORBEL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

constexpr char kName[] = "vorbel";
constexpr char kId[] = "zorv vorbel";
constexpr char kAbout[] = "vorbel by the vorbel developers\n6/3/07\n\nmaximum length 8192 samples";

// Hosts look for this marker in the library image; nothing in the library
// reads it, so an exported function names it to keep every linker from
// dropping it.
__attribute__((used)) const char kMarker[] = "SE_MODULE";

inline void KeepMarker() { asm volatile("" : : "r"(kMarker) : "memory"); }

}  // namespace

VORBEL_EXPORT int32_t SE_CALL getModuleProperties(int32_t index, SEModuleDescription* description) {
  KeepMarker();
  if (description == nullptr) return 0;  // nothing to fill
  description->frameVersion = kSEFrameVersion;
  if (index != 0) return 0;
  description->name = kName;
  description->id = kId;
  description->about = kAbout;
  return 1;
}

VORBEL_EXPORT SEModuleRecord* SE_CALL makeModule(int32_t index, int32_t processType,
                                                 HostCallback hostCallback, void* hostHandle) {
  KeepMarker();
  if (index != 0 || processType != 1) return nullptr;
  // One allocation holds the lines and all state; exhaustion answers null.
  auto* module = new (std::nothrow) vorbel::Module(hostCallback, hostHandle);
  if (module == nullptr) return nullptr;
  return module->Record();
}
