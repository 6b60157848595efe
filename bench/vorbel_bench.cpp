// vorbel-bench: the string model driven through the host library the way a host drives it,
// side by side with two plucked strings of the Synthesis ToolKit, in one program.
//
// Every case counts samples: items_per_second is samples per second, time_per_sample the
// time of one sample (CPU time, as every figure here), and rt_factor_48k how many seconds of 48 kHz
// audio one second of processing produces (for several instances: voice-seconds, the polyphony).
// The last argument of every case is the block size.
#include <benchmark/benchmark.h>
#include <stk/Plucked.h>
#include <stk/StifKarp.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/host_instance.h"
#include "host/module_library.h"
#include "host/render.h"

namespace {

constexpr float kSampleRate = 48000.0f;

// The controls of a ringing string: 440 Hz, the junction part-way open, both filters
// working, fed a little below unity gain. The resonator sits high (0.7 of Nyquist), where
// the damping takes away more than it adds, so the string stays stable.
struct Controls {
  float pStr = 0.5f;
  float pPos = 0.6f;
  float fPos = -0.3f;
  float iPos = 0.17f;
  float oPos = 0.3f;
  float feed = 0.99f;
  float fLpf = 0.5f;
  float peakF = 0.7f;
  float peakQ = 0.5f;
  float peakAmt = 0.2f;
  float oPos2 = 0.2f;
};

const vorbel::ModuleLibrary& Library() {
  static const std::unique_ptr<vorbel::ModuleLibrary> library = [] {
    std::string error;
    auto loaded = vorbel::ModuleLibrary::Load(vorbel::DefaultModulePath(), &error);
    if (!loaded) throw std::runtime_error(error);
    return loaded;
  }();
  return *library;
}

// One open instance with a block's worth of streams of its own.
class Voice {
 public:
  Voice(size_t block, const Controls& c) {
    std::string error;
    instance_ = vorbel::HostInstance::Create(Library(), &error);
    if (!instance_) throw std::runtime_error(error);
    instance_->SetSampleRate(kSampleRate);
    instance_->Open();
    streams_ = vorbel::StreamSet::ForInstance(*instance_, block);
    const std::pair<const char*, float> values[] = {
        {"p.str", c.pStr},   {"p.pos", c.pPos},       {"f.pos", c.fPos},   {"i.pos", c.iPos},
        {"o.pos", c.oPos},   {"feed", c.feed},        {"f.lpf", c.fLpf},   {"peak.f", c.peakF},
        {"peak.q", c.peakQ}, {"peak.amt", c.peakAmt}, {"o.pos2", c.oPos2}, {"in", 0.0f}};
    for (const auto& [name, value] : values) Stream(name).assign(block, value);
    for (size_t pin = 0; pin < streams_.streams.size(); ++pin) {
      if (!streams_[pin].empty()) instance_->SetStream(static_cast<int>(pin), streams_[pin].data());
    }
  }

  std::vector<float>& Stream(const char* name) {
    const int pin = instance_->PinIndex(name);
    if (pin < 0) throw std::runtime_error(std::string("no pin ") + name);
    return streams_[static_cast<size_t>(pin)];
  }

  void Process() { instance_->Process(0, static_cast<int32_t>(streams_.length())); }

  // Runs whole blocks for at least `seconds` of audio.
  void Run(double seconds) {
    const auto blocks = static_cast<int64_t>(seconds * kSampleRate / streams_.length()) + 1;
    for (int64_t b = 0; b < blocks; ++b) Process();
  }

 private:
  std::unique_ptr<vorbel::HostInstance> instance_;
  vorbel::StreamSet streams_;
};

void FillNoise(std::vector<float>& stream, float amplitude, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-amplitude, amplitude);
  for (float& x : stream) x = u(rng);
}

// A sine around `centre`; the streams that must change on every sample are checked.
void FillSine(std::vector<float>& stream, float centre, float depth, double cycles) {
  const double step = 2.0 * M_PI * cycles / static_cast<double>(stream.size());
  for (size_t i = 0; i < stream.size(); ++i) {
    stream[i] = centre + depth * static_cast<float>(std::sin(step * static_cast<double>(i)));
  }
}

bool ChangesEverySample(const std::vector<float>& stream) {
  for (size_t i = 0; i < stream.size(); ++i) {
    if (stream[i] == stream[(i + 1) % stream.size()]) return false;
  }
  return true;
}

// The loudest output sample of the last block; NaN if any sample is not finite.
float Peak(Voice& voice) {
  float peak = 0.0f;
  for (const char* name : {"out1", "out2"}) {
    for (float x : voice.Stream(name)) {
      if (!std::isfinite(x)) return NAN;
      peak = std::max(peak, std::fabs(x));
    }
  }
  return peak;
}

// Finite, audible and not growing out of bounds.
bool Ringing(Voice& voice) {
  const float peak = Peak(voice);
  return peak > 1e-3f && peak < 4.0f;
}

void CountSamples(benchmark::State& state, int64_t samplesPerIteration) {
  const double samples = static_cast<double>(state.iterations()) * samplesPerIteration;
  state.SetItemsProcessed(static_cast<int64_t>(samples));
  // Seconds per sample, shown with its prefix ("30.1ns").
  state.counters["time_per_sample"] =
      benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["rt_factor_48k"] =
      benchmark::Counter(samples / kSampleRate, benchmark::Counter::kIsRate);
}

// Runs the voice's blocks in the timed loop once it is in the state the case measures.
void TimeVoice(benchmark::State& state, Voice& voice, int64_t block) {
  for (auto _ : state) {
    voice.Process();
    benchmark::ClobberMemory();
  }
  CountSamples(state, block);
}

// Steady controls; "in" carries a little noise, so the string rings for as long as the
// case runs and every value stays far from the subnormal range.
void vorbel_steady(benchmark::State& state) {
  const auto block = static_cast<size_t>(state.range(0));
  Voice voice(block, Controls{});
  FillNoise(voice.Stream("in"), 0.05f, 1);
  voice.Run(2.0);
  if (!Ringing(voice)) {
    return state.SkipWithError(
        ("the string is not ringing: peak " + std::to_string(Peak(voice))).c_str());
  }
  TimeVoice(state, voice, state.range(0));
}
BENCHMARK(vorbel_steady)->Arg(1)->Arg(16)->Arg(64)->Arg(256)->Arg(1024)->Arg(4096);

// As vorbel_steady, in a host thread that set flush-to-zero and denormals-are-zero: the
// process entry clears them for each call and restores them after it (module/fp_env.h).
void vorbel_host_ftz_daz(benchmark::State& state) {
  const auto block = static_cast<size_t>(state.range(0));
  Voice voice(block, Controls{});
  FillNoise(voice.Stream("in"), 0.05f, 1);
  voice.Run(2.0);
  const unsigned int own = _mm_getcsr();
  _mm_setcsr(own | 0x8040u);  // FTZ | DAZ
  TimeVoice(state, voice, state.range(0));
  _mm_setcsr(own);
}
BENCHMARK(vorbel_host_ftz_daz)->Arg(1)->Arg(64)->Arg(256);

// "p.str" and "p.pos" move on every sample: two pow calls per sample.
void vorbel_pitch_mod(benchmark::State& state) {
  const auto block = static_cast<size_t>(state.range(0));
  Voice voice(block, Controls{});
  FillNoise(voice.Stream("in"), 0.05f, 2);
  FillSine(voice.Stream("p.str"), 0.5f, 0.01f, 3);
  FillSine(voice.Stream("p.pos"), 0.6f, 0.02f, 5);
  if (!ChangesEverySample(voice.Stream("p.str")) || !ChangesEverySample(voice.Stream("p.pos"))) {
    return state.SkipWithError("a pitch stream holds still");
  }
  voice.Run(2.0);
  if (!Ringing(voice)) {
    return state.SkipWithError(
        ("the string is not ringing: peak " + std::to_string(Peak(voice))).c_str());
  }
  TimeVoice(state, voice, state.range(0));
}
BENCHMARK(vorbel_pitch_mod)->Arg(256);

// "peak.f" moves on every sample: a cos per sample.
void vorbel_peak_mod(benchmark::State& state) {
  const auto block = static_cast<size_t>(state.range(0));
  Voice voice(block, Controls{});
  FillNoise(voice.Stream("in"), 0.05f, 3);
  FillSine(voice.Stream("peak.f"), 0.75f, 0.05f, 2);
  if (!ChangesEverySample(voice.Stream("peak.f"))) {
    return state.SkipWithError("the peak.f stream holds still");
  }
  voice.Run(2.0);
  if (!Ringing(voice)) {
    return state.SkipWithError(
        ("the string is not ringing: peak " + std::to_string(Peak(voice))).c_str());
  }
  TimeVoice(state, voice, state.range(0));
}
BENCHMARK(vorbel_peak_mod)->Arg(256);

// K voices of a chord, each with its own lines (192 KiB) and streams, processed in turn.
void vorbel_instances(benchmark::State& state) {
  const auto block = static_cast<size_t>(state.range(0));
  const auto count = static_cast<size_t>(state.range(1));
  std::vector<std::unique_ptr<Voice>> voices;
  for (size_t k = 0; k < count; ++k) {
    Controls c;
    c.pStr = 0.4f + 0.2f * static_cast<float>(k % 24) / 24.0f;  // two octaves of semitones
    c.pPos = c.pStr + 0.1f;
    voices.push_back(std::make_unique<Voice>(block, c));
    FillNoise(voices.back()->Stream("in"), 0.05f, static_cast<uint32_t>(100 + k));
  }
  for (auto& voice : voices) {
    voice->Run(0.05);
    if (!Ringing(*voice)) return state.SkipWithError("a string is not ringing");
  }
  for (auto _ : state) {
    for (auto& voice : voices) voice->Process();
    benchmark::ClobberMemory();
  }
  CountSamples(state, state.range(0) * state.range(1));
}
BENCHMARK(vorbel_instances)->Args({256, 1})->Args({256, 16})->Args({256, 256});

// A pluck, then silence until the string has died away completely: the tail where a
// subnormal slow-down would show.
void vorbel_tail(benchmark::State& state) {
  const auto block = static_cast<size_t>(state.range(0));
  Voice voice(block, Controls{});
  std::vector<float>& in = voice.Stream("in");
  FillNoise(in, 0.5f, 4);
  voice.Process();
  std::fill(in.begin(), in.end(), 0.0f);
  voice.Run(10.0);
  // Below -400 dB what is left is the flush's dead band: tiny values that go round and
  // round, or exact zeros.
  if (!(Peak(voice) < 1e-20f)) return state.SkipWithError("the pluck has not died away");
  TimeVoice(state, voice, state.range(0));
  if (!(Peak(voice) < 1e-20f)) state.SkipWithError("the tail came back to life");
}
BENCHMARK(vorbel_tail)->Arg(256);

// The ToolKit's strings, plucked at 440 Hz and plucked again every second of audio so
// that they ring throughout, ticking blocks of the same size into a frame buffer.
template <typename Instrument>
void TimeToolKit(benchmark::State& state) {
  stk::Stk::setSampleRate(kSampleRate);
  const auto block = static_cast<unsigned>(state.range(0));
  Instrument string;
  stk::StkFrames frames(block, 1);
  const int64_t blocksPerPluck = static_cast<int64_t>(kSampleRate) / block + 1;
  int64_t sincePluck = blocksPerPluck;
  for (auto _ : state) {
    if (++sincePluck >= blocksPerPluck) {
      string.noteOn(440.0, 0.8);
      sincePluck = 0;
    }
    string.tick(frames);
    benchmark::DoNotOptimize(frames[0]);
    benchmark::ClobberMemory();
  }
  CountSamples(state, state.range(0));
}

void stk_stifkarp(benchmark::State& state) { TimeToolKit<stk::StifKarp>(state); }
BENCHMARK(stk_stifkarp)->Arg(256);

void stk_plucked(benchmark::State& state) { TimeToolKit<stk::Plucked>(state); }
BENCHMARK(stk_plucked)->Arg(256);

}  // namespace

BENCHMARK_MAIN();
