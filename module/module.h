// The string model as a module: two segments joined by a scattering junction,
// six circular delay lines, an excitation input, a damping lowpass and a peak
// resonator on segment B, and two pickups.
#pragma once

#include <cstdint>

#include "module/string_dsp.h"
#include "se_sdk2/semodule_base.h"

namespace vorbel {

constexpr int32_t kPinCount = 14;

class Module : public SEModule_base {
 public:
  Module(HostCallback hostCallback, void* hostHandle);
  ~Module() override;

  void OnPinStatusChange(SEPin* pin) override;
  void Open() override;
  bool DescribePin(int32_t index, SEPinProperties* props) override;

  void ProcessSamples(int32_t bufferOffset, int32_t sampleCount);
  void ZeroLines();

  static void SE_CALL ProcessEntry(void* instance, int32_t bufferOffset, int32_t sampleCount);

  // Pin buffer pointers, in pin order. The host stores each stream's address
  // here before every process call; the module only reads them.
  float* m_in;
  float* m_pStr;
  float* m_pPos;
  float* m_fPos;
  float* m_iPos;
  float* m_oPos;
  float* m_feed;
  float* m_fLpf;
  float* m_peakF;
  float* m_peakQ;
  float* m_peakAmt;
  float* m_oPos2;
  float* m_out1;
  float* m_out2;

  float m_sampleRate;

  // Line 0/2: segment A's rails; 1/3: segment B's; 4/5: the input's two copies.
  float m_line[kLineCount][kLineLength];

  // --- State block, set by Open.
  // Length and position tracking.
  float m_lenA;
  float m_lenB;
  float m_exciteToJunction;
  float m_exciteToEndB;
  float m_pickup2Delay;
  float m_pickup1Delay;
  float m_fracLenA;
  float m_fracLenB;
  float m_fracExciteToJunction;
  float m_fracExciteToEndB;
  float m_fracPickup2;
  float m_fracPickup1;
  float m_lastPStr;
  float m_lastPPos;
  float m_lastIPos;
  float m_lastOPos;
  int32_t m_intLenA;
  int32_t m_intLenB;
  int32_t m_intExciteToJunction;
  int32_t m_intExciteToEndB;
  int32_t m_intPickup2;
  int32_t m_intPickup1;
  // Waveguide loop.
  int32_t m_writePos[kGroupCount];
  int32_t m_readOlder[kGroupCount];
  int32_t m_readNewer[kGroupCount];
  float m_junctionCoef;
  float m_tap[kTapCount];
  // Segment filters.
  float m_dampState1;
  float m_dampState3;
  float m_dampCoef;
  float m_peakRadius;
  float m_peakCos;
  float m_lastPeakF;
  float m_lastPeakQ;
  float m_pi;
  float m_peakA1;
  float m_peakA2;
  float m_peakOut;
  float m_peakY1;
  float m_peakY2;

 private:
  void ResetState();
  void UpdateLengths(float pStr, float pPos, float fLpf, float iPos);
  void UpdateExcitation(float iPos);
  void UpdatePickups(float oPos, float oPos2);
  // What ApplyChanges ran, as a set of these bits.
  enum ChangeBits : uint32_t {
    kLengthsMoved = 1,     // the length update, and with it the excitation
    kExcitationMoved = 2,  // the excitation update alone
    kPickupsMoved = 4,
    kPeakMoved = 8,  // either of the resonator's settings
  };
  uint32_t ApplyChanges(float pStr, float pPos, float fLpf, float iPos, float oPos, float oPos2,
                        float peakF, float peakQ);
};

}  // namespace vorbel
