#include "host/render.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "host/host_instance.h"

namespace vorbel {

namespace {

void CheckBlockSizes(const std::vector<int32_t>& blockSizes) {
  if (blockSizes.empty()) throw std::invalid_argument("no block sizes given");
  for (int32_t size : blockSizes) {
    if (size < 1) throw std::invalid_argument("block sizes must be at least 1");
  }
}

void PointStreamsAt(HostInstance& instance, StreamSet& set) {
  for (size_t pin = 0; pin < set.streams.size(); ++pin) {
    if (!set.streams[pin].empty()) instance.SetStream(static_cast<int>(pin), set[pin].data());
  }
}

}  // namespace

StreamSet StreamSet::ForInstance(HostInstance& instance, size_t length) {
  StreamSet set;
  const std::vector<PinInfo>& pins = instance.Pins();
  set.streams.resize(pins.size());
  for (const PinInfo& pin : pins) {
    if (pin.datatype != DT_STREAM) continue;
    const float value = pin.direction == DR_IN && pin.defaultText
                            ? DefaultStreamValue(pin.defaultText->c_str())
                            : 0.0f;
    set.streams[pin.index].assign(length, value);
  }
  return set;
}

size_t StreamSet::length() const {
  size_t shortest = 0;
  bool any = false;
  for (const std::vector<float>& stream : streams) {
    if (stream.empty()) continue;
    shortest = any ? std::min(shortest, stream.size()) : stream.size();
    any = true;
  }
  return shortest;
}

void RenderBlocks(HostInstance& instance, StreamSet& set, const std::vector<int32_t>& blockSizes) {
  CheckBlockSizes(blockSizes);
  PointStreamsAt(instance, set);
  const size_t length = set.length();
  size_t position = 0;
  for (size_t block = 0; position < length; ++block) {
    const size_t size =
        std::min(static_cast<size_t>(blockSizes[block % blockSizes.size()]), length - position);
    instance.Process(static_cast<int32_t>(position), static_cast<int32_t>(size));
    position += size;
  }
}

void RenderInBlocksWithOffsets(HostInstance& instance, StreamSet& set,
                               const std::vector<int32_t>& blockSizes, int32_t bufferOffset) {
  CheckBlockSizes(blockSizes);
  if (bufferOffset < 0) throw std::invalid_argument("buffer offset must not be negative");
  const std::vector<PinInfo>& pins = instance.Pins();
  const size_t length = set.length();
  const size_t offset = static_cast<size_t>(bufferOffset);
  std::vector<std::vector<float>> scratch[2];
  scratch[0].resize(set.streams.size());
  scratch[1].resize(set.streams.size());

  size_t position = 0;
  for (size_t block = 0; position < length; ++block) {
    const size_t size =
        std::min(static_cast<size_t>(blockSizes[block % blockSizes.size()]), length - position);
    std::vector<std::vector<float>>& buffers = scratch[block % 2];
    for (size_t pin = 0; pin < set.streams.size(); ++pin) {
      if (set.streams[pin].empty()) continue;
      buffers[pin].assign(offset + size, 0.0f);
      std::copy_n(set[pin].begin() + position, size, buffers[pin].begin() + offset);
      instance.SetStream(static_cast<int>(pin), buffers[pin].data());
    }
    instance.Process(bufferOffset, static_cast<int32_t>(size));
    for (size_t pin = 0; pin < set.streams.size() && pin < pins.size(); ++pin) {
      if (set.streams[pin].empty() || pins[pin].direction != DR_OUT) continue;
      std::copy_n(buffers[pin].begin() + offset, size, set[pin].begin() + position);
    }
    position += size;
  }
  PointStreamsAt(instance, set);
}

float DefaultStreamValue(const char* defaultText) {
  if (defaultText == nullptr || *defaultText == '\0') return 0.0f;
  return static_cast<float>(std::strtod(defaultText, nullptr) / 10.0);
}

}  // namespace vorbel
