#include "host/pending_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace vorbel {

namespace {

// Temporary names that a signal handler may unlink: fixed slots of fixed-size buffers, so
// the handler touches nothing that can be reallocated under it.
constexpr size_t kSlots = 8;
constexpr size_t kNameLength = 4096;
struct Slot {
  std::atomic<bool> used{false};
  char name[kNameLength];
};
std::array<Slot, kSlots> g_slots;

void Register(const std::string& name) {
  if (name.size() >= kNameLength) return;
  for (Slot& slot : g_slots) {
    if (slot.used.load()) continue;
    std::memcpy(slot.name, name.c_str(), name.size() + 1);
    slot.used.store(true);
    return;
  }
}

void Unregister(const std::string& name) {
  for (Slot& slot : g_slots) {
    if (slot.used.load() && name == slot.name) slot.used.store(false);
  }
}

std::string Folder(const std::string& path) {
  const std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const std::string::size_type slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::unique_ptr<PendingFile> PendingFile::Create(const std::string& path, std::string* error) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    *error = "cannot write '" + path + "': it is a folder";
    return nullptr;
  }
  std::string temp = Folder(path) + "/." + BaseName(path) + ".XXXXXX";
  std::vector<char> buffer(temp.begin(), temp.end());
  buffer.push_back('\0');
  const int fd = mkstemp(buffer.data());
  if (fd < 0) {
    *error = "cannot write '" + path + "': " + std::strerror(errno);
    return nullptr;
  }
  // mkstemp makes the file private; give it the permissions of any newly created file.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  temp.assign(buffer.data());
  Register(temp);
  return std::unique_ptr<PendingFile>(new PendingFile(path, temp, fd));
}

PendingFile::PendingFile(std::string path, std::string tempPath, int fd)
    : path_(std::move(path)), tempPath_(std::move(tempPath)), fd_(fd) {}

PendingFile::~PendingFile() {
  if (fd_ >= 0) close(fd_);
  if (!committed_) {
    unlink(tempPath_.c_str());
    Unregister(tempPath_);
  }
}

int PendingFile::ReleaseFd() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

bool PendingFile::Commit(std::string* error) {
  if (fd_ >= 0) {
    const int result = close(fd_);
    fd_ = -1;
    if (result != 0) {
      *error = "cannot write '" + path_ + "': " + std::strerror(errno);
      return false;
    }
  }
  if (std::rename(tempPath_.c_str(), path_.c_str()) != 0) {
    *error = "cannot write '" + path_ + "': " + std::strerror(errno);
    return false;
  }
  committed_ = true;
  Unregister(tempPath_);
  return true;
}

void RemovePendingFilesNow() {
  for (Slot& slot : g_slots) {
    if (slot.used.load()) unlink(slot.name);
  }
}

}  // namespace vorbel
