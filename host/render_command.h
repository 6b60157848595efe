// The `render` subcommand of the vorbel program: drives one instance of a module library
// with streams given on the command line and writes "out1" and "out2" to an audio file.
#pragma once

#include <functional>

namespace CLI {
class App;
}

namespace vorbel {

// Adds `render` to the program's subcommands; when it is chosen, `run` is set to it.
void AddRenderCommand(CLI::App& app, std::function<int()>& run);

}  // namespace vorbel
