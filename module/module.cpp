#include "module/module.h"

#include <cstring>
#include <initializer_list>

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

void Module::ProcessSamples(int32_t bufferOffset, int32_t sampleCount) {
  if (m_in == nullptr || m_pStr == nullptr || m_pPos == nullptr || m_fPos == nullptr ||
      m_iPos == nullptr || m_oPos == nullptr || m_feed == nullptr || m_fLpf == nullptr ||
      m_peakF == nullptr || m_peakQ == nullptr || m_peakAmt == nullptr || m_oPos2 == nullptr ||
      m_out1 == nullptr || m_out2 == nullptr) {
    return;  // a host that has not handed over every stream gets no samples
  }

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

  for (int32_t i = 0; i < sampleCount; ++i) {
    // 1. Tracking.
    if (Changed(pStr[i], m_lastPStr) || Changed(pPos[i], m_lastPPos)) {
      UpdateLengths(pStr[i], pPos[i], fLpf[i], iPos[i]);
    } else if (Changed(iPos[i], m_lastIPos)) {
      m_lastIPos = iPos[i];
      UpdateExcitation(iPos[i]);
    }
    if (Changed(oPos[i], m_lastOPos)) UpdatePickups(oPos[i], oPos2[i]);

    // 2. Read positions.
    const int32_t delays[kGroupCount] = {m_intLenA,         m_intLenB,    m_intExciteToJunction,
                                         m_intExciteToEndB, m_intPickup2, m_intPickup1};
    const float fractions[kGroupCount] = {m_fracLenA,         m_fracLenB,    m_fracExciteToJunction,
                                          m_fracExciteToEndB, m_fracPickup2, m_fracPickup1};
    for (int32_t g = 0; g < kGroupCount; ++g) {
      // Unsigned arithmetic: any int32 delay wraps without overflow.
      const uint32_t newer =
          static_cast<uint32_t>(m_writePos[g]) - static_cast<uint32_t>(delays[g]);
      m_readNewer[g] = static_cast<int32_t>(newer & kLineMask);
      m_readOlder[g] = static_cast<int32_t>((newer - 1u) & kLineMask);
    }

    // 3. Taps: line and group of each.
    static constexpr int32_t kTapLine[kTapCount] = {0, 1, 2, 3, 4, 5, 1, 3};
    static constexpr int32_t kTapGroup[kTapCount] = {0, 1, 0, 1, 2, 3, 4, 5};
    for (int32_t k = 0; k < kTapCount; ++k) {
      const float* line = m_line[kTapLine[k]];
      const int32_t g = kTapGroup[k];
      m_tap[k] = ReadTap(line[m_readOlder[g]], line[m_readNewer[g]], fractions[g]);
    }

    // 4. Damping lowpass on the two waves arriving at segment B's ends.
    m_dampCoef = F(1.0 - D(fLpf[i]));
    if (!(m_dampCoef >= 0.0f)) {
      m_dampCoef = 0.0f;
    } else if (m_dampCoef > 1.0f) {
      m_dampCoef = 1.0f;
    }
    m_tap[1] = F(D(m_tap[1]) - (D(m_tap[1]) - D(m_dampState1)) * D(m_dampCoef));
    m_tap[3] = F(D(m_tap[3]) - (D(m_tap[3]) - D(m_dampState3)) * D(m_dampCoef));
    m_dampState1 = m_tap[1];
    m_dampState3 = m_tap[3];

    // 5. Peak resonator on the wave arriving at end B.
    if (Changed(peakF[i], m_lastPeakF)) {
      m_lastPeakF = peakF[i];
      m_peakCos = PeakCosine(m_pi, peakF[i]);
    }
    if (Changed(peakQ[i], m_lastPeakQ)) {
      m_lastPeakQ = peakQ[i];
      m_peakRadius = peakQ[i];
    }
    m_peakA1 = F(2.0 * D(m_peakCos) * D(m_peakRadius));
    m_peakA2 = F(-(D(m_peakRadius) * D(m_peakRadius)));
    m_peakOut = F(D(m_peakA1) * D(m_peakY1) + D(m_tap[1]) + D(m_peakA2) * D(m_peakY2));
    m_peakY2 = m_peakY1;
    m_peakY1 = m_peakOut;
    const double amt = D(peakAmt[i]);
    m_tap[1] = F((1.0 - amt) * D(m_tap[1]) + D(m_peakOut) * amt);

    // 6. Flush the recirculating taps.
    m_tap[0] = Flush(m_tap[0]);
    m_tap[1] = Flush(m_tap[1]);
    m_tap[3] = Flush(m_tap[3]);

    // 7. Feed scales every tap.
    const double f = D(feed[i]);
    for (float& tap : m_tap) tap = F(f * D(tap));

    // 8. Outputs, written before this sample's "f.pos" and "in" are read, so
    // a host that shares one buffer between them sees that order.
    out1[i] = m_tap[6];
    out2[i] = m_tap[7];

    // 9. Junction coefficient, held in [-1, 0]; NaN lands on -1.
    m_junctionCoef = fPos[i];
    if (!(m_junctionCoef >= -1.0f)) m_junctionCoef = -1.0f;
    if (m_junctionCoef > 0.0f) m_junctionCoef = 0.0f;

    // 10. Writes: scattering, the two inverting ends, the input's two copies.
    const double rho = D(m_junctionCoef);
    const double toJunction = D(m_tap[3]) + D(m_tap[4]);
    const int32_t w0 = m_writePos[0];
    const int32_t w1 = m_writePos[1];
    m_line[0][w0] = F(-D(m_tap[2]));
    m_line[1][w1] = F((1.0 + rho) * D(m_tap[0]) + toJunction * rho);
    m_line[2][w0] = F(toJunction * (1.0 + rho) + D(m_tap[0]) * rho);
    m_line[3][w1] = F(-(D(m_tap[1]) + D(m_tap[5])));
    // The input enters bit for bit, signalling NaNs included.
    std::memcpy(&m_line[4][m_writePos[2]], &in[i], sizeof(float));
    std::memcpy(&m_line[5][m_writePos[3]], &in[i], sizeof(float));

    // 11. Advance.
    for (int32_t& w : m_writePos) w = (w + 1) & kLineMask;
  }
}

}  // namespace vorbel
