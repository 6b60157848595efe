// Rendering helpers shared by the tests, the vorbel program and the benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorbel {

class HostInstance;

// One full-length stream per pin, by pin index. An empty vector leaves that pin without a
// stream (for pins that are not streams, or that a test wants untouched).
struct StreamSet {
  std::vector<std::vector<float>> streams;

  // One stream of `length` frames for each stream pin of the instance: inputs filled with
  // the value their default text gives, outputs with zeros. Other pins get no stream.
  static StreamSet ForInstance(HostInstance& instance, size_t length);

  // The common length of the non-empty streams (the shortest, should they differ).
  size_t length() const;
  std::vector<float>& operator[](size_t pin) { return streams[pin]; }
  const std::vector<float>& operator[](size_t pin) const { return streams[pin]; }
};

// Processes the whole length in consecutive blocks whose sizes cycle through `blockSizes`
// (the last block may be shorter). Every block uses the full-length streams, with
// bufferOffset at the block's position. Throws std::invalid_argument when `blockSizes` is
// empty or holds a size below 1.
void RenderBlocks(HostInstance& instance, StreamSet& set, const std::vector<int32_t>& blockSizes);

// Like RenderBlocks, but each block goes through scratch streams of its own (alternating
// between two sets, so consecutive blocks see different addresses) that hold the block at
// `bufferOffset`; the output pins' results are copied back into `set`. Afterwards the
// instance's streams point at `set` again.
void RenderInBlocksWithOffsets(HostInstance& instance, StreamSet& set,
                               const std::vector<int32_t>& blockSizes, int32_t bufferOffset);

// The stream value a host gives a pin's default text: the text's number in volts, over ten
// ("3" -> 0.3f, "1.7" -> 0.17f). Null or empty text gives 0.
float DefaultStreamValue(const char* defaultText);

}  // namespace vorbel
