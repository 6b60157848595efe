// The module's output does not depend on the floating-point settings of the host process.
//
// A module library runs on the host's thread, with whatever floating-point control state the
// host left there. Two registers can change results on x86:
//
// 1. MXCSR, the SSE control and status register, which all of the model's float and double
//    arithmetic uses (every x86-64 build; 32-bit builds with -msse2 -mfpmath=sse):
//    - FTZ (flush to zero) turns subnormal results into zero, and DAZ (denormals are zero)
//      reads subnormal operands, comparisons included, as zero. Hosts set them to avoid the
//      slowness of subnormal arithmetic. They would change the output where subnormals reach
//      it without passing the flush: a subnormal or tiny "in" signal reaches segment B's ends,
//      the string lines and both outputs through the input copies (taps 4 and 5, never
//      flushed); "feed" times a small tap, and so an output (taps 6 and 7, never flushed), can
//      be subnormal; and under DAZ a control input that moves from 0 to a subnormal value
//      ("o.pos", "peak.f", "i.pos" ...) compares as unchanged, so its update would not run at
//      all. The filter memories also pass through the subnormal range as a tail fades; the
//      flush of taps 1 and 3 right after the filters hides most, not all, of what FTZ and DAZ
//      change there. The flush itself (add and subtract 1e-18) never produces a subnormal, and
//      a subnormal tap gives 0 there whether or not it is read as zero: its results change only
//      with the rounding mode.
//    - RC (rounding control): every rounded result, the flush included (rounding upward, the
//      flush would turn a tiny positive tap into 2^-83 rather than 0, and a decaying string
//      would never reach zero).
//    HostFpGuard, which Module::ProcessEntry holds for the whole process call, clears FTZ and
//    DAZ and selects round-to-nearest, leaves the exception masks as the host set them, and
//    restores the host's control bits on return (adding the status flags the call raised).
//    The module's results are then those of the default settings, whatever the host chose.
//
// 2. The x87 control word, used by the math library's pow and cos where they are x87 code:
//    MinGW's pow and cos (32-bit and 64-bit Windows) and the 32-bit x86 C library on Linux.
//    Its precision control rounds every intermediate sum, product and quotient to 24, 53 or
//    64 bits, and its rounding control decides how they round. Some hosts lower the precision
//    to 24 bits (as some graphics libraries do to the threads that use them). pow then loses
//    about half its bits: with MinGW's pow, the string's full length (PitchLength: segment
//    lengths, excitation distances) comes out one float step or more away for more than half
//    of all pitch values, and every later sample with it. MinGW's cos is one x87 instruction
//    that the precision does not affect, except for arguments beyond 2^63 whose reduction it
//    rounds; its rounding changes with the rounding control (PeakCosine, the resonator's cosine).
//    GuardedPow and GuardedCos set 53-bit precision and round-to-nearest (the setting Windows
//    gives a new thread) around each pow and cos call, inside the change-guarded updates, and
//    restore the host's word afterwards. HostFpGuard sets the same for the whole process call,
//    so that with pitch inputs modulated at audio rate the control word is written twice per
//    call rather than four times per sample. Elsewhere (x86-64 Linux, whose pow and cos use
//    SSE only) neither touches the x87 unit.
//
// The guards write a register only when the host's setting differs from the one the module
// needs; with the default settings each costs one read. Neither allocates or calls anything.
#pragma once

#include <cmath>
#include <cstdint>

#if defined(__i386__) || defined(__x86_64__)
#define VORBEL_FP_SSE_GUARD 1
#else
#define VORBEL_FP_SSE_GUARD 0
#endif

// pow and cos of this build's math library run on the x87 unit.
#if defined(__i386__) || (defined(__x86_64__) && defined(_WIN32))
#define VORBEL_FP_X87_LIBM 1
#else
#define VORBEL_FP_X87_LIBM 0
#endif

namespace vorbel {

// MXCSR fields.
constexpr uint32_t kMxcsrStatusFlags = 0x003f;  // sticky exception flags IE DE ZE OE UE PE
constexpr uint32_t kMxcsrDenormalsAreZero = 0x0040;
constexpr uint32_t kMxcsrRounding = 0x6000;  // 00 = to nearest
constexpr uint32_t kMxcsrFlushToZero = 0x8000;

// x87 control word fields.
constexpr uint16_t kX87Precision = 0x0300;  // 00 = 24 bits, 10 = 53 bits, 11 = 64 bits
constexpr uint16_t kX87Precision53 = 0x0200;
constexpr uint16_t kX87Rounding = 0x0c00;  // 00 = to nearest

#if VORBEL_FP_SSE_GUARD
inline uint32_t ReadMxcsr() {
  uint32_t value;
  asm volatile("stmxcsr %0" : "=m"(value) : : "memory");
  return value;
}
// The memory clobber keeps the compiler from moving the model's loads and stores across it.
inline void WriteMxcsr(uint32_t value) { asm volatile("ldmxcsr %0" : : "m"(value) : "memory"); }
#endif

#if VORBEL_FP_X87_LIBM
inline uint16_t ReadX87Control() {
  uint16_t value;
  asm volatile("fnstcw %0" : "=m"(value) : : "memory");
  return value;
}
inline void WriteX87Control(uint16_t value) { asm volatile("fldcw %0" : : "m"(value) : "memory"); }
#endif

// Held around one pow or cos call: 53-bit precision, round to nearest on the x87 unit.
class X87LibmGuard {
 public:
  X87LibmGuard() {
#if VORBEL_FP_X87_LIBM
    host_ = ReadX87Control();
    const uint16_t wanted =
        static_cast<uint16_t>((host_ & ~(kX87Precision | kX87Rounding)) | kX87Precision53);
    changed_ = wanted != host_;
    if (changed_) WriteX87Control(wanted);
#endif
  }
  ~X87LibmGuard() {
#if VORBEL_FP_X87_LIBM
    if (changed_) WriteX87Control(host_);
#endif
  }
  X87LibmGuard(const X87LibmGuard&) = delete;
  X87LibmGuard& operator=(const X87LibmGuard&) = delete;

 private:
#if VORBEL_FP_X87_LIBM
  uint16_t host_ = 0;
  bool changed_ = false;
#endif
};

// Held for one process call: FTZ and DAZ off, round to nearest, and on x87-math builds the x87
// setting of X87LibmGuard, so that the guard around each pow and cos finds it in place and costs
// one read. The host's settings come back when it goes out of scope.
class HostFpGuard {
 public:
  HostFpGuard() {
#if VORBEL_FP_SSE_GUARD
    host_ = ReadMxcsr();
    const uint32_t wanted = host_ & ~(kMxcsrFlushToZero | kMxcsrDenormalsAreZero | kMxcsrRounding);
    changed_ = wanted != host_;
    if (changed_) WriteMxcsr(wanted);
#endif
  }
  ~HostFpGuard() {
#if VORBEL_FP_SSE_GUARD
    if (changed_) WriteMxcsr(host_ | (ReadMxcsr() & kMxcsrStatusFlags));
#endif
  }
  HostFpGuard(const HostFpGuard&) = delete;
  HostFpGuard& operator=(const HostFpGuard&) = delete;

 private:
  X87LibmGuard x87_;  // set before the MXCSR, restored after it
#if VORBEL_FP_SSE_GUARD
  uint32_t host_ = 0;
  bool changed_ = false;
#endif
};

// pow and cos under X87LibmGuard. The result is stored to memory before the host's control
// word comes back, so that its last rounding also happens under the module's setting.
inline double GuardedPow(double base, double exponent) {
  const X87LibmGuard guard;
  double result = std::pow(base, exponent);
  asm volatile("" : "+m"(result));
  return result;
}

inline double GuardedCos(double x) {
  const X87LibmGuard guard;
  double result = std::cos(x);
  asm volatile("" : "+m"(result));
  return result;
}

}  // namespace vorbel
