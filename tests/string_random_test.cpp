// The module against a plain second implementation of the string model, bit
// for bit, over many random scenarios: steady, stepped, ramped and audio-rate
// controls, hostile values, random block splits and offsets, sample rates from
// 22050 to 96000, and hosts that share one buffer between an input and an
// output.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <vector>

#include "tests/model_fixture.h"
#include "tests/reference_model.h"

namespace vorbel::testing {
namespace {

struct Range {
  float lo, hi;
};

// Working ranges that keep the string sounding, a little beyond the bounds.
constexpr Range kRanges[kInputPins] = {
    {-1.0f, 1.0f},   // in
    {0.15f, 0.9f},   // p.str
    {0.2f, 1.2f},    // p.pos
    {-1.3f, 0.3f},   // f.pos
    {-0.2f, 1.2f},   // i.pos
    {-0.2f, 1.2f},   // o.pos
    {0.8f, 1.0f},    // feed
    {-0.2f, 1.3f},   // f.lpf
    {0.0f, 1.0f},    // peak.f
    {0.0f, 0.999f},  // peak.q
    {-0.5f, 1.5f},   // peak.amt
    {0.0f, 1.5f},    // o.pos2
};

float Hostile(std::mt19937& rng) {
  static const float values[] = {std::numeric_limits<float>::quiet_NaN(),
                                 std::numeric_limits<float>::infinity(),
                                 -std::numeric_limits<float>::infinity(),
                                 1e30f,
                                 -1e30f,
                                 1e-40f,
                                 -0.0f,
                                 0.0f,
                                 3e-26f,
                                 1e4f,
                                 -1e4f,
                                 -60.0f};
  return values[rng() % std::size(values)];
}

enum class Shape { kConstant, kStepped, kRamped, kAudioRate, kRarelyStepped };

void FillControl(std::vector<float>& s, Range r, Shape shape, bool hostile, std::mt19937& rng) {
  std::uniform_real_distribution<float> u(r.lo, r.hi);
  const size_t n = s.size();
  switch (shape) {
    case Shape::kConstant:
      std::fill(s.begin(), s.end(), u(rng));
      break;
    case Shape::kStepped: {
      float v = u(rng);
      for (size_t i = 0; i < n; ++i) {
        if (rng() % 700 == 0) v = u(rng);
        s[i] = v;
      }
      break;
    }
    case Shape::kRarelyStepped: {
      // Long stretches of one value, now and then a step or a one-sample blip.
      float v = u(rng);
      for (size_t i = 0; i < n; ++i) {
        const uint32_t roll = rng() % 3000;
        if (roll == 0) v = u(rng);
        s[i] = roll == 1 ? u(rng) : v;
      }
      break;
    }
    case Shape::kRamped: {
      const float a = u(rng), b = u(rng);
      for (size_t i = 0; i < n; ++i) s[i] = a + (b - a) * static_cast<float>(i) / n;
      break;
    }
    case Shape::kAudioRate: {
      const float a = u(rng), b = u(rng), w = 0.001f + 0.3f * (rng() % 1000) / 1000.0f;
      for (size_t i = 0; i < n; ++i) {
        s[i] = a + (b - a) * 0.5f * (1.0f + std::sin(w * static_cast<float>(i)));
      }
      break;
    }
  }
  if (hostile) {
    const size_t bursts = 1 + rng() % 4;
    for (size_t b = 0; b < bursts; ++b) {
      const size_t at = rng() % n, len = 1 + rng() % 40;
      for (size_t i = at; i < std::min(n, at + len); ++i) s[i] = Hostile(rng);
    }
  }
}

void FillInput(std::vector<float>& s, std::mt19937& rng) {
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::fill(s.begin(), s.end(), 0.0f);
  const size_t n = s.size();
  const size_t plucks = 1 + rng() % 4;
  for (size_t p = 0; p < plucks; ++p) {
    const size_t at = rng() % n, len = 1 + rng() % 200;
    for (size_t i = at; i < std::min(n, at + len); ++i) s[i] = u(rng);
  }
}

struct Scenario {
  float sampleRate;
  std::vector<std::vector<float>> streams;  // 14 pins
  int aliasOutput = -1;                     // kOut1 or kOut2 shares an input's buffer
  int aliasInput = -1;
  int aliasShift = 0;  // the output writes this many samples ahead of the input

  // The samples processed: a shifted output stops where its buffer ends.
  int32_t Length() const { return static_cast<int32_t>(streams[0].size()) - aliasShift; }
};

// Steady scenarios hold every control still for long stretches and run
// longer than a line, so that the write position and every read position wrap
// in the middle of a call; the others move their controls in every way.
Scenario MakeScenario(uint32_t seed, bool hostile, bool steady = false) {
  std::mt19937 rng(seed);
  static const float rates[] = {22050.0f, 32000.0f, 44100.0f, 48000.0f, 88200.0f, 96000.0f};
  Scenario sc;
  sc.sampleRate = rng() % 3 == 0 ? 22050.0f + static_cast<float>(rng() % 73951)
                                 : rates[rng() % std::size(rates)];
  const size_t length = steady ? 9000 + rng() % 12000 : 500 + rng() % 6000;
  sc.streams.assign(kPinCount, std::vector<float>(length, 0.0f));
  FillInput(sc.streams[kIn], rng);
  for (int p = 1; p < kInputPins; ++p) {
    const auto shape = steady ? (rng() % 2 ? Shape::kConstant : Shape::kRarelyStepped)
                              : static_cast<Shape>(rng() % 4);
    FillControl(sc.streams[p], kRanges[p], shape, hostile && rng() % 3 == 0, rng);
  }
  if (hostile && rng() % 4 == 0)
    FillControl(sc.streams[kIn], {-1, 1}, Shape::kAudioRate, true, rng);
  if (rng() % 5 == 0) {
    sc.aliasOutput = rng() % 2 ? kOut1 : kOut2;
    sc.aliasInput = static_cast<int>(rng() % kInputPins);
  }
  return sc;
}

// Pointers to each pin's stream, with an aliased output pointing at the
// input's buffer.
std::vector<float*> Pointers(std::vector<std::vector<float>>& streams, const Scenario& sc) {
  std::vector<float*> ptr(kPinCount);
  for (int p = 0; p < kPinCount; ++p) ptr[p] = streams[p].data();
  if (sc.aliasOutput >= 0) ptr[sc.aliasOutput] = ptr[sc.aliasInput] + sc.aliasShift;
  return ptr;
}

std::vector<std::vector<float>> RunReference(const Scenario& sc) {
  auto streams = sc.streams;
  auto ptr = Pointers(streams, sc);
  ReferenceString ref(sc.sampleRate);
  ref.Process(ptr.data(), 0, sc.Length());
  return streams;
}

// Runs the module in random blocks on the same buffers, offsets moved on.
std::vector<std::vector<float>> RunModule(const Scenario& sc, uint32_t splitSeed) {
  auto streams = sc.streams;
  auto ptr = Pointers(streams, sc);
  StringHarness h(sc.sampleRate, 1);
  Module& m = h.module();
  float** members[kPinCount] = {&m.m_in,      &m.m_pStr,  &m.m_pPos, &m.m_fPos,  &m.m_iPos,
                                &m.m_oPos,    &m.m_feed,  &m.m_fLpf, &m.m_peakF, &m.m_peakQ,
                                &m.m_peakAmt, &m.m_oPos2, &m.m_out1, &m.m_out2};
  for (int p = 0; p < kPinCount; ++p) *members[p] = ptr[p];
  std::mt19937 rng(splitSeed);
  const int32_t n = sc.Length();
  for (int32_t at = 0; at < n;) {
    const int32_t count = std::min<int32_t>(n - at, rng() % 3 == 0 ? 1 + rng() % 8 : rng() % 4097);
    m.Record()->processEntry(m.Record()->instance, at, count);
    for (int g = 0; g < kGroupCount; ++g) {
      const bool inside = m.m_readNewer[g] >= 0 && m.m_readNewer[g] < kLineLength &&
                          m.m_readOlder[g] >= 0 && m.m_readOlder[g] < kLineLength &&
                          m.m_writePos[g] == m.m_writePos[0];
      EXPECT_TRUE(inside) << "group " << g << " at sample " << at;
    }
    at += count;
  }
  return streams;
}

// Bit for bit, except that any NaN matches any NaN: which payload a NaN
// carries depends on the order in which the compiler hands operands to the
// processor, and no listener can tell.
bool SameSample(float a, float b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  uint32_t x, y;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y;
}

void ExpectSameBits(const std::vector<std::vector<float>>& a,
                    const std::vector<std::vector<float>>& b, uint32_t seed) {
  // An aliased input buffer holds outputs too, so every stream must match.
  for (int p = 0; p < kPinCount; ++p) {
    ASSERT_EQ(a[p].size(), b[p].size());
    for (size_t i = 0; i < a[p].size(); ++i) {
      ASSERT_TRUE(SameSample(a[p][i], b[p][i])) << "seed " << seed << ", pin " << p << ", sample "
                                                << i << ": " << a[p][i] << " vs " << b[p][i];
    }
  }
}

TEST(AgainstReference, RandomScenariosMatchBitForBit) {
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    const Scenario sc = MakeScenario(seed, false);
    ExpectSameBits(RunModule(sc, seed * 7919u), RunReference(sc), seed);
    if (HasFatalFailure()) return;
  }
}

TEST(AgainstReference, HostileScenariosMatchBitForBit) {
  for (uint32_t seed = 1001; seed <= 1060; ++seed) {
    const Scenario sc = MakeScenario(seed, true);
    ExpectSameBits(RunModule(sc, seed), RunReference(sc), seed);
    if (HasFatalFailure()) return;
  }
}

// Controls that hold still take a path of their own when no output shares an
// input's memory; with a shared buffer they take the sample-by-sample one.
TEST(AgainstReference, SteadyScenariosMatchBitForBit) {
  for (uint32_t seed = 2001; seed <= 2030; ++seed) {
    const Scenario sc = MakeScenario(seed, seed % 4 == 0, true);
    ExpectSameBits(RunModule(sc, seed * 31u), RunReference(sc), seed);
    if (HasFatalFailure()) return;
  }
}

// An output that shares an input's buffer, at the same sample or one or two
// samples ahead. The shared input holds 0, as the outputs do until a pluck
// arrives in the middle of the call; from then on the outputs land in the
// input while the call runs, and each read must see them in the order of the
// steps.
TEST(AgainstReference, OutputsSharingAnInputMatchBitForBit) {
  const float held[kInputPins] = {0,     0.5f, 0.6f, -0.3f, 0.17f, 0.3f,
                                  0.99f, 0.5f, 0.7f, 0.5f,  0.2f,  0.2f};
  for (int input = 0; input < kInputPins; ++input) {
    if (input == kFeed) continue;  // "feed" at 0 keeps the string silent
    for (int shift = 0; shift <= 2; ++shift) {
      Scenario sc;
      sc.sampleRate = 48000.0f;
      sc.streams.assign(kPinCount, std::vector<float>(12000, 0.0f));
      for (int p = 1; p < kInputPins; ++p) {
        std::fill(sc.streams[p].begin(), sc.streams[p].end(), p == input ? 0.0f : held[p]);
      }
      sc.streams[kIn][5000] = 1.0f;
      sc.aliasOutput = shift == 1 ? kOut1 : kOut2;
      sc.aliasInput = input;
      sc.aliasShift = shift;
      const uint32_t seed = static_cast<uint32_t>(100 * input + shift);
      ExpectSameBits(RunModule(sc, seed), RunReference(sc), seed);
      if (HasFatalFailure()) return;
    }
  }
}

TEST(AgainstReference, BlockSplitsAndInstancesAgree) {
  const Scenario sc = MakeScenario(77, false);
  const auto once = RunModule(sc, 1);
  for (uint32_t split = 2; split < 6; ++split) ExpectSameBits(RunModule(sc, split), once, split);
}

// Each case that drives an integer delay outside the lines.
struct OutOfRangeCase {
  const char* name;
  float pStr, pPos, fLpf, iPos, oPos, oPos2;
  int32_t Module::*member;
  bool below;  // the delay lies below 0 (else above 8191)
};

void PrintTo(const OutOfRangeCase& c, std::ostream* os) { *os << c.name; }

class OutOfRange : public ::testing::TestWithParam<OutOfRangeCase> {};

TEST_P(OutOfRange, ReadsStayInsideTheLinesAndMatchTheReference) {
  const OutOfRangeCase& c = GetParam();
  Scenario sc;
  sc.sampleRate = 44100.0f;
  sc.streams.assign(kPinCount, std::vector<float>(3000, 0.0f));
  const float values[kInputPins] = {0,    c.pStr, c.pPos, 0,    c.iPos, c.oPos,
                                    1.0f, c.fLpf, 0.2f,   0.5f, 0.3f,   c.oPos2};
  for (int p = 1; p < kInputPins; ++p)
    std::fill(sc.streams[p].begin(), sc.streams[p].end(), values[p]);
  std::mt19937 rng(5);
  FillInput(sc.streams[kIn], rng);
  sc.streams[kIn][0] = 1.0f;

  StringHarness h(44100.0f, 1);
  for (int p = 0; p < kPinCount; ++p) h.stream(p) = sc.streams[p];
  h.Process(0, 1);
  const int32_t delay = h.module().*c.member;
  if (c.below) {
    EXPECT_LT(delay, 0) << c.name;
  } else {
    EXPECT_GT(delay, kLineLength - 1) << c.name;
  }
  ExpectSameBits(RunModule(sc, 3), RunReference(sc), 0);
}

INSTANTIATE_TEST_SUITE_P(StringModel, OutOfRange,
                         ::testing::Values(
                             // The excitation distances computed before any length update.
                             OutOfRangeCase{"ExcitationBeforeLengths", 0, 0, 0, 0.3f, 0, 0,
                                            &Module::m_intExciteToJunction, true},
                             // Segment B's length rounds to 0 at a very high "p.pos".
                             OutOfRangeCase{"SegmentBRoundsToZero", 0.3f, 200.0f, 0, 0.3f, 0.2f, 0,
                                            &Module::m_intExciteToJunction, true},
                             // A factor below zero makes segment B negative...
                             OutOfRangeCase{"NegativeSegmentB", 0.3f, 0.3f, -200.0f, 0.3f, 0.2f, 0,
                                            &Module::m_intLenB, true},
                             // ...and segment A longer than a line.
                             OutOfRangeCase{"SegmentALongerThanLine", -0.2f, -0.2f, -100.0f, 0.3f,
                                            0.2f, 0, &Module::m_intLenA, false},
                             // A pickup update before the first length update.
                             OutOfRangeCase{"PickupBeforeLengths", 0, 0, 0, 0, 0.5f, 0,
                                            &Module::m_intPickup1, true},
                             // "o.pos2" far beyond the string.
                             OutOfRangeCase{"LargePickup2", 0.3f, 0.4f, 0, 0.2f, 0.2f, 100.0f,
                                            &Module::m_intPickup2, false},
                             // Lengths beyond the int32 range.
                             OutOfRangeCase{"HugeSegmentA", 0.3f, 0.3f, -1e30f, 0.3f, 0.2f, 1e30f,
                                            &Module::m_intLenA, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorbel::testing
