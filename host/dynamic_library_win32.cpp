// The loader on Windows: LoadLibrary, GetProcAddress, FreeLibrary. Paths are UTF-8 in the
// host library and wide strings at the system's interface.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

#include "host/dynamic_library.h"

namespace vorbel::detail {

namespace {

class WindowsLibrary final : public DynamicLibrary {
 public:
  explicit WindowsLibrary(HMODULE handle) : handle_(handle) {}
  ~WindowsLibrary() override { FreeLibrary(handle_); }
  WindowsLibrary(const WindowsLibrary&) = delete;
  WindowsLibrary& operator=(const WindowsLibrary&) = delete;

  void* Symbol(const char* name) override {
    return reinterpret_cast<void*>(GetProcAddress(handle_, name));
  }

 private:
  HMODULE handle_;
};

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (size <= 0) return {};
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                       nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string text(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), size,
                      nullptr, nullptr);
  return text;
}

// The system's text for an error code, without the trailing line break.
std::string ErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (length > 0 && buffer != nullptr) text = Narrow(std::wstring(buffer, length));
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return "error " + std::to_string(code) + (text.empty() ? "" : ": " + text);
}

}  // namespace

const char* const kModuleFileName = "vorbel.dll";

std::unique_ptr<DynamicLibrary> OpenDynamicLibrary(const std::string& path, std::string* error) {
  std::wstring wide = Widen(path);
  // A path with a folder in it is made absolute, so that the library's own dependencies
  // are looked for beside it rather than beside the program.
  const bool hasFolder = path.find_first_of("/\\") != std::string::npos;
  if (hasFolder) {
    const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size > 0) {
      std::wstring full(size, L'\0');
      const DWORD written = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
      if (written > 0 && written < size) {
        full.resize(written);
        wide = full;
      }
    }
  }
  // No message boxes for a missing or broken library: the caller gets the error.
  DWORD oldMode = 0;
  SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
  HMODULE handle =
      LoadLibraryExW(wide.c_str(), nullptr, hasFolder ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
  const DWORD code = GetLastError();
  SetThreadErrorMode(oldMode, nullptr);
  if (handle == nullptr) {
    if (error != nullptr) *error = ErrorText(code);
    return nullptr;
  }
  return std::make_unique<WindowsLibrary>(handle);
}

std::string RunningProgramPath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) {
      buffer.resize(length);
      return Narrow(buffer);
    }
    if (buffer.size() >= 32768) return {};  // longer than any Windows path
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace vorbel::detail
