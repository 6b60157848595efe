// Runs a piece of work in a child process, so that a crash, a hang or a sanitizer's exit
// in a module under test ends the child and is reported, never the program itself.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vorbel {

struct CheckResult {
  std::string name;
  bool pass = false;
  std::string detail;
};

// What the work in the child hands back: check results, plus named facts the parent
// needs for later work (e.g. the names of a module's input pins).
struct ChildReport {
  std::vector<CheckResult> results;
  std::vector<std::pair<std::string, std::string>> facts;
};

// Forks, runs `work` in the child and collects its report. Each name in `expected` that
// the child did not report (it crashed, was killed or overran `timeoutSeconds`) becomes a
// failed result that says how the child ended. Results keep the child's order, then the
// missing names in their order. An exception escaping `work` counts as a failure of every
// check it did not report.
ChildReport RunIsolated(const std::vector<std::string>& expected,
                        const std::function<ChildReport()>& work, int timeoutSeconds);

}  // namespace vorbel
