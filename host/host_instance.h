// One module instance, driven the way a real host drives it: through the binary record's
// dispatcher, process and event entries, answering the module's host callbacks.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "se_sdk2/semodule_base.h"

namespace vorbel {

class ModuleLibrary;

// One call the module made to the host callback.
struct HostCall {
  int32_t opcode;
  int32_t index;
  int32_t value;
  intptr_t ptr;
  float opt;
  bool duringProcess;  // made from inside a processEntry call
};

// A pin as the module describes it through MOD_GET_PIN_PROPERTIES.
struct PinInfo {
  int32_t index;
  std::string name;
  int32_t direction;
  int32_t datatype;
  std::optional<std::string> defaultText;  // none when the module gave a null pointer
  void* valueAddress;
  int32_t flags;
};

class HostInstance {
 public:
  // Makes instance `index` of the library's module. The host handle is this object;
  // without `withCallback` the module gets a null host callback. Null plus *error when the
  // module hands back no record.
  static std::unique_ptr<HostInstance> Create(const ModuleLibrary& library, std::string* error,
                                              int32_t index = 0, int32_t processType = 1,
                                              bool withCallback = true);

  ~HostInstance();  // closes the instance if it is still open
  HostInstance(const HostInstance&) = delete;
  HostInstance& operator=(const HostInstance&) = delete;

  // The module's record; null once closed.
  SEModuleRecord* record() const { return record_; }

  // Calls the record's dispatcher entry; 0 without calling anything once closed.
  intptr_t Dispatch(int32_t opcode, int32_t index = 0, int32_t value = 0, void* ptr = nullptr,
                    float opt = 0.0f);
  intptr_t SetSampleRate(float rate);  // MOD_SET_SAMPLE_RATE, the rate in opt
  intptr_t SetBlockSize(int32_t size);
  intptr_t Open();  // reads the pin descriptions first if not yet read, then MOD_OPEN
  // MOD_CLOSE: the module then releases its record, so this object only keeps its logs.
  void Close();
  bool closed() const { return record_ == nullptr; }

  // The module's pin descriptions, read once (index 0 up until the module answers 0).
  const std::vector<PinInfo>& Pins();
  // The index of the pin with this name, or -1.
  int PinIndex(std::string_view name);

  // The stream whose address Process writes into the pin's value address before each call.
  // A null stream leaves the pin's value address alone.
  void SetStream(int pin, float* stream);
  // Writes every set stream address, calls processEntry, then advances the sample clock.
  void Process(int32_t bufferOffset, int32_t sampleCount);

  // Delivers an event stamped with the current sample clock.
  void DeliverEvent(int32_t kind, int32_t value, int16_t extra, intptr_t target);
  // Delivers the event exactly as given.
  void DeliverEventRecord(SEEventRecord event);

  // The sample clock that HOST_GET_SAMPLE_CLOCK answers with.
  int32_t clock() const { return clock_; }
  void SetClock(int32_t clock) { clock_ = clock; }

  // Overrides the HOST_GET_PIN_COUNT answer (by default the number of pin descriptions).
  void SetPinCountAnswer(int32_t count) { pinCountAnswer_ = count; }

  // Every host callback so far, in order.
  const std::vector<HostCall>& calls() const { return calls_; }
  void ClearCalls() { calls_.clear(); }
  // The number of logged calls with this opcode.
  size_t CountCalls(int32_t opcode) const;

  // The host-owned buffer handed out for HOST_GET_PIN_BUFFER on this pin index, or null if
  // none has been asked for. Each holds kPinBufferFrames floats and never moves.
  float* PinBuffer(int32_t index) const;
  static constexpr size_t kPinBufferFrames = 65536;

 private:
  HostInstance();
  static intptr_t SE_CALL Callback(SEModuleRecord* record, int32_t opcode, int32_t index,
                                   int32_t value, void* ptr, float opt);
  intptr_t Answer(SEModuleRecord* record, int32_t opcode, int32_t index, int32_t value, void* ptr,
                  float opt);
  void ReadPins(SEModuleRecord* record);

  SEModuleRecord* record_ = nullptr;
  bool inProcess_ = false;
  bool pinsRead_ = false;
  int32_t clock_ = 0;
  std::optional<int32_t> pinCountAnswer_;
  std::vector<PinInfo> pins_;
  std::vector<float*> streams_;                       // by pin index
  std::vector<std::unique_ptr<float[]>> pinBuffers_;  // by pin index
  std::vector<HostCall> calls_;
};

}  // namespace vorbel
