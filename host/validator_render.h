// What the validator feeds a module and how it watches the module work: test streams,
// block plans, and a renderer that hands each block to the module in fresh, guarded
// buffers and records what the module did besides producing its output.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "host/host_instance.h"
#include "host/render.h"

namespace vorbel::validation {

// The module's stream pins with a value address: the ones the validator drives.
struct Layout {
  std::vector<PinInfo> pins;
  std::vector<int> inputs;
  std::vector<int> outputs;

  static Layout Of(HostInstance& instance);
  const std::string& Name(int pin) const { return pins[static_cast<size_t>(pin)].name; }
};

// The value a control input is held around: its default, or 0.5 where the default is 0
// (a control at 0 often silences a module, and a silent module proves little).
float NominalValue(const PinInfo& pin);

// A stream set with every driven pin `length` frames long, all zero.
StreamSet ZeroStreams(const Layout& layout, size_t length);

// Streams that keep a module busy. The first input (an audio input, by convention of
// this interface) gets bursts of noise with silences between; every other input steps
// between values within 0.2 of its nominal value, some stretches moving every sample.
StreamSet BusyStreams(const Layout& layout, size_t length, uint32_t seed);

struct Block {
  int32_t offset;  // the buffer offset handed to the process call
  int32_t count;   // samples; 0 for an empty call
};
using Plan = std::vector<Block>;

// One call for the whole length.
Plan WholePlan(size_t length);
// Blocks of 1 to 4096 samples at buffer offsets of 0 to 1024, with an empty call now and
// then; the counts add up to `length`.
Plan RandomPlan(size_t length, std::mt19937& rng);
// Fixed-size blocks at offset 0.
Plan EvenPlan(size_t length, int32_t blockSize);

// What the module did during the process calls of a render besides its output.
struct Observations {
  size_t processCalls = 0;
  uint64_t allocations = 0;  // heap allocations made during process calls
  size_t inputChanges = 0;   // input buffers found changed after a call
  std::string firstInputChange;
  size_t outsideWrites = 0;  // output buffers written outside the call's range
  std::string firstOutsideWrite;
};

// Renders `inputs` through every instance, block by block as `plan` says, one instance
// after the other within each block. Each call gets fresh buffers: guard areas before and
// after, the block at the plan's buffer offset, inputs filled with NaN outside the block,
// outputs filled with a marker pattern that the module must leave alone outside the
// block. Each instance's outputs land in its own set in `outputs` (same layout).
Observations RenderGuarded(const std::vector<HostInstance*>& instances, const Layout& layout,
                           const StreamSet& inputs, std::vector<StreamSet>& outputs,
                           const Plan& plan);

// Renders one instance and returns its outputs.
StreamSet RenderOne(HostInstance& instance, const Layout& layout, const StreamSet& inputs,
                    const Plan& plan, Observations* observations = nullptr);

// Empty when the two sets' outputs agree bit for bit; else the first difference and the
// number of differing samples.
std::string CompareOutputs(const Layout& layout, const StreamSet& expected,
                           const StreamSet& actual);

// The number of output samples that are not zero (NaNs and infinities included).
size_t NonZeroOutputs(const Layout& layout, const StreamSet& set);

// A float as "value (0xbits)".
std::string Describe(float value);

}  // namespace vorbel::validation
