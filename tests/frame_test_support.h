// White-box helpers for tests that link the frame directly: a capture of
// failed-check reports and a host callback that records every call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "se_sdk2/semodule_base.h"

namespace vorbel::testing {

struct CheckReport {
  std::string expression;
  std::string source;
  int line;
};

// Installs a reporter for its lifetime and keeps what it is told.
class ReportCapture {
 public:
  ReportCapture() : previous_(SESetCheckReporter(&Record)) { reports().clear(); }
  ~ReportCapture() { SESetCheckReporter(previous_); }
  ReportCapture(const ReportCapture&) = delete;
  ReportCapture& operator=(const ReportCapture&) = delete;

  static std::vector<CheckReport>& reports() {
    static std::vector<CheckReport> all;
    return all;
  }
  // The expression texts reported so far, in order.
  static std::vector<std::string> expressions() {
    std::vector<std::string> out;
    for (const CheckReport& r : reports()) out.push_back(r.expression);
    return out;
  }

 private:
  static void Record(const char* expression, const char* source, int line) {
    reports().push_back(CheckReport{expression, source, line});
  }
  SECheckReporter previous_;
};

struct RecordedCall {
  int32_t opcode;
  int32_t index;
  int32_t value;
  intptr_t ptr;
  float opt;
  SEModuleRecord* record;
};

// A host for one instance: pass Callback and `this` (as host handle) to the
// module's constructor. Answers the pin count, the sample clock and pin
// buffers (distinct fake addresses that nothing dereferences).
struct RecordingHost {
  int32_t pinCount = 0;
  int32_t clock = 0;
  std::vector<RecordedCall> calls;
  // The record's processEntry at the moment each HOST_SET_PROCESS_FUNCTION arrived.
  std::vector<SEProcessEntry> entryWhenToldOfProcess;

  static intptr_t BufferFor(int32_t index) {
    return 0x40000 + 0x100 * static_cast<intptr_t>(index);
  }

  static intptr_t SE_CALL Callback(SEModuleRecord* record, int32_t opcode, int32_t index,
                                   int32_t value, void* ptr, float opt) {
    auto* host = static_cast<RecordingHost*>(record->hostHandle);
    host->calls.push_back(
        RecordedCall{opcode, index, value, reinterpret_cast<intptr_t>(ptr), opt, record});
    switch (opcode) {
      case HOST_GET_PIN_COUNT:
        return host->pinCount;
      case HOST_GET_SAMPLE_CLOCK:
        return host->clock;
      case HOST_GET_PIN_BUFFER:
        return BufferFor(index);
      case HOST_SET_PROCESS_FUNCTION:
        host->entryWhenToldOfProcess.push_back(record->processEntry);
        return 0;
      default:
        return 0;
    }
  }

  std::vector<int32_t> opcodes() const {
    std::vector<int32_t> out;
    for (const RecordedCall& c : calls) out.push_back(c.opcode);
    return out;
  }
  size_t CountCalls(int32_t opcode) const { return indicesOf(opcode).size(); }
  // The index argument of every call with this opcode, in order.
  std::vector<int32_t> indicesOf(int32_t opcode) const {
    std::vector<int32_t> out;
    for (const RecordedCall& c : calls) {
      if (c.opcode == opcode) out.push_back(c.index);
    }
    return out;
  }
};

}  // namespace vorbel::testing
