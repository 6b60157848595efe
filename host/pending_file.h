// A file that appears at its final path only when it is complete: it is written under a
// temporary name in the same folder and renamed over the final path on Commit, so a failed
// or interrupted run never leaves a partial file and never half-overwrites an existing one.
#pragma once

#include <memory>
#include <string>

namespace vorbel {

class PendingFile {
 public:
  // Creates the temporary file beside `path` (readable as the umask allows, like any new
  // file). Null plus one line in *error when the folder cannot take it.
  static std::unique_ptr<PendingFile> Create(const std::string& path, std::string* error);

  // Removes the temporary file unless it was committed.
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  const std::string& path() const { return path_; }
  const std::string& tempPath() const { return tempPath_; }
  // The open descriptor of the temporary file; -1 once released or closed.
  int fd() const { return fd_; }
  // Hands the descriptor over to someone who will close it.
  int ReleaseFd();
  // Closes the descriptor (if still held) and renames the temporary file to the final path.
  bool Commit(std::string* error);

 private:
  PendingFile(std::string path, std::string tempPath, int fd);

  std::string path_;
  std::string tempPath_;
  int fd_;
  bool committed_ = false;
};

// Removes every pending file that is still uncommitted; safe to call from a signal
// handler (it only calls unlink on names prepared in advance).
void RemovePendingFilesNow();

}  // namespace vorbel
