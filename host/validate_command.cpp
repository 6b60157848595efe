#include "host/validate_command.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>

#include "host/module_library.h"
#include "host/validator.h"

namespace vorbel {

namespace {

int RunValidate(const ValidateOptions& options) {
  const std::string path = options.modulePath.empty() ? DefaultModulePath() : options.modulePath;
  std::printf("validating %s\n", path.c_str());
  size_t passed = 0;
  size_t failed = 0;
  ValidateModule(options, [&](const CheckResult& result) {
    (result.pass ? passed : failed) += 1;
    std::printf("%s %s: %s\n", result.pass ? "PASS" : "FAIL", result.name.c_str(),
                result.detail.c_str());
    std::fflush(stdout);
  });
  std::printf("summary: %zu checks, %zu passed, %zu failed\n", passed + failed, passed, failed);
  return failed == 0 && passed > 0 ? 0 : 1;
}

}  // namespace

void AddValidateCommand(CLI::App& app, std::function<int()>& run) {
  auto options = std::make_shared<ValidateOptions>();
  CLI::App* command =
      app.add_subcommand("validate",
                         "Check a module library: records, pins, lifecycle, exact processing, "
                         "real-time safety, hostile input, tail cost");
  command->add_option("--module", options->modulePath,
                      "Module library to check (default: vorbel.so beside this program)");
  command
      ->add_option("--timeout", options->timeoutSeconds,
                   "Seconds each group of checks may take before it counts as hung")
      ->check(CLI::Range(1, 86400));
  command->add_option("--seed", options->seed, "Seed of the test streams and block plans");
  command->callback([options, &run] { run = [options] { return RunValidate(*options); }; });
}

}  // namespace vorbel
