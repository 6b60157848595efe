#include "host/isolated_run.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>

namespace vorbel {

namespace {

// One record per line: "R" pass name detail, or "I" key value, fields separated by tabs.
// Tabs and line breaks inside the texts become spaces.
std::string Clean(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
  return text;
}

std::string Encode(const ChildReport& report) {
  std::string out;
  for (const CheckResult& r : report.results) {
    out += "R\t" + std::string(r.pass ? "1" : "0") + "\t" + Clean(r.name) + "\t" + Clean(r.detail) +
           "\n";
  }
  for (const auto& [key, value] : report.facts)
    out += "I\t" + Clean(key) + "\t" + Clean(value) + "\n";
  return out;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return fields;
}

// Only complete lines count: a child that died while writing loses its last record.
ChildReport Decode(const std::string& text) {
  ChildReport report;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::vector<std::string> f = SplitTabs(text.substr(start, end - start));
    if (f.size() == 4 && f[0] == "R") {
      report.results.push_back(CheckResult{f[2], f[1] == "1", f[3]});
    } else if (f.size() == 3 && f[0] == "I") {
      report.facts.emplace_back(f[1], f[2]);
    }
  }
  return report;
}

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

[[noreturn]] void RunChild(int fd, const std::vector<std::string>& expected,
                           const std::function<ChildReport()>& work) {
  ChildReport report;
  try {
    report = work();
  } catch (const std::exception& e) {
    for (const std::string& name : expected) {
      report.results.push_back(CheckResult{name, false, e.what()});
    }
  } catch (...) {
    for (const std::string& name : expected) {
      report.results.push_back(CheckResult{name, false, "stopped by an unknown exception"});
    }
  }
  WriteAll(fd, Encode(report));
  close(fd);
  // No exit handlers and no stdio flushing: they belong to the parent.
  _exit(0);
}

std::string DescribeEnd(int status, bool timedOut, int timeoutSeconds) {
  if (timedOut) return "did not finish within " + std::to_string(timeoutSeconds) + " s";
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    const char* name = strsignal(sig);
    return "crashed: signal " + std::to_string(sig) + " (" + (name ? name : "?") + ")";
  }
  if (WIFEXITED(status)) {
    return "ended without a result, exit code " + std::to_string(WEXITSTATUS(status)) +
           " (an exit from the module or a sanitizer report; see stderr)";
  }
  return "ended without a result";
}

}  // namespace

ChildReport RunIsolated(const std::vector<std::string>& expected,
                        const std::function<ChildReport()>& work, int timeoutSeconds) {
  std::fflush(stdout);
  std::fflush(stderr);
  int fds[2];
  if (pipe(fds) != 0) {
    ChildReport failed;
    for (const std::string& name : expected) {
      failed.results.push_back(CheckResult{name, false, "no pipe for the child process"});
    }
    return failed;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    RunChild(fds[1], expected, work);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    ChildReport failed;
    for (const std::string& name : expected) {
      failed.results.push_back(CheckResult{name, false, "could not start a child process"});
    }
    return failed;
  }

  std::string text;
  bool timedOut = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of file: the child is done or gone
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (timedOut) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }

  ChildReport report = Decode(text);
  const bool clean = !timedOut && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  const std::string end = DescribeEnd(status, timedOut, timeoutSeconds);
  for (const std::string& name : expected) {
    const bool reported = std::any_of(report.results.begin(), report.results.end(),
                                      [&](const CheckResult& r) { return r.name == name; });
    if (!reported) {
      report.results.push_back(
          CheckResult{name, false, clean ? "the check reported nothing" : end});
    }
  }
  return report;
}

}  // namespace vorbel
