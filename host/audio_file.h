// Audio files through libsndfile: reading the first channel of any file it knows, and
// writing a render to a file that appears only when complete (see PendingFile).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vorbel {

class PendingFile;

enum class SampleFormat { kFloat, kPcm24, kPcm16 };

// "float", "pcm24", "pcm16"; false for any other name.
bool ParseSampleFormat(const std::string& name, SampleFormat* format);
const char* SampleFormatName(SampleFormat format);

struct AudioChannel {
  std::vector<float> samples;
  int sampleRate = 0;
};

// Reads the first channel of an audio file. False plus one line in *error when the file
// cannot be opened or read.
bool ReadFirstChannel(const std::string& path, AudioChannel* channel, std::string* error);

class AudioFileWriter {
 public:
  // Prepares `path` for a file of `channels` channels at `sampleRate`; the container
  // follows the extension (.wav, .aif/.aiff, .flac). Null plus one line in *error when
  // the extension or format is not supported or the folder cannot take the file.
  static std::unique_ptr<AudioFileWriter> Create(const std::string& path, int sampleRate,
                                                 int channels, SampleFormat format,
                                                 std::string* error);
  ~AudioFileWriter();  // an uncommitted file is removed
  AudioFileWriter(const AudioFileWriter&) = delete;
  AudioFileWriter& operator=(const AudioFileWriter&) = delete;

  // Writes interleaved frames; samples beyond full scale are clipped in PCM formats.
  bool Write(const float* interleaved, size_t frames, std::string* error);
  // Finishes the file and moves it to its final path.
  bool Commit(std::string* error);

 private:
  AudioFileWriter() = default;
  std::unique_ptr<PendingFile> pending_;
  struct Handle;
  std::unique_ptr<Handle> handle_;
};

}  // namespace vorbel
