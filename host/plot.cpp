#include "host/plot.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

extern char** environ;

namespace vorbel {

namespace {

constexpr const char* kColours[2] = {"#1f5fa8", "#d2691e"};
constexpr const char* kPrimaryMark = "#2e8b57";
constexpr const char* kSecondaryMark = "#8e44ad";
constexpr double kLowestFrequency = 20.0;
constexpr double kFloorAmplitude = 1e-10;  // -200 dB: what silence is drawn at

// A text as a gnuplot double-quoted string (line breaks allowed).
std::string Quoted(const std::string& text) {
  std::string result = "\"";
  for (char c : text) {
    if (c == '\n') {
      result += "\\n";
      continue;
    }
    if (c == '"' || c == '\\') result += '\\';
    result += c;
  }
  return result + "\"";
}

std::string Number(double value) {
  char buffer[40];
  std::snprintf(buffer, sizeof(buffer), "%.7g", value);
  return buffer;
}

double Decibels(double amplitude) {
  return 20.0 * std::log10(std::max(amplitude, kFloorAmplitude));
}

// A temporary file for gnuplot's script or messages; removed when it goes.
class ScratchFile {
 public:
  ScratchFile() {
    const char* folder = std::getenv("TMPDIR");
    std::string pattern = std::string(folder && *folder ? folder : "/tmp") + "/vorbel-plot.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int fd = mkstemp(buffer.data());
    if (fd >= 0) {
      close(fd);
      path_ = buffer.data();
    }
  }
  ~ScratchFile() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  const std::string& path() const { return path_; }
  bool ok() const { return !path_.empty(); }

 private:
  std::string path_;
};

bool FindOnPath(const char* program, std::string* found) {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    if (folder.empty()) folder = ".";
    const std::string candidate = folder + "/" + program;
    struct stat st {};
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      *found = candidate;
      return true;
    }
  }
  return false;
}

void WriteWaveBlock(std::ostream& out, const std::string& name, const WaveformEnvelope& wave,
                    double sampleRate) {
  out << "$" << name << " << EOD\n";
  const std::vector<float>& low = wave.low();
  const std::vector<float>& high = wave.high();
  if (wave.exact()) {
    for (size_t i = 0; i < low.size(); ++i) {
      out << Number(static_cast<double>(i) / sampleRate) << ' ' << Number(low[i]) << '\n';
    }
  } else {
    for (size_t c = 0; c < low.size(); ++c) {
      const double t = static_cast<double>(wave.ColumnStart(c)) / sampleRate;
      out << Number(t) << ' ' << Number(low[c]) << ' ' << Number(high[c]) << '\n';
    }
  }
  out << "EOD\n";
}

// Bins thinned onto a logarithmic frequency axis: each bin on its own where bins are
// sparse, the loudest bin of each stretch where many share a pixel.
void WriteSpectrumBlock(std::ostream& out, const std::string& name,
                        const std::vector<double>& spectrum, double binWidth, double nyquist) {
  constexpr int kPoints = 2400;
  const double logSpan = std::log(nyquist / kLowestFrequency);
  out << "$" << name << " << EOD\n";
  int bucket = -1;
  size_t best = 0;
  auto flush = [&] {
    if (bucket >= 0) {
      out << Number(static_cast<double>(best) * binWidth) << ' ' << Number(Decibels(spectrum[best]))
          << '\n';
    }
  };
  for (size_t k = 1; k < spectrum.size(); ++k) {
    const double f = static_cast<double>(k) * binWidth;
    if (f < kLowestFrequency) continue;
    const int at = static_cast<int>(std::log(f / kLowestFrequency) / logSpan * kPoints);
    if (at != bucket) {
      flush();
      bucket = at;
      best = k;
    } else if (spectrum[k] > spectrum[best]) {
      best = k;
    }
  }
  flush();
  out << "EOD\n";
}

void SetPanelMargins(std::ostream& out, double top, double bottom) {
  out << "set lmargin at screen 0.085\nset rmargin at screen 0.975\n"
      << "set tmargin at screen " << top << "\nset bmargin at screen " << bottom << "\n";
}

std::string Script(const PlotInput& input, const std::string& pngPath) {
  std::ostringstream s;
  const double rate = input.sampleRate;
  const double nyquist = rate / 2.0;
  const double duration =
      input.waves[0] ? static_cast<double>(input.waves[0]->frames()) / rate : 0.0;

  s << "if (strstrt(GPVAL_TERMINALS, 'pngcairo') > 0) {\n"
    << "  set terminal pngcairo size 1400,1000 noenhanced font 'DejaVu Sans,11' "
       "background rgb 'white'\n"
    << "} else {\n"
    << "  set terminal png size 1400,1000 noenhanced background rgb 'white'\n"
    << "}\n"
    << "set output " << Quoted(pngPath) << "\n"
    << "set encoding utf8\n";

  double peak = 0.0;
  for (int ch = 0; ch < 2; ++ch) {
    if (!input.waves[ch]) continue;
    WriteWaveBlock(s, "wave" + std::to_string(ch), *input.waves[ch], rate);
    for (float v : input.waves[ch]->low()) peak = std::max(peak, std::fabs(double{v}));
    for (float v : input.waves[ch]->high()) peak = std::max(peak, std::fabs(double{v}));
  }
  const double binWidth = input.segment > 0 ? rate / static_cast<double>(input.segment) : 1.0;
  double topDb = -200.0;
  for (int ch = 0; ch < 2; ++ch) {
    if (input.spectra[ch].empty()) continue;
    WriteSpectrumBlock(s, "spectrum" + std::to_string(ch), input.spectra[ch], binWidth, nyquist);
    for (size_t k = 1; k < input.spectra[ch].size(); ++k) {
      topDb = std::max(topDb, Decibels(input.spectra[ch][k]));
    }
  }

  s << "set multiplot title " << Quoted(input.title + "\n" + input.subtitle) << " font ',13'\n"
    << "set border lw 1 lc rgb '#555555'\n"
    << "set grid xtics ytics lc rgb '#dddddd' lw 1 dt 1\n"
    << "set key top right opaque box lc rgb '#cccccc'\n";

  // Waveforms: one panel per output, on the same level scale.
  const double range = peak > 0.0 ? peak * 1.1 : 1.0;
  const double panels[2][2] = {{0.895, 0.695}, {0.665, 0.465}};
  for (int ch = 0; ch < 2; ++ch) {
    if (!input.waves[ch]) continue;
    SetPanelMargins(s, panels[ch][0], panels[ch][1]);
    s << "set xrange [0:" << Number(duration > 0 ? duration : 1.0) << "]\n"
      << "set yrange [" << Number(-range) << ":" << Number(range) << "]\n"
      << "set ytics format '%g'\n"
      << "set ylabel " << Quoted(input.channelNames[ch]) << "\n";
    s << "unset object\n";
    if (input.analysisEnd > input.analysisStart) {
      s << "set object 1 rect from " << Number(input.analysisStart) << ", graph 0 to "
        << Number(input.analysisEnd) << ", graph 1 back fc rgb '#eef3ea' fs solid 1.0 noborder\n";
    }
    if (ch == 0) {
      int label = 100;
      for (const auto& [time, text] : input.markers) {
        s << "set label " << label++ << " " << Quoted(text) << " at " << Number(time)
          << ", graph 1.05 left font ',9' tc rgb '#444444'\n";
      }
      s << "set format x ''\nunset xlabel\n";
    } else {
      s << "unset label\nset format x '%g'\nset xlabel 'time (s)'\n";
    }
    const std::string colour = kColours[ch];
    const std::string title =
        Quoted(input.channelNames[ch] + (ch == 0 ? " (pickup 2)" : " (pickup 1)"));
    if (input.waves[ch]->exact()) {
      s << "plot $wave" << ch << " using 1:2 with lines lw 1.2 lc rgb '" << colour << "' title "
        << title << "\n";
    } else {
      s << "plot $wave" << ch << " using 1:2:3 with filledcurves fc rgb '" << colour
        << "' fs solid 0.9 noborder title " << title << "\n";
    }
  }

  // Spectrum with the harmonic series marked.
  SetPanelMargins(s, 0.375, 0.07);
  s << "unset object\nunset label\n";
  const double top = std::ceil((topDb + 6.0) / 10.0) * 10.0;
  s << "set logscale x 10\n"
    << "set xrange [" << Number(kLowestFrequency) << ":" << Number(nyquist) << "]\n"
    << "set yrange [" << Number(top - 100.0) << ":" << Number(top) << "]\n"
    << "set format x '%g'\nset xtics (20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000)\n"
    << "set mxtics 10\nset grid mxtics lc rgb '#eeeeee'\n"
    << "set xlabel 'frequency (Hz)'\nset ylabel 'level (dB re full scale)'\n"
    << "set label 1 " << Quoted(input.spectrumCaption)
    << " at graph 0.01, graph 0.94 left font ',10' tc rgb '#444444'\n";
  // Marks up to the harmonic where neighbours would crowd on the logarithmic axis; the
  // first few are numbered along the top.
  int arrow = 1;
  int label = 10;
  for (const HarmonicSeries& series : input.series) {
    const int count = series.primary ? 20 : 12;
    const char* colour = series.primary ? kPrimaryMark : kSecondaryMark;
    for (int k = 1; k <= count; ++k) {
      const double f = series.fundamental * k;
      if (f >= nyquist || f < kLowestFrequency) continue;
      s << "set arrow " << arrow++ << " from " << Number(f) << ", graph 0 to " << Number(f)
        << ", graph 1 nohead back lw " << (k == 1 ? "1.8" : "1") << " lc rgb '" << colour << "' dt "
        << (series.primary ? 2 : 3) << "\n";
      if (k <= 8) {
        s << "set label " << label++ << " '" << k << "' at " << Number(f) << ", graph "
          << (series.primary ? "1.03" : "0.04") << " center font ',9' tc rgb '" << colour << "'\n";
      }
    }
  }
  s << "plot ";
  bool first = true;
  for (int ch = 0; ch < 2; ++ch) {
    if (input.spectra[ch].empty()) continue;
    s << (first ? "" : ", ") << "$spectrum" << ch << " using 1:2 with lines lw 1.1 lc rgb '"
      << kColours[ch] << "' title " << Quoted(input.channelNames[ch]);
    first = false;
  }
  for (const HarmonicSeries& series : input.series) {
    s << (first ? "" : ", ") << "NaN with lines lw 1.6 dt " << (series.primary ? 2 : 3)
      << " lc rgb '" << (series.primary ? kPrimaryMark : kSecondaryMark) << "' title "
      << Quoted(series.label);
    first = false;
  }
  s << "\nunset multiplot\nset output\n";
  return s.str();
}

}  // namespace

WaveformEnvelope::WaveformEnvelope(int64_t frames, size_t columns)
    : frames_(frames), columns_(columns), exact_(frames <= static_cast<int64_t>(columns) * 2) {
  const size_t size = exact_ ? static_cast<size_t>(frames) : columns;
  low_.assign(size, 0.0f);
  high_.assign(size, 0.0f);
}

int64_t WaveformEnvelope::ColumnStart(size_t c) const {
  return static_cast<int64_t>(c) * frames_ / static_cast<int64_t>(columns_);
}

void WaveformEnvelope::Add(const float* samples, size_t count) {
  for (size_t i = 0; i < count; ++i, ++position_) {
    if (position_ >= frames_) return;
    const float v = samples[i];
    if (exact_) {
      low_[static_cast<size_t>(position_)] = high_[static_cast<size_t>(position_)] = v;
      continue;
    }
    const size_t c = static_cast<size_t>(position_ * static_cast<int64_t>(columns_) / frames_);
    if (position_ == ColumnStart(c)) {
      low_[c] = high_[c] = v;
    } else {
      low_[c] = std::min(low_[c], v);
      high_[c] = std::max(high_[c], v);
    }
  }
}

bool GnuplotAvailable(std::string* error) {
  std::string found;
  if (FindOnPath("gnuplot", &found)) return true;
  *error = "cannot draw the plot: no gnuplot program found (Debian package gnuplot-nox)";
  return false;
}

bool DrawPlot(const PlotInput& input, const std::string& pngPath, std::string* error) {
  std::string gnuplot;
  if (!FindOnPath("gnuplot", &gnuplot)) return GnuplotAvailable(error);
  ScratchFile script;
  ScratchFile messages;
  if (!script.ok() || !messages.ok()) {
    *error = std::string("cannot draw the plot: no temporary file: ") + std::strerror(errno);
    return false;
  }
  {
    std::ofstream out(script.path());
    out << Script(input, pngPath);
    if (!out) {
      *error = "cannot draw the plot: cannot write its script to " + script.path();
      return false;
    }
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, messages.path().c_str(), O_WRONLY | O_TRUNC, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::string scriptPath = script.path();
  char* argv[] = {const_cast<char*>("gnuplot"), scriptPath.data(), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, gnuplot.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    *error = "cannot draw the plot: cannot start " + gnuplot + ": " + std::strerror(spawned);
    return false;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  struct stat st {};
  const bool drawn = stat(pngPath.c_str(), &st) == 0 && st.st_size > 0;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && drawn) return true;

  // gnuplot's own complaint: its last non-empty line.
  std::ifstream in(messages.path());
  std::string line;
  std::string last;
  while (std::getline(in, line)) {
    if (line.find_first_not_of(" \t^") != std::string::npos) last = line;
  }
  *error = "cannot draw the plot: gnuplot " +
           (last.empty() ? std::string("failed without a message") : "said: " + last);
  return false;
}

std::string NoteName(double frequency) {
  static const char* const kNames[12] = {"C",  "C#", "D",  "D#", "E",  "F",
                                         "F#", "G",  "G#", "A",  "A#", "B"};
  if (!(frequency > 0.0) || !std::isfinite(frequency)) return "?";
  const double midi = 69.0 + 12.0 * std::log2(frequency / 440.0);
  const long nearest = std::lround(midi);
  const int cents = static_cast<int>(std::lround((midi - static_cast<double>(nearest)) * 100.0));
  const int index = static_cast<int>(((nearest % 12) + 12) % 12);
  const long octave = (nearest - index) / 12 - 1;
  std::string name = std::string(kNames[index]) + std::to_string(octave);
  if (cents != 0) name += (cents > 0 ? " +" : " ") + std::to_string(cents) + "c";
  return name;
}

}  // namespace vorbel
