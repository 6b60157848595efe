#include "module/module.h"

#include <cstring>
#include <initializer_list>
#include <type_traits>

namespace vorbel {
namespace {

struct PinRow {
  const char* name;
  int32_t direction;
  const char* defaultText;
  float* Module::*member;
};

constexpr PinRow kPins[kPinCount] = {
    {"in", DR_IN, "0", &Module::m_in},
    {"p.str", DR_IN, "3", &Module::m_pStr},
    {"p.pos", DR_IN, "4", &Module::m_pPos},
    {"f.pos", DR_IN, "0", &Module::m_fPos},
    {"i.pos", DR_IN, "1.7", &Module::m_iPos},
    {"o.pos", DR_IN, "1.2", &Module::m_oPos},
    {"feed", DR_IN, "0", &Module::m_feed},
    {"f.lpf", DR_IN, "0", &Module::m_fLpf},
    {"peak.f", DR_IN, "5", &Module::m_peakF},
    {"peak.q", DR_IN, "5", &Module::m_peakQ},
    {"peak.amt", DR_IN, "0", &Module::m_peakAmt},
    {"o.pos2", DR_IN, "0", &Module::m_oPos2},
    {"out1", DR_OUT, nullptr, &Module::m_out1},
    {"out2", DR_OUT, nullptr, &Module::m_out2},
};

constexpr int32_t kPinOut1 = 12;
constexpr int32_t kPinOut2 = 13;

inline double D(float x) { return static_cast<double>(x); }
inline float F(double x) { return static_cast<float>(x); }

}  // namespace

Module::Module(HostCallback hostCallback, void* hostHandle)
    : SEModule_base(hostCallback, hostHandle) {
  // A host that processes before storing its streams finds null pointers,
  // which ProcessSamples refuses, rather than garbage.
  for (const PinRow& row : kPins) this->*row.member = nullptr;
  m_sampleRate = SampleRate();
  ResetState();
}

Module::~Module() = default;

void Module::OnPinStatusChange(SEPin*) {}

bool Module::DescribePin(int32_t index, SEPinProperties* props) {
  if (static_cast<uint32_t>(index) >= static_cast<uint32_t>(kPinCount) || props == nullptr) {
    return false;
  }
  const PinRow& row = kPins[index];
  props->name = row.name;
  props->valueAddress = &(this->*row.member);
  props->direction = row.direction;
  props->datatype = DT_STREAM;
  if (row.defaultText != nullptr) props->defaultText = row.defaultText;
  return true;
}

void Module::ZeroLines() { std::memset(m_line, 0, sizeof m_line); }

void Module::ResetState() {
  m_lenA = m_lenB = 0.0f;
  m_exciteToJunction = m_exciteToEndB = 0.0f;
  m_pickup2Delay = m_pickup1Delay = 0.0f;
  m_fracLenA = m_fracLenB = m_fracExciteToJunction = m_fracExciteToEndB = 0.0f;
  m_fracPickup2 = m_fracPickup1 = 0.0f;
  m_lastPStr = m_lastPPos = m_lastIPos = m_lastOPos = 0.0f;
  m_intLenA = m_intLenB = m_intExciteToJunction = m_intExciteToEndB = 0;
  m_intPickup2 = m_intPickup1 = 0;
  for (int32_t g = 0; g < kGroupCount; ++g) {
    m_writePos[g] = kLineLength - 1;
    m_readOlder[g] = 0;
    m_readNewer[g] = 0;
  }
  m_junctionCoef = 0.0f;
  for (float& tap : m_tap) tap = 0.0f;
  m_dampState1 = m_dampState3 = m_dampCoef = 0.0f;
  m_peakRadius = m_peakCos = m_lastPeakF = m_lastPeakQ = 0.0f;
  m_pi = kPi;
  m_peakA1 = m_peakA2 = m_peakOut = m_peakY1 = m_peakY2 = 0.0f;
}

void Module::Open() {
  SEModule_base::Open();
  SetProcessFunction(&Module::ProcessEntry);
  ZeroLines();
  m_sampleRate = SampleRate();
  ResetState();
  // Both outputs stream. A host that reported too few pins gets a report from
  // Pin and no status for the pin it does not have.
  for (int32_t index : {kPinOut1, kPinOut2}) {
    if (SEPin* pin = Pin(index)) pin->SendStatus(SampleClock(), PS_STREAMING);
  }
}

void SE_CALL Module::ProcessEntry(void* instance, int32_t bufferOffset, int32_t sampleCount) {
  static_cast<Module*>(static_cast<SEModule_base*>(instance))
      ->ProcessSamples(bufferOffset, sampleCount);
}

// --- Length and position tracking ------------------------------------------

void Module::UpdateLengths(float pStr, float pPos, float fLpf, float iPos) {
  m_lastPStr = pStr;
  m_lastPPos = pPos;
  float full = PitchLength(m_sampleRate, pStr);
  m_lenB = PitchLength(m_sampleRate, pPos);
  m_lenB = F((D(fLpf) * D(kLenFactorSlope) + D(kLenFactorBase)) * D(m_lenB));
  if (!(full >= kMinFullLength)) {
    full = static_cast<float>(kMinFullLength);
  } else if (full > kMaxFullLength) {
    full = static_cast<float>(kMaxFullLength);
  }
  // Segment B has no lower bound; segment A is always at least one sample.
  if (!(D(full) - 1.0 >= D(m_lenB))) m_lenB = F(D(full) - 1.0);
  m_lenA = F(D(full) - D(m_lenB));
  const DelayPair a = SplitDelay(m_lenA);
  const DelayPair b = SplitDelay(m_lenB);
  m_intLenA = a.whole;
  m_fracLenA = a.fraction;
  m_intLenB = b.whole;
  m_fracLenB = b.fraction;
  // The excitation follows every length change, moved or not.
  m_lastIPos = iPos;
  UpdateExcitation(iPos);
}

void Module::UpdateExcitation(float iPos) {
  m_exciteToEndB = F((D(m_lenA) + D(m_lenB)) * D(iPos));
  // Upper bound first, so a segment B shorter than 2 samples ends at 1.
  if (!(D(m_lenB) - 1.0 >= D(m_exciteToEndB))) m_exciteToEndB = F(D(m_lenB) - 1.0);
  if (!(m_exciteToEndB >= 1.0f)) m_exciteToEndB = 1.0f;
  m_exciteToJunction = F(D(m_lenB) - D(m_exciteToEndB));
  const DelayPair j = SplitDelay(m_exciteToJunction);
  const DelayPair e = SplitDelay(m_exciteToEndB);
  m_intExciteToJunction = j.whole;
  m_fracExciteToJunction = j.fraction;
  m_intExciteToEndB = e.whole;
  m_fracExciteToEndB = e.fraction;
}

void Module::UpdatePickups(float oPos, float oPos2) {
  m_lastOPos = oPos;
  const float total = F(D(m_lenA) + D(m_lenB));
  m_pickup1Delay = F(D(oPos) * D(total));
  // Lower bound first, so a string shorter than 2 samples ends at T - 1.
  if (!(m_pickup1Delay >= 1.0f)) m_pickup1Delay = 1.0f;
  if (!(D(total) - 1.0 >= D(m_pickup1Delay))) m_pickup1Delay = F(D(total) - 1.0);
  // Pickup 2 has no upper bound; its position is reduced into the line.
  m_pickup2Delay = F(D(oPos2) * D(total));
  if (!(m_pickup2Delay >= 1.0f)) m_pickup2Delay = 1.0f;
  const DelayPair p2 = SplitDelay(m_pickup2Delay);
  const DelayPair p1 = SplitDelay(m_pickup1Delay);
  m_intPickup2 = p2.whole;
  m_fracPickup2 = p2.fraction;
  m_intPickup1 = p1.whole;
  m_fracPickup1 = p1.fraction;
}

// --- Change-guarded updates ---------------------------------------------------

// Everything that runs only when a watched input moves, in the order of one
// sample: the tracking step, then the resonator's two settings. The sample
// loop calls it for a sample on which any of the six watched inputs may have
// moved; each guard here decides for itself, exactly as on every sample.
void Module::ApplyChanges(float pStr, float pPos, float fLpf, float iPos, float oPos, float oPos2,
                          float peakF, float peakQ) {
  if (Changed(pStr, m_lastPStr) || Changed(pPos, m_lastPPos)) {
    UpdateLengths(pStr, pPos, fLpf, iPos);
  } else if (Changed(iPos, m_lastIPos)) {
    m_lastIPos = iPos;
    UpdateExcitation(iPos);
  }
  if (Changed(oPos, m_lastOPos)) UpdatePickups(oPos, oPos2);
  if (Changed(peakF, m_lastPeakF)) {
    m_lastPeakF = peakF;
    m_peakCos = PeakCosine(m_pi, peakF);
  }
  if (Changed(peakQ, m_lastPeakQ)) {
    m_lastPeakQ = peakQ;
    m_peakRadius = peakQ;
  }
}

// --- The sample loop ----------------------------------------------------------
//
// Runs on the host's audio thread: it allocates nothing, locks nothing and
// calls nothing in the host. pow and cos run only when a watched input moves.
//
// Read positions are reduced modulo the line length. For every integer delay
// in 0..8191 that is exactly the single conditional wrap of a circular line;
// delays outside that range (a segment B of zero or negative length, a pickup
// update before the first length update, a large "o.pos2", lengths beyond the
// int32 range) land on the same entry as the delay modulo 8192, so no read or
// write ever leaves a line.
//
// For the length of a call the state lives in locals, where the compiler can
// keep it in registers: no store to an output stream can then touch it. The
// members are brought up to date at the end of the call, with the values of
// the call's last sample for those that each sample rewrites. The six write
// positions always hold the same value, so one local stands for all six.
//
// The pin streams are read and written through their cursors in the order of
// the steps below, so a host that hands one buffer to an input and an output
// sees each sample's outputs written before that sample's "f.pos" and "in"
// are read, and before the next sample's inputs are read.
//
// Exactness: every formula is the double-precision one, rounded to float once
// where it is stored. Where a formula is a single addition, subtraction or
// multiplication of two floats (the flush's two steps, "feed", the reflection
// at end B), it is evaluated in float: the double result rounded to float is
// the correctly rounded float result, since double carries more than twice
// float's precision. Negation is exact in either.

void Module::ProcessSamples(int32_t bufferOffset, int32_t sampleCount) {
  if (m_in == nullptr || m_pStr == nullptr || m_pPos == nullptr || m_fPos == nullptr ||
      m_iPos == nullptr || m_oPos == nullptr || m_feed == nullptr || m_fLpf == nullptr ||
      m_peakF == nullptr || m_peakQ == nullptr || m_peakAmt == nullptr || m_oPos2 == nullptr ||
      m_out1 == nullptr || m_out2 == nullptr) {
    return;  // a host that has not handed over every stream gets no samples
  }
  if (sampleCount <= 0) return;

  const float* in = m_in + bufferOffset;
  const float* pStr = m_pStr + bufferOffset;
  const float* pPos = m_pPos + bufferOffset;
  const float* fPos = m_fPos + bufferOffset;
  const float* iPos = m_iPos + bufferOffset;
  const float* oPos = m_oPos + bufferOffset;
  const float* feed = m_feed + bufferOffset;
  const float* fLpf = m_fLpf + bufferOffset;
  const float* peakF = m_peakF + bufferOffset;
  const float* peakQ = m_peakQ + bufferOffset;
  const float* peakAmt = m_peakAmt + bufferOffset;
  const float* oPos2 = m_oPos2 + bufferOffset;
  float* out1 = m_out1 + bufferOffset;
  float* out2 = m_out2 + bufferOffset;

  // What the change-guarded updates leave, as the loop reads it: the delays
  // (unsigned, so that any int32 delay wraps without overflow), the fractions
  // as doubles, the remembered values and the resonator's coefficients.
  uint32_t delay0, delay1, delay2, delay3, delay4, delay5;
  double frac0, frac1, frac2, frac3, frac4, frac5;
  float lastPStr, lastPPos, lastIPos, lastOPos, lastPeakF, lastPeakQ;
  float peakA1, peakA2;
  double a1, a2;
  const auto adopt = [&] {
    delay0 = static_cast<uint32_t>(m_intLenA);
    delay1 = static_cast<uint32_t>(m_intLenB);
    delay2 = static_cast<uint32_t>(m_intExciteToJunction);
    delay3 = static_cast<uint32_t>(m_intExciteToEndB);
    delay4 = static_cast<uint32_t>(m_intPickup2);
    delay5 = static_cast<uint32_t>(m_intPickup1);
    frac0 = D(m_fracLenA);
    frac1 = D(m_fracLenB);
    frac2 = D(m_fracExciteToJunction);
    frac3 = D(m_fracExciteToEndB);
    frac4 = D(m_fracPickup2);
    frac5 = D(m_fracPickup1);
    lastPStr = m_lastPStr;
    lastPPos = m_lastPPos;
    lastIPos = m_lastIPos;
    lastOPos = m_lastOPos;
    lastPeakF = m_lastPeakF;
    lastPeakQ = m_lastPeakQ;
    // Both coefficients follow from the adopted settings alone.
    peakA1 = F(2.0 * D(m_peakCos) * D(m_peakRadius));
    peakA2 = F(-(D(m_peakRadius) * D(m_peakRadius)));
    a1 = D(peakA1);
    a2 = D(peakA2);
  };
  adopt();

  // Filter memories and the write position, carried from sample to sample.
  float damp1 = m_dampState1;
  float damp3 = m_dampState3;
  float y1 = m_peakY1;
  float y2 = m_peakY2;
  uint32_t w = static_cast<uint32_t>(m_writePos[0]);

  // One sample; the last of the call also records what the members keep.
  const auto step = [&](int32_t i, auto isLast) __attribute__((always_inline)) {
    // 1. Tracking, and the resonator's settings of step 5: a sample on which
    // none of the six watched inputs moved costs six comparisons.
    {
      const float ps = pStr[i], pp = pPos[i], ip = iPos[i], op = oPos[i];
      const float pf = peakF[i], pq = peakQ[i];
      if (Changed(ps, lastPStr) || Changed(pp, lastPPos) || Changed(ip, lastIPos) ||
          Changed(op, lastOPos) || Changed(pf, lastPeakF) || Changed(pq, lastPeakQ)) {
        ApplyChanges(ps, pp, fLpf[i], ip, op, oPos2[i], pf, pq);
        adopt();
      }
    }

    // 2. Read positions: the newer entry and the one a sample older, per group.
    const uint32_t newer0 = (w - delay0) & kLineMask, older0 = (w - delay0 - 1u) & kLineMask;
    const uint32_t newer1 = (w - delay1) & kLineMask, older1 = (w - delay1 - 1u) & kLineMask;
    const uint32_t newer2 = (w - delay2) & kLineMask, older2 = (w - delay2 - 1u) & kLineMask;
    const uint32_t newer3 = (w - delay3) & kLineMask, older3 = (w - delay3 - 1u) & kLineMask;
    const uint32_t newer4 = (w - delay4) & kLineMask, older4 = (w - delay4 - 1u) & kLineMask;
    const uint32_t newer5 = (w - delay5) & kLineMask, older5 = (w - delay5 - 1u) & kLineMask;

    // 3. Taps.
    float t0 = ReadTap(m_line[0][older0], m_line[0][newer0], frac0);
    float t1 = ReadTap(m_line[1][older1], m_line[1][newer1], frac1);
    float t2 = ReadTap(m_line[2][older0], m_line[2][newer0], frac0);
    float t3 = ReadTap(m_line[3][older1], m_line[3][newer1], frac1);
    float t4 = ReadTap(m_line[4][older2], m_line[4][newer2], frac2);
    float t5 = ReadTap(m_line[5][older3], m_line[5][newer3], frac3);
    float t6 = ReadTap(m_line[1][older4], m_line[1][newer4], frac4);
    float t7 = ReadTap(m_line[3][older5], m_line[3][newer5], frac5);

    // 4. Damping lowpass on the two waves arriving at segment B's ends.
    float k = F(1.0 - D(fLpf[i]));
    if (!(k >= 0.0f)) {
      k = 0.0f;
    } else if (k > 1.0f) {
      k = 1.0f;
    }
    const double dk = D(k);
    t1 = F(D(t1) - (D(t1) - D(damp1)) * dk);
    t3 = F(D(t3) - (D(t3) - D(damp3)) * dk);
    damp1 = t1;
    damp3 = t3;

    // 5. Peak resonator on the wave arriving at end B.
    const float peakOut = F(a1 * D(y1) + D(t1) + a2 * D(y2));
    y2 = y1;
    y1 = peakOut;
    const double amt = D(peakAmt[i]);
    t1 = F((1.0 - amt) * D(t1) + D(peakOut) * amt);

    // 6. Flush the recirculating taps (two float additions, see above).
    t0 = (t0 + kFlushOffset) - kFlushOffset;
    t1 = (t1 + kFlushOffset) - kFlushOffset;
    t3 = (t3 + kFlushOffset) - kFlushOffset;

    // 7. Feed scales every tap.
    const float f = feed[i];
    t0 *= f;
    t1 *= f;
    t2 *= f;
    t3 *= f;
    t4 *= f;
    t5 *= f;
    t6 *= f;
    t7 *= f;

    // 8. Outputs, written before this sample's "f.pos" and "in" are read.
    out1[i] = t6;
    out2[i] = t7;

    // 9. Junction coefficient, held in [-1, 0]; NaN lands on -1.
    float rho = fPos[i];
    if (!(rho >= -1.0f)) rho = -1.0f;
    if (rho > 0.0f) rho = 0.0f;

    // 10. Writes: scattering, the two inverting ends, the input's two copies.
    const double r = D(rho);
    const double toJunction = D(t3) + D(t4);
    m_line[0][w] = -t2;
    m_line[1][w] = F((1.0 + r) * D(t0) + toJunction * r);
    m_line[2][w] = F(toJunction * (1.0 + r) + D(t0) * r);
    m_line[3][w] = -(t1 + t5);
    // The input enters bit for bit, signalling NaNs included.
    uint32_t input;
    std::memcpy(&input, &in[i], sizeof input);
    std::memcpy(&m_line[4][w], &input, sizeof input);
    std::memcpy(&m_line[5][w], &input, sizeof input);

    if constexpr (decltype(isLast)::value) {
      // The members that each sample rewrites keep the last sample's values.
      const uint32_t newer[kGroupCount] = {newer0, newer1, newer2, newer3, newer4, newer5};
      const uint32_t older[kGroupCount] = {older0, older1, older2, older3, older4, older5};
      for (int32_t g = 0; g < kGroupCount; ++g) {
        m_readNewer[g] = static_cast<int32_t>(newer[g]);
        m_readOlder[g] = static_cast<int32_t>(older[g]);
      }
      const float taps[kTapCount] = {t0, t1, t2, t3, t4, t5, t6, t7};
      std::memcpy(m_tap, taps, sizeof m_tap);
      m_dampCoef = k;
      m_peakA1 = peakA1;
      m_peakA2 = peakA2;
      m_peakOut = peakOut;
      m_junctionCoef = rho;
    }

    // 11. Advance.
    w = (w + 1u) & kLineMask;
  };

  const int32_t last = sampleCount - 1;
  for (int32_t i = 0; i < last; ++i) step(i, std::false_type{});
  step(last, std::true_type{});

  for (int32_t& position : m_writePos) position = static_cast<int32_t>(w);
  m_dampState1 = damp1;
  m_dampState3 = damp3;
  m_peakY1 = y1;
  m_peakY2 = y2;
}

}  // namespace vorbel
