// The vorbel program: looks into and drives the module library from the command line.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

#include "host/host_instance.h"
#include "host/module_library.h"
#include "host/render.h"
#if VORBEL_WITH_RENDER
#include "host/render_command.h"
#endif
#if VORBEL_WITH_VALIDATE
#include "host/validate_command.h"
#endif

namespace {

int Fail(const std::string& message) {
  std::fprintf(stderr, "vorbel: %s\n", message.c_str());
  return 1;
}

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

// The text with every line after the first indented by `width` spaces.
std::string Indented(const std::string& text, size_t width) {
  std::string result;
  bool lineStart = false;
  for (char c : text) {
    if (lineStart && c != '\n') result.append(width, ' ');
    result += c;
    lineStart = c == '\n';
  }
  return result;
}

const char* DirectionName(int32_t direction) {
  switch (direction) {
    case DR_IN:
      return "in";
    case DR_OUT:
      return "out";
    default:
      return "?";
  }
}

const char* DatatypeName(int32_t datatype) {
  switch (datatype) {
    case DT_STREAM:
      return "stream";
    case DT_WORD16:
      return "word16";
    case DT_BYTE:
      return "byte";
    case DT_WORD32_A:
    case DT_WORD32_B:
      return "word32";
    default:
      return "?";
  }
}

struct InfoOptions {
  std::string modulePath;
};

int RunInfo(const InfoOptions& options) {
  const std::string path =
      options.modulePath.empty() ? vorbel::DefaultModulePath() : options.modulePath;
  std::string error;
  std::unique_ptr<vorbel::ModuleLibrary> library = vorbel::ModuleLibrary::Load(path, &error);
  if (!library) return Fail(error);

  SEModuleDescription description{};
  if (library->getModuleProperties()(0, &description) == 0) {
    return Fail("module library '" + path + "' describes no module at index 0");
  }
  std::unique_ptr<vorbel::HostInstance> instance = vorbel::HostInstance::Create(*library, &error);
  if (!instance) return Fail(error);

  std::printf("library: %s\n", path.c_str());
  std::printf("name:    %s\n", OrEmpty(description.name));
  std::printf("id:      %s\n", OrEmpty(description.id));
  std::printf("about:   %s\n", Indented(OrEmpty(description.about), 9).c_str());

  const std::vector<vorbel::PinInfo>& pins = instance->Pins();
  int nameWidth = 4;
  int defaultWidth = 7;
  for (const vorbel::PinInfo& pin : pins) {
    nameWidth = std::max(nameWidth, static_cast<int>(pin.name.size()));
    if (pin.defaultText) {
      defaultWidth = std::max(defaultWidth, static_cast<int>(pin.defaultText->size()));
    }
  }
  std::printf("pins:    %zu\n", pins.size());
  std::printf("  %5s  %-*s  %-3s  %-6s  %-*s  %s\n", "index", nameWidth, "name", "dir", "type",
              defaultWidth, "default", "stream value");
  for (const vorbel::PinInfo& pin : pins) {
    std::string value = "-";
    if (pin.datatype == DT_STREAM && pin.direction == DR_IN) {
      char buffer[32];
      std::snprintf(
          buffer, sizeof(buffer), "%.9g",
          vorbel::DefaultStreamValue(pin.defaultText ? pin.defaultText->c_str() : nullptr));
      value = buffer;
    }
    std::printf("  %5d  %-*s  %-3s  %-6s  %-*s  %s\n", pin.index, nameWidth, pin.name.c_str(),
                DirectionName(pin.direction), DatatypeName(pin.datatype), defaultWidth,
                pin.defaultText ? pin.defaultText->c_str() : "(none)", value.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"vorbel: load, describe and drive the vorbel module library"};
  app.require_subcommand(1);

  std::function<int()> run;

  InfoOptions info;
  CLI::App* infoCommand = app.add_subcommand("info", "Print the module's description and pins");
  infoCommand->add_option("--module", info.modulePath,
                          "Module library to load (default: vorbel.so beside this program)");
  infoCommand->callback([&] { run = [&] { return RunInfo(info); }; });

#if VORBEL_WITH_RENDER
  vorbel::AddRenderCommand(app, run);
#endif
#if VORBEL_WITH_VALIDATE
  vorbel::AddValidateCommand(app, run);
#endif

  CLI11_PARSE(app, argc, argv);
  return run ? run() : 1;
}
