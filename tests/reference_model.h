// A second, deliberately plain implementation of the string model, used as an
// oracle: it walks the steps of one sample one at a time, with the wrap of a
// circular line written out as a conditional addition, and reads and writes
// the pin streams through pointers in the same order as the module, so hosts
// that share a buffer between pins see the same result. It favours being
// obviously right over being fast.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "module/fp_env.h"

namespace vorbel::testing {

class ReferenceString {
 public:
  static constexpr int kLen = 8192;

  explicit ReferenceString(float sampleRate) : sampleRate_(sampleRate) {
    lines_.assign(6, std::vector<float>(kLen, 0.0f));
  }

  // streams[p] is the address of element 0 of pin p's stream (14 pins).
  void Process(float* const* streams, int32_t offset, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
      float* s[14];
      for (int p = 0; p < 14; ++p) s[p] = streams[p] + offset + i;
      Sample(s);
    }
  }

  // Tracking state, for white-box comparisons.
  float lenA = 0, lenB = 0, toJunction = 0, toEndB = 0, pick2 = 0, pick1 = 0;
  int32_t delay[6] = {};
  float frac[6] = {};

 private:
  static double d(float x) { return x; }
  static bool Moved(float now, float before) { return now < before || now > before; }

  // Reads a stream sample at the moment of use, so shared buffers behave.
  static float Get(float* p) { return *p; }

  // pow and cos run under the module's x87 setting (module/fp_env.h): where they are x87 code,
  // their results for extreme arguments depend on it.
  float PitchLen(float v) const {
    return static_cast<float>(d(sampleRate_) / (440.0 * GuardedPow(2.0, 10.0 * d(v) - 5.0)) * 0.5);
  }

  // Integer part as the hardware truncates (INT32_MIN when out of range) and
  // the fraction that completes it.
  static void Pair(float x, int32_t& whole, float& fraction) {
    if (std::isnan(x) || x >= 2147483648.0f || x <= -2147483649.0f) {
      whole = INT32_MIN;
    } else {
      whole = static_cast<int32_t>(std::trunc(d(x)));
    }
    fraction = static_cast<float>(d(x) - static_cast<double>(whole));
  }

  void Excitation(float ipos) {
    toEndB = static_cast<float>((d(lenA) + d(lenB)) * d(ipos));
    if (!(d(lenB) - 1.0 >= d(toEndB))) toEndB = static_cast<float>(d(lenB) - 1.0);
    if (!(d(toEndB) >= 1.0)) toEndB = 1.0f;
    toJunction = static_cast<float>(d(lenB) - d(toEndB));
    Pair(toJunction, delay[2], frac[2]);
    Pair(toEndB, delay[3], frac[3]);
  }

  void Track(float** s) {
    bool lengthsRan = false;
    const float pStr = Get(s[1]);
    const float pPos = Get(s[2]);
    if (Moved(pStr, lastPStr_) || Moved(pPos, lastPPos_)) {
      lengthsRan = true;
      lastPStr_ = pStr;
      lastPPos_ = pPos;
      float full = PitchLen(pStr);
      lenB = PitchLen(pPos);
      lenB = static_cast<float>((d(Get(s[7])) * d(0.02f) + d(0.98f)) * d(lenB));
      if (!(d(full) >= 2.0)) {
        full = 2.0f;
      } else if (d(full) > 8191.0) {
        full = 8191.0f;
      }
      if (!(d(full) - 1.0 >= d(lenB))) lenB = static_cast<float>(d(full) - 1.0);
      lenA = static_cast<float>(d(full) - d(lenB));
      Pair(lenA, delay[0], frac[0]);
      Pair(lenB, delay[1], frac[1]);
      lastIPos_ = Get(s[4]);
      Excitation(lastIPos_);
    }
    if (!lengthsRan && Moved(Get(s[4]), lastIPos_)) {
      lastIPos_ = Get(s[4]);
      Excitation(lastIPos_);
    }
    if (Moved(Get(s[5]), lastOPos_)) {
      lastOPos_ = Get(s[5]);
      const float total = static_cast<float>(d(lenA) + d(lenB));
      pick1 = static_cast<float>(d(lastOPos_) * d(total));
      if (!(d(pick1) >= 1.0)) pick1 = 1.0f;
      if (!(d(total) - 1.0 >= d(pick1))) pick1 = static_cast<float>(d(total) - 1.0);
      pick2 = static_cast<float>(d(Get(s[11])) * d(total));
      if (!(d(pick2) >= 1.0)) pick2 = 1.0f;
      Pair(pick2, delay[4], frac[4]);
      Pair(pick1, delay[5], frac[5]);
    }
  }

  // Position of the entry written `back` samples before the current write.
  int32_t Behind(int64_t back) const {
    if (back >= 0 && back <= kLen) {  // in range: one conditional wrap
      int32_t pos = write_ - static_cast<int32_t>(back);
      if (pos < 0) pos += kLen;
      return pos;
    }
    const int64_t pos = (static_cast<int64_t>(write_) - back) % kLen;
    return static_cast<int32_t>(pos < 0 ? pos + kLen : pos);
  }

  float Tap(int line, int group) const {
    const std::vector<float>& x = lines_[line];
    const float newer = x[Behind(delay[group])];
    const float older = x[Behind(static_cast<int64_t>(delay[group]) + 1)];
    return static_cast<float>((d(older) - d(newer)) * d(frac[group]) + d(newer));
  }

  static float Flushed(float x) {
    const float c = 1e-18f;
    const float up = static_cast<float>(d(x) + d(c));
    return static_cast<float>(d(up) - d(c));
  }

  void Sample(float** s) {
    Track(s);
    float t[8];
    t[0] = Tap(0, 0);
    t[1] = Tap(1, 1);
    t[2] = Tap(2, 0);
    t[3] = Tap(3, 1);
    t[4] = Tap(4, 2);
    t[5] = Tap(5, 3);
    t[6] = Tap(1, 4);
    t[7] = Tap(3, 5);

    // Damping lowpass.
    float k = static_cast<float>(1.0 - d(Get(s[7])));
    if (!(d(k) >= 0.0)) {
      k = 0.0f;
    } else if (d(k) > 1.0) {
      k = 1.0f;
    }
    t[1] = static_cast<float>(d(t[1]) - (d(t[1]) - d(damp1_)) * d(k));
    t[3] = static_cast<float>(d(t[3]) - (d(t[3]) - d(damp3_)) * d(k));
    damp1_ = t[1];
    damp3_ = t[3];

    // Peak resonator.
    const float pf = Get(s[8]);
    if (Moved(pf, lastPeakF_)) {
      lastPeakF_ = pf;
      peakCos_ = static_cast<float>(GuardedCos(d(3.14159274f) * d(pf)));
    }
    const float pq = Get(s[9]);
    if (Moved(pq, lastPeakQ_)) {
      lastPeakQ_ = pq;
      radius_ = pq;
    }
    const float a1 = static_cast<float>(2.0 * d(peakCos_) * d(radius_));
    const float a2 = static_cast<float>(-(d(radius_) * d(radius_)));
    const float out = static_cast<float>(d(a1) * d(y1_) + d(t[1]) + d(a2) * d(y2_));
    y2_ = y1_;
    y1_ = out;
    const float amt = Get(s[10]);
    t[1] = static_cast<float>((1.0 - d(amt)) * d(t[1]) + d(out) * d(amt));

    t[0] = Flushed(t[0]);
    t[1] = Flushed(t[1]);
    t[3] = Flushed(t[3]);

    const float feed = Get(s[6]);
    for (float& x : t) x = static_cast<float>(d(feed) * d(x));

    *s[12] = t[6];
    *s[13] = t[7];

    float rho = Get(s[3]);
    if (!(d(rho) >= -1.0)) rho = -1.0f;
    if (d(rho) > 0.0) rho = 0.0f;

    lines_[0][write_] = static_cast<float>(-d(t[2]));
    lines_[1][write_] = static_cast<float>((1.0 + d(rho)) * d(t[0]) + (d(t[3]) + d(t[4])) * d(rho));
    lines_[2][write_] = static_cast<float>((d(t[3]) + d(t[4])) * (1.0 + d(rho)) + d(t[0]) * d(rho));
    lines_[3][write_] = static_cast<float>(-(d(t[1]) + d(t[5])));
    std::memcpy(&lines_[4][write_], s[0], sizeof(float));
    std::memcpy(&lines_[5][write_], s[0], sizeof(float));
    write_ = (write_ + 1) % kLen;
  }

  float sampleRate_;
  std::vector<std::vector<float>> lines_;
  int32_t write_ = kLen - 1;
  float lastPStr_ = 0, lastPPos_ = 0, lastIPos_ = 0, lastOPos_ = 0;
  float damp1_ = 0, damp3_ = 0;
  float peakCos_ = 0, radius_ = 0, lastPeakF_ = 0, lastPeakQ_ = 0;
  float y1_ = 0, y2_ = 0;
};

}  // namespace vorbel::testing
