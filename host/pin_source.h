// Where the render tool takes each input pin's stream from: a constant, a straight ramp
// over the render, the samples of an audio file, or steps at given samples (a score's
// pitches). Streams are produced one block at a time.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vorbel {

class PinSource {
 public:
  PinSource() = default;
  static PinSource Constant(float value);
  // From `from` at sample 0 to `to` at sample length - 1, in a straight line.
  static PinSource Ramp(float from, float to, int64_t length);
  // The samples, then `after` once they run out.
  static PinSource Samples(std::vector<float> samples, float after);
  // `initial`, then each step's value from its sample on (steps sorted by sample).
  static PinSource Steps(float initial, std::vector<std::pair<int64_t, float>> steps);

  // Writes the values of samples start .. start + count - 1.
  void Fill(int64_t start, size_t count, float* out) const;
  float ValueAt(int64_t sample) const;
  bool IsConstant() const { return kind_ == Kind::kConstant; }
  bool IsSteps() const { return kind_ == Kind::kSteps; }
  // The sample of the first step after `sample`, or -1 when nothing changes after it; for
  // ramps and files (which may change on every sample) the next sample.
  int64_t NextChangeAfter(int64_t sample) const;
  // How the stream was given, for messages: "0.3", "0.1..0.9", "file", "score".
  const std::string& description() const { return description_; }

 private:
  enum class Kind { kConstant, kRamp, kSamples, kSteps };
  Kind kind_ = Kind::kConstant;
  float value_ = 0.0f;  // constant, initial step, or the value after the samples
  float to_ = 0.0f;
  int64_t length_ = 1;
  std::vector<float> samples_;
  std::vector<std::pair<int64_t, float>> steps_;
  std::string description_ = "0";
};

// How the command line gives a pin's stream: "VALUE", "A..B" or an audio file path.
// Returns the number(s) for the first two; a text that is neither is taken as a path.
struct PinValueText {
  enum class Kind { kConstant, kRamp, kFile } kind;
  float from = 0.0f;
  float to = 0.0f;
  std::string path;
};
PinValueText ParsePinValueText(const std::string& text);

// A finite number filling the whole text (leading and trailing blanks are not allowed).
bool ParseFiniteNumber(const std::string& text, double* value);

}  // namespace vorbel
