#include "host/score.h"

#include <cctype>
#include <cmath>
#include <fstream>
#include <random>
#include <sstream>

#include "host/pin_source.h"

namespace vorbel {

namespace {

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  for (;;) {
    const std::string::size_type at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

const char* KindName(Excitation::Kind kind, bool withPitch) {
  if (withPitch) return "note";
  return kind == Excitation::Kind::kImpulse ? "impulse" : "pluck";
}

}  // namespace

int64_t TimeText::Sample(double sampleRate) const {
  return inSamples ? static_cast<int64_t>(value) : std::llround(value * sampleRate);
}

bool ParseTime(const std::string& text, TimeText* time) {
  std::string number = text;
  bool inSamples = false;
  double scale = 1.0;
  if (EndsWith(text, "smp")) {
    number = text.substr(0, text.size() - 3);
    inSamples = true;
  } else if (EndsWith(text, "ms")) {
    number = text.substr(0, text.size() - 2);
    scale = 0.001;
  } else if (EndsWith(text, "s")) {
    number = text.substr(0, text.size() - 1);
  }
  double value = 0.0;
  // Negative times make no sense; absurdly large ones would not fit a sample count.
  if (!ParseFiniteNumber(number, &value) || value < 0.0 || value > 1e12) return false;
  if (inSamples && value != std::floor(value)) return false;
  time->value = value * scale;
  time->inSamples = inSamples;
  return true;
}

bool ParsePitch(const std::string& text, float* pitch) {
  double number = 0.0;
  if (ParseFiniteNumber(text, &number)) {
    *pitch = static_cast<float>(number);
    return std::isfinite(*pitch);
  }
  // Note names: letter, optional sharp or flat, octave (may be negative).
  static constexpr int kSemitones[7] = {9, 11, 0, 2, 4, 5, 7};  // A B C D E F G
  if (text.empty()) return false;
  const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  if (letter < 'A' || letter > 'G') return false;
  int semitone = kSemitones[letter - 'A'];
  size_t at = 1;
  if (at < text.size() && text[at] == '#') {
    ++semitone;
    ++at;
  } else if (at < text.size() && text[at] == 'b') {
    --semitone;
    ++at;
  }
  const std::string octaveText = text.substr(at);
  if (octaveText.empty() || octaveText.size() > 3) return false;
  for (size_t i = 0; i < octaveText.size(); ++i) {
    const bool sign = i == 0 && octaveText[i] == '-' && octaveText.size() > 1;
    if (!sign && !std::isdigit(static_cast<unsigned char>(octaveText[i]))) return false;
  }
  const int octave = std::stoi(octaveText);
  const int midi = (octave + 1) * 12 + semitone;  // A4 = 69
  *pitch = static_cast<float>(0.5 + (midi - 69) / 120.0);
  return true;
}

bool ParseExcitation(const std::string& text, Excitation::Kind kind, bool withPitch,
                     double amplitude, Excitation* excitation, std::string* error) {
  const std::string form = withPitch ? "TIME:PITCH[:AMP]" : "TIME[:AMP]";
  const std::string what = std::string(KindName(kind, withPitch)) + " '" + text + "'";
  const std::vector<std::string> parts = Split(text, ':');
  const size_t needed = withPitch ? 2 : 1;
  if (parts.size() < needed || parts.size() > needed + 1) {
    *error = "cannot read " + what + ": expected " + form;
    return false;
  }
  Excitation result;
  result.kind = kind;
  result.amplitude = amplitude;
  result.origin = std::string("--") + KindName(kind, withPitch) + " " + text;
  if (!ParseTime(parts[0], &result.time)) {
    *error = "cannot read " + what + ": '" + parts[0] +
             "' is not a time (seconds like 1.5, or 250ms, or 800smp)";
    return false;
  }
  if (withPitch) {
    if (!ParsePitch(parts[1], &result.pitch)) {
      *error = "cannot read " + what + ": '" + parts[1] +
               "' is not a pitch (a \"p.str\" value like 0.35, or a note like A2 or C#3)";
      return false;
    }
    result.setsPitch = true;
  }
  if (parts.size() == needed + 1 && (!ParseFiniteNumber(parts[needed], &result.amplitude) ||
                                     !(std::fabs(result.amplitude) <= 1e6))) {
    *error = "cannot read " + what + ": '" + parts[needed] + "' is not an amplitude";
    return false;
  }
  *excitation = result;
  return true;
}

bool ReadScore(const std::string& path, double amplitude, std::vector<Excitation>* notes,
               std::string* error) {
  std::ifstream file(path);
  if (!file) {
    *error = "cannot read score '" + path + "'";
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    const std::string::size_type hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::vector<std::string> fields;
    for (std::string word; words >> word;) fields.push_back(word);
    if (fields.empty()) continue;
    const std::string where = path + ":" + std::to_string(number);
    if (fields.size() > 3) {
      *error =
          where + ": expected TIME PITCH [AMP], found " + std::to_string(fields.size()) + " fields";
      return false;
    }
    std::string joined = fields[0];
    for (size_t i = 1; i < fields.size(); ++i) joined += ":" + fields[i];
    Excitation note;
    std::string reason;
    if (!ParseExcitation(joined, Excitation::Kind::kPluck, true, amplitude, &note, &reason)) {
      *error = where + ": " + reason;
      return false;
    }
    note.origin = where;
    notes->push_back(note);
  }
  if (file.bad()) {
    *error = "cannot read score '" + path + "'";
    return false;
  }
  return true;
}

std::vector<float> ExcitationSamples(const Excitation& excitation, size_t pluckLength,
                                     uint32_t seed) {
  if (excitation.kind == Excitation::Kind::kImpulse) {
    return {static_cast<float>(excitation.amplitude)};
  }
  // mt19937 yields the same sequence everywhere; the mapping to [-1, 1] is our own.
  std::mt19937 generator(seed);
  std::vector<float> burst(pluckLength);
  for (float& sample : burst) {
    const double unit = static_cast<double>(generator()) / 4294967295.0;
    sample = static_cast<float>((2.0 * unit - 1.0) * excitation.amplitude);
  }
  return burst;
}

}  // namespace vorbel
