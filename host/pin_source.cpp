#include "host/pin_source.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace vorbel {

namespace {

std::string ShortNumber(float value) {
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "%.6g", static_cast<double>(value));
  return buffer;
}

}  // namespace

PinSource PinSource::Constant(float value) {
  PinSource source;
  source.kind_ = Kind::kConstant;
  source.value_ = value;
  source.description_ = ShortNumber(value);
  return source;
}

PinSource PinSource::Ramp(float from, float to, int64_t length) {
  PinSource source;
  source.kind_ = Kind::kRamp;
  source.value_ = from;
  source.to_ = to;
  source.length_ = std::max<int64_t>(length, 1);
  source.description_ = ShortNumber(from) + ".." + ShortNumber(to);
  return source;
}

PinSource PinSource::Samples(std::vector<float> samples, float after) {
  PinSource source;
  source.kind_ = Kind::kSamples;
  source.samples_ = std::move(samples);
  source.value_ = after;
  source.description_ = "file";
  return source;
}

PinSource PinSource::Steps(float initial, std::vector<std::pair<int64_t, float>> steps) {
  PinSource source;
  source.kind_ = Kind::kSteps;
  source.value_ = initial;
  source.steps_ = std::move(steps);
  std::stable_sort(source.steps_.begin(), source.steps_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  source.description_ = "score";
  return source;
}

float PinSource::ValueAt(int64_t sample) const {
  switch (kind_) {
    case Kind::kConstant:
      return value_;
    case Kind::kRamp: {
      if (length_ <= 1 || sample <= 0) return value_;
      if (sample >= length_ - 1) return to_;
      const double t = static_cast<double>(sample) / static_cast<double>(length_ - 1);
      return static_cast<float>(static_cast<double>(value_) +
                                (static_cast<double>(to_) - static_cast<double>(value_)) * t);
    }
    case Kind::kSamples:
      return sample >= 0 && static_cast<size_t>(sample) < samples_.size()
                 ? samples_[static_cast<size_t>(sample)]
                 : value_;
    case Kind::kSteps: {
      float value = value_;
      for (const auto& [at, stepValue] : steps_) {
        if (at > sample) break;
        value = stepValue;
      }
      return value;
    }
  }
  return value_;
}

void PinSource::Fill(int64_t start, size_t count, float* out) const {
  switch (kind_) {
    case Kind::kConstant:
      std::fill_n(out, count, value_);
      return;
    case Kind::kSteps: {
      // Values only change at steps: fill runs between them.
      size_t i = 0;
      while (i < count) {
        const int64_t sample = start + static_cast<int64_t>(i);
        const float value = ValueAt(sample);
        const int64_t next = NextChangeAfter(sample);
        const size_t run =
            next < 0 ? count - i : std::min(count - i, static_cast<size_t>(next - sample));
        std::fill_n(out + i, run, value);
        i += run;
      }
      return;
    }
    case Kind::kRamp:
    case Kind::kSamples:
      for (size_t i = 0; i < count; ++i) out[i] = ValueAt(start + static_cast<int64_t>(i));
      return;
  }
}

int64_t PinSource::NextChangeAfter(int64_t sample) const {
  switch (kind_) {
    case Kind::kConstant:
      return -1;
    case Kind::kSteps:
      for (const auto& step : steps_) {
        if (step.first > sample) return step.first;
      }
      return -1;
    case Kind::kRamp:
      return sample + 1 < length_ && value_ != to_ ? sample + 1 : -1;
    case Kind::kSamples:
      return sample + 1;
  }
  return -1;
}

bool ParseFiniteNumber(const std::string& text, double* value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) return false;
  char* end = nullptr;
  const double parsed = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(parsed)) return false;
  *value = parsed;
  return true;
}

PinValueText ParsePinValueText(const std::string& text) {
  PinValueText result{PinValueText::Kind::kFile, 0.0f, 0.0f, text};
  double number = 0.0;
  if (ParseFiniteNumber(text, &number) && std::isfinite(static_cast<float>(number))) {
    result.kind = PinValueText::Kind::kConstant;
    result.from = result.to = static_cast<float>(number);
    return result;
  }
  const std::string::size_type dots = text.find("..");
  double from = 0.0;
  double to = 0.0;
  if (dots != std::string::npos && ParseFiniteNumber(text.substr(0, dots), &from) &&
      ParseFiniteNumber(text.substr(dots + 2), &to) && std::isfinite(static_cast<float>(from)) &&
      std::isfinite(static_cast<float>(to))) {
    result.kind = PinValueText::Kind::kRamp;
    result.from = static_cast<float>(from);
    result.to = static_cast<float>(to);
  }
  return result;
}

}  // namespace vorbel
