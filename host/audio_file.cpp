#include "host/audio_file.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>

#include "host/pending_file.h"

namespace vorbel {

namespace {

std::string LowerExtension(const std::string& path) {
  const std::string::size_type dot = path.find_last_of('.');
  const std::string::size_type slash = path.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string extension = path.substr(dot + 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension;
}

// libsndfile's message without its "System error : " prefix and final full stop.
std::string Reason(const char* message) {
  std::string text = message != nullptr ? message : "unknown error";
  const std::string prefix = "System error : ";
  if (text.compare(0, prefix.size(), prefix) == 0) text.erase(0, prefix.size());
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

}  // namespace

bool ParseSampleFormat(const std::string& name, SampleFormat* format) {
  if (name == "float") {
    *format = SampleFormat::kFloat;
  } else if (name == "pcm24") {
    *format = SampleFormat::kPcm24;
  } else if (name == "pcm16") {
    *format = SampleFormat::kPcm16;
  } else {
    return false;
  }
  return true;
}

const char* SampleFormatName(SampleFormat format) {
  switch (format) {
    case SampleFormat::kFloat:
      return "32-bit float";
    case SampleFormat::kPcm24:
      return "24-bit PCM";
    case SampleFormat::kPcm16:
      return "16-bit PCM";
  }
  return "?";
}

bool ReadFirstChannel(const std::string& path, AudioChannel* channel, std::string* error) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) {
    *error = "cannot read audio file '" + path + "': " + Reason(sf_strerror(nullptr));
    return false;
  }
  std::vector<float> frames(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
  const sf_count_t read = sf_readf_float(file, frames.data(), info.frames);
  sf_close(file);
  if (read != info.frames) {
    *error = "cannot read audio file '" + path + "': it ends early";
    return false;
  }
  channel->sampleRate = info.samplerate;
  channel->samples.resize(static_cast<size_t>(info.frames));
  for (size_t i = 0; i < channel->samples.size(); ++i) {
    channel->samples[i] = frames[i * static_cast<size_t>(info.channels)];
  }
  return true;
}

struct AudioFileWriter::Handle {
  SNDFILE* file = nullptr;
  ~Handle() {
    if (file != nullptr) sf_close(file);
  }
};

std::unique_ptr<AudioFileWriter> AudioFileWriter::Create(const std::string& path, int sampleRate,
                                                         int channels, SampleFormat format,
                                                         std::string* error) {
  const std::string extension = LowerExtension(path);
  int container = 0;
  if (extension == "wav" || extension == "wave") {
    container = SF_FORMAT_WAV;
  } else if (extension == "aif" || extension == "aiff") {
    container = SF_FORMAT_AIFF;
  } else if (extension == "flac") {
    container = SF_FORMAT_FLAC;
  } else {
    *error = "cannot tell the file type of '" + path + "': use .wav, .aiff or .flac";
    return nullptr;
  }
  const int subtype = format == SampleFormat::kFloat   ? SF_FORMAT_FLOAT
                      : format == SampleFormat::kPcm24 ? SF_FORMAT_PCM_24
                                                       : SF_FORMAT_PCM_16;
  SF_INFO info{};
  info.samplerate = sampleRate;
  info.channels = channels;
  info.format = container | subtype;
  if (!sf_format_check(&info)) {
    *error = std::string("'") + path + "' cannot hold " + SampleFormatName(format) +
             " samples: choose --format pcm24 or pcm16";
    return nullptr;
  }
  std::unique_ptr<AudioFileWriter> writer(new AudioFileWriter());
  writer->pending_ = PendingFile::Create(path, error);
  if (!writer->pending_) return nullptr;
  writer->handle_ = std::make_unique<Handle>();
  writer->handle_->file = sf_open_fd(writer->pending_->ReleaseFd(), SFM_WRITE, &info, SF_TRUE);
  if (writer->handle_->file == nullptr) {
    *error = "cannot write '" + path + "': " + Reason(sf_strerror(nullptr));
    return nullptr;
  }
  // PCM: clip out-of-range samples rather than let them wrap around.
  sf_command(writer->handle_->file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  return writer;
}

AudioFileWriter::~AudioFileWriter() = default;

bool AudioFileWriter::Write(const float* interleaved, size_t frames, std::string* error) {
  const sf_count_t written =
      sf_writef_float(handle_->file, interleaved, static_cast<sf_count_t>(frames));
  if (written != static_cast<sf_count_t>(frames)) {
    *error = "cannot write '" + pending_->path() + "': " + Reason(sf_strerror(handle_->file));
    return false;
  }
  return true;
}

bool AudioFileWriter::Commit(std::string* error) {
  const int result = sf_close(handle_->file);
  handle_->file = nullptr;
  if (result != 0) {
    *error = "cannot write '" + pending_->path() + "': " + sf_error_number(result);
    return false;
  }
  return pending_->Commit(error);
}

}  // namespace vorbel
