// Named settings of the render tool that show the string model's range.
#pragma once

#include <string>
#include <vector>

namespace vorbel {

struct PinSetting {
  std::string pin;
  float value;  // a stream value
};

struct Preset {
  std::string name;
  std::string description;
  std::vector<PinSetting> settings;
  double pluckAmplitude;  // the level of a pluck or note that names no amplitude
};

const std::vector<Preset>& Presets();
// Null when no preset has this name.
const Preset* FindPreset(const std::string& name);
// "pluck, two-strings, resonant"
std::string PresetNames();

}  // namespace vorbel
