// The render tool's picture: the waveform of both outputs over time and their magnitude
// spectrum with harmonic series marked, drawn by gnuplot into a PNG file.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vorbel {

// Gathers a channel's waveform while it is rendered: every sample for short renders, else
// the lowest and highest sample of each of `columns` equal stretches (as a wave editor
// draws it).
class WaveformEnvelope {
 public:
  WaveformEnvelope(int64_t frames, size_t columns);
  void Add(const float* samples, size_t count);

  bool exact() const { return exact_; }
  int64_t frames() const { return frames_; }
  // For exact(): one entry per sample in both; else one per column.
  const std::vector<float>& low() const { return low_; }
  const std::vector<float>& high() const { return high_; }
  // The first sample of column c.
  int64_t ColumnStart(size_t c) const;

 private:
  int64_t frames_;
  size_t columns_;
  bool exact_;
  int64_t position_ = 0;
  std::vector<float> low_;
  std::vector<float> high_;
};

struct HarmonicSeries {
  double fundamental;  // Hz
  std::string label;   // legend text
  bool primary;        // drawn stronger; the secondary series is dashed
};

struct PlotInput {
  std::string title;
  std::string subtitle;
  double sampleRate = 44100.0;
  const WaveformEnvelope* waves[2] = {nullptr, nullptr};
  std::string channelNames[2] = {"out1", "out2"};
  // Magnitude spectra (relative to full scale) of the analysed stretch, one per channel,
  // bin k at k * sampleRate / segment Hz.
  std::vector<double> spectra[2];
  size_t segment = 0;
  std::string spectrumCaption;
  std::vector<HarmonicSeries> series;
  // The analysed stretch, shaded on the waveforms (seconds; end <= start: none).
  double analysisStart = 0.0;
  double analysisEnd = 0.0;
  // Labels along the top of the waveforms, e.g. the notes of a score (seconds, text).
  std::vector<std::pair<double, std::string>> markers;
};

// True when a gnuplot program can be started; otherwise one line in *error.
bool GnuplotAvailable(std::string* error);

// Draws the picture into `pngPath` (which should be a temporary name; see PendingFile).
// False plus one line in *error when gnuplot fails.
bool DrawPlot(const PlotInput& input, const std::string& pngPath, std::string* error);

// The nearest equal-tempered note of a frequency with its offset, e.g. "A2" or "C#3 +12c".
std::string NoteName(double frequency);

}  // namespace vorbel
