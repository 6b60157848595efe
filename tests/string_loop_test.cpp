// The waveguide sample loop and the segment filters: impulse responses, the
// junction, the flush, "feed", and what the lowpass and resonator do to the
// waves of segment B.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>

#include "tests/model_fixture.h"
#include "tests/printed.h"

namespace vorbel::testing {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// The impulse example: a string of 50 samples, excited near end B.
PinValues ImpulseControls(float fPos) {
  PinValues p;
  p.v[kPStr] = 0.5f;
  p.v[kPPos] = 0.6f;
  p.v[kFLpf] = 1.0f;
  p.v[kIPos] = 0.1f;
  p.v[kOPos] = 0.3f;
  p.v[kOPos2] = 0.2f;
  p.v[kFeed] = 1.0f;
  p.v[kFPos] = fPos;
  return p;
}

struct Arrival {
  int pin;
  int sample;
  const char* value;
};

struct ImpulseCase {
  const char* name;
  float fPos;
  int out1Silent, out2Silent;  // outputs are exactly 0 before these samples
  std::vector<Arrival> arrivals;
};

void PrintTo(const ImpulseCase& c, std::ostream* os) { *os << c.name; }

class ImpulseResponse : public ::testing::TestWithParam<ImpulseCase> {};

TEST_P(ImpulseResponse, ArrivesWhereTheGeometrySays) {
  const ImpulseCase& c = GetParam();
  StringHarness h(44100.0f, 200);
  h.Hold(ImpulseControls(c.fPos));
  h.stream(kIn)[0] = 1.0f;
  h.ProcessAll();

  const Module& m = h.module();
  EXPECT_EQ(m.m_intLenA, 25);
  EXPECT_EQ(m.m_intLenB, 25);
  EXPECT_EQ(m.m_intExciteToJunction, 20);
  EXPECT_EQ(m.m_intExciteToEndB, 5);
  EXPECT_EQ(m.m_intPickup2, 10);
  EXPECT_EQ(m.m_intPickup1, 15);
  EXPECT_PRINTED(m.m_lenA, "25.05682");
  EXPECT_PRINTED(m.m_fracExciteToEndB, "0.01136");
  EXPECT_PRINTED(m.m_pickup1Delay, "15.03409");

  for (int i = 0; i < c.out1Silent; ++i) ASSERT_EQ(Bits(h.stream(kOut1)[i]), 0u) << i;
  for (int i = 0; i < c.out2Silent; ++i) ASSERT_EQ(Bits(h.stream(kOut2)[i]), 0u) << i;
  for (const Arrival& a : c.arrivals) {
    SCOPED_TRACE(std::string(a.pin == kOut1 ? "out1" : "out2") + " at " + std::to_string(a.sample));
    EXPECT_PRINTED(h.stream(a.pin)[a.sample], a.value);
  }
}

INSTANTIATE_TEST_SUITE_P(StringModel, ImpulseResponse,
                         ::testing::Values(ImpulseCase{"TransparentJunction",
                                                       0.0f,
                                                       80,
                                                       20,
                                                       {{kOut2, 20, "-0.954933"},
                                                        {kOut2, 21, "-0.0446797"},
                                                        {kOut2, 22, "-0.000387393"},
                                                        {kOut2, 110, "0.773605"},
                                                        {kOut1, 80, "-0.829854"},
                                                        {kOut1, 81, "-0.158801"},
                                                        {kOut1, 82, "-0.011017"},
                                                        {kOut1, 90, "0.810657"}}},
                                           ImpulseCase{"ClosedJunction",
                                                       -1.0f,
                                                       30,
                                                       20,
                                                       {{kOut1, 30, "-0.932856"},
                                                        {kOut1, 31, "-0.0661113"},
                                                        {kOut1, 32, "-0.00103295"},
                                                        {kOut2, 20, "-0.954933"},
                                                        {kOut2, 60, "0.869625"}}}),
                         [](const auto& info) { return std::string(info.param.name); });

// Between its arrivals at sample 20 and 110, out2 of the transparent string
// holds nothing but the second reflection path's zeros.
TEST(ImpulseResponse, OpenJunctionHidesNothingBetweenArrivals) {
  StringHarness h(44100.0f, 110);
  h.Hold(ImpulseControls(0.0f));
  h.stream(kIn)[0] = 1.0f;
  h.ProcessAll();
  for (int i = 23; i < 100; ++i) EXPECT_EQ(Bits(h.stream(kOut2)[i]), 0u) << i;
}

// A fixture that places values straight into the lines: with the pitch
// inputs at 0 since open every delay is (0, 0), so tap k reads its line at
// the current write position.
class LineFixture : public ::testing::Test {
 protected:
  LineFixture() : h(44100.0f, 8) {
    h.Hold(kFLpf, 1.0f);
    h.Hold(kFeed, 1.0f);
  }
  // The entry the next sample reads at delay 0.
  float& Next(int line) {
    const int32_t w = h.module().m_writePos[0];
    return h.module().m_line[line][w];
  }
  StringHarness h;
};

TEST_F(LineFixture, PeakResonatorImpulseResponse) {
  h.Hold(kPeakF, 0.5f);
  h.Hold(kPeakQ, 0.5f);
  h.Hold(kPeakAmt, 1.0f);
  Next(1) = 1.0f;
  const char* expected[] = {"1",      "-4.371139e-8", "-0.25",     "2.185569e-8",
                            "0.0625", "-8.195885e-9", "-0.015625", "2.731962e-9"};
  const Module& m = h.module();
  for (int i = 0; i < 8; ++i) {
    h.Process(i, 1);
    SCOPED_TRACE(i);
    EXPECT_PRINTED(m.m_peakOut, expected[i]);
    EXPECT_EQ(Bits(m.m_tap[1]), Bits(m.m_peakOut));  // "peak.amt" 1: tap 1 is the output
  }
  EXPECT_PRINTED(m.m_peakCos, "-4.371139e-8");
  EXPECT_EQ(m.m_peakA1, m.m_peakCos);
  EXPECT_EQ(m.m_peakA2, -0.25f);
}

TEST_F(LineFixture, PeakAmountZeroLeavesTapButRunsResonator) {
  h.Hold(kPeakF, 0.5f);
  h.Hold(kPeakQ, 0.5f);
  Next(1) = 1.0f;
  h.Process(0, 2);
  EXPECT_EQ(h.module().m_tap[1], 0.0f);
  EXPECT_PRINTED(h.module().m_peakY1, "-4.371139e-8");
  EXPECT_EQ(h.module().m_peakY2, 1.0f);
}

TEST_F(LineFixture, PeakRadiusZeroPassesTheTap) {
  h.Hold(kPeakF, 0.3f);
  h.Hold(kPeakAmt, 0.7f);
  Next(1) = 0.25f;
  h.Process(0, 1);
  EXPECT_EQ(h.module().m_tap[1], 0.25f);
}

TEST_F(LineFixture, PeakFrequencyZeroFromOpenKeepsQuarterRate) {
  h.Hold(kPeakQ, 0.5f);
  h.Process(0, 4);
  EXPECT_EQ(h.module().m_peakCos, 0.0f);  // not cos(0) = 1: nothing changed
  h.stream(kPeakF)[4] = 0.25f;
  h.Process(4, 1);
  EXPECT_PRINTED(h.module().m_peakA1, "0.70710677");  // 2 * cos(pi / 4) * 0.5
}

struct LowpassCase {
  const char* name;
  float fLpf;
  std::vector<float> expected;  // tap 1 and tap 3 for a constant input of 1
};

void PrintTo(const LowpassCase& c, std::ostream* os) { *os << c.name; }

class DampingLowpass : public ::testing::TestWithParam<LowpassCase> {};

TEST_P(DampingLowpass, ConstantInput) {
  const LowpassCase& c = GetParam();
  StringHarness h(44100.0f, 4);
  h.Hold(kFLpf, c.fLpf);
  for (int line : {1, 3}) {
    for (float& x : h.module().m_line[line]) x = 1.0f;
  }
  for (size_t i = 0; i < c.expected.size(); ++i) {
    h.Process(static_cast<int>(i), 1);
    EXPECT_EQ(h.module().m_dampState1, c.expected[i]) << i;
    EXPECT_EQ(h.module().m_dampState3, c.expected[i]) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    StringModel, DampingLowpass,
    ::testing::Values(LowpassCase{"Half", 0.5f, {0.5f, 0.75f, 0.875f, 0.9375f}},
                      LowpassCase{"Open", 1.0f, {1, 1, 1, 1}},
                      LowpassCase{"AboveOne", 2.0f, {1, 1, 1, 1}},
                      LowpassCase{"NaN", kNaN, {1, 1, 1, 1}},
                      LowpassCase{"Closed", 0.0f, {0, 0, 0, 0}},
                      LowpassCase{"BelowZero", -1.0f, {0, 0, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

struct FlushCase {
  float in;
  float out;
};

TEST(Flush, TinyValuesBecomeZeroOrMultiplesOfTwoToMinus83) {
  const FlushCase cases[] = {
      {3e-26f, 0.0f},   {-3e-26f, -0.0f}, {1e-25f, std::ldexp(1.0f, -83)},
      {0.5f, 0.5f},     {1e-40f, 0.0f},  // subnormal
      {3e-11f, 3e-11f}, {0.0f, 0.0f},
  };
  for (const FlushCase& c : cases) {
    EXPECT_EQ(std::fabs(Flush(c.in)), std::fabs(c.out)) << c.in;
  }
  EXPECT_TRUE(std::isnan(Flush(kNaN)));
  EXPECT_EQ(Flush(kInf), kInf);
}

TEST_F(LineFixture, FlushActsOnRecirculatingTapsOnly) {
  Next(0) = 3e-26f;  // tap 0
  Next(1) = 1e-25f;  // tap 1
  Next(2) = 3e-26f;  // tap 2 is not flushed
  Next(3) = 0.5f;    // tap 3
  const int32_t w = h.module().m_writePos[0];
  h.Process(0, 1);
  const Module& m = h.module();
  EXPECT_EQ(m.m_tap[0], 0.0f);
  EXPECT_EQ(m.m_tap[1], std::ldexp(1.0f, -83));
  EXPECT_EQ(m.m_tap[2], 3e-26f);
  EXPECT_EQ(m.m_tap[3], 0.5f);
  EXPECT_EQ(m.m_line[0][w], -3e-26f);  // reflected at end A unflushed
}

TEST(Junction, CoefficientIsHeldBetweenMinusOneAndZero) {
  const FlushCase cases[] = {{0.5f, 0.0f},   {-3.0f, -1.0f},   {kNaN, -1.0f}, {kInf, 0.0f},
                             {-kInf, -1.0f}, {-0.25f, -0.25f}, {-0.0f, -0.0f}};
  for (const FlushCase& c : cases) {
    StringHarness h(44100.0f, 1);
    h.Hold(kFPos, c.in);
    h.Process(0, 1);
    EXPECT_EQ(Bits(h.module().m_junctionCoef), Bits(c.out)) << c.in;
  }
}

TEST(Feed, ZeroSilencesTheStringButNotTheInputLines) {
  StringHarness h(44100.0f, 300);
  h.Hold(ImpulseControls(0.0f));
  h.Hold(kFeed, 0.0f);
  for (int i = 0; i < 300; ++i) h.stream(kIn)[i] = std::sin(0.1f * static_cast<float>(i));
  h.ProcessAll();
  const Module& m = h.module();
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(h.stream(kOut1)[i], 0.0f);
    ASSERT_EQ(h.stream(kOut2)[i], 0.0f);
  }
  for (int line = 0; line < 4; ++line) {
    for (float x : m.m_line[line]) ASSERT_EQ(x, 0.0f) << line;
  }
  const int32_t last = (m.m_writePos[0] + kLineLength - 1) & kLineMask;
  EXPECT_EQ(Bits(m.m_line[4][last]), Bits(h.stream(kIn)[299]));
  EXPECT_EQ(Bits(m.m_line[5][last]), Bits(h.stream(kIn)[299]));
}

// Copies bits without passing through a floating-point register, which on
// 32-bit x86 may quiet a signalling NaN.
uint32_t BitsAt(const float* p) {
  uint32_t u;
  std::memcpy(&u, p, sizeof u);
  return u;
}

TEST(Input, EntersTheLinesBitForBit) {
  const uint32_t patterns[] = {0x7fa00001u, 0xffc00123u, 0x80000000u, 0x00000001u};
  StringHarness h(44100.0f, 4);
  std::memcpy(h.stream(kIn).data(), patterns, sizeof patterns);
  h.ProcessAll();
  for (int i = 0; i < 4; ++i) {
    const int32_t w = (kLineLength - 1 + i) & kLineMask;
    EXPECT_EQ(BitsAt(&h.module().m_line[4][w]), patterns[i]);
    EXPECT_EQ(BitsAt(&h.module().m_line[5][w]), patterns[i]);
  }
}

TEST(Process, CountOfZeroOrLessChangesNothing) {
  StringHarness h(44100.0f, 4);
  h.Hold(ImpulseControls(0.0f));
  for (int32_t count : {0, -1, -1000}) {
    h.Process(0, count);
    EXPECT_EQ(h.module().m_writePos[0], kLineLength - 1);
    EXPECT_EQ(h.module().m_lenA, 0.0f);
    EXPECT_EQ(h.stream(kOut1)[0], 0.0f);
  }
}

TEST(Process, WritePositionsAdvanceTogetherAndWrap) {
  StringHarness h(44100.0f, kLineLength + 3);
  h.ProcessAll();
  for (int g = 0; g < kGroupCount; ++g) EXPECT_EQ(h.module().m_writePos[g], 2);
}

}  // namespace
}  // namespace vorbel::testing
