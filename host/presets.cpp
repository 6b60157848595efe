#include "host/presets.h"

namespace vorbel {

const std::vector<Preset>& Presets() {
  // Values are stream values: pitches at 0.1 per octave (0.5 = 440 Hz), positions as
  // fractions of the string, "feed" the loss per pass (near 1 to ring).
  static const std::vector<Preset> presets = {
      {"pluck",
       "a plucked string: one string (the junction open), gently damped",
       {{"feed", 0.998f},
        {"f.lpf", 0.85f},
        {"f.pos", 0.0f},
        {"i.pos", 0.17f},
        {"o.pos", 0.12f},
        {"o.pos2", 0.31f}},
       0.4},
      {"two-strings",
       "two strings: the junction nearly closed (f.pos -0.995) cuts the string in two; segment B "
       "rings at the pitch of p.pos, with a little of segment A coupled in",
       {{"feed", 0.998f},
        {"f.lpf", 0.85f},
        {"f.pos", -0.995f},
        {"p.pos", 0.36f},
        {"i.pos", 0.23f},
        {"o.pos", 0.09f},
        {"o.pos2", 0.27f}},
       0.4},
      {"resonant",
       "a coloured string: the peak resonator in segment B adds a formant",
       {{"feed", 0.956f},
        {"f.lpf", 0.8f},
        {"f.pos", 0.0f},
        {"peak.f", 0.15f},
        {"peak.q", 0.8f},
        {"peak.amt", 0.05f},
        {"i.pos", 0.17f},
        {"o.pos", 0.12f},
        {"o.pos2", 0.31f}},
       0.4},
  };
  return presets;
}

const Preset* FindPreset(const std::string& name) {
  for (const Preset& preset : Presets()) {
    if (preset.name == name) return &preset;
  }
  return nullptr;
}

std::string PresetNames() {
  std::string names;
  for (const Preset& preset : Presets()) names += (names.empty() ? "" : ", ") + preset.name;
  return names;
}

}  // namespace vorbel
