// What the render tool reads from its command line and produces as pin streams: times,
// pitches, pin values, excitations and the streams built from them.
#include <gtest/gtest.h>

#include <cmath>

#include "host/pin_source.h"
#include "host/plot.h"
#include "host/score.h"

namespace vorbel {
namespace {

TEST(RenderParsingTest, Times) {
  struct Case {
    const char* text;
    bool ok;
    int64_t sampleAt48k;
  };
  const Case cases[] = {
      {"1.5", true, 72000}, {"1.5s", true, 72000}, {"250ms", true, 12000}, {"800smp", true, 800},
      {"0", true, 0},       {"-1", false, 0},      {"1.5smp", false, 0},   {"soon", false, 0},
      {"", false, 0},       {" 1", false, 0},      {"1e13", false, 0},     {"nan", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TimeText time;
    ASSERT_EQ(ParseTime(c.text, &time), c.ok);
    if (c.ok) {
      EXPECT_EQ(time.Sample(48000.0), c.sampleAt48k);
    }
  }
}

TEST(RenderParsingTest, PitchesAreStreamValuesOrNoteNames) {
  struct Case {
    const char* text;
    bool ok;
    double pitch;
  };
  const Case cases[] = {
      {"0.35", true, 0.35},
      {"A4", true, 0.5},
      {"A2", true, 0.3},
      {"a3", true, 0.4},
      {"C4", true, 0.5 - 0.075},
      {"C#4", true, 0.5 - 0.8 / 12},
      {"Db4", true, 0.5 - 0.8 / 12},
      {"B-1", true, 0.5 - 58.0 / 120},
      {"H2", false, 0},
      {"A", false, 0},
      {"A#", false, 0},
      {"Ax4", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    float pitch = 0.0f;
    ASSERT_EQ(ParsePitch(c.text, &pitch), c.ok);
    if (c.ok) {
      EXPECT_FLOAT_EQ(pitch, static_cast<float>(c.pitch));
    }
  }
  EXPECT_EQ(NoteName(110.0), "A2");
  EXPECT_EQ(NoteName(440.0 * std::pow(2.0, 0.25 / 12.0)), "A4 +25c");
  EXPECT_EQ(NoteName(261.0), "C4 -4c");
}

TEST(RenderParsingTest, PinValueTexts) {
  using Kind = PinValueText::Kind;
  struct Case {
    const char* text;
    Kind kind;
    float from;
    float to;
  };
  const Case cases[] = {
      {"0.998", Kind::kConstant, 0.998f, 0.998f},
      {"-0.5..0.5", Kind::kRamp, -0.5f, 0.5f},
      {"0.1..-2e-1", Kind::kRamp, 0.1f, -0.2f},
      {"../take.wav", Kind::kFile, 0, 0},
      {"1..x", Kind::kFile, 0, 0},
      {"1e99", Kind::kFile, 0, 0},
      {"inf", Kind::kFile, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const PinValueText value = ParsePinValueText(c.text);
    EXPECT_EQ(value.kind, c.kind);
    if (c.kind != Kind::kFile) {
      EXPECT_EQ(value.from, c.from);
      EXPECT_EQ(value.to, c.to);
    } else {
      EXPECT_EQ(value.path, c.text);
    }
  }
}

TEST(RenderParsingTest, Excitations) {
  Excitation e;
  std::string error;
  ASSERT_TRUE(ParseExcitation("0.5:C#3:0.25", Excitation::Kind::kPluck, true, 0.4, &e, &error));
  EXPECT_EQ(e.time.Sample(44100.0), 22050);
  EXPECT_TRUE(e.setsPitch);
  EXPECT_DOUBLE_EQ(e.amplitude, 0.25);
  ASSERT_TRUE(ParseExcitation("100smp", Excitation::Kind::kImpulse, false, 1.0, &e, &error));
  EXPECT_DOUBLE_EQ(e.amplitude, 1.0);
  EXPECT_EQ(ExcitationSamples(e, 176, 1), std::vector<float>{1.0f});
  for (const char* bad : {"1:2:3", "", "1:loud", "1:1e300"}) {
    EXPECT_FALSE(ParseExcitation(bad, Excitation::Kind::kPluck, false, 0.4, &e, &error)) << bad;
  }

  // A pluck: a burst of noise within its level, the same for the same seed.
  ASSERT_TRUE(ParseExcitation("0:0.3", Excitation::Kind::kPluck, false, 0.4, &e, &error));
  const std::vector<float> burst = ExcitationSamples(e, 176, 7);
  ASSERT_EQ(burst.size(), 176u);
  double energy = 0.0;
  for (float v : burst) {
    EXPECT_LE(std::fabs(v), 0.3f);
    energy += double{v} * v;
  }
  EXPECT_GT(energy / 176.0, 0.3 * 0.3 / 3.0 * 0.5);  // uniform noise: mean square amp^2 / 3
  EXPECT_EQ(ExcitationSamples(e, 176, 7), burst);
  EXPECT_NE(ExcitationSamples(e, 176, 8), burst);
}

TEST(RenderParsingTest, Streams) {
  std::vector<float> block(6);
  // A ramp runs from its first value on the first sample to its last on the last.
  const PinSource ramp = PinSource::Ramp(0.25f, 0.75f, 5);
  ramp.Fill(0, 6, block.data());
  EXPECT_EQ(block, (std::vector<float>{0.25f, 0.375f, 0.5f, 0.625f, 0.75f, 0.75f}));
  // Steps hold each value from its sample on, given in any order.
  const PinSource steps = PinSource::Steps(0.3f, {{4, 0.5f}, {2, 0.4f}});
  steps.Fill(1, 5, block.data());
  EXPECT_EQ(std::vector<float>(block.begin(), block.begin() + 5),
            (std::vector<float>{0.3f, 0.4f, 0.4f, 0.5f, 0.5f}));
  EXPECT_EQ(steps.NextChangeAfter(2), 4);
  EXPECT_EQ(steps.NextChangeAfter(4), -1);
  // File samples, then the value given for after their end.
  const PinSource samples = PinSource::Samples({1.0f, 2.0f}, 0.0f);
  samples.Fill(0, 4, block.data());
  EXPECT_EQ(std::vector<float>(block.begin(), block.begin() + 4),
            (std::vector<float>{1.0f, 2.0f, 0.0f, 0.0f}));
}

}  // namespace
}  // namespace vorbel
