// What excites the string in a render: unit impulses, plucks (short seeded noise bursts)
// and notes (a pluck that also sets the pitch "p.str"), given on the command line or read
// from a small score file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorbel {

// A time as written: seconds ("1.5", "1.5s"), milliseconds ("250ms") or samples ("800smp").
struct TimeText {
  double value = 0.0;
  bool inSamples = false;
  double Seconds(double sampleRate) const { return inSamples ? value / sampleRate : value; }
  int64_t Sample(double sampleRate) const;
};
bool ParseTime(const std::string& text, TimeText* time);

// A pitch as a "p.str" value: a number (0.1 per octave, 0.5 = 440 Hz) or a note name with
// octave ("A4" = 0.5, "A2" = 0.3, "C#3", "Eb4"), equal-tempered around A4 = 440 Hz.
bool ParsePitch(const std::string& text, float* pitch);

struct Excitation {
  enum class Kind { kImpulse, kPluck };
  Kind kind = Kind::kPluck;
  TimeText time;
  double amplitude = 1.0;
  bool setsPitch = false;  // a note: "p.str" takes `pitch` from this excitation on
  float pitch = 0.0f;
  std::string origin;  // where it was given, for messages ("--pluck 2", "phrase.score:3")
};

// "TIME[:AMP]" for --impulse and --pluck, "TIME:PITCH[:AMP]" for --note; without AMP the
// excitation takes `amplitude`. False plus one line in *error.
bool ParseExcitation(const std::string& text, Excitation::Kind kind, bool withPitch,
                     double amplitude, Excitation* excitation, std::string* error);

// A score file: one note per line, "TIME PITCH [AMP]", blank lines and "#" comments
// ignored; a note without AMP takes `amplitude`. Appends the notes; false plus one line
// naming the file and line in *error.
bool ReadScore(const std::string& path, double amplitude, std::vector<Excitation>* notes,
               std::string* error);

// The samples an excitation adds to "in", starting at its time: a unit impulse scaled by
// the amplitude, or a burst of `pluckLength` samples of white noise in [-amp, amp]
// drawn from `seed` (the same seed gives the same burst).
std::vector<float> ExcitationSamples(const Excitation& excitation, size_t pluckLength,
                                     uint32_t seed);

}  // namespace vorbel
