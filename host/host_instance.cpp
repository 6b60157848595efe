#include "host/host_instance.h"

#include <algorithm>

#include "host/module_library.h"

namespace vorbel {

namespace {

// Enough room that logging a call never allocates in ordinary use; the log still grows
// past this if a module calls back more often.
constexpr size_t kReservedCalls = 1 << 16;
// HOST_GET_PIN_BUFFER for a pin index at or above this (or below 0) is answered with 0.
constexpr int32_t kMaxBufferPins = 4096;

std::optional<std::string> OptionalText(const char* text) {
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

}  // namespace

HostInstance::HostInstance() { calls_.reserve(kReservedCalls); }

std::unique_ptr<HostInstance> HostInstance::Create(const ModuleLibrary& library, std::string* error,
                                                   int32_t index, int32_t processType,
                                                   bool withCallback) {
  std::unique_ptr<HostInstance> host(new HostInstance());
  SEModuleRecord* record = library.makeModule()(
      index, processType, withCallback ? &HostInstance::Callback : nullptr, host.get());
  if (record == nullptr) {
    if (error != nullptr) {
      *error = "module library '" + library.path() + "' made no instance for index " +
               std::to_string(index) + " (process type " + std::to_string(processType) + ")";
    }
    return nullptr;
  }
  host->record_ = record;
  return host;
}

HostInstance::~HostInstance() {
  if (!closed()) Close();
}

intptr_t HostInstance::Dispatch(int32_t opcode, int32_t index, int32_t value, void* ptr,
                                float opt) {
  if (record_ == nullptr) return 0;
  return record_->dispatcherEntry(record_, opcode, index, value, ptr, opt);
}

intptr_t HostInstance::SetSampleRate(float rate) {
  return Dispatch(MOD_SET_SAMPLE_RATE, 0, 0, nullptr, rate);
}

intptr_t HostInstance::SetBlockSize(int32_t size) { return Dispatch(MOD_SET_BLOCK_SIZE, 0, size); }

intptr_t HostInstance::Open() {
  if (record_ == nullptr) return 0;
  Pins();
  return Dispatch(MOD_OPEN);
}

void HostInstance::Close() {
  if (record_ == nullptr) return;
  Dispatch(MOD_CLOSE);
  record_ = nullptr;
}

void HostInstance::ReadPins(SEModuleRecord* record) {
  if (pinsRead_ || record == nullptr) return;
  pinsRead_ = true;
  for (int32_t index = 0;; ++index) {
    SEPinProperties props{};
    if (record->dispatcherEntry(record, MOD_GET_PIN_PROPERTIES, index, 0, &props, 0.0f) == 0) {
      break;
    }
    pins_.push_back(PinInfo{index, props.name != nullptr ? props.name : "", props.direction,
                            props.datatype, OptionalText(props.defaultText), props.valueAddress,
                            props.flags});
  }
  streams_.resize(std::max(streams_.size(), pins_.size()), nullptr);
}

const std::vector<PinInfo>& HostInstance::Pins() {
  ReadPins(record_);
  return pins_;
}

int HostInstance::PinIndex(std::string_view name) {
  for (const PinInfo& pin : Pins()) {
    if (pin.name == name) return pin.index;
  }
  return -1;
}

void HostInstance::SetStream(int pin, float* stream) {
  if (pin < 0) return;
  if (static_cast<size_t>(pin) >= streams_.size()) streams_.resize(pin + 1, nullptr);
  streams_[pin] = stream;
}

void HostInstance::Process(int32_t bufferOffset, int32_t sampleCount) {
  if (record_ == nullptr) return;
  ReadPins(record_);  // a no-op once read
  const size_t count = std::min(streams_.size(), pins_.size());
  for (size_t pin = 0; pin < count; ++pin) {
    if (streams_[pin] != nullptr && pins_[pin].valueAddress != nullptr) {
      *static_cast<float**>(pins_[pin].valueAddress) = streams_[pin];
    }
  }
  inProcess_ = true;
  record_->processEntry(record_->instance, bufferOffset, sampleCount);
  inProcess_ = false;
  // The clock wraps the way a 32-bit host counter does.
  clock_ = static_cast<int32_t>(static_cast<uint32_t>(clock_) + static_cast<uint32_t>(sampleCount));
}

void HostInstance::DeliverEvent(int32_t kind, int32_t value, int16_t extra, intptr_t target) {
  SEEventRecord event{};
  event.time_stamp = clock_;
  event.kind = kind;
  event.value = value;
  event.extra = extra;
  event.target = target;
  DeliverEventRecord(event);
}

void HostInstance::DeliverEventRecord(SEEventRecord event) {
  if (record_ == nullptr || record_->eventEntry == nullptr) return;
  record_->eventEntry(record_->instance, &event);
}

size_t HostInstance::CountCalls(int32_t opcode) const {
  return static_cast<size_t>(std::count_if(
      calls_.begin(), calls_.end(), [opcode](const HostCall& c) { return c.opcode == opcode; }));
}

float* HostInstance::PinBuffer(int32_t index) const {
  if (index < 0 || static_cast<size_t>(index) >= pinBuffers_.size()) return nullptr;
  return pinBuffers_[index].get();
}

intptr_t SE_CALL HostInstance::Callback(SEModuleRecord* record, int32_t opcode, int32_t index,
                                        int32_t value, void* ptr, float opt) {
  if (record == nullptr || record->hostHandle == nullptr) return 0;
  return static_cast<HostInstance*>(record->hostHandle)
      ->Answer(record, opcode, index, value, ptr, opt);
}

intptr_t HostInstance::Answer(SEModuleRecord* record, int32_t opcode, int32_t index, int32_t value,
                              void* ptr, float opt) {
  calls_.push_back(
      HostCall{opcode, index, value, reinterpret_cast<intptr_t>(ptr), opt, inProcess_});
  switch (opcode) {
    case HOST_GET_PIN_COUNT:
      if (pinCountAnswer_) return *pinCountAnswer_;
      ReadPins(record_ != nullptr ? record_ : record);
      return static_cast<intptr_t>(pins_.size());
    case HOST_GET_SAMPLE_CLOCK:
      return clock_;
    case HOST_GET_PIN_BUFFER: {
      if (index < 0 || index >= kMaxBufferPins) return 0;
      if (static_cast<size_t>(index) >= pinBuffers_.size()) pinBuffers_.resize(index + 1);
      if (!pinBuffers_[index]) pinBuffers_[index] = std::make_unique<float[]>(kPinBufferFrames);
      return reinterpret_cast<intptr_t>(pinBuffers_[index].get());
    }
    case HOST_SET_PIN_STATUS:
    case HOST_SET_PROCESS_FUNCTION:
    default:
      return 0;
  }
}

}  // namespace vorbel
