// The Module object itself: its pin table's members, what Open leaves in it,
// the sample rate it adopts, and how it meets a host that counts too few pins.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "module/module.h"
#include "tests/frame_test_support.h"

namespace vorbel::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

using StreamMember = float* Module::*;
constexpr StreamMember kMembers[kPinCount] = {
    &Module::m_in,      &Module::m_pStr,  &Module::m_pPos, &Module::m_fPos,  &Module::m_iPos,
    &Module::m_oPos,    &Module::m_feed,  &Module::m_fLpf, &Module::m_peakF, &Module::m_peakQ,
    &Module::m_peakAmt, &Module::m_oPos2, &Module::m_out1, &Module::m_out2};

class ModuleObject : public ::testing::Test {
 protected:
  ModuleObject() { host.pinCount = kPinCount; }
  ~ModuleObject() override { Close(); }

  intptr_t Call(int32_t opcode, int32_t index = 0, int32_t value = 0, void* ptr = nullptr,
                float opt = 0.0f) {
    SEModuleRecord* r = module->Record();
    return r->dispatcherEntry(r, opcode, index, value, ptr, opt);
  }
  void Close() {
    if (module != nullptr) Call(MOD_CLOSE);
    module = nullptr;
  }

  ReportCapture capture;
  RecordingHost host;
  Module* module = new Module(&RecordingHost::Callback, &host);
};

TEST_F(ModuleObject, ConstructionNullsEveryStreamAndAsksTheHostNothing) {
  for (StreamMember m : kMembers) EXPECT_EQ(module->*m, nullptr);
  EXPECT_EQ(module->Record()->instance, static_cast<SEModule_base*>(module));
  EXPECT_EQ(module->Record()->processEntry, &SEModule_base::EmptyProcess);
  EXPECT_THAT(host.calls, IsEmpty());
}

TEST_F(ModuleObject, EachPinNamesItsOwnStreamMember) {
  for (int32_t i = 0; i < kPinCount; ++i) {
    SEPinProperties props{};
    ASSERT_EQ(Call(MOD_GET_PIN_PROPERTIES, i, 0, &props), 1) << i;
    EXPECT_EQ(props.valueAddress, &(module->*kMembers[i])) << i;
  }
  EXPECT_THAT(capture.reports(), IsEmpty());
}

TEST_F(ModuleObject, OpenClearsLinesAndSetsTheState) {
  // Dirty every line entry and the whole state block first, so that only Open
  // can have cleared them.
  for (auto& line : module->m_line) {
    for (float& x : line) x = 1.5f;
  }
  char* stateBegin = reinterpret_cast<char*>(&module->m_lenA);
  char* stateEnd = reinterpret_cast<char*>(&module->m_peakY2 + 1);
  std::memset(stateBegin, 0xa5, static_cast<size_t>(stateEnd - stateBegin));

  Call(MOD_OPEN);

  for (int l = 0; l < kLineCount; ++l) {
    for (int k = 0; k < kLineLength; ++k) {
      ASSERT_EQ(std::bit_cast<uint32_t>(module->m_line[l][k]), 0u) << "line " << l << " " << k;
    }
  }
  // Word by word: 8191 for each write position, pi's bit pattern for m_pi, 0 elsewhere.
  ASSERT_EQ((stateEnd - stateBegin) % 4, 0);
  const size_t words = static_cast<size_t>(stateEnd - stateBegin) / 4;
  std::vector<uint32_t> want(words, 0u);
  auto wordOf = [&](const void* member) {
    return static_cast<size_t>(static_cast<const char*>(member) - stateBegin) / 4;
  };
  for (int g = 0; g < kGroupCount; ++g) want[wordOf(&module->m_writePos[g])] = 8191u;
  want[wordOf(&module->m_pi)] = 0x40490fdbu;
  std::vector<uint32_t> got(words);
  std::memcpy(got.data(), stateBegin, words * 4);
  EXPECT_THAT(got, ElementsAreArray(want));
  EXPECT_EQ(module->m_pi, 3.14159274f);
}

TEST_F(ModuleObject, OpenInstallsTheSampleLoopAndTellsTheHost) {
  Call(MOD_OPEN);
  EXPECT_EQ(module->Record()->processEntry, &Module::ProcessEntry);
  EXPECT_EQ(module->ProcessFunction().entry, &Module::ProcessEntry);
  EXPECT_EQ(module->ProcessFunction().word1, 0);
  EXPECT_EQ(module->ProcessFunction().word2, 0);
  EXPECT_THAT(host.entryWhenToldOfProcess, ElementsAre(&Module::ProcessEntry));
  EXPECT_THAT(capture.reports(), IsEmpty());
}

TEST_F(ModuleObject, SampleRateFromOptReachesTheModelOnlyAtOpen) {
  Call(MOD_OPEN);
  EXPECT_EQ(module->m_sampleRate, 44100.0f);

  Call(MOD_SET_SAMPLE_RATE, 0, 96000, nullptr, 48000.0f);
  EXPECT_EQ(module->m_sampleRate, 44100.0f);
  Call(MOD_OPEN);
  EXPECT_EQ(module->m_sampleRate, 48000.0f);
}

TEST_F(ModuleObject, SampleRateSetBeforeTheFirstOpen) {
  Call(MOD_SET_SAMPLE_RATE, 0, 0, nullptr, 48000.0f);
  Call(MOD_OPEN);
  EXPECT_EQ(module->m_sampleRate, 48000.0f);
}

// Opens with one stream left out (or none, as the control) and runs a block.
class ModuleMissingStream : public ModuleObject, public ::testing::WithParamInterface<int> {};

TEST_P(ModuleMissingStream, SampleLoopWaitsForEveryStream) {
  const int missing = GetParam();
  Call(MOD_OPEN);
  constexpr int kFrames = 16;
  std::vector<std::vector<float>> streams(kPinCount, std::vector<float>(kFrames, 0.25f));
  for (int p = 0; p < kPinCount; ++p) {
    module->*kMembers[p] = p == missing ? nullptr : streams[static_cast<size_t>(p)].data();
  }
  const float pattern = -7.0f;
  streams[12].assign(kFrames, pattern);
  streams[13].assign(kFrames, pattern);

  module->Record()->processEntry(module->Record()->instance, 0, kFrames);

  if (missing < 0) {
    // With every stream in place the loop runs: the control for the cases below.
    EXPECT_EQ(module->m_writePos[0], (8191 + kFrames) % 8192);
    EXPECT_NE(streams[12][0], pattern);
    return;
  }
  EXPECT_THAT(module->m_writePos, ::testing::Each(8191));
  EXPECT_THAT(streams[12], ::testing::Each(pattern));
  EXPECT_THAT(streams[13], ::testing::Each(pattern));
}

INSTANTIATE_TEST_SUITE_P(Pins, ModuleMissingStream, ::testing::Range(-1, kPinCount));

struct PinCountCase {
  const char* name;
  int32_t hostCount;
  std::vector<std::string> reports;
  std::vector<int32_t> statusPins;
};

class ModulePinCount : public ModuleObject, public ::testing::WithParamInterface<PinCountCase> {};

TEST_P(ModulePinCount, OpenReportsOnlyThePinsItHas) {
  const PinCountCase& c = GetParam();
  host.pinCount = c.hostCount;
  host.clock = 500;
  Call(MOD_OPEN);
  EXPECT_THAT(capture.expressions(), ElementsAreArray(c.reports));
  EXPECT_THAT(host.indicesOf(HOST_SET_PIN_STATUS), ElementsAreArray(c.statusPins));
  for (const RecordedCall& call : host.calls) {
    if (call.opcode != HOST_SET_PIN_STATUS) continue;
    EXPECT_EQ(call.value, PS_STREAMING);
    EXPECT_EQ(call.ptr, 500);
  }
  // The instance still works: the loop is installed and a later open with the
  // right count reports both outputs.
  EXPECT_EQ(module->Record()->processEntry, &Module::ProcessEntry);
  host.pinCount = kPinCount;
  host.calls.clear();
  Call(MOD_OPEN);
  EXPECT_THAT(host.indicesOf(HOST_SET_PIN_STATUS), ElementsAre(12, 13));
}

INSTANTIATE_TEST_SUITE_P(
    Counts, ModulePinCount,
    ::testing::Values(PinCountCase{"Zero", 0, {"m_pins != 0", "m_pins != 0"}, {}},
                      PinCountCase{"Negative", -3, {"m_pins != 0", "m_pins != 0"}, {}},
                      PinCountCase{"Twelve", 12, {"index < pin count", "index < pin count"}, {}},
                      PinCountCase{"Thirteen", 13, {"index < pin count"}, {12}},
                      PinCountCase{"Fourteen", 14, {}, {12, 13}},
                      PinCountCase{"Twenty", 20, {}, {12, 13}}),
    [](const ::testing::TestParamInfo<PinCountCase>& info) { return info.param.name; });

TEST_F(ModuleObject, PinsTheHostCountsBeyondTheTableStayBare) {
  host.pinCount = 16;
  Call(MOD_OPEN);
  for (int32_t i = 0; i < kPinCount; ++i) {
    EXPECT_EQ(module->Pin(i)->ValuePtr(), &(module->*kMembers[i])) << i;
  }
  EXPECT_EQ(module->Pin(14)->Module(), nullptr);
  EXPECT_EQ(module->Pin(15)->Module(), nullptr);
  // An event naming one of them is reported and goes no further.
  SEEventRecord e{};
  e.kind = EV_PIN_STATUS;
  e.value = PS_ONCE;
  e.target = 15;
  module->Record()->eventEntry(module->Record()->instance, &e);
  EXPECT_THAT(capture.expressions(), ElementsAre("m_module != 0"));
}

TEST(ModuleWithoutCallback, OpenReportsTheMissingPinsAndStillInstallsTheLoop) {
  ReportCapture capture;
  auto* module = new Module(nullptr, nullptr);
  SEModuleRecord* r = module->Record();
  r->dispatcherEntry(r, MOD_OPEN, 0, 0, nullptr, 0.0f);
  EXPECT_THAT(capture.expressions(), ElementsAre("m_pins != 0", "m_pins != 0"));
  EXPECT_EQ(r->processEntry, &Module::ProcessEntry);
  EXPECT_EQ(module->m_sampleRate, 44100.0f);
  EXPECT_EQ(r->dispatcherEntry(r, MOD_CLOSE, 0, 0, nullptr, 0.0f), 1);
}

TEST_F(ModuleObject, StatusEventsReachThePinAndNothingElse) {
  Call(MOD_OPEN);
  host.calls.clear();
  SEEventRecord e{};
  e.kind = EV_PIN_STATUS;
  e.value = PS_STREAMING;
  e.target = 3;
  module->Record()->eventEntry(module->Record()->instance, &e);
  EXPECT_EQ(module->Pin(3)->Status(), PS_STREAMING);
  EXPECT_THAT(host.opcodes(), ElementsAre(HOST_GET_SAMPLE_CLOCK));

  e.target = kPinCount;
  module->Record()->eventEntry(module->Record()->instance, &e);
  EXPECT_THAT(capture.expressions(), ElementsAre("index < pin count"));
}

}  // namespace
}  // namespace vorbel::testing
