// Drives a module library through its lifecycle for a leak checker to watch: open/close
// cycles with processing and events, reopens of an open instance, several instances alive
// at once closed out of order, instances closed unopened, one with no host callback.
// Under LeakSanitizer (sanitize preset) a leak fails the run at exit; natively ctest also
// runs it under valgrind memcheck.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "host/host_instance.h"
#include "host/module_library.h"
#include "host/render.h"

namespace {

constexpr size_t kFrames = 256;

std::unique_ptr<vorbel::HostInstance> MakeOpen(const vorbel::ModuleLibrary& library) {
  std::string error;
  std::unique_ptr<vorbel::HostInstance> instance = vorbel::HostInstance::Create(library, &error);
  if (!instance) {
    std::fprintf(stderr, "lifecycle_driver: %s\n", error.c_str());
    std::exit(1);
  }
  instance->SetSampleRate(48000.0f);
  instance->Open();
  return instance;
}

// A block of sound: the default streams with an impulse on the first input and every
// other input at half scale, so that the string rings.
void Play(vorbel::HostInstance& instance) {
  vorbel::StreamSet streams = vorbel::StreamSet::ForInstance(instance, kFrames);
  bool first = true;
  for (const vorbel::PinInfo& pin : instance.Pins()) {
    if (pin.direction != DR_IN || streams[pin.index].empty()) continue;
    if (first) {
      streams[pin.index][0] = 1.0f;
      first = false;
    } else if (streams[pin.index][0] == 0.0f) {
      streams[pin.index].assign(kFrames, 0.5f);
    }
  }
  vorbel::RenderBlocks(instance, streams, {64, 1, 191});
  instance.DeliverEvent(EV_PIN_STATUS, PS_ONCE, 0, 0);
  instance.DeliverEvent(EV_VALUE, 7, 3, 0);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : vorbel::DefaultModulePath();
  std::string error;
  std::unique_ptr<vorbel::ModuleLibrary> library = vorbel::ModuleLibrary::Load(path, &error);
  if (!library) {
    std::fprintf(stderr, "lifecycle_driver: %s\n", error.c_str());
    return 1;
  }

  for (int cycle = 0; cycle < 100; ++cycle) {
    std::unique_ptr<vorbel::HostInstance> instance = MakeOpen(*library);
    Play(*instance);
    instance->Close();
  }

  {
    std::unique_ptr<vorbel::HostInstance> instance = MakeOpen(*library);
    for (int reopen = 0; reopen < 50; ++reopen) {
      Play(*instance);
      instance->Open();
    }
  }  // closed by the host instance

  {
    std::vector<std::unique_ptr<vorbel::HostInstance>> instances;
    for (int i = 0; i < 8; ++i) {
      instances.push_back(MakeOpen(*library));
      Play(*instances.back());
    }
    for (size_t i : {3, 0, 7, 1, 6, 2, 5, 4}) instances[i]->Close();
  }

  for (int i = 0; i < 10; ++i) {
    std::unique_ptr<vorbel::HostInstance> unopened = vorbel::HostInstance::Create(*library, &error);
    std::unique_ptr<vorbel::HostInstance> silent =
        vorbel::HostInstance::Create(*library, &error, 0, 1, /*withCallback=*/false);
    if (!unopened || !silent) {
      std::fprintf(stderr, "lifecycle_driver: %s\n", error.c_str());
      return 1;
    }
  }
  std::printf("lifecycle_driver: done\n");
  return 0;
}
