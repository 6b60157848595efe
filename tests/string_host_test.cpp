// The string model as a host meets it through the loaded library: real-time
// behaviour, block splits and buffer offsets, independent instances.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/host_instance.h"
#include "host/module_library.h"
#include "host/render.h"

namespace vorbel {
namespace {

constexpr size_t kLength = 20000;

class LoadedString : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    library_ = ModuleLibrary::Load(DefaultModulePath(), &error);
    ASSERT_NE(library_, nullptr) << error;
  }

  std::unique_ptr<HostInstance> NewInstance(float sampleRate) {
    std::string error;
    auto instance = HostInstance::Create(*library_, &error);
    EXPECT_NE(instance, nullptr) << error;
    instance->SetSampleRate(sampleRate);
    instance->Open();
    return instance;
  }

  // A ringing string with moving controls, excited by a short burst.
  static StreamSet Streams(HostInstance& instance) {
    StreamSet set = StreamSet::ForInstance(instance, kLength);
    const auto pin = [&](const char* name) -> std::vector<float>& {
      return set[static_cast<size_t>(instance.PinIndex(name))];
    };
    for (size_t i = 0; i < kLength; ++i) {
      const float t = static_cast<float>(i) / kLength;
      pin("feed")[i] = 0.995f;
      pin("f.lpf")[i] = 0.7f;
      pin("p.str")[i] = 0.35f + 0.1f * t;
      pin("f.pos")[i] = -0.3f * t;
      pin("peak.f")[i] = 0.2f + 0.1f * std::sin(0.01f * static_cast<float>(i));
      pin("peak.q")[i] = 0.9f;
      pin("peak.amt")[i] = 0.3f;
      pin("o.pos2")[i] = 0.4f;
      pin("in")[i] = i < 64 ? std::sin(static_cast<float>(i) * 0.7f) : 0.0f;
    }
    return set;
  }

  std::unique_ptr<ModuleLibrary> library_;
};

std::vector<float> Outputs(HostInstance& instance, const StreamSet& set) {
  std::vector<float> both = set[static_cast<size_t>(instance.PinIndex("out1"))];
  const auto& out2 = set[static_cast<size_t>(instance.PinIndex("out2"))];
  both.insert(both.end(), out2.begin(), out2.end());
  return both;
}

bool SameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST_F(LoadedString, ProcessingMakesNoHostCall) {
  auto instance = NewInstance(48000.0f);
  StreamSet set = Streams(*instance);
  instance->ClearCalls();
  RenderBlocks(*instance, set, {1, 7, 256, 4096});
  EXPECT_TRUE(instance->calls().empty());
  double energy = 0;
  for (float x : Outputs(*instance, set)) energy += static_cast<double>(x) * x;
  EXPECT_GT(energy, 1e-3);  // the string did sound
}

TEST_F(LoadedString, BlockSplitsAndOffsetsGiveTheOutputOfOneCall) {
  auto whole = NewInstance(44100.0f);
  StreamSet reference = Streams(*whole);
  RenderBlocks(*whole, reference, {static_cast<int32_t>(kLength)});
  const std::vector<float> expected = Outputs(*whole, reference);

  const std::vector<std::vector<int32_t>> splits = {{1}, {3, 1, 250}, {64}, {4096, 17}};
  for (const auto& blocks : splits) {
    auto instance = NewInstance(44100.0f);
    StreamSet set = Streams(*instance);
    RenderBlocks(*instance, set, blocks);
    EXPECT_TRUE(SameBits(Outputs(*instance, set), expected)) << "blocks of " << blocks[0];
  }
  for (int32_t offset : {0, 1, 333}) {
    auto instance = NewInstance(44100.0f);
    StreamSet set = Streams(*instance);
    RenderInBlocksWithOffsets(*instance, set, {100, 1, 999}, offset);
    EXPECT_TRUE(SameBits(Outputs(*instance, set), expected)) << "offset " << offset;
  }
}

TEST_F(LoadedString, InstancesShareNothing) {
  auto a = NewInstance(44100.0f);
  auto b = NewInstance(44100.0f);
  StreamSet sa = Streams(*a);
  StreamSet sb = Streams(*b);
  // Interleaved blocks: any state shared between the two would show.
  for (int32_t at = 0; at < static_cast<int32_t>(kLength); at += 500) {
    for (auto* pair : {&a, &b}) {
      HostInstance& inst = **pair;
      StreamSet& set = pair == &a ? sa : sb;
      for (size_t p = 0; p < set.streams.size(); ++p) inst.SetStream(static_cast<int>(p), set[p].data());
      inst.Process(at, 500);
    }
  }
  EXPECT_TRUE(SameBits(Outputs(*a, sa), Outputs(*b, sb)));
}

}  // namespace
}  // namespace vorbel
