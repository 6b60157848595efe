// `vorbel validate`: checks a module library and prints one line per check.
#pragma once

#include <functional>

namespace CLI {
class App;
}

namespace vorbel {

// Adds the `validate` subcommand to `app`; when it is chosen, `run` is set to the work.
void AddValidateCommand(CLI::App& app, std::function<int()>& run);

}  // namespace vorbel
