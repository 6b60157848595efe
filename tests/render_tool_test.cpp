// The vorbel program's render command, end to end: run the built program, read back what
// it wrote with libsndfile, and check what a listener (or a module developer) would notice.
#include <dirent.h>
#include <fcntl.h>
#include <fftw3.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using ::testing::HasSubstr;

struct Result {
  int exitCode = -1;
  std::string out;
  std::string err;
};

struct Audio {
  int channels = 0;
  int rate = 0;
  int subtype = 0;
  std::vector<float> left;
  std::vector<float> right;
  size_t frames() const { return left.size(); }
};

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class RenderToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vorbel-render-test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const std::string& name : Files()) unlink((dir_ + "/" + name).c_str());
    for (const char* name : {".out", ".err"}) unlink((dir_ + "/" + name).c_str());
    rmdir(dir_.c_str());
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  // Every entry of the test folder but the captured output, hidden ones included.
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir_.c_str())) {
      while (dirent* entry = readdir(d)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && name != ".out" && name != ".err") names.push_back(name);
      }
      closedir(d);
    }
    return names;
  }

  // Starts the program with these arguments; stdout and stderr go to files in the folder.
  pid_t Start(const std::vector<std::string>& args, char** env = environ) {
    std::vector<std::string> all = {VORBEL_PROGRAM};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, Path(".out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, Path(".err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, VORBEL_PROGRAM, &actions, nullptr, argv.data(), env);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0);
    return pid;
  }

  Result Finish(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    Result result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = ReadText(Path(".out"));
    result.err = ReadText(Path(".err"));
    return result;
  }

  Result Run(const std::vector<std::string>& args) { return Finish(Start(args)); }

  // Renders into out.wav and reads it back; fails the test if the render fails.
  Audio Render(std::vector<std::string> args, const std::string& name = "out.wav") {
    args.insert(args.begin(), {"render", Path(name)});
    const Result result = Run(args);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return Read(Path(name));
  }

  static Audio Read(const std::string& path) {
    Audio audio;
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
      ADD_FAILURE() << "cannot read " << path << ": " << sf_strerror(nullptr);
      return audio;
    }
    audio.channels = info.channels;
    audio.rate = info.samplerate;
    audio.subtype = info.format & SF_FORMAT_SUBMASK;
    std::vector<float> frames(static_cast<size_t>(info.frames * info.channels));
    sf_readf_float(file, frames.data(), info.frames);
    sf_close(file);
    for (sf_count_t i = 0; i < info.frames && info.channels >= 2; ++i) {
      audio.left.push_back(frames[static_cast<size_t>(i * info.channels)]);
      audio.right.push_back(frames[static_cast<size_t>(i * info.channels + 1)]);
    }
    return audio;
  }

  std::string dir_;
};

// The stream values of the worked example of the string's geometry (with "in" left to
// the excitations).
const std::vector<std::string> kWorkedExample = {
    "--set",     "p.str=0.5", "--set",     "p.pos=0.6", "--set",      "f.lpf=1",   "--set",
    "i.pos=0.1", "--set",     "o.pos=0.3", "--set",     "o.pos2=0.2", "--set",     "feed=1",
    "--set",     "peak.f=0",  "--set",     "peak.q=0",  "--set",      "peak.amt=0"};

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

double Peak(const std::vector<float>& x, size_t from = 0, size_t to = SIZE_MAX) {
  double peak = 0.0;
  for (size_t i = from; i < std::min(to, x.size()); ++i)
    peak = std::max(peak, std::fabs(double{x[i]}));
  return peak;
}

double Rms(const std::vector<float>& x, size_t from, size_t to) {
  double sum = 0.0;
  for (size_t i = from; i < to; ++i) sum += double{x[i]} * double{x[i]};
  return std::sqrt(sum / static_cast<double>(to - from));
}

size_t FirstNonZero(const std::vector<float>& x) {
  for (size_t i = 0; i < x.size(); ++i) {
    if (x[i] != 0.0f) return i;
  }
  return x.size();
}

// The frequency of the strongest peak within half a semitone of `near`, from a Hann-windowed
// stretch zero-padded fourfold, refined by a parabola through the log magnitudes.
double PeakFrequency(const std::vector<float>& x, size_t start, double rate, double near) {
  const size_t n = 1 << 16;
  const size_t padded = n * 4;
  std::vector<double> in(padded, 0.0);
  for (size_t i = 0; i < n && start + i < x.size(); ++i) {
    in[i] = x[start + i] * (0.5 - 0.5 * std::cos(2.0 * M_PI * static_cast<double>(i) / n));
  }
  std::vector<fftw_complex> out(padded / 2 + 1);
  fftw_plan plan =
      fftw_plan_dft_r2c_1d(static_cast<int>(padded), in.data(), out.data(), FFTW_ESTIMATE);
  fftw_execute(plan);
  fftw_destroy_plan(plan);
  auto magnitude = [&](size_t k) { return std::hypot(out[k][0], out[k][1]); };
  const double binWidth = rate / static_cast<double>(padded);
  const size_t lo = static_cast<size_t>(near * std::pow(2.0, -0.5 / 12.0) / binWidth);
  const size_t hi = static_cast<size_t>(near * std::pow(2.0, 0.5 / 12.0) / binWidth);
  size_t best = lo;
  for (size_t k = lo; k <= hi; ++k) {
    if (magnitude(k) > magnitude(best)) best = k;
  }
  const double a = std::log(magnitude(best - 1));
  const double b = std::log(magnitude(best));
  const double c = std::log(magnitude(best + 1));
  return (static_cast<double>(best) + 0.5 * (a - c) / (a - 2.0 * b + c)) * binWidth;
}

TEST_F(RenderToolTest, WritesTwoChannelsOfTheAskedLengthRateAndFormat) {
  struct Case {
    const char* format;
    int subtype;
  };
  for (const Case& c : {Case{"float", SF_FORMAT_FLOAT}, Case{"pcm24", SF_FORMAT_PCM_24},
                        Case{"pcm16", SF_FORMAT_PCM_16}}) {
    SCOPED_TRACE(c.format);
    const Audio audio =
        Render({"--preset", "pluck", "--rate", "48000", "--length", "0.5", "--format", c.format});
    EXPECT_EQ(audio.channels, 2);
    EXPECT_EQ(audio.rate, 48000);
    EXPECT_EQ(audio.frames(), 24000u);
    EXPECT_EQ(audio.subtype, c.subtype);
    EXPECT_GT(Peak(audio.left), 0.01);
    EXPECT_GT(Peak(audio.right), 0.01);
  }
  // The summary names the length and the peak of each channel.
  const Result result = Run({"render", Path("out.wav"), "--preset", "pluck", "--length", "1"});
  EXPECT_THAT(result.out, HasSubstr("1.00 s, 44100 Hz, 32-bit float; peak out1 "));
  EXPECT_THAT(result.out, HasSubstr(" dBFS, out2 "));
  EXPECT_THAT(result.out, HasSubstr("real time"));
}

// Part of the geometry of the string, computed the way the model describes it: lengths in
// samples from the pitch inputs and the positions as fractions of the whole string.
struct Geometry {
  double lenA, lenB, exciteToJunction, exciteToEndB, pickup1, pickup2;
};

Geometry GeometryOf(double rate, double pStr, double pPos, double fLpf, double iPos, double oPos,
                    double oPos2) {
  auto pitchLength = [&](double v) { return rate / (440.0 * std::pow(2.0, 10.0 * v - 5.0)) / 2.0; };
  const double full = pitchLength(pStr);
  const double lenB = std::min(pitchLength(pPos) * (0.98 + 0.02 * fLpf), full - 1.0);
  const double toEndB = full * iPos;
  return {full - lenB,
          lenB,
          lenB - toEndB,
          toEndB,
          std::max(1.0, oPos * full),
          std::max(1.0, oPos2 * full)};
}

TEST_F(RenderToolTest, SilentUntilTheFirstArrivalAtTheSampleTheGeometryPredicts) {
  // An impulse at sample t0 reaches pickup 1 ("out2") through end B, and pickup 2 ("out1")
  // either straight from the junction (when it reflects) or once round segment A (when it is
  // open). Each delay line adds its whole number of samples to the first arrival.
  const int64_t t0 = 1000;
  struct Case {
    const char* name;
    std::vector<std::string> settings;
    Geometry g;
    bool junctionOpen;
  };
  const Case cases[] = {
      {"worked example, junction open", Concat(kWorkedExample, {"--set", "f.pos=0"}),
       GeometryOf(44100, 0.5, 0.6, 1, 0.1, 0.3, 0.2), true},
      {"worked example, junction closed", Concat(kWorkedExample, {"--set", "f.pos=-1"}),
       GeometryOf(44100, 0.5, 0.6, 1, 0.1, 0.3, 0.2), false},
      {"default positions, a lower string",
       {"--set", "feed=1", "--set", "f.lpf=1", "--set", "p.str=0.27", "--set", "o.pos2=0.4"},
       GeometryOf(44100, 0.27, 0.4, 1, 0.17, 0.12, 0.4),
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Audio audio = Render(Concat(c.settings, {"--impulse", "1000smp", "--length", "0.2"}));
    const auto whole = [](double x) { return static_cast<int64_t>(x); };
    const int64_t out2 = t0 + whole(c.g.exciteToEndB) + whole(c.g.pickup1);
    const int64_t out1 =
        c.junctionOpen ? t0 + whole(c.g.exciteToJunction) + 2 * whole(c.g.lenA) + whole(c.g.pickup2)
                       : t0 + whole(c.g.exciteToJunction) + whole(c.g.pickup2);
    EXPECT_EQ(static_cast<int64_t>(FirstNonZero(audio.right)), out2);
    EXPECT_EQ(static_cast<int64_t>(FirstNonZero(audio.left)), out1);
  }
  // The worked example's first values arrive unchanged through the file.
  const Audio audio = Render(
      Concat(kWorkedExample, {"--set", "f.pos=0", "--impulse", "1000smp", "--length", "2000smp"}));
  EXPECT_NEAR(audio.right[1020], -0.954933, 1e-6);
  EXPECT_NEAR(audio.left[1080], -0.829854, 1e-6);
}

TEST_F(RenderToolTest, AnAudioFileOnAPinStreamsItsFirstChannel) {
  // A two-channel file whose first channel holds an impulse at sample 500 acts on "in" like
  // --impulse 500smp; its second channel is ignored.
  const std::string input = Path("impulse.wav");
  SF_INFO info{};
  info.samplerate = 44100;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* file = sf_open(input.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr);
  std::vector<float> frames(2 * 800, 0.0f);
  frames[2 * 500] = 1.0f;
  frames[2 * 100 + 1] = 1.0f;
  sf_writef_float(file, frames.data(), 800);
  sf_close(file);

  const Audio fromFile =
      Render(Concat(kWorkedExample, {"--set", "in=" + input, "--length", "3000smp"}), "a.wav");
  const Audio fromImpulse =
      Render(Concat(kWorkedExample, {"--impulse", "500smp", "--length", "3000smp"}), "b.wav");
  EXPECT_EQ(FirstNonZero(fromFile.right), 520u);
  EXPECT_EQ(fromFile.left, fromImpulse.left);
  EXPECT_EQ(fromFile.right, fromImpulse.right);
}

TEST_F(RenderToolTest, APluckSoundsAtThePitchThatPStrSelects) {
  // The fundamental of "p.str" v is 440 * 2^(10 v - 5) Hz: the whole string is half its
  // period long. With "f.lpf" 1 nothing else delays the wave; the pluck preset's damping
  // flattens the note by a cent or two.
  struct Case {
    std::vector<std::string> settings;
    double pStr;
    int rate;
    double cents;
  };
  const Case cases[] = {
      {{"--set", "f.lpf=1", "--set", "p.str=0.3"}, 0.3, 44100, 0.5},
      {{"--set", "f.lpf=1", "--set", "p.str=0.5"}, 0.5, 48000, 0.5},
      {{"--set", "f.lpf=1", "--note", "0:C4"}, 0.5 - 0.9 / 12.0, 44100, 0.5},
      {{}, 0.3, 44100, 3.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pStr);
    const Audio audio = Render(Concat(
        c.settings, {"--preset", "pluck", "--rate", std::to_string(c.rate), "--length", "2"}));
    const double expected = 440.0 * std::pow(2.0, 10.0 * c.pStr - 5.0);
    const double found =
        PeakFrequency(audio.right, static_cast<size_t>(c.rate / 10), c.rate, expected);
    EXPECT_NEAR(1200.0 * std::log2(found / expected), 0.0, c.cents) << found << " Hz";
  }
}

TEST_F(RenderToolTest, PresetsSoundPlausibleAndDifferent) {
  const char* presets[] = {"pluck", "two-strings", "resonant"};
  std::vector<Audio> renders;
  for (const char* preset : presets) {
    SCOPED_TRACE(preset);
    renders.push_back(Render({"--preset", preset, "--pluck", "0.1", "--length", "3"},
                             std::string(preset) + ".wav"));
    const Audio& audio = renders.back();
    for (const std::vector<float>* channel : {&audio.left, &audio.right}) {
      // Audible, unclipped, and dying away: the last half second is far quieter than the
      // half second after the pluck.
      EXPECT_GT(Peak(*channel), 0.1);
      EXPECT_LT(Peak(*channel), 1.0);
      const size_t half = static_cast<size_t>(audio.rate / 2);
      const double early = Rms(*channel, half / 5, half / 5 + half);
      const double late = Rms(*channel, channel->size() - half, channel->size());
      EXPECT_LT(late, early * 0.1);
    }
  }
  for (size_t a = 0; a < renders.size(); ++a) {
    for (size_t b = a + 1; b < renders.size(); ++b) {
      SCOPED_TRACE(std::string(presets[a]) + " against " + presets[b]);
      std::vector<float> difference(renders[a].right.size());
      for (size_t i = 0; i < difference.size(); ++i) {
        difference[i] = renders[a].right[i] - renders[b].right[i];
      }
      const size_t n = difference.size();
      EXPECT_GT(Rms(difference, 0, n), 0.5 * Rms(renders[a].right, 0, n));
    }
  }
}

TEST_F(RenderToolTest, ThePlotIsAPngPicture) {
  Render({"--preset", "pluck", "--score", VORBEL_EXAMPLES_DIR "/phrase.score", "--plot",
          Path("out.png")});
  std::ifstream png(Path("out.png"), std::ios::binary);
  std::vector<unsigned char> head(24);
  png.read(reinterpret_cast<char*>(head.data()), 24);
  ASSERT_TRUE(png);
  EXPECT_EQ(std::vector<unsigned char>(head.begin(), head.begin() + 8),
            (std::vector<unsigned char>{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'}));
  const auto be32 = [&](size_t at) {
    return head[at] << 24 | head[at + 1] << 16 | head[at + 2] << 8 | head[at + 3];
  };
  EXPECT_EQ(be32(16), 1400);  // width and height from the header chunk
  EXPECT_EQ(be32(20), 1000);
}

TEST_F(RenderToolTest, RefusalsSayWhyExitNonZeroAndWriteNothing) {
  const std::string input48 = Path("at48k.wav");
  Render({"--preset", "pluck", "--rate", "48000", "--length", "0.1"}, "at48k.wav");
  {
    // A file whose second sample is not a number.
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(Path("nan.wav").c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    const float samples[3] = {0.0f, std::nanf(""), 0.0f};
    sf_writef_float(file, samples, 3);
    sf_close(file);
  }
  {
    std::ofstream(Path("keep.wav")) << "an existing file that a refused render leaves alone";
    std::ofstream(Path("notes.score")) << "0 A2\n1 H9\n";
  }
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"--set", "fed=0.9"}, "unknown pin 'fed'; input pins: in, p.str, p.pos, f.pos, i.pos"},
      {{"--set", "out1=0.9"}, "'out1' is not an input pin; input pins: in, p.str"},
      {{"--set", "feed"}, "--set needs NAME=VALUE"},
      {{"--set", "feed=0.9x"}, "'0.9x' is not a finite 32-bit number"},
      {{"--set", "feed=1e99"}, "'1e99' is not a finite 32-bit number"},
      {{"--set", "in=" + Path("missing.wav")}, "no file '" + Path("missing.wav")},
      {{"--set", "in=" + Path("notes.score")}, "cannot read audio file"},
      {{"--set", "in=" + input48}, "is at 48000 Hz but the render runs at 44100 Hz"},
      {{"--set", "o.pos=" + Path("nan.wav")}, "holds a sample that is not a finite number"},
      {{"--set", "feed=1", "--set", "feed=0.5"}, "pin 'feed' is set twice"},
      {{"--preset", "banjo"}, "unknown preset 'banjo'; presets: pluck, two-strings, resonant"},
      {{"--length", "0"}, "--length 0: expected a length above 0"},
      {{"--length", "2h"}, "--length 2h: expected a length"},
      {{"--pluck", "5", "--length", "2"}, "--pluck 5: starts at 5.000 s, after the render's end"},
      {{"--impulse", "soon"}, "'soon' is not a time"},
      {{"--note", "0:H2"}, "'H2' is not a pitch"},
      {{"--score", Path("notes.score")}, "notes.score:2: cannot read note '1:H9'"},
      {{"--score", Path("missing.score")}, "cannot read score"},
      {{"--set", "p.str=0.2..0.4", "--note", "0:A2"}, "\"p.str\" is given by --set and by notes"},
      {{"--format", "pcm8"}, "--format pcm8: choose float, pcm24 or pcm16"},
      {{"--rate", "100"}, "--rate 100: choose a sample rate"},
      {{"--plot", Path("out.jpg")}, "name it *.png"},
      {{"--module", Path("missing.so")}, "cannot load module library"},
      {{"--preset", "resonant", "--set", "feed=1", "--set", "peak.amt=1", "--set", "peak.q=0.99"},
       "the string became unstable"},
  };
  const std::vector<std::string> before = Files();
  for (const std::string& output : {Path("out.wav"), Path("keep.wav")}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.message);
      std::vector<std::string> args = {"render", output};
      if (std::find(c.args.begin(), c.args.end(), "--plot") == c.args.end()) {
        args.insert(args.end(), {"--plot", Path("out.png")});
      }
      const Result result = Run(Concat(args, c.args));
      EXPECT_NE(result.exitCode, 0);
      EXPECT_THAT(result.err, HasSubstr(c.message));
      EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
      EXPECT_THAT(Files(), ::testing::UnorderedElementsAreArray(before));
    }
  }
  EXPECT_THAT(ReadText(Path("keep.wav")), HasSubstr("an existing file"));

  for (const std::string& output : {Path("out.mp3"), Path("no/such/folder/out.wav"), dir_}) {
    const Result result = Run({"render", output, "--preset", "pluck"});
    EXPECT_NE(result.exitCode, 0);
    EXPECT_THAT(result.err, HasSubstr("vorbel: cannot "));
    EXPECT_THAT(Files(), ::testing::UnorderedElementsAreArray(before));
  }
}

TEST_F(RenderToolTest, WithoutGnuplotAPlotIsRefusedBeforeAnythingIsWritten) {
  std::string path = "PATH=" + dir_;
  char* env[] = {path.data(), nullptr};
  const Result result = Finish(
      Start({"render", Path("out.wav"), "--preset", "pluck", "--plot", Path("out.png")}, env));
  EXPECT_NE(result.exitCode, 0);
  EXPECT_THAT(result.err, HasSubstr("no gnuplot program found"));
  EXPECT_TRUE(Files().empty());
}

TEST_F(RenderToolTest, AnInterruptedRenderLeavesNoFile) {
  // A long render, stopped as soon as its temporary file exists.
  const pid_t pid = Start({"render", Path("long.wav"), "--preset", "pluck", "--length", "3600"});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (Files().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_FALSE(Files().empty());
  kill(pid, SIGTERM);
  const Result result = Finish(pid);
  EXPECT_EQ(result.exitCode, 128 + SIGTERM);
  EXPECT_THAT(result.err, HasSubstr("interrupted; nothing written"));
  EXPECT_TRUE(Files().empty());
}

}  // namespace
