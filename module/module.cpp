#include "module/module.h"

#if !defined(__SSE2__)
#error "the sample loop needs SSE2 (x86: -msse2 -mfpmath=sse)"
#endif
#include <emmintrin.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "module/fp_env.h"

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
  // The host's flush-to-zero, denormals-are-zero and rounding mode stay out of the model.
  const HostFpGuard fpGuard;
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
// moved; each guard here decides for itself, exactly as on every sample. The
// result says which updates ran.
uint32_t Module::ApplyChanges(float pStr, float pPos, float fLpf, float iPos, float oPos,
                              float oPos2, float peakF, float peakQ) {
  uint32_t moved = 0;
  if (Changed(pStr, m_lastPStr) || Changed(pPos, m_lastPPos)) {
    UpdateLengths(pStr, pPos, fLpf, iPos);
    moved |= kLengthsMoved;
  } else if (Changed(iPos, m_lastIPos)) {
    m_lastIPos = iPos;
    UpdateExcitation(iPos);
    moved |= kExcitationMoved;
  }
  if (Changed(oPos, m_lastOPos)) {
    UpdatePickups(oPos, oPos2);
    moved |= kPickupsMoved;
  }
  if (Changed(peakF, m_lastPeakF)) {
    m_lastPeakF = peakF;
    m_peakCos = PeakCosine(m_pi, peakF);
    moved |= kPeakMoved;
  }
  if (Changed(peakQ, m_lastPeakQ)) {
    m_lastPeakQ = peakQ;
    m_peakRadius = peakQ;
    moved |= kPeakMoved;
  }
  return moved;
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
// Speed. For the length of a call the state lives in locals, where the
// compiler keeps it in registers and no store to an output stream can touch
// it; the members are brought up to date at the end of the call, those that
// each sample rewrites with the values of the call's last sample. The six
// write positions always hold the same value, so one local stands for all
// six. The eight taps are computed two at a time in SSE2 registers (two
// doubles, or the low two floats of four), lane by lane exactly the scalar
// formula.
//
// Two ways through a call:
// - The sample step: the steps of one sample in their order, reading each
//   stream at the moment the order says. It serves every sample of a host
//   that hands one buffer to an input and an output (that sample's outputs
//   are written before its "f.pos" and "in" are read, and before the next
//   sample's inputs are read), and, otherwise, samples on which a watched
//   input moves or a read position wraps.
// - Steady runs, taken only when no output stream overlaps an input stream:
//   a stretch of samples on which the six watched inputs hold the values the
//   updates last copied (bit for bit) and "f.lpf", "peak.amt", "feed" and
//   "f.pos" hold the value they have on the run's first sample, and on which
//   no read position and no write position wraps. There the controls are
//   read once, the tracking step has nothing to do (every guard would find
//   its input unchanged), and the read positions just count up, so each tap
//   reads its two entries with one 8-byte load.
//
// Exactness: every formula is the double-precision one, rounded to float once
// where it is stored. Where a formula is a single addition, subtraction or
// multiplication of two floats (the flush's two steps, "feed", the reflection
// at end B), it is evaluated in float: the double result rounded
// to float is the correctly rounded float result, since double carries more
// than twice float's precision. Negation is exact in either.

namespace {

inline uint32_t BitsOf(float x) {
  uint32_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return bits;
}

// The entry at p and the next one, as lanes 0 and 1 of a float vector.
inline __m128 LoadAdjacent(const float* p) {
  double both;
  std::memcpy(&both, p, sizeof both);
  return _mm_castpd_ps(_mm_set_sd(both));
}

// Two taps from their older and newer entries, given in lanes 0 and 1:
// (older - newer) * fraction + newer in double, rounded to float.
inline __m128 ReadTapPair(__m128 older, __m128 newer, __m128d fraction) {
  const __m128d n = _mm_cvtps_pd(newer);
  return _mm_cvtpd_ps(_mm_add_pd(_mm_mul_pd(_mm_sub_pd(_mm_cvtps_pd(older), n), fraction), n));
}

// Taps whose two entries sit side by side at a and b: lanes 0 and 1 of the
// unpacked pair hold the older entries, lanes 2 and 3 the newer ones.
inline __m128 ReadAdjacentPair(const float* a, const float* b, __m128d fraction) {
  const __m128 both = _mm_unpacklo_ps(LoadAdjacent(a), LoadAdjacent(b));
  return ReadTapPair(both, _mm_movehl_ps(both, both), fraction);
}

inline __m128 LoadPair(const float* a, const float* b) {
  return _mm_unpacklo_ps(_mm_load_ss(a), _mm_load_ss(b));
}

// The damping coefficient for an "f.lpf" value: 1 - "f.lpf" held in [0, 1],
// NaN to 0.
inline float DampCoefficient(float fLpf) {
  float k = F(1.0 - D(fLpf));
  if (!(k >= 0.0f)) {
    k = 0.0f;
  } else if (k > 1.0f) {
    k = 1.0f;
  }
  return k;
}

// The junction coefficient for an "f.pos" value: held in [-1, 0], NaN to -1.
inline float JunctionCoefficient(float fPos) {
  float rho = fPos;
  if (!(rho >= -1.0f)) rho = -1.0f;
  if (rho > 0.0f) rho = 0.0f;
  return rho;
}

// True when [a, a + n) and [b, b + n) share an element.
inline bool Overlap(const float* a, const float* b, int32_t n) {
  const uint64_t x = reinterpret_cast<uintptr_t>(a);
  const uint64_t y = reinterpret_cast<uintptr_t>(b);
  const uint64_t bytes = static_cast<uint64_t>(n) * sizeof(float);
  return x < y + bytes && y < x + bytes;
}

constexpr int32_t kInputCount = 12;

// Samples that take the sample step after a steady run could not start
// because a control moved, before the next attempt: controls that move on
// every sample then cost the search only now and then.
constexpr int32_t kStepsAfterMove = 8;

// A steady run cut short by a moving control is taken only from this length
// on; below it the sample steps are cheaper than setting the run up.
constexpr int32_t kMinRun = 8;

// The streams a steady run compares: the six watched inputs and the four
// controls it reads once.
constexpr int32_t kSteadyStreams = 10;

}  // namespace

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
  // as pairs of doubles, one pair per two taps, the remembered values and the
  // resonator's coefficients.
  uint32_t delay0, delay1, delay2, delay3, delay4, delay5;
  __m128d fracA, fracB, fracC, fracD;  // taps (2, 0), (1, 3), (4, 5), (6, 7)
  float lastPStr, lastPPos, lastIPos, lastOPos, lastPeakF, lastPeakQ;
  float peakA1, peakA2;
  double a1, a2;
  // Takes over what the updates in `moved` left in the members.
  const auto adopt = [&](uint32_t moved) __attribute__((always_inline)) {
    if (moved & kLengthsMoved) {
      delay0 = static_cast<uint32_t>(m_intLenA);
      delay1 = static_cast<uint32_t>(m_intLenB);
      fracA = _mm_set1_pd(D(m_fracLenA));
      fracB = _mm_set1_pd(D(m_fracLenB));
      lastPStr = m_lastPStr;
      lastPPos = m_lastPPos;
    }
    if (moved & (kLengthsMoved | kExcitationMoved)) {
      delay2 = static_cast<uint32_t>(m_intExciteToJunction);
      delay3 = static_cast<uint32_t>(m_intExciteToEndB);
      fracC = _mm_setr_pd(D(m_fracExciteToJunction), D(m_fracExciteToEndB));
      lastIPos = m_lastIPos;
    }
    if (moved & kPickupsMoved) {
      delay4 = static_cast<uint32_t>(m_intPickup2);
      delay5 = static_cast<uint32_t>(m_intPickup1);
      fracD = _mm_setr_pd(D(m_fracPickup2), D(m_fracPickup1));
      lastOPos = m_lastOPos;
    }
    if (moved & kPeakMoved) {
      lastPeakF = m_lastPeakF;
      lastPeakQ = m_lastPeakQ;
      // Both coefficients follow from the adopted settings alone.
      peakA1 = F(2.0 * D(m_peakCos) * D(m_peakRadius));
      peakA2 = F(-(D(m_peakRadius) * D(m_peakRadius)));
      a1 = D(peakA1);
      a2 = D(peakA2);
    }
  };
  adopt(kLengthsMoved | kPickupsMoved | kPeakMoved);

  // Carried from sample to sample: the write position, both damping memories
  // (as doubles, which hold the stored floats exactly) and the resonator's.
  uint32_t w = static_cast<uint32_t>(m_writePos[0]);
  __m128d damp = _mm_setr_pd(D(m_dampState1), D(m_dampState3));
  double y1 = D(m_peakY1);
  double y2 = D(m_peakY2);

  const __m128 flush = _mm_set1_ps(kFlushOffset);
  const __m128 sign = _mm_set1_ps(-0.0f);

  const int32_t last = sampleCount - 1;

  // Steps 4 to 11 of a sample, given its eight taps as pairs (2, 0), (1, 3),
  // (4, 5), (6, 7). `controls` reads "f.lpf", "peak.amt", "feed" and "f.pos"
  // in that order, the order of the steps; "in" is read last. The last sample
  // of a call also records the members that keep its values.
  //
  // Tap 3 goes on to the junction without waiting for the resonator, which
  // only tap 1 passes through: tap 1 continues on its own from step 5.
  const auto finish = [&](int32_t i, __m128 a, __m128 b, __m128 c, __m128 d, auto& controls)
      __attribute__((always_inline)) {
    // 4. Damping lowpass on the two waves arriving at segment B's ends.
    const float k = controls.DampCoef(i);
    const __m128d bd = _mm_cvtps_pd(b);
    const __m128 damped =
        _mm_cvtpd_ps(_mm_sub_pd(bd, _mm_mul_pd(_mm_sub_pd(bd, damp), _mm_set1_pd(D(k)))));
    damp = _mm_cvtps_pd(damped);

    // 5. Peak resonator on the wave arriving at end B.
    const double damped1 = _mm_cvtsd_f64(damp);
    const float peakOut = F(a1 * y1 + damped1 + a2 * y2);
    y2 = y1;
    y1 = D(peakOut);
    const double amt = D(controls.PeakAmt(i));
    float t1 = F((1.0 - amt) * damped1 + y1 * amt);

    // 6. Flush taps 0, 1 and 3; tap 2 keeps its value. Taps 2, 0 and 3 sit in
    // lanes 0, 1 and 3 of one vector.
    __m128 q = _mm_movelh_ps(a, damped);
    q = _mm_move_ss(_mm_sub_ps(_mm_add_ps(q, flush), flush), a);
    t1 = (t1 + kFlushOffset) - kFlushOffset;

    // 7. Feed scales every tap.
    const float fe = controls.Feed(i);
    const __m128 f = _mm_set1_ps(fe);
    q = _mm_mul_ps(q, f);
    t1 *= fe;
    c = _mm_mul_ps(c, f);
    d = _mm_mul_ps(d, f);

    // 8. Outputs, written before this sample's "f.pos" and "in" are read.
    _mm_store_ss(&out1[i], d);
    _mm_store_ss(&out2[i], _mm_shuffle_ps(d, d, 1));

    // 9. Junction coefficient.
    const float rho = controls.JunctionCoef(i);

    // 10. Writes: scattering, the two inverting ends, the input's two copies.
    // `across` is (tap 0, tap 3 + tap 4): tap 0 plus -0, which leaves every
    // value as it is. The junction's two outputs come in one go: lane 0 is
    // (1 + rho) * tap 0 + (tap 3 + tap 4) * rho, lane 1
    // (tap 3 + tap 4) * (1 + rho) + tap 0 * rho.
    const double r = D(rho);
    const __m128d across = _mm_add_pd(_mm_cvtps_pd(_mm_shuffle_ps(q, q, _MM_SHUFFLE(3, 3, 3, 1))),
                                      _mm_cvtps_pd(_mm_unpacklo_ps(sign, c)));
    const __m128d back = _mm_shuffle_pd(across, across, 1);
    const __m128 scattered = _mm_cvtpd_ps(
        _mm_add_pd(_mm_mul_pd(across, _mm_set1_pd(1.0 + r)), _mm_mul_pd(back, _mm_set1_pd(r))));
    _mm_store_ss(&m_line[0][w], _mm_xor_ps(q, sign));
    _mm_store_ss(&m_line[1][w], scattered);
    _mm_store_ss(&m_line[2][w], _mm_shuffle_ps(scattered, scattered, 1));
    _mm_store_ss(&m_line[3][w],
                 _mm_xor_ps(_mm_add_ss(_mm_set_ss(t1), _mm_shuffle_ps(c, c, 1)), sign));
    // The input enters bit for bit, signalling NaNs included.
    uint32_t input;
    std::memcpy(&input, &in[i], sizeof input);
    std::memcpy(&m_line[4][w], &input, sizeof input);
    std::memcpy(&m_line[5][w], &input, sizeof input);

    if (i == last) {
      const uint32_t delay[kGroupCount] = {delay0, delay1, delay2, delay3, delay4, delay5};
      for (int32_t g = 0; g < kGroupCount; ++g) {
        m_readNewer[g] = static_cast<int32_t>((w - delay[g]) & kLineMask);
        m_readOlder[g] = static_cast<int32_t>((w - delay[g] - 1u) & kLineMask);
      }
      float lanes[3][4];
      _mm_storeu_ps(lanes[0], q);
      _mm_storeu_ps(lanes[1], c);
      _mm_storeu_ps(lanes[2], d);
      const float taps[kTapCount] = {lanes[0][1], t1,          lanes[0][0], lanes[0][3],
                                     lanes[1][0], lanes[1][1], lanes[2][0], lanes[2][1]};
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

  // The sample step: every stream read when its step comes.
  struct SampleControls {
    const float* fLpf;
    const float* peakAmt;
    const float* feed;
    const float* fPos;
    float DampCoef(int32_t i) const { return DampCoefficient(fLpf[i]); }
    float PeakAmt(int32_t i) const { return peakAmt[i]; }
    float Feed(int32_t i) const { return feed[i]; }
    float JunctionCoef(int32_t i) const { return JunctionCoefficient(fPos[i]); }
  } sampleControls{fLpf, peakAmt, feed, fPos};

  const auto step = [&](int32_t i) __attribute__((always_inline)) {
    // 1. Tracking, and the resonator's settings of step 5: a sample on which
    // none of the six watched inputs moved costs six comparisons.
    {
      const float ps = pStr[i], pp = pPos[i], ip = iPos[i], op = oPos[i];
      const float pf = peakF[i], pq = peakQ[i];
      if (Changed(ps, lastPStr) || Changed(pp, lastPPos) || Changed(ip, lastIPos) ||
          Changed(op, lastOPos) || Changed(pf, lastPeakF) || Changed(pq, lastPeakQ)) {
        adopt(ApplyChanges(ps, pp, fLpf[i], ip, op, oPos2[i], pf, pq));
      }
    }
    // 2. Read positions, 3. taps.
    const uint32_t delay[kGroupCount] = {delay0, delay1, delay2, delay3, delay4, delay5};
    uint32_t newer[kGroupCount], older[kGroupCount];
#pragma GCC unroll 6
    for (int32_t g = 0; g < kGroupCount; ++g) {
      newer[g] = (w - delay[g]) & kLineMask;
      older[g] = (w - delay[g] - 1u) & kLineMask;
    }
    const __m128 a = ReadTapPair(LoadPair(&m_line[2][older[0]], &m_line[0][older[0]]),
                                 LoadPair(&m_line[2][newer[0]], &m_line[0][newer[0]]), fracA);
    const __m128 b = ReadTapPair(LoadPair(&m_line[1][older[1]], &m_line[3][older[1]]),
                                 LoadPair(&m_line[1][newer[1]], &m_line[3][newer[1]]), fracB);
    const __m128 c = ReadTapPair(LoadPair(&m_line[4][older[2]], &m_line[5][older[3]]),
                                 LoadPair(&m_line[4][newer[2]], &m_line[5][newer[3]]), fracC);
    const __m128 d = ReadTapPair(LoadPair(&m_line[1][older[4]], &m_line[3][older[5]]),
                                 LoadPair(&m_line[1][newer[4]], &m_line[3][newer[5]]), fracD);
    finish(i, a, b, c, d, sampleControls);
  };

  // The samples from `from` on, up to `limit`, on which the six watched
  // inputs hold their remembered bits and "f.lpf", "peak.amt", "feed" and
  // "f.pos" hold the bits they have at `from`: four samples per comparison.
  const auto steadyRun = [&](int32_t from, int32_t limit) __attribute__((always_inline))->int32_t {
    const float* const streams[kSteadyStreams] = {pStr,  pPos, iPos,    oPos, peakF,
                                                  peakQ, fLpf, peakAmt, feed, fPos};
    const float held[kSteadyStreams] = {lastPStr,   lastPPos,  lastIPos,   lastOPos,
                                        lastPeakF,  lastPeakQ, fLpf[from], peakAmt[from],
                                        feed[from], fPos[from]};
    __m128i expected[kSteadyStreams];
#pragma GCC unroll 10
    for (int32_t s = 0; s < kSteadyStreams; ++s) {
      expected[s] = _mm_set1_epi32(static_cast<int32_t>(BitsOf(held[s])));
    }
    int32_t j = from;
    for (; j + 4 <= limit; j += 4) {
      __m128i same = _mm_set1_epi32(-1);
#pragma GCC unroll 10
      for (int32_t s = 0; s < kSteadyStreams; ++s) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(streams[s] + j));
        same = _mm_and_si128(same, _mm_cmpeq_epi32(x, expected[s]));
      }
      const int mask = _mm_movemask_ps(_mm_castsi128_ps(same));
      if (mask != 0xF) return j - from + __builtin_ctz(~mask);
    }
    for (; j < limit; ++j) {
      for (int32_t s = 0; s < kSteadyStreams; ++s) {
        if (BitsOf(streams[s][j]) != BitsOf(held[s])) return j - from;
      }
    }
    return limit - from;
  };

  // A host that hands the same memory to an output and an input sees every
  // read and write in the order of the steps: the sample step throughout.
  const float* const inputs[kInputCount] = {in,   pStr, pPos,  fPos,  iPos,    oPos,
                                            feed, fLpf, peakF, peakQ, peakAmt, oPos2};
  // A call too short for a steady run takes the sample step without looking.
  bool shared = sampleCount < kMinRun;
  for (const float* input : inputs) {
    shared = shared || Overlap(out1, input, sampleCount) || Overlap(out2, input, sampleCount);
  }
  if (shared) {
    for (int32_t i = 0; i < sampleCount; ++i) step(i);
  } else {
    int32_t i = 0;
    while (i < sampleCount) {
      // Samples before a read or write position wraps. Newer positions must
      // be 1 or above, so that each older entry sits just below its newer one.
      const uint32_t delay[kGroupCount] = {delay0, delay1, delay2, delay3, delay4, delay5};
      uint32_t newer[kGroupCount];
      uint32_t room = static_cast<uint32_t>(kLineLength) - w;
#pragma GCC unroll 6
      for (int32_t g = 0; g < kGroupCount; ++g) {
        newer[g] = (w - delay[g]) & kLineMask;
        room = newer[g] == 0 ? 0 : std::min(room, static_cast<uint32_t>(kLineLength) - newer[g]);
      }
      if (room == 0) {
        step(i++);
        continue;
      }
      const int32_t limit = i + static_cast<int32_t>(std::min<uint32_t>(
                                    room, static_cast<uint32_t>(sampleCount - i)));
      const int32_t run = steadyRun(i, limit);
      if (run < limit - i && run < kMinRun) {
        // A control moves (or soon will): sample steps for a while.
        const int32_t stop = std::min(sampleCount, i + kStepsAfterMove);
        while (i < stop) step(i++);
        continue;
      }

      // A steady run: controls read once, positions counting up.
      struct RunControls {
        float dampCoef, peakAmt, feed, junctionCoef;
        float DampCoef(int32_t) const { return dampCoef; }
        float PeakAmt(int32_t) const { return peakAmt; }
        float Feed(int32_t) const { return feed; }
        float JunctionCoef(int32_t) const { return junctionCoef; }
      } runControls{DampCoefficient(fLpf[i]), peakAmt[i], feed[i], JunctionCoefficient(fPos[i])};
      const int32_t start = i;
      const uint32_t older0 = newer[0] - 1u, older1 = newer[1] - 1u, older2 = newer[2] - 1u;
      const uint32_t older3 = newer[3] - 1u, older4 = newer[4] - 1u, older5 = newer[5] - 1u;
      const auto runStep = [&](int32_t i) __attribute__((always_inline)) {
        const uint32_t j = static_cast<uint32_t>(i - start);
        const __m128 a = ReadAdjacentPair(&m_line[2][older0 + j], &m_line[0][older0 + j], fracA);
        const __m128 b = ReadAdjacentPair(&m_line[1][older1 + j], &m_line[3][older1 + j], fracB);
        const __m128 c = ReadAdjacentPair(&m_line[4][older2 + j], &m_line[5][older3 + j], fracC);
        const __m128 d = ReadAdjacentPair(&m_line[1][older4 + j], &m_line[3][older5 + j], fracD);
        finish(i, a, b, c, d, runControls);
      };
      const int32_t end = start + run;
      for (; i < end; ++i) runStep(i);
    }
  }

  for (int32_t& position : m_writePos) position = static_cast<int32_t>(w);
  const __m128 damped = _mm_cvtpd_ps(damp);
  m_dampState1 = _mm_cvtss_f32(damped);
  m_dampState3 = _mm_cvtss_f32(_mm_shuffle_ps(damped, damped, 1));
  m_peakY1 = F(y1);
  m_peakY2 = F(y2);
}

}  // namespace vorbel
