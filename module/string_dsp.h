// Pure arithmetic of the string model, apart from the frame. Every formula is
// evaluated in double precision from stored 32-bit values and rounded to float
// once, where its result is stored; the callers keep that rounding point.
#pragma once

#include <cmath>
#include <cstdint>

#include "module/fp_env.h"

namespace vorbel {

constexpr int32_t kLineLength = 8192;
constexpr int32_t kLineMask = kLineLength - 1;
constexpr int32_t kLineCount = 6;
constexpr int32_t kTapCount = 8;
constexpr int32_t kGroupCount = 6;

constexpr float kLenFactorSlope = 0.02f;  // segment B shortens by up to 2 %
constexpr float kLenFactorBase = 0.98f;
constexpr float kFlushOffset = 1e-18f;  // add and subtract: tiny values become 0
constexpr float kPi = 3.14159274f;      // pi rounded to float, 0x40490fdb
constexpr double kMinFullLength = 2.0;
constexpr double kMaxFullLength = 8191.0;

// A watched input has changed when it is ordered-unequal to its copy; a NaN on
// either side counts as unchanged.
inline bool Changed(float value, float last) { return value < last || value > last; }

// Half the period in samples of the pitch v (0.1 per octave, 0.5 = 440 Hz). pow runs under
// the module's own x87 setting where it is x87 code (module/fp_env.h).
inline float PitchLength(float sampleRate, float v) {
  const double period = static_cast<double>(sampleRate) /
                        (440.0 * GuardedPow(2.0, 10.0 * static_cast<double>(v) - 5.0));
  return static_cast<float>(period * 0.5);
}

// Cosine of the resonator's angle for "peak.f" f, with pi as the stored float; cos runs under
// the module's own x87 setting, as pow does above.
inline float PeakCosine(float pi, float f) {
  return static_cast<float>(GuardedCos(static_cast<double>(pi) * static_cast<double>(f)));
}

// Truncation toward zero as a 32-bit integer. Lengths outside the int32 range
// (only reachable with absurd controls) give INT32_MIN, which is what the
// hardware conversion yields; positions are reduced into the line anyway.
inline int32_t TruncateToInt(float x) {
  if (x > -2147483648.0f && x < 2147483648.0f) return static_cast<int32_t>(x);
  return INT32_MIN;
}

struct DelayPair {
  int32_t whole;
  float fraction;
};

inline DelayPair SplitDelay(float x) {
  const int32_t whole = TruncateToInt(x);
  return {whole, static_cast<float>(static_cast<double>(x) - static_cast<double>(whole))};
}

// Adds and removes 1e-18: values below 2^-84 in magnitude become exactly 0,
// so a decaying string reaches zero instead of lingering as subnormals.
inline float Flush(float x) {
  const float up = static_cast<float>(static_cast<double>(x) + static_cast<double>(kFlushOffset));
  return static_cast<float>(static_cast<double>(up) - static_cast<double>(kFlushOffset));
}

// Linear interpolation between the newer entry and the one a sample older. The
// fraction is a stored float; the loop widens it to double once per update.
inline float ReadTap(float older, float newer, double fraction) {
  return static_cast<float>((static_cast<double>(older) - static_cast<double>(newer)) * fraction +
                            static_cast<double>(newer));
}

}  // namespace vorbel
