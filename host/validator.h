// Checks a module library of this interface the way a careful host would before trusting
// it: its exports and records, its pin descriptions, its lifecycle, exact and repeatable
// processing, real-time safety, hostile input and the cost of a decaying tail. Every
// check runs in a child process of its own, so a module that crashes fails a check and
// never takes the validator down.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/isolated_run.h"

namespace vorbel {

struct ValidateOptions {
  std::string modulePath;    // empty: vorbel.so beside the program
  int timeoutSeconds = 60;   // per child process
  uint32_t seed = 20070603;  // for the test streams and block plans
};

// Runs every check on the library and returns the results in order; `report` (if set)
// sees each result as soon as it is known. Checks that cannot run because an earlier one
// found the library unusable are left out.
std::vector<CheckResult> ValidateModule(const ValidateOptions& options,
                                        const std::function<void(const CheckResult&)>& report);

}  // namespace vorbel
