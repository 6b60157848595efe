#include "host/validator_render.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "host/alloc_counter.h"

namespace vorbel::validation {

namespace {

constexpr size_t kGuard = 64;                     // floats before and after each buffer
constexpr uint32_t kInputFillBits = 0x7fc0dead;   // a quiet NaN
constexpr uint32_t kOutputFillBits = 0x7fa1b2c3;  // a signalling NaN no arithmetic yields
constexpr int32_t kMaxBlock = 4096;
constexpr int32_t kMaxOffset = 1024;

float FromBits(uint32_t bits) { return std::bit_cast<float>(bits); }

float Uniform(std::mt19937& rng, float low, float high) {
  return low + (high - low) * std::uniform_real_distribution<float>(0.0f, 1.0f)(rng);
}

int32_t UniformInt(std::mt19937& rng, int32_t low, int32_t high) {
  return std::uniform_int_distribution<int32_t>(low, high)(rng);
}

// The range [first, last) of `buffer` holds only `bits`; otherwise the first index that
// does not.
size_t FirstNotFilled(const std::vector<float>& buffer, size_t first, size_t last, uint32_t bits) {
  for (size_t i = first; i < last; ++i) {
    if (std::bit_cast<uint32_t>(buffer[i]) != bits) return i;
  }
  return last;
}

}  // namespace

Layout Layout::Of(HostInstance& instance) {
  Layout layout;
  layout.pins = instance.Pins();
  for (const PinInfo& pin : layout.pins) {
    if (pin.datatype != DT_STREAM || pin.valueAddress == nullptr) continue;
    if (pin.direction == DR_IN) layout.inputs.push_back(pin.index);
    if (pin.direction == DR_OUT) layout.outputs.push_back(pin.index);
  }
  return layout;
}

float NominalValue(const PinInfo& pin) {
  const float value = DefaultStreamValue(pin.defaultText ? pin.defaultText->c_str() : nullptr);
  return value != 0.0f ? value : 0.5f;
}

StreamSet ZeroStreams(const Layout& layout, size_t length) {
  StreamSet set;
  set.streams.resize(layout.pins.size());
  for (int pin : layout.inputs) set[static_cast<size_t>(pin)].assign(length, 0.0f);
  for (int pin : layout.outputs) set[static_cast<size_t>(pin)].assign(length, 0.0f);
  return set;
}

StreamSet BusyStreams(const Layout& layout, size_t length, uint32_t seed) {
  StreamSet set = ZeroStreams(layout, length);
  std::mt19937 rng(seed);
  for (size_t n = 0; n < layout.inputs.size(); ++n) {
    const int pin = layout.inputs[n];
    std::vector<float>& s = set[static_cast<size_t>(pin)];
    size_t i = 0;
    if (n == 0) {
      // Bursts of noise, now and then a long one, with silences between.
      while (i < length) {
        const size_t segment = static_cast<size_t>(UniformInt(rng, 512, 4096));
        const size_t burst = UniformInt(rng, 0, 7) == 0
                                 ? segment / 2
                                 : static_cast<size_t>(UniformInt(rng, 16, 128));
        for (size_t k = 0; k < segment && i < length; ++k, ++i) {
          s[i] = k < burst ? Uniform(rng, -0.5f, 0.5f) : 0.0f;
        }
      }
      continue;
    }
    const float nominal = NominalValue(layout.pins[static_cast<size_t>(pin)]);
    while (i < length) {
      const size_t segment = static_cast<size_t>(UniformInt(rng, 256, 4096));
      const float value = nominal + Uniform(rng, -0.2f, 0.2f);
      const bool moving = UniformInt(rng, 0, 3) == 0;
      for (size_t k = 0; k < segment && i < length; ++k, ++i) {
        s[i] = moving ? value + Uniform(rng, -0.01f, 0.01f) : value;
      }
    }
  }
  return set;
}

Plan WholePlan(size_t length) { return Plan{Block{0, static_cast<int32_t>(length)}}; }

Plan RandomPlan(size_t length, std::mt19937& rng) {
  Plan plan;
  size_t done = 0;
  while (done < length) {
    const int32_t offset = UniformInt(rng, 0, 3) == 0 ? 0 : UniformInt(rng, 1, kMaxOffset);
    if (UniformInt(rng, 0, 9) == 0) plan.push_back(Block{offset, 0});
    // Half the sizes spread evenly over 1..4096, half evenly over their logarithm, so
    // that short blocks come up often.
    int32_t size = UniformInt(rng, 0, 1) == 0
                       ? UniformInt(rng, 1, kMaxBlock)
                       : static_cast<int32_t>(std::exp(Uniform(rng, 0.0f, std::log(4096.0f))));
    size = std::clamp(size, 1, kMaxBlock);
    size = static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(size), length - done));
    plan.push_back(Block{offset, size});
    done += static_cast<size_t>(size);
  }
  return plan;
}

Plan EvenPlan(size_t length, int32_t blockSize) {
  Plan plan;
  for (size_t done = 0; done < length; done += static_cast<size_t>(blockSize)) {
    plan.push_back(Block{
        0, static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(blockSize), length - done))});
  }
  return plan;
}

Observations RenderGuarded(const std::vector<HostInstance*>& instances, const Layout& layout,
                           const StreamSet& inputs, std::vector<StreamSet>& outputs,
                           const Plan& plan) {
  Observations seen;
  size_t position = 0;
  for (const Block& block : plan) {
    const size_t offset = static_cast<size_t>(block.offset);
    const size_t count = static_cast<size_t>(block.count);
    const size_t size = kGuard + offset + count + kGuard;
    const size_t first = kGuard + offset;
    for (size_t k = 0; k < instances.size(); ++k) {
      HostInstance& instance = *instances[k];
      // Fresh buffers for every call, so that no call sees the addresses of the last.
      std::vector<std::vector<float>> buffers(layout.pins.size());
      std::vector<std::vector<float>> before(layout.pins.size());
      for (int pin : layout.inputs) {
        std::vector<float>& b = buffers[static_cast<size_t>(pin)];
        b.assign(size, FromBits(kInputFillBits));
        std::copy_n(inputs[static_cast<size_t>(pin)].begin() + static_cast<ptrdiff_t>(position),
                    count, b.begin() + static_cast<ptrdiff_t>(first));
        before[static_cast<size_t>(pin)] = b;
        instance.SetStream(pin, b.data() + kGuard);
      }
      for (int pin : layout.outputs) {
        std::vector<float>& b = buffers[static_cast<size_t>(pin)];
        b.assign(size, FromBits(kOutputFillBits));
        instance.SetStream(pin, b.data() + kGuard);
      }

      const alloc::Counts start = alloc::Now();
      instance.Process(block.offset, block.count);
      seen.allocations += (alloc::Now() - start).allocations;
      ++seen.processCalls;

      char where[160];
      for (int pin : layout.inputs) {
        const std::vector<float>& b = buffers[static_cast<size_t>(pin)];
        const std::vector<float>& was = before[static_cast<size_t>(pin)];
        if (std::memcmp(b.data(), was.data(), size * sizeof(float)) == 0) continue;
        if (seen.inputChanges++ == 0) {
          size_t i = 0;
          while (std::bit_cast<uint32_t>(b[i]) == std::bit_cast<uint32_t>(was[i])) ++i;
          std::snprintf(where, sizeof where,
                        "input '%s' element %td changed in a call with offset %zu, %zu samples",
                        layout.Name(pin).c_str(),
                        static_cast<ptrdiff_t>(i) - static_cast<ptrdiff_t>(kGuard), offset, count);
          seen.firstInputChange = where;
        }
      }
      for (int pin : layout.outputs) {
        const std::vector<float>& b = buffers[static_cast<size_t>(pin)];
        size_t bad = FirstNotFilled(b, 0, first, kOutputFillBits);
        if (bad == first) bad = FirstNotFilled(b, first + count, size, kOutputFillBits);
        if (bad != size) {
          if (seen.outsideWrites++ == 0) {
            std::snprintf(where, sizeof where,
                          "output '%s' element %td written in a call with offset %zu, %zu samples",
                          layout.Name(pin).c_str(),
                          static_cast<ptrdiff_t>(bad) - static_cast<ptrdiff_t>(kGuard), offset,
                          count);
            seen.firstOutsideWrite = where;
          }
        }
        std::copy_n(
            b.begin() + static_cast<ptrdiff_t>(first), count,
            outputs[k][static_cast<size_t>(pin)].begin() + static_cast<ptrdiff_t>(position));
      }
    }
    position += count;
  }
  return seen;
}

StreamSet RenderOne(HostInstance& instance, const Layout& layout, const StreamSet& inputs,
                    const Plan& plan, Observations* observations) {
  std::vector<StreamSet> outputs{ZeroStreams(layout, inputs.length())};
  const Observations seen = RenderGuarded({&instance}, layout, inputs, outputs, plan);
  if (observations != nullptr) *observations = seen;
  return std::move(outputs[0]);
}

std::string CompareOutputs(const Layout& layout, const StreamSet& expected,
                           const StreamSet& actual) {
  size_t differing = 0;
  std::string first;
  for (int pin : layout.outputs) {
    const std::vector<float>& e = expected[static_cast<size_t>(pin)];
    const std::vector<float>& a = actual[static_cast<size_t>(pin)];
    for (size_t i = 0; i < e.size() && i < a.size(); ++i) {
      if (std::bit_cast<uint32_t>(e[i]) == std::bit_cast<uint32_t>(a[i])) continue;
      if (differing++ == 0) {
        first = "'" + layout.Name(pin) + "' sample " + std::to_string(i) + " is " + Describe(a[i]) +
                " instead of " + Describe(e[i]);
      }
    }
  }
  if (differing == 0) return {};
  return first + " (" + std::to_string(differing) + " samples differ)";
}

size_t NonZeroOutputs(const Layout& layout, const StreamSet& set) {
  size_t count = 0;
  for (int pin : layout.outputs) {
    for (float x : set[static_cast<size_t>(pin)]) count += !(x == 0.0f) ? 1 : 0;
  }
  return count;
}

std::string Describe(float value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.9g (0x%08x)", static_cast<double>(value),
                std::bit_cast<uint32_t>(value));
  return text;
}

}  // namespace vorbel::validation
