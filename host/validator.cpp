#include "host/validator.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>

#include "host/alloc_counter.h"
#include "host/host_instance.h"
#include "host/module_library.h"
#include "host/render.h"
#include "host/validator_render.h"

namespace vorbel {

namespace {

using validation::Layout;
using validation::Observations;
using validation::Plan;

constexpr float kRate = 44100.0f;
constexpr size_t kLength = 32768;  // samples of the processing checks
constexpr int kWarmUpCycles = 2;
constexpr int kCycles = 300;
constexpr int kInstancesAtOnce = 8;
constexpr int kReopens = 3;
constexpr int32_t kMaxPins = 4096;
constexpr double kMaxTailRatio = 4.0;

// A check's verdict cut short: the message becomes the failure's detail.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

CheckResult Judge(std::string name, bool pass, std::string detail) {
  return CheckResult{std::move(name), pass, std::move(detail)};
}

ChildReport One(CheckResult result) {
  ChildReport report;
  report.results.push_back(std::move(result));
  return report;
}

// Several problems as one detail: "first; second; ...".
std::string Join(const std::vector<std::string>& parts, const char* separator = "; ") {
  std::string text;
  for (const std::string& part : parts) {
    if (!text.empty()) text += separator;
    text += part;
  }
  return text;
}

std::string Quoted(const char* text) {
  return text == nullptr ? std::string("(null)") : "\"" + std::string(text) + "\"";
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

std::string Fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// The library under test, loaded inside a child process. Instances made here must be
// gone before it is.
class Subject {
 public:
  explicit Subject(const std::string& path) {
    std::string error;
    library_ = ModuleLibrary::Load(path, &error);
    if (!library_) throw Failure(error);
  }

  const ModuleLibrary& library() const { return *library_; }

  std::unique_ptr<HostInstance> Make(bool withCallback = true) const {
    std::string error;
    std::unique_ptr<HostInstance> instance =
        HostInstance::Create(*library_, &error, 0, 1, withCallback);
    if (!instance) throw Failure(error);
    return instance;
  }

  std::unique_ptr<HostInstance> MakeOpen() const {
    std::unique_ptr<HostInstance> instance = Make();
    instance->SetSampleRate(kRate);
    instance->Open();
    return instance;
  }

  // The pins of an opened instance, read once and kept by value.
  Layout ReadLayout() const {
    std::unique_ptr<HostInstance> probe = MakeOpen();
    return Layout::Of(*probe);
  }

 private:
  std::unique_ptr<ModuleLibrary> library_;
};

// --- The library and its records -------------------------------------------------

ChildReport CheckExports(const std::string& path) {
  Subject subject(path);  // a load failure names the path and the missing export
  ChildReport report;
  report.facts.emplace_back("loaded", "1");
  std::ifstream file(path, std::ios::binary);
  const std::string image{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  const bool marker = image.find(std::string("SE_MODULE", sizeof "SE_MODULE")) != std::string::npos;
  report.results.push_back(Judge("exports", marker,
                                 std::string("getModuleProperties and makeModule exported; ") +
                                     (marker ? "marker text \"SE_MODULE\" present"
                                             : "the marker text \"SE_MODULE\" is missing")));
  return report;
}

ChildReport CheckDescription(const std::string& path) {
  Subject subject(path);
  const GetModulePropertiesFn get = subject.library().getModuleProperties();
  std::vector<std::string> problems;
  SEModuleDescription d{};
  const int32_t answer = get(0, &d);
  if (answer != 1) problems.push_back("index 0 answered " + std::to_string(answer) + ", not 1");
  if (d.frameVersion != kSEFrameVersion) {
    problems.push_back("frame version " + std::to_string(d.frameVersion) + ", not " +
                       std::to_string(kSEFrameVersion));
  }
  const std::pair<const char*, const char*> texts[] = {
      {"name", d.name}, {"id", d.id}, {"about", d.about}};
  for (const auto& [field, text] : texts) {
    if (text == nullptr) {
      problems.push_back(std::string("no ") + field);
    } else if (*text == '\0') {
      problems.push_back(std::string("empty ") + field);
    }
  }
  SEModuleDescription again{};
  get(0, &again);
  if (again.name != d.name || again.id != d.id || again.about != d.about) {
    problems.push_back("a second query gave other text addresses");
  }
  if (!problems.empty()) return One(Judge("description", false, Join(problems)));
  return One(
      Judge("description", true,
            "name " + Quoted(d.name) + ", id " + Quoted(d.id) + ", frame version " +
                std::to_string(d.frameVersion) + ", about text of " +
                std::to_string(std::count(d.about, d.about + std::strlen(d.about), '\n') + 1) +
                " lines; the same texts on every query"));
}

ChildReport CheckRefusals(const std::string& path) {
  Subject subject(path);
  std::vector<std::string> problems;
  static const char kUntouched[] = "untouched";
  for (int32_t index : {1, -1, 2, std::numeric_limits<int32_t>::max()}) {
    SEModuleDescription d;
    d.name = d.id = d.about = kUntouched;
    d.hostWords[0] = d.hostWords[1] = 0x5a5a5a5a;
    d.frameVersion = -1;
    const int32_t answer = subject.library().getModuleProperties()(index, &d);
    const std::string which = "getModuleProperties(" + std::to_string(index) + ")";
    if (answer != 0) problems.push_back(which + " answered " + std::to_string(answer));
    if (d.frameVersion != kSEFrameVersion)
      problems.push_back(which + " left the frame version unset");
    if (d.name != kUntouched || d.id != kUntouched || d.about != kUntouched ||
        d.hostWords[0] != 0x5a5a5a5a || d.hostWords[1] != 0x5a5a5a5a) {
      problems.push_back(which + " wrote more than the frame version");
    }
  }
  const std::pair<int32_t, int32_t> refused[] = {{1, 1}, {-1, 1}, {0, 0}, {0, 2}, {0, -1}};
  for (const auto& [index, type] : refused) {
    SEModuleRecord* record = subject.library().makeModule()(index, type, nullptr, nullptr);
    if (record != nullptr) {
      problems.push_back("makeModule(" + std::to_string(index) + ", " + std::to_string(type) +
                         ") made an instance");
      record->dispatcherEntry(record, MOD_CLOSE, 0, 0, nullptr, 0.0f);
    }
  }
  if (!problems.empty()) return One(Judge("refusals", false, Join(problems)));
  return One(Judge("refusals", true,
                   "other module indexes answer 0 and write only the frame version; makeModule "
                   "refuses other indexes and process types"));
}

ChildReport CheckRecord(const std::string& path) {
  Subject subject(path);
  std::vector<std::string> problems;
  std::unique_ptr<HostInstance> a = subject.Make();
  std::unique_ptr<HostInstance> b = subject.Make();
  const SEModuleRecord& r = *a->record();
  if (r.magic != kSEMagic) problems.push_back("magic " + Hex(r.magic) + ", not " + Hex(kSEMagic));
  if (r.version != kSERecordVersion) problems.push_back("version " + std::to_string(r.version));
  if (r.hostHandle != a.get()) problems.push_back("the host handle was not kept");
  if (r.instance == nullptr) problems.push_back("no instance address");
  if (r.dispatcherEntry == nullptr || r.processEntry == nullptr || r.eventEntry == nullptr) {
    problems.push_back("an entry is missing");
  }
  bool reservedClear = r.reserved1 == 0;
  for (intptr_t word : r.reserved2) reservedClear = reservedClear && word == 0;
  if (!reservedClear) problems.push_back("reserved words are not zero");
  if (b->record() == a->record() || b->record()->instance == r.instance) {
    problems.push_back("two instances share a record or an instance");
  }
  b.reset();
  a.reset();
  std::unique_ptr<HostInstance> silent = subject.Make(false);  // a null host callback
  silent.reset();
  if (!problems.empty()) return One(Judge("record", false, Join(problems)));
  return One(Judge("record", true,
                   "magic " + Hex(kSEMagic) +
                       ", version 1, host handle kept, three entries, reserved words zero; two "
                       "instances have two records; a null host callback is accepted"));
}

bool AllZero(const SEPinProperties& p) {
  const SEPinProperties zero{};
  return std::memcmp(&p, &zero, sizeof p) == 0;
}

ChildReport CheckPins(const std::string& path) {
  Subject subject(path);
  std::unique_ptr<HostInstance> instance = subject.Make();
  SEModuleRecord* record = instance->record();
  auto describe = [record](int32_t index, SEPinProperties* props) {
    return record->dispatcherEntry(record, MOD_GET_PIN_PROPERTIES, index, 0, props, 0.0f);
  };

  std::vector<std::string> problems;
  std::vector<SEPinProperties> pins;
  bool ended = false;
  for (int32_t index = 0; index < kMaxPins; ++index) {
    SEPinProperties props{};
    if (describe(index, &props) == 0) {
      ended = true;
      if (!AllZero(props))
        problems.push_back("the refusal that ends the list wrote into the record");
      break;
    }
    pins.push_back(props);
  }
  ChildReport report;
  if (!ended) {
    report.results.push_back(Judge(
        "pins", false,
        "the list of pin descriptions has no end within " + std::to_string(kMaxPins) + " indexes"));
    return report;
  }
  report.facts.emplace_back("pins-end", std::to_string(pins.size()));
  SEPinProperties negative{};
  if (describe(-1, &negative) != 0 || !AllZero(negative)) {
    problems.push_back("index -1 is described or written");
  }

  std::set<std::string> names;
  int inputs = 0;
  int outputs = 0;
  int streams = 0;
  for (size_t i = 0; i < pins.size(); ++i) {
    const SEPinProperties& p = pins[i];
    const std::string which = "pin " + std::to_string(i);
    if (p.name == nullptr || *p.name == '\0') {
      problems.push_back(which + " has no name");
    } else if (!names.insert(p.name).second) {
      problems.push_back(which + " repeats the name \"" + std::string(p.name) + "\"");
    }
    if (p.direction != DR_IN && p.direction != DR_OUT) {
      problems.push_back(which + " has direction " + std::to_string(p.direction));
    }
    switch (p.datatype) {
      case DT_WORD16:
      case DT_BYTE:
      case DT_STREAM:
      case DT_WORD32_A:
      case DT_WORD32_B:
        break;
      default:
        problems.push_back(which + " has datatype " + std::to_string(p.datatype));
    }
    const bool patchStoreKept = (p.flags & IO_PATCH_STORE) == 0 || (p.flags & IO_PRIVATE) != 0 ||
                                p.direction == DR_OUT || (p.flags & IO_UI_COMMUNICATION) != 0;
    if (!patchStoreKept) problems.push_back(which + " breaks the patch-store rule");
    inputs += p.direction == DR_IN ? 1 : 0;
    outputs += p.direction == DR_OUT ? 1 : 0;
    streams += p.datatype == DT_STREAM ? 1 : 0;
    if (p.datatype == DT_STREAM && p.direction == DR_IN && p.valueAddress != nullptr &&
        p.name != nullptr) {
      report.facts.emplace_back("input", std::to_string(i) + " " + p.name);
    }
  }
  if (!problems.empty()) {
    report.results.push_back(Judge("pins", false, Join(problems)));
  } else {
    report.results.push_back(
        Judge("pins", true,
              std::to_string(pins.size()) + " pins (" + std::to_string(inputs) + " in, " +
                  std::to_string(outputs) + " out, " + std::to_string(streams) +
                  " streams), the list ends with a refusal; names unique; datatypes and directions "
                  "known; patch-store rule kept"));
  }
  return report;
}

// --- Lifecycle ---------------------------------------------------------------------

std::string Unreleased(const alloc::Counts& counts, const char* per, int times) {
  const int64_t net = counts.Net();
  std::string text = std::to_string(net) + " of " + std::to_string(counts.allocations) +
                     " heap allocations not released";
  if (times > 1) text += " (" + Fixed(static_cast<double>(net) / times, 1) + " per " + per + ")";
  return text;
}

ChildReport CheckOpenClose(const std::string& path, uint32_t seed) {
  Subject subject(path);
  const Layout layout = subject.ReadLayout();
  constexpr size_t kSamples = 64;
  StreamSet work = validation::BusyStreams(layout, kSamples, seed);
  auto cycle = [&] {
    std::unique_ptr<HostInstance> instance = subject.MakeOpen();
    for (int pin : layout.inputs) instance->SetStream(pin, work[static_cast<size_t>(pin)].data());
    for (int pin : layout.outputs) instance->SetStream(pin, work[static_cast<size_t>(pin)].data());
    instance->Process(0, static_cast<int32_t>(kSamples));
    instance->Close();
  };
  for (int i = 0; i < kWarmUpCycles; ++i) cycle();
  const alloc::Counts start = alloc::Now();
  for (int i = 0; i < kCycles; ++i) cycle();
  const alloc::Counts counts = alloc::Now() - start;
  const std::string what = std::to_string(kCycles) + " cycles of make, open, process, close";
  if (counts.Net() > 0)
    return One(Judge("open-close", false, what + ": " + Unreleased(counts, "cycle", kCycles)));
  return One(Judge("open-close", true,
                   what + ": " + std::to_string(counts.allocations) +
                       " heap allocations (the validator's own included), all released"));
}

ChildReport CheckInstances(const std::string& path, uint32_t seed) {
  Subject subject(path);
  const Layout layout = subject.ReadLayout();
  constexpr size_t kSamples = 16384;
  const StreamSet inputs = validation::BusyStreams(layout, kSamples, seed + 1);
  std::vector<StreamSet> outputs(kInstancesAtOnce, validation::ZeroStreams(layout, kSamples));
  std::mt19937 rng(seed + 2);
  const Plan plan = validation::RandomPlan(kSamples, rng);
  std::vector<int> closing(kInstancesAtOnce);
  for (int i = 0; i < kInstancesAtOnce; ++i) closing[static_cast<size_t>(i)] = i;
  std::shuffle(closing.begin(), closing.end(), rng);

  bool distinct = true;
  const alloc::Counts start = alloc::Now();
  {
    std::vector<std::unique_ptr<HostInstance>> instances;
    std::vector<HostInstance*> raw;
    std::set<SEModuleRecord*> records;
    for (int i = 0; i < kInstancesAtOnce; ++i) {
      instances.push_back(subject.MakeOpen());
      raw.push_back(instances.back().get());
      records.insert(raw.back()->record());
    }
    distinct = records.size() == static_cast<size_t>(kInstancesAtOnce);
    validation::RenderGuarded(raw, layout, inputs, outputs, plan);
    for (int i : closing) instances[static_cast<size_t>(i)]->Close();
  }
  const alloc::Counts counts = alloc::Now() - start;

  std::vector<std::string> problems;
  if (!distinct) problems.push_back("instances share records");
  for (int i = 1; i < kInstancesAtOnce; ++i) {
    const std::string difference =
        validation::CompareOutputs(layout, outputs[0], outputs[static_cast<size_t>(i)]);
    if (!difference.empty()) {
      problems.push_back("instance " + std::to_string(i) +
                         " differs from instance 0: " + difference);
      break;
    }
  }
  if (counts.Net() > 0) problems.push_back(Unreleased(counts, "instance", kInstancesAtOnce));
  if (!problems.empty()) return One(Judge("instances", false, Join(problems)));
  return One(Judge("instances", true,
                   std::to_string(kInstancesAtOnce) +
                       " instances open at once, processed block by block in turn and closed "
                       "in shuffled order: outputs agree, all allocations released"));
}

ChildReport CheckReopen(const std::string& path, uint32_t seed) {
  Subject subject(path);
  const Layout layout = subject.ReadLayout();
  constexpr size_t kSamples = 8192;
  const StreamSet inputs = validation::BusyStreams(layout, kSamples, seed + 3);
  const StreamSet before = validation::BusyStreams(layout, kSamples, seed + 4);
  const Plan plan = validation::WholePlan(kSamples);

  std::unique_ptr<HostInstance> fresh = subject.MakeOpen();
  const StreamSet expected = validation::RenderOne(*fresh, layout, inputs, plan);
  fresh->Close();

  std::vector<StreamSet> scratch{validation::ZeroStreams(layout, kSamples)};
  std::vector<StreamSet> reopened{validation::ZeroStreams(layout, kSamples)};
  const alloc::Counts start = alloc::Now();
  {
    std::unique_ptr<HostInstance> instance = subject.MakeOpen();
    validation::RenderGuarded({instance.get()}, layout, before, scratch, plan);
    for (int i = 0; i < kReopens; ++i) instance->Open();
    validation::RenderGuarded({instance.get()}, layout, inputs, reopened, plan);
    instance->Close();
  }
  const alloc::Counts counts = alloc::Now() - start;

  std::vector<std::string> problems;
  const std::string difference = validation::CompareOutputs(layout, expected, reopened[0]);
  if (!difference.empty())
    problems.push_back("after the reopen the output differs from a fresh instance's: " +
                       difference);
  if (counts.Net() > 0) problems.push_back(Unreleased(counts, "reopen", kReopens));
  const std::string what =
      "an open, sounding instance reopened " + std::to_string(kReopens) + " times";
  if (!problems.empty()) return One(Judge("reopen", false, what + ": " + Join(problems)));
  return One(Judge("reopen", true,
                   what + ": its output then equals a fresh instance's; all allocations released"));
}

// --- Processing --------------------------------------------------------------------

std::string PlanSummary(const Plan& plan) {
  size_t blocks = 0;
  size_t empty = 0;
  int32_t smallest = std::numeric_limits<int32_t>::max();
  int32_t largest = 0;
  int32_t offset = 0;
  for (const validation::Block& b : plan) {
    offset = std::max(offset, b.offset);
    if (b.count == 0) {
      ++empty;
      continue;
    }
    ++blocks;
    smallest = std::min(smallest, b.count);
    largest = std::max(largest, b.count);
  }
  return std::to_string(blocks) + " blocks of " + std::to_string(smallest) + " to " +
         std::to_string(largest) + " samples at buffer offsets up to " + std::to_string(offset) +
         ", " + std::to_string(empty) + " empty calls";
}

ChildReport CheckBlockSplit(const std::string& path, uint32_t seed) {
  Subject subject(path);
  const Layout layout = subject.ReadLayout();
  const StreamSet inputs = validation::BusyStreams(layout, kLength, seed + 5);
  std::mt19937 rng(seed + 6);
  const Plan plan = validation::RandomPlan(kLength, rng);

  std::unique_ptr<HostInstance> whole = subject.MakeOpen();
  const StreamSet expected =
      validation::RenderOne(*whole, layout, inputs, validation::WholePlan(kLength));
  std::unique_ptr<HostInstance> split = subject.MakeOpen();
  const StreamSet actual = validation::RenderOne(*split, layout, inputs, plan);

  const std::string difference = validation::CompareOutputs(layout, expected, actual);
  const std::string what = PlanSummary(plan);
  if (!difference.empty()) return One(Judge("block-split", false, what + ": " + difference));
  return One(Judge("block-split", true,
                   what + " give the output of one block of " + std::to_string(kLength) +
                       ", bit for bit (" +
                       std::to_string(validation::NonZeroOutputs(layout, expected)) +
                       " non-zero output samples)"));
}

ChildReport CheckIndependence(const std::string& path, uint32_t seed) {
  Subject subject(path);
  const Layout layout = subject.ReadLayout();
  const StreamSet inputs = validation::BusyStreams(layout, kLength, seed + 7);
  std::mt19937 rng(seed + 8);
  const Plan plan = validation::RandomPlan(kLength, rng);

  std::unique_ptr<HostInstance> solo = subject.MakeOpen();
  const StreamSet expected = validation::RenderOne(*solo, layout, inputs, plan);
  solo->Close();

  std::unique_ptr<HostInstance> a = subject.MakeOpen();
  std::unique_ptr<HostInstance> b = subject.MakeOpen();
  std::vector<StreamSet> outputs(2, validation::ZeroStreams(layout, kLength));
  validation::RenderGuarded({a.get(), b.get()}, layout, inputs, outputs, plan);

  for (size_t k = 0; k < outputs.size(); ++k) {
    const std::string difference = validation::CompareOutputs(layout, expected, outputs[k]);
    if (!difference.empty()) {
      return One(Judge("independence", false,
                       "two instances fed the same streams in turn: instance " + std::to_string(k) +
                           " differs from an instance that ran alone: " + difference));
    }
  }
  return One(Judge("independence", true,
                   "two instances fed the same streams block by block in turn agree bit for bit "
                   "with an instance that ran alone"));
}

ChildReport CheckRepeatable(const std::string& path, uint32_t seed) {
  Subject subject(path);
  const Layout layout = subject.ReadLayout();
  const StreamSet inputs = validation::BusyStreams(layout, kLength, seed + 9);
  const Plan plan = validation::WholePlan(kLength);
  StreamSet runs[2];
  for (StreamSet& run : runs) {
    std::unique_ptr<HostInstance> instance = subject.MakeOpen();
    run = validation::RenderOne(*instance, layout, inputs, plan);
  }
  const std::string difference = validation::CompareOutputs(layout, runs[0], runs[1]);
  if (!difference.empty())
    return One(Judge("repeatable", false, "the same render twice: " + difference));
  return One(Judge("repeatable", true, "the same render twice agrees bit for bit"));
}

const char* HostOpcodeName(int32_t opcode) {
  switch (opcode) {
    case HOST_SET_PIN_STATUS:
      return "HOST_SET_PIN_STATUS";
    case HOST_GET_SAMPLE_CLOCK:
      return "HOST_GET_SAMPLE_CLOCK";
    case HOST_GET_PIN_BUFFER:
      return "HOST_GET_PIN_BUFFER";
    case HOST_GET_PIN_COUNT:
      return "HOST_GET_PIN_COUNT";
    case HOST_SET_PROCESS_FUNCTION:
      return "HOST_SET_PROCESS_FUNCTION";
    default:
      return nullptr;
  }
}

ChildReport CheckRealTime(const std::string& path, uint32_t seed) {
  Subject subject(path);
  const Layout layout = subject.ReadLayout();
  const StreamSet inputs = validation::BusyStreams(layout, kLength, seed + 10);
  std::mt19937 rng(seed + 11);
  const Plan plan = validation::RandomPlan(kLength, rng);
  std::unique_ptr<HostInstance> instance = subject.MakeOpen();
  instance->ClearCalls();
  Observations seen;
  validation::RenderOne(*instance, layout, inputs, plan, &seen);
  const std::string calls = std::to_string(seen.processCalls) + " process calls";

  ChildReport report;
  report.results.push_back(
      seen.allocations == 0
          ? Judge("no-alloc", true, "no heap allocation during " + calls)
          : Judge("no-alloc", false,
                  std::to_string(seen.allocations) + " heap allocations during " + calls));

  std::map<int32_t, size_t> byOpcode;
  for (const HostCall& call : instance->calls()) {
    if (call.duringProcess) ++byOpcode[call.opcode];
  }
  if (byOpcode.empty()) {
    report.results.push_back(Judge("no-host-call", true, "no host call during " + calls));
  } else {
    std::vector<std::string> parts;
    for (const auto& [opcode, count] : byOpcode) {
      const char* name = HostOpcodeName(opcode);
      parts.push_back((name ? std::string(name) : "opcode " + std::to_string(opcode)) + " x" +
                      std::to_string(count));
    }
    report.results.push_back(
        Judge("no-host-call", false, "host calls during " + calls + ": " + Join(parts, ", ")));
  }

  report.results.push_back(
      seen.inputChanges == 0
          ? Judge("inputs-untouched", true, "every input buffer unchanged after each of " + calls)
          : Judge("inputs-untouched", false,
                  std::to_string(seen.inputChanges) +
                      " input buffers changed; first: " + seen.firstInputChange));
  report.results.push_back(
      seen.outsideWrites == 0
          ? Judge("outputs-in-range", true,
                  "nothing written outside the block's range of the output buffers in " + calls)
          : Judge(
                "outputs-in-range", false,
                std::to_string(seen.outsideWrites) +
                    " output buffers written outside the block; first: " + seen.firstOutsideWrite));
  return report;
}

// --- Hostile input -----------------------------------------------------------------

ChildReport CheckHostile(const std::string& path, uint32_t seed, int pin, const std::string& name) {
  Subject subject(path);
  const Layout layout = subject.ReadLayout();
  struct Hostile {
    float value;
    const char* label;
  };
  const Hostile values[] = {
      {std::numeric_limits<float>::quiet_NaN(), "NaN"},
      {std::numeric_limits<float>::infinity(), "+inf"},
      {-std::numeric_limits<float>::infinity(), "-inf"},
      {1e30f, "1e30"},
      {-1e30f, "-1e30"},
      {1e-40f, "1e-40"},
      {-1e-40f, "-1e-40"},
      {-0.0f, "-0"},
  };
  constexpr size_t kCalm = 4096;
  constexpr size_t kHostile = 4096;
  constexpr size_t kAfter = 16384;
  constexpr size_t kJudged = 2048;  // the last samples, which must be finite to count as back
  constexpr size_t kSamples = kCalm + kHostile + kAfter;
  const StreamSet busy = validation::BusyStreams(layout, kSamples, seed + 12);
  const PinInfo& info = layout.pins[static_cast<size_t>(pin)];
  const float fallback = DefaultStreamValue(info.defaultText ? info.defaultText->c_str() : nullptr);

  std::vector<std::string> stuck;
  for (const Hostile& h : values) {
    StreamSet inputs = busy;
    std::vector<float>& s = inputs[static_cast<size_t>(pin)];
    std::fill(s.begin() + kCalm, s.begin() + kCalm + kHostile, h.value);
    std::fill(s.begin() + kCalm + kHostile, s.end(), fallback);
    std::unique_ptr<HostInstance> instance = subject.MakeOpen();
    const StreamSet out =
        validation::RenderOne(*instance, layout, inputs, validation::EvenPlan(kSamples, 512));
    instance->Close();
    bool finite = true;
    for (int o : layout.outputs) {
      const std::vector<float>& x = out[static_cast<size_t>(o)];
      finite = finite &&
               std::all_of(x.end() - kJudged, x.end(), [](float v) { return std::isfinite(v); });
    }
    if (!finite) stuck.push_back(h.label);
  }
  const std::string what = "NaN, +-inf, +-1e30, +-1e-40 and -0 for " + std::to_string(kHostile) +
                           " samples each, then the default: no crash; ";
  return One(Judge("hostile:" + name, true,
                   what + (stuck.empty() ? "outputs finite again after each"
                                         : "outputs stay non-finite after " + Join(stuck, ", "))));
}

// --- Cost of a decaying tail -----------------------------------------------------------

double Median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::nth_element(values.begin(), values.begin() + static_cast<ptrdiff_t>(values.size() / 2),
                   values.end());
  return values[values.size() / 2];
}

ChildReport CheckTailCost(const std::string& path, uint32_t seed) {
  Subject subject(path);
  const Layout layout = subject.ReadLayout();
  if (layout.inputs.empty()) return One(Judge("tail-cost", true, "no input to excite the module"));
  constexpr int32_t kBlock = 512;
  constexpr double kSeconds = kRate / kBlock;  // blocks per second
  const int soundingBlocks = static_cast<int>(3 * kSeconds);
  const int soundingSkipped = static_cast<int>(1 * kSeconds);
  const int tailBlocks = static_cast<int>(30 * kSeconds);
  const int tailMeasured = static_cast<int>(5 * kSeconds);

  StreamSet work = validation::ZeroStreams(layout, kBlock);
  for (size_t n = 1; n < layout.inputs.size(); ++n) {
    const int pin = layout.inputs[n];
    const float nominal = validation::NominalValue(layout.pins[static_cast<size_t>(pin)]);
    std::fill(work[static_cast<size_t>(pin)].begin(), work[static_cast<size_t>(pin)].end(),
              nominal);
  }
  std::vector<float>& excitation = work[static_cast<size_t>(layout.inputs[0])];
  std::unique_ptr<HostInstance> instance = subject.MakeOpen();
  for (int pin : layout.inputs) instance->SetStream(pin, work[static_cast<size_t>(pin)].data());
  for (int pin : layout.outputs) instance->SetStream(pin, work[static_cast<size_t>(pin)].data());

  std::mt19937 rng(seed + 13);
  std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
  std::vector<double> sounding;
  std::vector<double> tail;
  size_t subnormal = 0;
  size_t nonFinite = 0;
  bool silentAtEnd = false;
  for (int b = 0; b < soundingBlocks + tailBlocks; ++b) {
    const bool isTail = b >= soundingBlocks;
    if (isTail) {
      std::fill(excitation.begin(), excitation.end(), 0.0f);
    } else {
      for (float& x : excitation) x = noise(rng);
    }
    const auto t0 = std::chrono::steady_clock::now();
    instance->Process(0, kBlock);
    const auto t1 = std::chrono::steady_clock::now();
    const double ns = std::chrono::duration<double, std::nano>(t1 - t0).count() / kBlock;
    if (!isTail && b >= soundingSkipped) sounding.push_back(ns);
    if (isTail && b >= soundingBlocks + tailBlocks - tailMeasured) {
      tail.push_back(ns);
      silentAtEnd = true;
      for (int pin : layout.outputs) {
        for (float x : work[static_cast<size_t>(pin)]) {
          subnormal += std::fpclassify(x) == FP_SUBNORMAL ? 1 : 0;
          nonFinite += std::isfinite(x) ? 0 : 1;
          silentAtEnd = silentAtEnd && x == 0.0f;
        }
      }
    }
  }
  const double soundingCost = Median(sounding);
  const double tailCost = Median(tail);
  const double ratio = soundingCost > 0.0 ? tailCost / soundingCost : 0.0;
  std::string outputs =
      silentAtEnd ? "the outputs reach exact zero" : "the outputs have not reached zero";
  if (subnormal > 0) outputs += ", " + std::to_string(subnormal) + " subnormal output samples";
  if (nonFinite > 0) outputs += ", " + std::to_string(nonFinite) + " non-finite output samples";
  const std::string detail = "sounding " + Fixed(soundingCost, 1) + " ns/sample, decaying tail " +
                             Fixed(tailCost, 1) + " ns/sample after 25 s of silence: ratio " +
                             Fixed(ratio, 2) + " (at most " + Fixed(kMaxTailRatio, 0) + "); " +
                             outputs;
  return One(Judge("tail-cost", ratio <= kMaxTailRatio, detail));
}

bool HasFact(const ChildReport& report, const std::string& key) {
  return std::any_of(report.facts.begin(), report.facts.end(),
                     [&](const auto& fact) { return fact.first == key; });
}

}  // namespace

std::vector<CheckResult> ValidateModule(const ValidateOptions& options,
                                        const std::function<void(const CheckResult&)>& report) {
  const std::string path = options.modulePath.empty() ? DefaultModulePath() : options.modulePath;
  const uint32_t seed = options.seed;
  std::vector<CheckResult> all;
  auto run = [&](const std::vector<std::string>& names, const std::function<ChildReport()>& work) {
    ChildReport child = RunIsolated(names, work, options.timeoutSeconds);
    for (const CheckResult& result : child.results) {
      all.push_back(result);
      if (report) report(result);
    }
    return child;
  };

  // Nothing else can run without a library that loads and a pin list that ends.
  if (!HasFact(run({"exports"}, [&] { return CheckExports(path); }), "loaded")) return all;
  run({"description"}, [&] { return CheckDescription(path); });
  run({"refusals"}, [&] { return CheckRefusals(path); });
  run({"record"}, [&] { return CheckRecord(path); });
  const ChildReport pins = run({"pins"}, [&] { return CheckPins(path); });
  if (!HasFact(pins, "pins-end")) return all;

  run({"open-close"}, [&] { return CheckOpenClose(path, seed); });
  run({"instances"}, [&] { return CheckInstances(path, seed); });
  run({"reopen"}, [&] { return CheckReopen(path, seed); });
  run({"block-split"}, [&] { return CheckBlockSplit(path, seed); });
  run({"independence"}, [&] { return CheckIndependence(path, seed); });
  run({"repeatable"}, [&] { return CheckRepeatable(path, seed); });
  run({"no-alloc", "no-host-call", "inputs-untouched", "outputs-in-range"},
      [&] { return CheckRealTime(path, seed); });
  for (const auto& [key, value] : pins.facts) {
    if (key != "input") continue;
    const size_t space = value.find(' ');
    const int pin = std::stoi(value.substr(0, space));
    const std::string name = value.substr(space + 1);
    run({"hostile:" + name}, [&] { return CheckHostile(path, seed, pin, name); });
  }
  run({"tail-cost"}, [&] { return CheckTailCost(path, seed); });
  return all;
}

}  // namespace vorbel
