// The module's output does not depend on the floating-point settings of the host's thread
// (module/fp_env.h): flush-to-zero, denormals-are-zero and the rounding mode of the SSE unit,
// and the x87 precision and rounding that the math library's pow and cos use where they are x87
// code. Each scenario is rendered with the default settings and again with a host's setting in
// force during the process call: through the process entry the output must be the same bit for
// bit and the host's setting must be back afterwards. The same render with the model's loop
// called directly, past the entry's guard, must differ: that shows the scenario really meets
// the values the setting changes (subnormals, ties, pow's last bits).
#include "module/fp_env.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tests/model_fixture.h"

namespace vorbel::testing {
namespace {

#if VORBEL_FP_SSE_GUARD

struct Render {
  std::vector<uint32_t> out1, out2;
  bool operator==(const Render&) const = default;
};

// Outputs of the scenario, processed in one call with `prepare` run just before it and `finish`
// just after (both on this thread); the loop is entered through the record's process entry, or
// called directly when `pastTheEntry`.
template <typename Prepare, typename Finish>
Render RenderWith(void (*scenario)(StringHarness&), int length, bool pastTheEntry, Prepare prepare,
                  Finish finish) {
  StringHarness h(44100.0f, length);
  scenario(h);
  h.Process(0, 0);  // hands the streams to the module
  Module& m = h.module();
  prepare();
  if (pastTheEntry) {
    m.ProcessSamples(0, length);
  } else {
    m.Record()->processEntry(m.Record()->instance, 0, length);
  }
  finish();
  Render r;
  for (float x : h.stream(kOut1)) r.out1.push_back(Bits(x));
  for (float x : h.stream(kOut2)) r.out2.push_back(Bits(x));
  return r;
}

Render RenderDefault(void (*scenario)(StringHarness&), int length) {
  return RenderWith(
      scenario, length, false, [] {}, [] {});
}

// A short-lived string with both filters working: with "feed" below 0.5 the flush ends its
// tail in exact zeros, so that small signals arriving later are not lost in it.
PinValues Plucked() {
  PinValues p;
  p.v[kPStr] = 0.5f;
  p.v[kPPos] = 0.6f;
  p.v[kFLpf] = 0.7f;
  p.v[kIPos] = 0.1f;
  p.v[kOPos] = 0.3f;
  p.v[kOPos2] = 0.2f;
  p.v[kFeed] = 0.45f;
  p.v[kFPos] = -0.3f;
  p.v[kPeakF] = 0.3f;
  p.v[kPeakQ] = 0.5f;
  p.v[kPeakAmt] = 0.3f;
  return p;
}

// "in" carries a subnormal value on every sample: its copies reach both ends of segment B.
void SubnormalInput(StringHarness& h) {
  h.Hold(Plucked());
  h.Hold(kIn, 1e-40f);
}

// An excitation that fades away by 5 % a sample, through the subnormal range down to zero,
// while the string's own tail is flushed to zero.
void FadingExcitation(StringHarness& h) {
  h.Hold(Plucked());
  float level = 1.0f;
  for (float& x : h.stream(kIn)) {
    x = level;
    level = -0.95f * level;
  }
}

// Control inputs at subnormal values from open: under DAZ they compare equal to the zeros that
// open leaves, and their updates would never run.
void SubnormalControls(StringHarness& h) {
  h.Hold(Plucked());
  h.Hold(kOPos, 1e-40f);
  h.Hold(kPeakF, 1e-40f);
  h.Hold(kPeakAmt, 1.0f);
  h.stream(kIn)[0] = 1.0f;
}

// A quiet signal scaled by a small "feed": the products, and so the outputs, are subnormal.
void TinySignalTimesFeed(StringHarness& h) {
  h.Hold(Plucked());
  h.Hold(kFeed, 1e-20f);
  h.stream(kIn)[0] = 1e-20f;
  h.stream(kIn)[1] = -3e-21f;
}

struct MxcsrCase {
  const char* name;
  void (*scenario)(StringHarness&);
  int length;
  uint32_t hostBits;  // set in MXCSR during the process call
};

void PrintTo(const MxcsrCase& c, std::ostream* os) { *os << c.name; }

constexpr uint32_t kFtzDaz = kMxcsrFlushToZero | kMxcsrDenormalsAreZero;
constexpr uint32_t kRoundDown = 0x2000;
constexpr uint32_t kRoundUp = 0x4000;
constexpr uint32_t kRoundTowardZero = 0x6000;

class HostMxcsr : public ::testing::TestWithParam<MxcsrCase> {};

TEST_P(HostMxcsr, DoesNotReachTheOutput) {
  const MxcsrCase& c = GetParam();
  const Render reference = RenderDefault(c.scenario, c.length);

  const uint32_t own = ReadMxcsr();
  const uint32_t host = (own & ~(kFtzDaz | kMxcsrRounding)) | c.hostBits;
  uint32_t during = 0, after = 0;
  const Render guarded = RenderWith(
      c.scenario, c.length, false, [&] { WriteMxcsr(host); },
      [&] {
        after = ReadMxcsr();
        WriteMxcsr(own);
      });
  EXPECT_TRUE(guarded == reference) << "the host's setting changed the output";
  // The host finds its own control bits again; only status flags may have been added.
  EXPECT_EQ(after & ~kMxcsrStatusFlags, host & ~kMxcsrStatusFlags);

  const Render unguarded = RenderWith(
      c.scenario, c.length, true,
      [&] {
        WriteMxcsr(host);
        during = ReadMxcsr();
      },
      [&] { WriteMxcsr(own); });
  EXPECT_EQ(during & ~kMxcsrStatusFlags, host & ~kMxcsrStatusFlags);
  EXPECT_FALSE(unguarded == reference) << "the scenario does not depend on the setting";
}

INSTANTIATE_TEST_SUITE_P(
    FpEnv, HostMxcsr,
    ::testing::Values(
        MxcsrCase{"SubnormalInputFtzDaz", SubnormalInput, 2000, kFtzDaz},
        MxcsrCase{"SubnormalInputDazOnly", SubnormalInput, 2000, kMxcsrDenormalsAreZero},
        MxcsrCase{"FadingExcitationFtzDaz", FadingExcitation, 3000, kFtzDaz},
        MxcsrCase{"FadingExcitationFtzOnly", FadingExcitation, 3000, kMxcsrFlushToZero},
        MxcsrCase{"SubnormalControlsDaz", SubnormalControls, 2000, kFtzDaz},
        MxcsrCase{"TinySignalTimesFeedFtz", TinySignalTimesFeed, 2000, kMxcsrFlushToZero},
        MxcsrCase{"FadingExcitationRoundingUp", FadingExcitation, 3000, kRoundUp},
        MxcsrCase{"FadingExcitationRoundingDown", FadingExcitation, 3000, kRoundDown},
        MxcsrCase{"FadingExcitationTowardZeroWithFtzDaz", FadingExcitation, 3000,
                  kFtzDaz | kRoundTowardZero}),
    [](const ::testing::TestParamInfo<MxcsrCase>& info) { return std::string(info.param.name); });

#if VORBEL_FP_X87_LIBM

// Pitch inputs that move on every sample, so that every sample runs the length update and
// its two pow calls, and a "peak.f" that moves with them (a cos per sample).
void SweptPitch(StringHarness& h) {
  h.Hold(Plucked());
  const int n = h.length();
  for (int i = 0; i < n; ++i) {
    const float t = static_cast<float>(i) / static_cast<float>(n);
    h.stream(kPStr)[i] = 0.25f + 0.5f * t;
    h.stream(kPPos)[i] = 0.3f + 0.6f * t;
    h.stream(kPeakF)[i] = 0.05f + 0.9f * t;
    h.stream(kIn)[i] = (i % 97 == 0) ? 1.0f : 0.0f;
  }
}

constexpr uint16_t kPrecision24 = 0x0000;
constexpr uint16_t kRoundUpX87 = 0x0800;

struct X87Case {
  const char* name;
  uint16_t hostBits;  // precision and rounding fields of the host's control word
};

void PrintTo(const X87Case& c, std::ostream* os) { *os << c.name; }

class HostX87 : public ::testing::TestWithParam<X87Case> {};

TEST_P(HostX87, DoesNotReachPitchOrResonator) {
  const X87Case& c = GetParam();
  constexpr int kLength = 3000;
  const Render reference = RenderDefault(SweptPitch, kLength);

  const uint16_t own = ReadX87Control();
  const uint16_t host = static_cast<uint16_t>((own & ~(kX87Precision | kX87Rounding)) | c.hostBits);
  uint16_t after = 0;
  for (bool pastTheEntry : {false, true}) {
    SCOPED_TRACE(pastTheEntry ? "loop called directly" : "through the process entry");
    const Render guarded = RenderWith(
        SweptPitch, kLength, pastTheEntry, [&] { WriteX87Control(host); },
        [&] {
          after = ReadX87Control();
          WriteX87Control(own);
        });
    EXPECT_TRUE(guarded == reference) << "the host's x87 setting changed the output";
    EXPECT_EQ(after, host) << "the host's control word was not restored";
  }
}

// The math library really depends on the setting: the pitch lengths of the swept inputs,
// computed with pow under the host's 24-bit precision, differ from the module's.
TEST(HostX87Library, PowUnderLoweredPrecisionMovesPitchLengths) {
  const uint16_t own = ReadX87Control();
  const uint16_t host = static_cast<uint16_t>(own & ~(kX87Precision | kX87Rounding));
  int differing = 0;
  for (int i = 0; i < 1000; ++i) {
    const float v = 0.25f + 0.5f * static_cast<float>(i) / 1000.0f;
    volatile double exponent = 10.0 * static_cast<double>(v) - 5.0;
    WriteX87Control(host);
    double lowered = std::pow(2.0, exponent);
    asm volatile("" : "+m"(lowered));
    WriteX87Control(own);
    const float loweredLength = static_cast<float>(44100.0 / (440.0 * lowered) * 0.5);
    if (Bits(loweredLength) != Bits(PitchLength(44100.0f, v))) ++differing;
  }
  EXPECT_GT(differing, 0);
}

INSTANTIATE_TEST_SUITE_P(
    FpEnv, HostX87,
    ::testing::Values(X87Case{"Precision24", kPrecision24},
                      X87Case{"Precision24RoundingUp", kPrecision24 | kRoundUpX87}),
    [](const ::testing::TestParamInfo<X87Case>& info) { return std::string(info.param.name); });

#endif  // VORBEL_FP_X87_LIBM

#else  // not x86

TEST(FpEnv, NothingToGuardOnThisProcessor) { GTEST_SKIP() << "the guards are x86 only"; }

#endif  // VORBEL_FP_SSE_GUARD

}  // namespace
}  // namespace vorbel::testing
