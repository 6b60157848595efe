#include "host/render_command.h"

#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/audio_file.h"
#include "host/host_instance.h"
#include "host/module_library.h"
#include "host/pending_file.h"
#include "host/pin_source.h"
#include "host/plot.h"
#include "host/presets.h"
#include "host/progress.h"
#include "host/render.h"
#include "host/score.h"
#include "host/spectrum.h"
#include "module/string_dsp.h"

namespace vorbel {

namespace {

constexpr double kMaxSeconds = 3600.0;
constexpr double kTailSeconds = 3.0;     // what follows the last excitation by default
constexpr double kMinSeconds = 2.0;      // the shortest default length
constexpr double kPluckSeconds = 0.004;  // the noise burst of a pluck
constexpr double kDefaultPluckAmplitude = 0.4;
constexpr double kMaxAnalysisSeconds = 8.0;
constexpr size_t kPlotColumns = 1600;

struct RenderOptions {
  std::string output;
  std::string modulePath;
  std::string preset;
  bool listPresets = false;
  std::vector<std::string> sets;
  std::vector<std::string> impulses;
  std::vector<std::string> plucks;
  std::vector<std::string> notes;
  std::string score;
  std::string length;
  int rate = 44100;
  int block = 256;
  std::string format = "float";
  std::string plot;
  uint32_t seed = 1;
};

// Thrown for any refusal or failure: one line for the user, exit code 1.
struct Refusal {
  std::string message;
  int exitCode = 1;
};

std::atomic<int> g_signal{0};

extern "C" void OnSignal(int signal) {
  if (g_signal.exchange(signal) != 0) {
    // A second interruption: give up at once, but leave no partial file behind.
    RemovePendingFilesNow();
    _exit(128 + signal);
  }
}

class SignalGuard {
 public:
  SignalGuard() {
    g_signal = 0;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(kSignals); ++i) {
      sigaction(kSignals[i], &action, &old_[i]);
      // A signal the caller chose to ignore (nohup, a background job) stays ignored.
      if (old_[i].sa_handler == SIG_IGN) sigaction(kSignals[i], &old_[i], nullptr);
    }
  }
  ~SignalGuard() {
    for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &old_[i], nullptr);
  }
  SignalGuard(const SignalGuard&) = delete;
  SignalGuard& operator=(const SignalGuard&) = delete;

 private:
  static constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction old_[3]{};
};

std::string Format(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), format, value);
  return buffer;
}

std::string Decibels(double peak) {
  if (!(peak > 0.0)) return "silent";
  return Format("%+.1f dBFS", 20.0 * std::log10(peak));
}

// The pitches the string model's geometry gives: the whole string (the fundamental that
// "p.str" selects, half a period being the full length) and segment B alone (what sounds
// when the junction reflects).
struct StringPitches {
  double whole = 0.0;
  double segmentB = 0.0;
};

StringPitches PitchesOf(float sampleRate, float pStr, float pPos, float fLpf) {
  float full = PitchLength(sampleRate, pStr);
  if (!(full >= kMinFullLength)) {
    full = static_cast<float>(kMinFullLength);
  } else if (full > kMaxFullLength) {
    full = static_cast<float>(kMaxFullLength);
  }
  float lenB = PitchLength(sampleRate, pPos);
  lenB = static_cast<float>(
      (static_cast<double>(fLpf) * kLenFactorSlope + static_cast<double>(kLenFactorBase)) *
      static_cast<double>(lenB));
  if (!(static_cast<double>(full) - 1.0 >= lenB)) lenB = static_cast<float>(full - 1.0);
  StringPitches pitches;
  pitches.whole = sampleRate / (2.0 * full);
  pitches.segmentB = lenB > 0.0f ? sampleRate / (2.0 * lenB) : 0.0;
  return pitches;
}

std::string InputPinNames(const std::vector<PinInfo>& pins) {
  std::string names;
  for (const PinInfo& pin : pins) {
    if (pin.direction != DR_IN || pin.datatype != DT_STREAM) continue;
    names += (names.empty() ? "" : ", ") + pin.name;
  }
  return names;
}

// Everything the render needs, checked before anything is written.
struct Plan {
  std::unique_ptr<ModuleLibrary> library;
  std::unique_ptr<HostInstance> instance;
  std::vector<int> inputPins;        // stream inputs, by index
  std::map<int, PinSource> sources;  // by pin index
  int inPin = -1;
  int out1 = -1;
  int out2 = -1;
  int pStr = -1;
  std::vector<Excitation> excitations;
  int64_t frames = 0;
  SampleFormat format = SampleFormat::kFloat;
  const Preset* preset = nullptr;
  bool excitationAdded = false;  // no excitation was given: one pluck at 0 was added
};

int PinNamed(const std::vector<PinInfo>& pins, const std::string& name) {
  for (const PinInfo& pin : pins) {
    if (pin.name == name) return pin.index;
  }
  return -1;
}

void LoadModule(const RenderOptions& options, Plan& plan) {
  const std::string path = options.modulePath.empty() ? DefaultModulePath() : options.modulePath;
  std::string error;
  plan.library = ModuleLibrary::Load(path, &error);
  if (!plan.library) throw Refusal{error};
  plan.instance = HostInstance::Create(*plan.library, &error);
  if (!plan.instance) throw Refusal{error};
  const std::vector<PinInfo>& pins = plan.instance->Pins();
  for (const PinInfo& pin : pins) {
    if (pin.datatype == DT_STREAM && pin.direction == DR_IN) {
      plan.inputPins.push_back(pin.index);
      plan.sources[pin.index] = PinSource::Constant(
          DefaultStreamValue(pin.defaultText ? pin.defaultText->c_str() : nullptr));
    }
  }
  plan.out1 = PinNamed(pins, "out1");
  plan.out2 = PinNamed(pins, "out2");
  for (int index : {plan.out1, plan.out2}) {
    if (index < 0 || pins[static_cast<size_t>(index)].direction != DR_OUT ||
        pins[static_cast<size_t>(index)].datatype != DT_STREAM) {
      throw Refusal{"module library '" + path + "' has no output streams \"out1\" and \"out2\""};
    }
  }
  plan.inPin = PinNamed(pins, "in");
  plan.pStr = PinNamed(pins, "p.str");
}

// An input stream pin by name, or a refusal that lists the input pins.
int InputPin(const Plan& plan, const std::string& name, const std::string& context) {
  const std::vector<PinInfo>& pins = plan.instance->Pins();
  const int index = PinNamed(pins, name);
  if (index >= 0 &&
      std::find(plan.inputPins.begin(), plan.inputPins.end(), index) != plan.inputPins.end()) {
    return index;
  }
  const std::string what =
      index >= 0 ? "'" + name + "' is not an input pin" : "unknown pin '" + name + "'";
  throw Refusal{context + what + "; input pins: " + InputPinNames(pins)};
}

double SampleRate(const RenderOptions& options) { return static_cast<double>(options.rate); }

void ApplyPreset(const RenderOptions& options, Plan& plan) {
  if (options.preset.empty()) return;
  plan.preset = FindPreset(options.preset);
  if (plan.preset == nullptr) {
    throw Refusal{"unknown preset '" + options.preset + "'; presets: " + PresetNames()};
  }
  for (const PinSetting& setting : plan.preset->settings) {
    const int pin = InputPin(plan, setting.pin, "preset '" + plan.preset->name + "': ");
    plan.sources[pin] = PinSource::Constant(setting.value);
  }
}

struct PendingSet {
  int pin;
  PinValueText value;
  std::vector<float> samples;  // for files
};

// Reads every --set; files are read in full here, so that a bad one stops the render
// before anything is written. Ramps get their length once the render's length is known.
std::vector<PendingSet> ReadSets(const RenderOptions& options, Plan& plan, int64_t* longestFile) {
  std::vector<PendingSet> sets;
  std::map<int, std::string> seen;
  for (const std::string& text : options.sets) {
    const std::string::size_type equals = text.find('=');
    if (equals == std::string::npos || equals == 0) {
      throw Refusal{"--set needs NAME=VALUE, NAME=A..B or NAME=FILE, got '" + text + "'"};
    }
    const std::string name = text.substr(0, equals);
    const int pin = InputPin(plan, name, "--set " + text + ": ");
    if (seen.count(pin) != 0) {
      throw Refusal{"pin '" + name + "' is set twice (--set " + seen[pin] + " and --set " + text +
                    ")"};
    }
    seen[pin] = text;
    PendingSet set{pin, ParsePinValueText(text.substr(equals + 1)), {}};
    if (set.value.kind == PinValueText::Kind::kFile) {
      AudioChannel channel;
      std::string error;
      const std::string& path = set.value.path;
      if (access(path.c_str(), F_OK) != 0) {
        const bool numberLike =
            !path.empty() && (std::isdigit(static_cast<unsigned char>(path[0])) || path[0] == '-' ||
                              path[0] == '+' || path[0] == '.');
        throw Refusal{"--set " + text + ": " +
                      (numberLike ? "'" + path + "' is not a finite 32-bit number or a ramp A..B"
                                  : "no file '" + path +
                                        "' (expected a number, A..B or an "
                                        "audio file)")};
      }
      if (!ReadFirstChannel(path, &channel, &error)) throw Refusal{"--set " + text + ": " + error};
      if (channel.sampleRate != options.rate) {
        throw Refusal{"--set " + text + ": '" + set.value.path + "' is at " +
                      std::to_string(channel.sampleRate) + " Hz but the render runs at " +
                      std::to_string(options.rate) + " Hz (choose --rate " +
                      std::to_string(channel.sampleRate) + " or resample the file)"};
      }
      const auto bad = std::find_if(channel.samples.begin(), channel.samples.end(),
                                    [](float v) { return !std::isfinite(v); });
      if (bad != channel.samples.end()) {
        throw Refusal{"--set " + text + ": '" + path + "' holds a sample that is not a finite " +
                      "number (sample " + std::to_string(bad - channel.samples.begin()) + ")"};
      }
      if (channel.samples.empty()) {
        throw Refusal{"--set " + text + ": '" + set.value.path + "' holds no samples"};
      }
      set.samples = std::move(channel.samples);
      *longestFile = std::max<int64_t>(*longestFile, static_cast<int64_t>(set.samples.size()));
    }
    sets.push_back(std::move(set));
  }
  return sets;
}

void ReadExcitations(const RenderOptions& options, Plan& plan) {
  const double level = plan.preset ? plan.preset->pluckAmplitude : kDefaultPluckAmplitude;
  std::string error;
  auto add = [&](const std::vector<std::string>& texts, Excitation::Kind kind, bool withPitch,
                 double amplitude) {
    for (const std::string& text : texts) {
      Excitation excitation;
      if (!ParseExcitation(text, kind, withPitch, amplitude, &excitation, &error)) {
        throw Refusal{error};
      }
      plan.excitations.push_back(excitation);
    }
  };
  add(options.impulses, Excitation::Kind::kImpulse, false, 1.0);
  add(options.plucks, Excitation::Kind::kPluck, false, level);
  add(options.notes, Excitation::Kind::kPluck, true, level);
  if (!options.score.empty()) {
    const size_t before = plan.excitations.size();
    if (!ReadScore(options.score, level, &plan.excitations, &error)) throw Refusal{error};
    if (plan.excitations.size() == before) {
      throw Refusal{"score '" + options.score + "' holds no notes"};
    }
  }
  if (plan.inPin < 0 && !plan.excitations.empty()) {
    throw Refusal{"the module has no input pin \"in\" for the excitations"};
  }
}

int64_t ParseLength(const RenderOptions& options) {
  if (options.length.empty()) return -1;
  TimeText time;
  const double rate = SampleRate(options);
  if (!ParseTime(options.length, &time) || time.Sample(rate) < 1 ||
      time.Seconds(rate) > kMaxSeconds) {
    throw Refusal{"--length " + options.length + ": expected a length above 0 and up to " +
                  Format("%.0f", kMaxSeconds) + " s (like 4, 4s, 500ms or 22050smp)"};
  }
  return time.Sample(rate);
}

Plan MakePlan(const RenderOptions& options) {
  if (options.rate < 1000 || options.rate > 768000) {
    throw Refusal{"--rate " + std::to_string(options.rate) +
                  ": choose a sample rate from 1000 to 768000 Hz"};
  }
  if (options.block < 1 || options.block > 65536) {
    throw Refusal{"--block " + std::to_string(options.block) + ": choose 1 to 65536 samples"};
  }
  Plan plan;
  if (!ParseSampleFormat(options.format, &plan.format)) {
    throw Refusal{"--format " + options.format + ": choose float, pcm24 or pcm16"};
  }
  if (!options.plot.empty()) {
    const std::string& p = options.plot;
    if (p.size() < 4 || p.compare(p.size() - 4, 4, ".png") != 0) {
      throw Refusal{"--plot " + p + ": the picture is a PNG file; name it *.png"};
    }
    std::string error;
    if (!GnuplotAvailable(&error)) throw Refusal{error};
  }
  const double rate = SampleRate(options);
  const int64_t givenLength = ParseLength(options);

  LoadModule(options, plan);
  ApplyPreset(options, plan);
  int64_t longestFile = 0;
  std::vector<PendingSet> sets = ReadSets(options, plan, &longestFile);
  ReadExcitations(options, plan);

  const bool inIsSet = std::any_of(sets.begin(), sets.end(),
                                   [&](const PendingSet& s) { return s.pin == plan.inPin; });
  if (plan.excitations.empty() && !inIsSet && plan.inPin >= 0) {
    Excitation pluck;
    pluck.amplitude = plan.preset ? plan.preset->pluckAmplitude : kDefaultPluckAmplitude;
    pluck.origin = "the default pluck at 0 s";
    plan.excitations.push_back(pluck);
    plan.excitationAdded = true;
  }

  // The length: as given, or long enough for every excitation and file, plus a tail.
  int64_t frames = givenLength;
  if (frames < 0) {
    double seconds = kMinSeconds;
    for (const Excitation& e : plan.excitations) {
      seconds = std::max(seconds, e.time.Seconds(rate) + kTailSeconds);
    }
    for (const PendingSet& set : sets) {
      const double fileSeconds = static_cast<double>(set.samples.size()) / rate;
      seconds = std::max(seconds, fileSeconds + (set.pin == plan.inPin ? kTailSeconds : 0.0));
    }
    if (seconds > kMaxSeconds) {
      throw Refusal{"the render would last " + Format("%.0f", seconds) + " s, longer than " +
                    Format("%.0f", kMaxSeconds) + " s"};
    }
    frames = static_cast<int64_t>(std::ceil(seconds * rate));
  }
  plan.frames = frames;
  for (const Excitation& e : plan.excitations) {
    if (e.time.Sample(rate) >= frames) {
      throw Refusal{e.origin + ": starts at " + Format("%.3f", e.time.Seconds(rate)) +
                    " s, after the render's end at " +
                    Format("%.3f", static_cast<double>(frames) / rate) + " s"};
    }
  }

  for (PendingSet& set : sets) {
    switch (set.value.kind) {
      case PinValueText::Kind::kConstant:
        plan.sources[set.pin] = PinSource::Constant(set.value.from);
        break;
      case PinValueText::Kind::kRamp:
        plan.sources[set.pin] = PinSource::Ramp(set.value.from, set.value.to, frames);
        break;
      case PinValueText::Kind::kFile:
        // After a file ends, the audio input falls silent; a control holds its last value.
        plan.sources[set.pin] = PinSource::Samples(
            std::move(set.samples), set.pin == plan.inPin ? 0.0f : set.samples.back());
        break;
    }
  }

  // Notes set "p.str" from their start on.
  std::vector<std::pair<int64_t, float>> steps;
  for (const Excitation& e : plan.excitations) {
    if (e.setsPitch) steps.emplace_back(e.time.Sample(rate), e.pitch);
  }
  if (!steps.empty()) {
    if (plan.pStr < 0) throw Refusal{"the module has no input pin \"p.str\" for the notes"};
    const PinSource& current = plan.sources[plan.pStr];
    if (!current.IsConstant()) {
      throw Refusal{
          "\"p.str\" is given by --set and by notes; the notes set it, so leave it "
          "out of --set or give it a single value"};
    }
    plan.sources[plan.pStr] = PinSource::Steps(current.ValueAt(0), std::move(steps));
  }
  return plan;
}

// What the picture shows of the spectrum: the stretch from the first sound on, until
// "p.str" next changes (a note) or the analysis limit.
struct AnalysisWindow {
  int64_t start = -1;
  int64_t end = -1;
  std::vector<float> samples[2];
};

void PrintPresets() {
  for (const Preset& preset : Presets()) {
    std::printf("%s: %s\n  ", preset.name.c_str(), preset.description.c_str());
    for (const PinSetting& setting : preset.settings) {
      std::printf(" %s=%g", setting.pin.c_str(), static_cast<double>(setting.value));
    }
    std::printf("  (pluck level %g)\n", preset.pluckAmplitude);
  }
}

int Render(const RenderOptions& options) {
  if (options.listPresets) {
    PrintPresets();
    return 0;
  }
  if (options.output.empty()) {
    throw Refusal{"render needs an output file, e.g. vorbel render out.wav --preset pluck"};
  }
  // From here on an interruption is caught, so that no temporary file outlives it.
  SignalGuard signals;
  Plan plan = MakePlan(options);
  const double rate = SampleRate(options);
  std::string error;

  // The files come into being under temporary names; nothing appears until the end.
  std::unique_ptr<AudioFileWriter> writer =
      AudioFileWriter::Create(options.output, options.rate, 2, plan.format, &error);
  if (!writer) throw Refusal{error};
  std::unique_ptr<PendingFile> plotFile;
  if (!options.plot.empty()) {
    plotFile = PendingFile::Create(options.plot, &error);
    if (!plotFile) throw Refusal{error};
  }

  HostInstance& instance = *plan.instance;
  instance.SetSampleRate(static_cast<float>(options.rate));
  instance.SetBlockSize(options.block);
  instance.Open();

  const size_t block = static_cast<size_t>(options.block);
  const std::vector<PinInfo>& pins = instance.Pins();
  std::vector<std::vector<float>> buffers(pins.size());
  for (int pin : plan.inputPins) buffers[static_cast<size_t>(pin)].assign(block, 0.0f);
  buffers[static_cast<size_t>(plan.out1)].assign(block, 0.0f);
  buffers[static_cast<size_t>(plan.out2)].assign(block, 0.0f);
  for (size_t pin = 0; pin < buffers.size(); ++pin) {
    if (!buffers[pin].empty()) instance.SetStream(static_cast<int>(pin), buffers[pin].data());
  }

  struct Placed {
    int64_t start;
    std::vector<float> samples;
  };
  std::vector<Placed> placed;
  const size_t pluckLength = static_cast<size_t>(std::max(1.0, std::round(kPluckSeconds * rate)));
  for (size_t i = 0; i < plan.excitations.size(); ++i) {
    const Excitation& e = plan.excitations[i];
    placed.push_back({e.time.Sample(rate),
                      ExcitationSamples(e, pluckLength, options.seed + static_cast<uint32_t>(i))});
  }

  std::optional<WaveformEnvelope> waves[2];
  AnalysisWindow analysis;
  const bool plotting = plotFile != nullptr;
  if (plotting) {
    for (auto& wave : waves) wave.emplace(plan.frames, kPlotColumns);
  }
  const int64_t analysisLimit = static_cast<int64_t>(kMaxAnalysisSeconds * rate);
  const PinSource* pitchSource = plan.pStr >= 0 ? &plan.sources[plan.pStr] : nullptr;

  double peak[2] = {0.0, 0.0};
  int64_t clipped = 0;
  std::vector<float> interleaved(block * 2);
  std::vector<double> excitation(block);
  ProgressBar progress(plan.frames, true);
  const auto started = std::chrono::steady_clock::now();

  for (int64_t position = 0; position < plan.frames;) {
    const size_t count =
        static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(block), plan.frames - position));
    for (int pin : plan.inputPins) {
      plan.sources[pin].Fill(position, count, buffers[static_cast<size_t>(pin)].data());
    }
    if (plan.inPin >= 0 && !placed.empty()) {
      std::fill_n(excitation.begin(), count, 0.0);
      bool any = false;
      for (const Placed& p : placed) {
        const int64_t from = std::max(position, p.start);
        const int64_t to = std::min(position + static_cast<int64_t>(count),
                                    p.start + static_cast<int64_t>(p.samples.size()));
        for (int64_t s = from; s < to; ++s) {
          excitation[static_cast<size_t>(s - position)] +=
              p.samples[static_cast<size_t>(s - p.start)];
          any = true;
        }
      }
      if (any) {
        float* in = buffers[static_cast<size_t>(plan.inPin)].data();
        for (size_t i = 0; i < count; ++i) {
          in[i] = static_cast<float>(static_cast<double>(in[i]) + excitation[i]);
        }
      }
    }

    instance.Process(0, static_cast<int32_t>(count));

    const float* out[2] = {buffers[static_cast<size_t>(plan.out1)].data(),
                           buffers[static_cast<size_t>(plan.out2)].data()};
    for (size_t i = 0; i < count; ++i) {
      for (int ch = 0; ch < 2; ++ch) {
        const float v = out[ch][i];
        if (!std::isfinite(v)) {
          throw Refusal{
              "the string became unstable: " + pins[ch == 0 ? plan.out1 : plan.out2].name +
              " is not a finite number from " +
              Format("%.3f", static_cast<double>(position + static_cast<int64_t>(i)) / rate) +
              " s on (lower \"feed\", \"peak.q\" or \"peak.amt\"); nothing written"};
        }
        const double magnitude = std::fabs(static_cast<double>(v));
        peak[ch] = std::max(peak[ch], magnitude);
        if (magnitude > 1.0 && plan.format != SampleFormat::kFloat) ++clipped;
        interleaved[i * 2 + static_cast<size_t>(ch)] = v;
      }
      if (plotting) {
        const int64_t sample = position + static_cast<int64_t>(i);
        if (analysis.start < 0 && (out[0][i] != 0.0f || out[1][i] != 0.0f)) {
          analysis.start = sample;
          const int64_t change = pitchSource ? pitchSource->NextChangeAfter(sample) : -1;
          analysis.end = std::min(plan.frames, sample + analysisLimit);
          if (change > sample && pitchSource->IsSteps()) {
            analysis.end = std::min(analysis.end, change);
          }
        }
        if (analysis.start >= 0 && sample < analysis.end) {
          analysis.samples[0].push_back(out[0][i]);
          analysis.samples[1].push_back(out[1][i]);
        }
      }
    }
    if (plotting) {
      waves[0]->Add(out[0], count);
      waves[1]->Add(out[1], count);
    }
    if (!writer->Write(interleaved.data(), count, &error)) throw Refusal{error};
    position += static_cast<int64_t>(count);
    progress.Update(position);
    if (g_signal != 0) throw Refusal{"interrupted; nothing written", 128 + g_signal.load()};
  }
  const double renderSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  progress.Finish();

  if (plotting) {
    PlotInput input;
    std::string settings = plan.preset ? "preset " + plan.preset->name : "no preset";
    for (const std::string& set : options.sets) settings += ", " + set;
    if (!options.score.empty()) settings += ", score " + options.score;
    if (settings.size() > 120) settings = settings.substr(0, 117) + "...";
    input.title = "vorbel: " + options.output;
    input.subtitle = Format("%.0f Hz", rate) + ", " +
                     Format("%.2f s", static_cast<double>(plan.frames) / rate) + ", " + settings;
    input.sampleRate = rate;
    input.waves[0] = &*waves[0];
    input.waves[1] = &*waves[1];
    input.channelNames[0] = pins[static_cast<size_t>(plan.out1)].name;
    input.channelNames[1] = pins[static_cast<size_t>(plan.out2)].name;
    for (const Excitation& e : plan.excitations) {
      if (!e.setsPitch) continue;
      char pitch[16];
      std::snprintf(pitch, sizeof(pitch), "%.4g", static_cast<double>(e.pitch));
      const double f = PitchesOf(static_cast<float>(rate), e.pitch, 0.0f, 1.0f).whole;
      input.markers.emplace_back(e.time.Seconds(rate), NoteName(f));
    }
    if (analysis.start >= 0) {
      input.analysisStart = static_cast<double>(analysis.start) / rate;
      input.analysisEnd = static_cast<double>(analysis.end) / rate;
      const size_t count = analysis.samples[0].size();
      input.segment = SegmentLengthFor(count, 4096, 65536);
      for (int ch = 0; ch < 2; ++ch) {
        input.spectra[ch] =
            AveragedMagnitudeSpectrum(analysis.samples[ch].data(), count, input.segment);
      }
      auto valueOf = [&](const char* name) {
        const int pin = PinNamed(pins, name);
        return pin >= 0 ? plan.sources[pin].ValueAt(analysis.start) : 0.0f;
      };
      const float pStr = valueOf("p.str");
      const StringPitches pitches =
          PitchesOf(static_cast<float>(rate), pStr, valueOf("p.pos"), valueOf("f.lpf"));
      std::string caption = "spectrum of " +
                            Format("%.2f", static_cast<double>(analysis.start) / rate) + " to " +
                            Format("%.2f s", static_cast<double>(analysis.end) / rate);
      if (pitchSource && pitchSource->IsSteps() && analysis.end < plan.frames &&
          analysis.end - analysis.start < analysisLimit) {
        caption += " (the first note)";
      } else if (pitchSource && !pitchSource->IsConstant() && !pitchSource->IsSteps()) {
        caption += "; p.str moves, the marks show its value at " +
                   Format("%.2f s", static_cast<double>(analysis.start) / rate);
      }
      input.spectrumCaption = caption;
      input.series.push_back({pitches.whole,
                              "harmonics of p.str " + Format("%.4g", pStr) + ": " +
                                  Format("%.2f Hz", pitches.whole) + " (" +
                                  NoteName(pitches.whole) + ")",
                              true});
      if (valueOf("f.pos") < 0.0f && pitches.segmentB > 0.0) {
        input.series.push_back({pitches.segmentB,
                                "segment B alone: " + Format("%.2f Hz", pitches.segmentB) + " (" +
                                    NoteName(pitches.segmentB) + ")",
                                false});
      }
    } else {
      input.spectrumCaption = "no sound: nothing to analyse";
    }
    if (!DrawPlot(input, plotFile->tempPath(), &error) && g_signal == 0) throw Refusal{error};
    if (g_signal != 0) throw Refusal{"interrupted; nothing written", 128 + g_signal.load()};
  }

  if (!writer->Commit(&error)) throw Refusal{error};
  if (plotFile && !plotFile->Commit(&error)) throw Refusal{error};

  const double seconds = static_cast<double>(plan.frames) / rate;
  std::printf("%s: %.2f s, %d Hz, %s; peak %s %s, %s %s; %s real time%s%s\n",
              options.output.c_str(), seconds, options.rate, SampleFormatName(plan.format),
              pins[static_cast<size_t>(plan.out1)].name.c_str(), Decibels(peak[0]).c_str(),
              pins[static_cast<size_t>(plan.out2)].name.c_str(), Decibels(peak[1]).c_str(),
              renderSeconds > 0.0 ? Format("%.0fx", seconds / renderSeconds).c_str() : "fast",
              plotting ? "; plot " : "", plotting ? options.plot.c_str() : "");
  if (plan.excitationAdded) {
    std::fprintf(stderr, "vorbel: no excitation given: one pluck at 0 s\n");
  }
  if (clipped > 0) {
    std::fprintf(stderr, "vorbel: warning: %lld samples clipped at full scale (%s)\n",
                 static_cast<long long>(clipped), SampleFormatName(plan.format));
  } else if (std::max(peak[0], peak[1]) > 1.0) {
    std::fprintf(stderr,
                 "vorbel: warning: the peak exceeds full scale; players may clip it (lower the "
                 "excitation's level)\n");
  }
  if (peak[0] == 0.0 && peak[1] == 0.0) {
    const int feed = PinNamed(pins, "feed");
    if (feed >= 0 && plan.sources[feed].IsConstant() && plan.sources[feed].ValueAt(0) == 0.0f) {
      std::fprintf(stderr,
                   "vorbel: the render is silent: \"feed\" is 0; try --preset pluck or "
                   "--set feed=0.998\n");
    } else {
      std::fprintf(stderr, "vorbel: the render is silent\n");
    }
  }
  return 0;
}

}  // namespace

void AddRenderCommand(CLI::App& app, std::function<int()>& run) {
  auto options = std::make_shared<RenderOptions>();
  CLI::App* command =
      app.add_subcommand("render", "Render the module to an audio file (out1 left, out2 right)");
  command->add_option("output", options->output,
                      "Audio file to write (.wav, .aiff or .flac); written whole or not at all");
  command->add_option("--module", options->modulePath,
                      "Module library to load (default: vorbel.so beside this program)");
  command->add_option("--preset", options->preset, "Named settings: " + PresetNames());
  command->add_flag("--list-presets", options->listPresets, "Print the presets and exit");
  auto repeated = [&](const char* name, std::vector<std::string>& into, const char* help) {
    command->add_option(name, into, help)
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  };
  repeated("--set", options->sets,
           "NAME=VALUE holds an input pin at a stream value, NAME=A..B ramps it over the "
           "render, NAME=FILE streams it from an audio file's first channel (repeatable)");
  repeated("--impulse", options->impulses, "TIME[:AMP] a unit impulse into \"in\" (repeatable)");
  repeated("--pluck", options->plucks,
           "TIME[:AMP] a short seeded noise burst into \"in\" (repeatable)");
  repeated("--note", options->notes,
           "TIME:PITCH[:AMP] a pluck that sets \"p.str\" to PITCH (0.35, A2, C#3) (repeatable)");
  command->add_option("--score", options->score,
                      "File of notes, one per line: TIME PITCH [AMP]; # starts a comment");
  command->add_option("--seed", options->seed, "Seed of the plucks' noise (default 1)");
  command->add_option("--length", options->length,
                      "Length (4, 4s, 500ms, 22050smp; default: last excitation + 3 s, at "
                      "least 2 s)");
  command->add_option("--rate", options->rate, "Sample rate in Hz (default 44100)");
  command->add_option("--block", options->block, "Samples per process call (default 256)");
  command->add_option("--format", options->format,
                      "Sample format: float (default), pcm24 or pcm16 (clipped at full scale)");
  command->add_option("--plot", options->plot,
                      "Also draw the waveforms and spectrum into this PNG file");
  command->callback([&run, options] {
    run = [options] {
      try {
        return Render(*options);
      } catch (const Refusal& refusal) {
        std::fprintf(stderr, "vorbel: %s\n", refusal.message.c_str());
        return refusal.exitCode;
      }
    };
  });
}

}  // namespace vorbel
