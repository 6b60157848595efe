// A white-box harness for the string model: one Module, opened by a minimal
// host, with one host-owned stream per pin.
#pragma once

#include <bit>
#include <cstdint>
#include <memory>
#include <vector>

#include "module/module.h"

namespace vorbel::testing {

enum Pin : int {
  kIn,
  kPStr,
  kPPos,
  kFPos,
  kIPos,
  kOPos,
  kFeed,
  kFLpf,
  kPeakF,
  kPeakQ,
  kPeakAmt,
  kOPos2,
  kOut1,
  kOut2,
};
constexpr int kInputPins = 12;

inline uint32_t Bits(float x) { return std::bit_cast<uint32_t>(x); }

struct PinValues {
  float v[kInputPins] = {};
};

class StringHarness {
 public:
  explicit StringHarness(float sampleRate = 44100.0f, int length = 256)
      : module_(new Module(&Callback, nullptr)), streams_(kPinCount) {
    module_->SetSampleRate(sampleRate);
    module_->Open();
    Resize(length);
  }
  ~StringHarness() { module_->Dispatch(MOD_CLOSE, 0, 0, nullptr, 0.0f); }

  Module& module() { return *module_; }
  std::vector<float>& stream(int pin) { return streams_[pin]; }
  int length() const { return static_cast<int>(streams_[0].size()); }

  void Resize(int length) {
    for (auto& s : streams_) s.assign(static_cast<size_t>(length), 0.0f);
  }
  // Holds every input pin at a constant over the whole stream.
  void Hold(const PinValues& values) {
    for (int p = 0; p < kInputPins; ++p) streams_[p].assign(streams_[p].size(), values.v[p]);
  }
  void Hold(int pin, float value) { streams_[pin].assign(streams_[pin].size(), value); }

  // Processes [offset, offset + count) of the streams in one call.
  void Process(int offset, int count) {
    float** members[kPinCount] = {&module_->m_in,    &module_->m_pStr,    &module_->m_pPos,
                                  &module_->m_fPos,  &module_->m_iPos,    &module_->m_oPos,
                                  &module_->m_feed,  &module_->m_fLpf,    &module_->m_peakF,
                                  &module_->m_peakQ, &module_->m_peakAmt, &module_->m_oPos2,
                                  &module_->m_out1,  &module_->m_out2};
    for (int p = 0; p < kPinCount; ++p) *members[p] = streams_[p].data();
    module_->Record()->processEntry(module_->Record()->instance, offset, count);
  }
  void ProcessAll() { Process(0, length()); }

 private:
  static intptr_t Callback(SEModuleRecord*, int32_t opcode, int32_t, int32_t, void*, float) {
    return opcode == HOST_GET_PIN_COUNT ? kPinCount : 0;
  }

  Module* module_;
  std::vector<std::vector<float>> streams_;
};

}  // namespace vorbel::testing
