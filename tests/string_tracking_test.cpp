// Length and position tracking: what the pitch and position inputs make of
// the segment lengths, excitation distances and pickup delays.
#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <limits>
#include <ostream>
#include <string>

#include "tests/model_fixture.h"
#include "tests/printed.h"

namespace vorbel::testing {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Controls {
  float pStr, pPos, fLpf, iPos, oPos, oPos2;
};

// The pitch inputs at the default texts, read as a host reads them.
constexpr Controls kDefaults{0.3f, 0.4f, 0.0f, 0.17f, 0.12f, 0.0f};

void Apply(StringHarness& h, const Controls& c) {
  h.Hold(kPStr, c.pStr);
  h.Hold(kPPos, c.pPos);
  h.Hold(kFLpf, c.fLpf);
  h.Hold(kIPos, c.iPos);
  h.Hold(kOPos, c.oPos);
  h.Hold(kOPos2, c.oPos2);
}

// One delay as the module holds it: length, integer part, fraction. An empty
// text skips a check.
struct Delay {
  std::string length, fraction;
  int whole;
};

void ExpectDelay(const char* what, float length, int32_t whole, float fraction, const Delay& d) {
  SCOPED_TRACE(what);
  if (!d.length.empty()) {
    EXPECT_PRINTED(length, d.length);
  }
  EXPECT_EQ(whole, d.whole);
  if (!d.fraction.empty()) {
    EXPECT_PRINTED(fraction, d.fraction);
  }
  // Integer part plus fraction is the length.
  EXPECT_EQ(static_cast<float>(static_cast<double>(whole) + fraction), length);
}

struct TrackCase {
  const char* name;
  Controls controls;
  Delay lenA, lenB, toEndB, toJunction, pickup1, pickup2;
};

void PrintTo(const TrackCase& c, std::ostream* os) { *os << c.name; }

class Tracking : public ::testing::TestWithParam<TrackCase> {};

TEST_P(Tracking, FirstSampleAfterOpen) {
  const TrackCase& c = GetParam();
  StringHarness h(44100.0f, 1);
  Apply(h, c.controls);
  h.Process(0, 1);
  const Module& m = h.module();
  ExpectDelay("segment A", m.m_lenA, m.m_intLenA, m.m_fracLenA, c.lenA);
  ExpectDelay("segment B", m.m_lenB, m.m_intLenB, m.m_fracLenB, c.lenB);
  ExpectDelay("excitation to end B", m.m_exciteToEndB, m.m_intExciteToEndB, m.m_fracExciteToEndB,
              c.toEndB);
  ExpectDelay("excitation to junction", m.m_exciteToJunction, m.m_intExciteToJunction,
              m.m_fracExciteToJunction, c.toJunction);
  ExpectDelay("pickup 1", m.m_pickup1Delay, m.m_intPickup1, m.m_fracPickup1, c.pickup1);
  ExpectDelay("pickup 2", m.m_pickup2Delay, m.m_intPickup2, m.m_fracPickup2, c.pickup2);
}

const Delay kOne{"1", "0", 1};
const Delay kZero{"0", "0", 0};

INSTANTIATE_TEST_SUITE_P(
    StringModel, Tracking,
    ::testing::Values(TrackCase{"DefaultTexts",
                                kDefaults,
                                {"102.231804", "0.2318039", 102},
                                {"98.222725", "0.22272491", 98},
                                {"34.07727", "0.07727051", 34},
                                {"64.145454", "0.1454544", 64},
                                {"24.054543", "0.05454254", 24},
                                kOne},
                      // Full length at its lower bound of 2 samples.
                      TrackCase{"HighestPitch",
                                {1.0f, 0.4f, 0.0f, 0.17f, 0.12f, 0.0f},
                                kOne,
                                kOne,
                                kOne,
                                kZero,
                                kOne,
                                kOne},
                      // Segment B would be longer than the string.
                      TrackCase{"SegmentBLongerThanString",
                                {0.3f, 0.2f, 0.0f, 0.17f, 0.12f, 0.0f},
                                kOne,
                                {"199.45453", "", 199},
                                {"", "", 34},
                                {"", "", 165},
                                {"24.054543", "", 24},
                                kOne},
                      TrackCase{"SegmentBShorterThanTwo",
                                {0.3f, 1.0f, 0.0f, 0.17f, 0.12f, 0.0f},
                                {"", "", 198},
                                {"1.5347301", "0.5347301", 1},
                                kOne,
                                {"0.5347301", "0.5347301", 0},
                                {"", "", 24},
                                kOne},
                      // Integer part 0 with a negative fraction.
                      TrackCase{"SegmentBShorterThanOne",
                                {0.3f, 1.5f, 0.0f, 0.17f, 0.12f, 0.0f},
                                {"", "", 200},
                                {"0.04796031", "0.04796031", 0},
                                kOne,
                                {"-0.9520397", "-0.9520397", 0},
                                {"", "", 24},
                                kOne},
                      TrackCase{"ExcitationNearEndBBound",
                                {0.3f, 0.4f, 0.0f, 0.9f, 0.12f, 0.0f},
                                {"102.231804", "", 102},
                                {"98.222725", "", 98},
                                {"97.222725", "", 97},
                                kOne,
                                {"24.054543", "", 24},
                                kOne},
                      TrackCase{"ExcitationBelowZero",
                                {0.3f, 0.4f, 0.0f, -0.2f, 0.12f, 0.0f},
                                {"102.231804", "", 102},
                                {"98.222725", "", 98},
                                kOne,
                                {"97.222725", "", 97},
                                {"24.054543", "", 24},
                                kOne},
                      TrackCase{"PickupsAtBounds",
                                {0.3f, 0.4f, 0.0f, 0.17f, 1.5f, -1.0f},
                                {"102.231804", "", 102},
                                {"98.222725", "", 98},
                                {"34.07727", "", 34},
                                {"64.145454", "", 64},
                                {"199.45453", "", 199},
                                kOne},
                      TrackCase{"PickupBelowZero",
                                {0.3f, 0.4f, 0.0f, 0.17f, -0.5f, 0.0f},
                                {"", "", 102},
                                {"", "", 98},
                                {"", "", 34},
                                {"", "", 64},
                                kOne,
                                kOne},
                      TrackCase{"LowpassOpenKeepsFullSegmentB",
                                {0.3f, 0.4f, 1.0f, 0.17f, 0.12f, 0.0f},
                                {"100.22726", "", 100},
                                {"100.22727", "", 100},
                                {"", "", 34},
                                {"", "", 66},
                                {"24.054543", "", 24},
                                kOne},
                      // Watched inputs exactly 0 since open: no update runs at all.
                      TrackCase{"PitchesAndPickupAtZero",
                                {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.5f},
                                kZero,
                                kZero,
                                kZero,
                                kZero,
                                kZero,
                                kZero},
                      // A NaN pitch is replaced at the first bound it meets.
                      TrackCase{"NaNStringPitch",
                                {kNaN, 0.4f, 0.0f, 0.17f, 0.12f, 0.0f},
                                kOne,
                                kOne,
                                kOne,
                                kZero,
                                kOne,
                                kOne},
                      TrackCase{"NaNSegmentPitch",
                                {0.3f, kNaN, 0.0f, kNaN, 0.12f, kNaN},
                                kOne,
                                {"199.45453", "", 199},
                                {"198.45453", "", 198},
                                kOne,
                                {"24.054543", "", 24},
                                kOne}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Tracking, FullLengthAtUpperBound) {
  StringHarness h(44100.0f, 1);
  Apply(h, {-0.3f, 0.4f, 0.0f, 0.17f, 0.12f, 0.0f});
  h.Process(0, 1);
  const Module& m = h.module();
  EXPECT_PRINTED(PitchLength(44100.0f, -0.3f), "12829.092");
  EXPECT_EQ(m.m_lenA, static_cast<float>(8191.0 - m.m_lenB));
  EXPECT_PRINTED(m.m_lenB, "98.222725");
  EXPECT_PRINTED(PitchLength(44100.0f, 1.0f), "1.5660511");
  EXPECT_PRINTED(PitchLength(44100.0f, 0.0f), "1603.6364");
}

TEST(Tracking, PitchLengthScale) {
  EXPECT_PRINTED(PitchLength(44100.0f, 0.5f), "50.113636");
  EXPECT_PRINTED(PitchLength(44100.0f, 0.4f), "100.22727");
  EXPECT_PRINTED(PitchLength(44100.0f, 0.3f), "200.45453");
}

// The worked continuation: "p.str" moves, then "o.pos" moves with "o.pos2".
TEST(Tracking, UpdatesRunOnlyWhenTheirWatchedInputMoves) {
  StringHarness h(44100.0f, 3);
  Apply(h, kDefaults);
  h.stream(kPStr)[1] = h.stream(kPStr)[2] = 0.5f;
  h.stream(kOPos2)[1] = 0.5f;  // not watched: no effect on sample 1
  h.stream(kOPos)[2] = 0.25f;
  h.stream(kOPos2)[2] = 0.5f;
  const Module& m = h.module();

  h.Process(0, 2);
  EXPECT_PRINTED(m.m_lenB, "49.113636");
  EXPECT_PRINTED(m.m_fracLenB, "0.11363602");
  EXPECT_EQ(m.m_intLenB, 49);
  EXPECT_EQ(m.m_lenA, 1.0f);
  EXPECT_EQ(m.m_intLenA, 1);
  EXPECT_EQ(m.m_fracLenA, 0.0f);
  EXPECT_PRINTED(m.m_exciteToEndB, "8.519319");
  EXPECT_PRINTED(m.m_fracExciteToEndB, "0.5193186");
  EXPECT_PRINTED(m.m_exciteToJunction, "40.59432");
  EXPECT_PRINTED(m.m_fracExciteToJunction, "0.5943184");
  // The pickups keep the delays of the last pickup update.
  EXPECT_PRINTED(m.m_pickup1Delay, "24.054543");
  EXPECT_EQ(m.m_pickup2Delay, 1.0f);

  h.Process(2, 1);
  EXPECT_PRINTED(m.m_pickup1Delay, "12.528409");
  EXPECT_EQ(m.m_intPickup1, 12);
  EXPECT_PRINTED(m.m_fracPickup1, "0.528409");
  EXPECT_PRINTED(m.m_pickup2Delay, "25.056818");
  EXPECT_EQ(m.m_intPickup2, 25);
  EXPECT_PRINTED(m.m_fracPickup2, "0.05681801");
}

TEST(Tracking, UnwatchedInputsAloneChangeNothing) {
  StringHarness h(44100.0f, 64);
  Apply(h, kDefaults);
  for (int i = 1; i < 64; ++i) {
    h.stream(kFLpf)[i] = static_cast<float>(i) / 64.0f;
    h.stream(kOPos2)[i] = static_cast<float>(i) / 8.0f;
  }
  constexpr float Module::*kMembers[] = {&Module::m_lenA,         &Module::m_lenB,
                                         &Module::m_exciteToEndB, &Module::m_exciteToJunction,
                                         &Module::m_pickup1Delay, &Module::m_pickup2Delay,
                                         &Module::m_fracLenA,     &Module::m_fracPickup2};
  h.Process(0, 1);
  uint32_t first[std::size(kMembers)];
  for (size_t k = 0; k < std::size(kMembers); ++k) first[k] = Bits(h.module().*kMembers[k]);
  h.Process(1, 63);
  for (size_t k = 0; k < std::size(kMembers); ++k) {
    EXPECT_EQ(Bits(h.module().*kMembers[k]), first[k]) << "member " << k;
  }
}

TEST(Tracking, NaNCopiedIntoMemoryHidesMovesUntilTheOtherPitchMoves) {
  StringHarness h(44100.0f, 4);
  Apply(h, kDefaults);
  const float pStr[4] = {kNaN, 0.3f, 0.5f, 0.5f};
  const float pPos[4] = {0.4f, 0.4f, 0.4f, 0.45f};
  for (int i = 0; i < 4; ++i) {
    h.stream(kPStr)[i] = pStr[i];
    h.stream(kPPos)[i] = pPos[i];
  }
  const Module& m = h.module();
  h.Process(0, 1);  // "p.pos" moved: the update runs with a NaN "p.str"
  EXPECT_EQ(m.m_lenA + m.m_lenB, 2.0f);
  h.Process(1, 2);  // "p.str" moves, but its memory holds a NaN
  EXPECT_EQ(m.m_lenA + m.m_lenB, 2.0f);
  h.Process(3, 1);  // "p.pos" moves and brings the current "p.str" in
  EXPECT_PRINTED(static_cast<float>(static_cast<double>(m.m_lenA) + m.m_lenB), "50.113636");
}

TEST(Tracking, SampleRateIsTakenAtOpen) {
  StringHarness h(48000.0f, 1);
  Apply(h, kDefaults);
  h.module().SetSampleRate(96000.0f);  // after open: does not reach the model
  h.Process(0, 1);
  const double full = static_cast<double>(h.module().m_lenA) + h.module().m_lenB;
  EXPECT_NEAR(full, 200.45453 * 48000.0 / 44100.0, 1e-3);
}

}  // namespace
}  // namespace vorbel::testing
