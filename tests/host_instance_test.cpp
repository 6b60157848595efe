// The host side of the interface, driven against a stand-in module that reports back
// what it sees (tests/host_test_module.cpp).
#include "host/host_instance.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "host/module_library.h"
#include "host/render.h"
#include "host_test_module.h"

namespace vorbel {
namespace {

class HostInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    library_ = ModuleLibrary::Load(HOST_TEST_MODULE_PATH, &error);
    ASSERT_NE(library_, nullptr) << error;
  }

  std::unique_ptr<HostInstance> MakeOpen(std::optional<int32_t> pinCountAnswer = std::nullopt) {
    std::string error;
    std::unique_ptr<HostInstance> instance = HostInstance::Create(*library_, &error);
    EXPECT_NE(instance, nullptr) << error;
    if (pinCountAnswer) instance->SetPinCountAnswer(*pinCountAnswer);
    instance->SetSampleRate(48000.0f);
    instance->Open();
    return instance;
  }

  // The values of the stand-in's reports of this kind, in order.
  static std::vector<int32_t> Reports(const HostInstance& instance, int32_t kind) {
    std::vector<int32_t> values;
    for (const HostCall& call : instance.calls()) {
      if (call.opcode == kReportOpcode && call.index == kind) values.push_back(call.value);
    }
    return values;
  }

  std::unique_ptr<ModuleLibrary> library_;
};

TEST_F(HostInstanceTest, CreateFailsClearlyWhenTheModuleMakesNoInstance) {
  std::string error;
  EXPECT_EQ(HostInstance::Create(*library_, &error, 5), nullptr);
  EXPECT_NE(error.find("index 5"), std::string::npos) << error;
}

TEST_F(HostInstanceTest, ReadsPinDescriptions) {
  std::unique_ptr<HostInstance> instance = MakeOpen();
  const std::vector<PinInfo>& pins = instance->Pins();
  ASSERT_EQ(pins.size(), 2u);
  EXPECT_EQ(pins[0].name, "In");
  EXPECT_EQ(pins[0].direction, DR_IN);
  EXPECT_EQ(pins[0].datatype, DT_STREAM);
  EXPECT_EQ(pins[0].defaultText, "3");
  EXPECT_EQ(pins[1].name, "Out");
  EXPECT_EQ(pins[1].direction, DR_OUT);
  EXPECT_FALSE(pins[1].defaultText.has_value());
  EXPECT_NE(pins[1].valueAddress, nullptr);
  EXPECT_EQ(instance->PinIndex("Out"), 1);
  EXPECT_EQ(instance->PinIndex("Missing"), -1);
}

TEST_F(HostInstanceTest, PinCountAnswerDefaultsToTheDescriptionsAndCanBeOverridden) {
  EXPECT_EQ(Reports(*MakeOpen(), kReportPinCount), std::vector<int32_t>{2});
  EXPECT_EQ(Reports(*MakeOpen(7), kReportPinCount), std::vector<int32_t>{7});
}

TEST_F(HostInstanceTest, CallLogAndSampleClockFollowProcessing) {
  std::unique_ptr<HostInstance> instance = MakeOpen();
  const std::vector<HostCall> atOpen = instance->calls();
  ASSERT_FALSE(atOpen.empty());
  EXPECT_EQ(atOpen.front().opcode, HOST_GET_PIN_COUNT);
  EXPECT_TRUE(std::none_of(atOpen.begin(), atOpen.end(),
                           [](const HostCall& c) { return c.duringProcess; }));
  instance->ClearCalls();
  EXPECT_TRUE(instance->calls().empty());

  std::vector<float> in(32, 1.0f), out(32, 0.0f);
  instance->SetStream(0, in.data());
  instance->SetStream(1, out.data());
  instance->Process(0, 16);
  instance->Process(16, 16);
  EXPECT_EQ(instance->clock(), 32);
  EXPECT_EQ(out[0], 1.0f);  // clock 0 at the first block
  EXPECT_EQ(out[15], 1.0f);
  EXPECT_EQ(out[16], 17.0f);  // clock 16 at the second
  EXPECT_EQ(out[31], 17.0f);

  // Each block asked for the clock, then for pin 1's buffer, from inside processing.
  const std::vector<HostCall>& calls = instance->calls();
  ASSERT_EQ(calls.size(), 4u);
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].opcode, i % 2 == 0 ? HOST_GET_SAMPLE_CLOCK : HOST_GET_PIN_BUFFER);
    EXPECT_TRUE(calls[i].duringProcess);
  }
  ASSERT_NE(instance->PinBuffer(1), nullptr);
  EXPECT_EQ(instance->PinBuffer(1)[0], 16.0f);
  EXPECT_EQ(instance->PinBuffer(0), nullptr);

  instance->SetClock(1000);
  instance->Process(0, 4);
  EXPECT_EQ(out[0], 1001.0f);
  EXPECT_EQ(instance->clock(), 1004);
}

TEST_F(HostInstanceTest, EventsCarryTheCurrentClockUnlessGivenWhole) {
  std::unique_ptr<HostInstance> instance = MakeOpen();
  instance->SetClock(640);
  instance->DeliverEvent(EV_VALUE, 9, 0, 0);
  SEEventRecord early{};
  early.time_stamp = 12;
  early.kind = EV_VALUE;
  instance->DeliverEventRecord(early);
  EXPECT_EQ(Reports(*instance, kReportEvent), (std::vector<int32_t>{640, 12}));
}

TEST_F(HostInstanceTest, CloseReleasesTheRecordOnce) {
  std::unique_ptr<HostInstance> instance = MakeOpen();
  instance->Close();
  EXPECT_TRUE(instance->closed());
  EXPECT_EQ(instance->record(), nullptr);
  // Nothing reaches the released module any more.
  EXPECT_EQ(instance->Dispatch(MOD_OPEN), 0);
  instance->Process(0, 8);
  instance->Close();
  EXPECT_EQ(instance->clock(), 0);
}

// Both renderers must hand the module the same frames at each block's position, whatever
// the offsets and buffers used on the way.
TEST_F(HostInstanceTest, RenderersAgreeOnBlockPositions) {
  const std::vector<int32_t> blockSizes = {3, 5, 1};
  const size_t length = 23;

  std::unique_ptr<HostInstance> whole = MakeOpen();
  StreamSet a = StreamSet::ForInstance(*whole, length);
  ASSERT_EQ(a.length(), length);
  EXPECT_EQ(a[0][0], 0.3f);  // the input's default text "3"
  for (size_t i = 0; i < length; ++i) a[0][i] = static_cast<float>(i) * 0.5f;
  StreamSet b = a;
  RenderBlocks(*whole, a, blockSizes);

  std::unique_ptr<HostInstance> scratch = MakeOpen();
  RenderInBlocksWithOffsets(*scratch, b, blockSizes, 11);

  std::vector<float> expected(length);
  int32_t blockStart = 0;
  for (size_t i = 0, block = 0; i < length; ++block) {
    for (int32_t k = 0; k < blockSizes[block % blockSizes.size()] && i < length; ++k, ++i) {
      expected[i] = static_cast<float>(i) * 0.5f + static_cast<float>(blockStart);
    }
    blockStart = static_cast<int32_t>(i);
  }
  EXPECT_EQ(a[1], expected);
  EXPECT_EQ(b[1], expected);
  EXPECT_EQ(b[0], a[0]);  // inputs are left as they were
  EXPECT_EQ(whole->clock(), static_cast<int32_t>(length));
  EXPECT_EQ(scratch->clock(), static_cast<int32_t>(length));
  EXPECT_THROW(RenderBlocks(*whole, a, {}), std::invalid_argument);
  EXPECT_THROW(RenderBlocks(*whole, a, {4, 0}), std::invalid_argument);
}

}  // namespace
}  // namespace vorbel
