// libFuzzer target: the input bytes become a sequence of host actions on one instance of
// the string model, linked white-box: dispatcher opcodes with well-formed arguments,
// events, sample-rate and block-size changes, reopens, close-and-remake, and process
// calls whose streams carry arbitrary floats on every pin (NaN, infinities, huge, tiny and
// subnormal values, changing every sample).
//
// Besides crashes and sanitizer reports it fails on what the sanitizers cannot see: a
// read or write position outside a delay line (the lines are one array inside the
// object), a write outside the block's range of an output stream, a change to an input
// stream, a host call during processing, and any failed check of the frame, which a host
// that keeps the contract never trips.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "module/module.h"
#include "se_sdk2/semodule_base.h"

namespace {

using vorbel::Module;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_module: %s\n", what);
  std::abort();
}

void OnFailedCheck(const char* expression, const char* source, int line) {
  std::fprintf(stderr, "fuzz_module: failed check \"%s\" in %s, line %d\n", expression, source,
               line);
  std::abort();
}

// The bytes of one input, read front to back; zeros once they run out.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool done() const { return position_ >= size_; }
  uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
  uint32_t Word() {
    uint32_t w = 0;
    for (int i = 0; i < 4; ++i) w |= static_cast<uint32_t>(Byte()) << (8 * i);
    return w;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kPalette[] = {
    0.0f,
    -0.0f,
    1.0f,
    -1.0f,
    0.5f,
    0.3f,
    0.4f,
    0.17f,
    0.12f,
    0.05f,
    0.999f,
    2.0f,
    10.0f,
    -10.0f,
    100.0f,
    -0.5f,
    1e-20f,
    1e-30f,
    1e-40f,
    -1e-40f,
    1e-45f,
    std::numeric_limits<float>::min(),
    1e30f,
    -1e30f,
    3.4e38f,
    -3.4e38f,
    kInf,
    -kInf,
    std::numeric_limits<float>::quiet_NaN(),
    -std::numeric_limits<float>::quiet_NaN(),
    std::bit_cast<float>(0x7f800001u),  // a signalling NaN
    1.0e6f,
};
constexpr size_t kPaletteSize = sizeof kPalette / sizeof kPalette[0];

float FromPalette(uint8_t b) { return kPalette[b % kPaletteSize]; }

// A small generator for streams that change every sample.
struct XorShift {
  uint32_t state;
  uint32_t Next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
};

constexpr int32_t kPins = vorbel::kPinCount;
constexpr int32_t kInputs = 12;
constexpr size_t kGuard = 16;
constexpr uint32_t kOutputFill = 0x7fa1b2c3;
constexpr int64_t kSampleBudget = 1 << 14;  // per input, to keep each run short

class Host {
 public:
  Host() { Make(); }
  ~Host() { Close(); }

  void Make() {
    Close();
    record_ = (new Module(&Host::Callback, this))->Record();
    if (record_ == nullptr) Fail("no instance");
  }

  void Close() {
    if (record_ != nullptr) Dispatch(MOD_CLOSE, 0, 0, nullptr, 0.0f);
    record_ = nullptr;
  }

  intptr_t Dispatch(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt) {
    return record_->dispatcherEntry(record_, opcode, index, value, ptr, opt);
  }

  Module& module() { return *static_cast<Module*>(static_cast<SEModule_base*>(record_->instance)); }
  int32_t clock() const { return clock_; }

  void Event(int32_t kind, int32_t value, int16_t extra, intptr_t target) {
    SEEventRecord e{};
    e.time_stamp = clock_;
    e.kind = kind;
    e.value = value;
    e.extra = extra;
    e.target = target;
    record_->eventEntry(record_->instance, &e);
  }

  // One process call with the streams in `streams` (kPins of them, each at least
  // offset + count long plus guards on both sides).
  void Process(std::vector<std::vector<float>>& streams, int32_t offset, int32_t count) {
    float** members[kPins] = {&module().m_in,    &module().m_pStr,    &module().m_pPos,
                              &module().m_fPos,  &module().m_iPos,    &module().m_oPos,
                              &module().m_feed,  &module().m_fLpf,    &module().m_peakF,
                              &module().m_peakQ, &module().m_peakAmt, &module().m_oPos2,
                              &module().m_out1,  &module().m_out2};
    for (int32_t p = 0; p < kPins; ++p) *members[p] = streams[p].data() + kGuard;
    inProcess_ = true;
    record_->processEntry(record_->instance, offset, count);
    inProcess_ = false;
    clock_ = static_cast<int32_t>(static_cast<uint32_t>(clock_) + static_cast<uint32_t>(count));
  }

 private:
  static intptr_t Callback(SEModuleRecord* record, int32_t opcode, int32_t, int32_t, void*, float) {
    Host* host = static_cast<Host*>(record->hostHandle);
    if (host->inProcess_) Fail("host call during processing");
    switch (opcode) {
      case HOST_GET_PIN_COUNT:
        return kPins;
      case HOST_GET_SAMPLE_CLOCK:
        return host->clock_;
      default:
        return 0;
    }
  }

  SEModuleRecord* record_ = nullptr;
  bool inProcess_ = false;
  int32_t clock_ = 0;
};

void CalledByEvent(void*) {}

void CheckPositions(Module& m) {
  for (int g = 0; g < vorbel::kGroupCount; ++g) {
    if (m.m_writePos[g] < 0 || m.m_writePos[g] >= vorbel::kLineLength)
      Fail("write position outside its line");
    if (m.m_writePos[g] != m.m_writePos[0]) Fail("write positions disagree");
    if (m.m_readNewer[g] < 0 || m.m_readNewer[g] >= vorbel::kLineLength)
      Fail("read position outside its line");
    if (m.m_readOlder[g] < 0 || m.m_readOlder[g] >= vorbel::kLineLength)
      Fail("read position outside its line");
  }
}

float SampleRate(Bytes& in) {
  static const float kRates[] = {44100.0f, 48000.0f, 96000.0f, 192000.0f, 22050.0f,
                                 8000.0f,  11025.0f, 1.0f,     0.0f};
  const uint8_t b = in.Byte();
  if (b < 200) return kRates[b % (sizeof kRates / sizeof kRates[0])];
  return b < 230 ? FromPalette(in.Byte()) : std::bit_cast<float>(in.Word());
}

void FillInput(Bytes& in, std::vector<float>& s, size_t first, size_t count) {
  float* x = s.data() + first;
  switch (in.Byte() % 5) {
    case 0: {  // one value
      const float v = FromPalette(in.Byte());
      for (size_t i = 0; i < count; ++i) x[i] = v;
      break;
    }
    case 1: {  // two values, switching at a point
      const float a = FromPalette(in.Byte());
      const float b = FromPalette(in.Byte());
      const size_t at = count == 0 ? 0 : in.Byte() % count;
      for (size_t i = 0; i < count; ++i) x[i] = i < at ? a : b;
      break;
    }
    case 2: {  // any float bits, every sample
      XorShift r{in.Word() | 1u};
      for (size_t i = 0; i < count; ++i) x[i] = std::bit_cast<float>(r.Next());
      break;
    }
    case 3: {  // moderate values, every sample
      XorShift r{in.Word() | 1u};
      for (size_t i = 0; i < count; ++i) {
        x[i] = static_cast<float>(static_cast<int32_t>(r.Next() % 4001u) - 2000) / 1000.0f;
      }
      break;
    }
    default: {  // values from the input itself, then the palette
      for (size_t i = 0; i < count; ++i)
        x[i] = in.done() ? kPalette[i % kPaletteSize] : FromPalette(in.Byte());
      break;
    }
  }
}

void ProcessAction(Host& host, Bytes& in, int64_t& budget) {
  const uint32_t sizeWord = in.Byte() | (static_cast<uint32_t>(in.Byte()) << 8);
  int32_t count = static_cast<int32_t>(sizeWord % 4097u);
  if (in.Byte() % 4 != 0) count %= 257;  // mostly short blocks
  if (count > budget) count = static_cast<int32_t>(budget);
  budget -= count;
  const int32_t offset = in.Byte() % 64;
  const size_t size = kGuard + static_cast<size_t>(offset + count) + kGuard;
  const size_t first = kGuard + static_cast<size_t>(offset);

  std::vector<std::vector<float>> streams(kPins);
  for (int32_t p = 0; p < kPins; ++p) {
    streams[p].assign(size, std::bit_cast<float>(kOutputFill));
    if (p < kInputs) FillInput(in, streams[p], first, static_cast<size_t>(count));
  }
  std::vector<std::vector<float>> before(streams.begin(), streams.begin() + kInputs);

  host.Process(streams, offset, count);
  CheckPositions(host.module());

  for (int32_t p = 0; p < kInputs; ++p) {
    if (std::memcmp(streams[p].data(), before[p].data(), size * sizeof(float)) != 0) {
      Fail("an input stream changed");
    }
  }
  // Compared wholesale, so that the fuzzer's comparison hooks see two calls, not every float.
  const std::vector<float> fill(size, std::bit_cast<float>(kOutputFill));
  const size_t after = first + static_cast<size_t>(count);
  for (int32_t p = kInputs; p < kPins; ++p) {
    if (std::memcmp(streams[p].data(), fill.data(), first * sizeof(float)) != 0 ||
        std::memcmp(streams[p].data() + after, fill.data(), (size - after) * sizeof(float)) != 0) {
      Fail("an output written outside the block");
    }
  }
}

void DispatchAction(Host& host, Bytes& in) {
  switch (in.Byte() % 8) {
    case 0:
      host.Dispatch(MOD_SET_SAMPLE_RATE, static_cast<int32_t>(in.Word()), 0, nullptr,
                    SampleRate(in));
      break;
    case 1:
      host.Dispatch(MOD_SET_BLOCK_SIZE, 0, static_cast<int32_t>(in.Word()), nullptr, 0.0f);
      break;
    case 2: {
      SEPinProperties props{};
      const int32_t index = static_cast<int32_t>(in.Byte()) - 4;
      const intptr_t answer = host.Dispatch(MOD_GET_PIN_PROPERTIES, index, 0, &props, 0.0f);
      if ((answer != 0) != (index >= 0 && index < kPins)) Fail("wrong answer to a pin description");
      break;
    }
    case 3:
      host.Dispatch(MOD_NOTIFY, static_cast<int32_t>(in.Word()), 0, nullptr, 0.0f);
      break;
    case 4:
      host.Dispatch(MOD_HOST_MESSAGE, static_cast<int32_t>(in.Word()),
                    static_cast<int32_t>(in.Word()), nullptr, 0.0f);
      break;
    case 5:
      if (host.Dispatch(MOD_GET_PROCESS_REF, 0, 0, nullptr, 0.0f) == 0)
        Fail("no process reference");
      break;
    default: {
      // Rejected and unknown opcodes.
      static const int32_t kOthers[] = {4, 5, 7, 9, 10, 11, 14, 15, 255, -1, 1000};
      const int32_t opcode = kOthers[in.Byte() % (sizeof kOthers / sizeof kOthers[0])];
      if (host.Dispatch(opcode, static_cast<int32_t>(in.Word()), static_cast<int32_t>(in.Word()),
                        nullptr, 0.0f) != 0) {
        Fail("an unknown opcode answered");
      }
      break;
    }
  }
}

void EventAction(Host& host, Bytes& in) {
  switch (in.Byte() % 4) {
    case 0:
      host.Event(EV_PIN_STATUS, in.Byte() % 3, 0, in.Byte() % kPins);
      break;
    case 1:
      host.Event(EV_VALUE, static_cast<int32_t>(in.Word()), static_cast<int16_t>(in.Word()), 0);
      break;
    case 2:
      host.Event(EV_CALL, 0, 0, reinterpret_cast<intptr_t>(&CalledByEvent));
      break;
    default:
      host.Event(static_cast<int32_t>(in.Byte()) + 3, static_cast<int32_t>(in.Word()), 0, 0);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool reporterSet = (SESetCheckReporter(&OnFailedCheck), true);
  (void)reporterSet;
  Bytes in(data, size);
  Host host;
  host.Dispatch(MOD_SET_SAMPLE_RATE, 0, 0, nullptr, SampleRate(in));
  host.Dispatch(MOD_OPEN, 0, 0, nullptr, 0.0f);
  int64_t budget = kSampleBudget;
  while (!in.done()) {
    const uint8_t action = in.Byte();
    switch (action % 16) {
      case 0:
      case 1:
        DispatchAction(host, in);
        break;
      case 2:
        EventAction(host, in);
        break;
      case 3:  // reopen, now and then at a new rate
        if (in.Byte() % 2 == 0) host.Dispatch(MOD_SET_SAMPLE_RATE, 0, 0, nullptr, SampleRate(in));
        host.Dispatch(MOD_OPEN, 0, 0, nullptr, 0.0f);
        break;
      case 4:  // close, then a new instance
        host.Make();
        host.Dispatch(MOD_SET_SAMPLE_RATE, 0, 0, nullptr, SampleRate(in));
        host.Dispatch(MOD_OPEN, 0, 0, nullptr, 0.0f);
        break;
      default:
        ProcessAction(host, in, budget);
        break;
    }
  }
  return 0;
}
