// The module as a host meets it: the loaded vorbel.so, its two exports, the
// record, the dispatcher, the pin table, the host calls of opening and events.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "host/host_instance.h"
#include "host/module_library.h"
#include "se_sdk2/semodule_base.h"

namespace vorbel {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

class ModuleInterface : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    library_ = ModuleLibrary::Load(DefaultModulePath(), &error).release();
    ASSERT_NE(library_, nullptr) << error;
  }
  static void TearDownTestSuite() {
    delete library_;
    library_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(library_, nullptr); }

  static const ModuleLibrary& library() { return *library_; }
  static int32_t Properties(int32_t index, SEModuleDescription* d) {
    return library_->getModuleProperties()(index, d);
  }
  static std::unique_ptr<HostInstance> Make() {
    std::string error;
    std::unique_ptr<HostInstance> host = HostInstance::Create(*library_, &error);
    EXPECT_NE(host, nullptr) << error;
    return host;
  }

  static ModuleLibrary* library_;
};
ModuleLibrary* ModuleInterface::library_ = nullptr;

// A host callback for records made straight through makeModule: counts calls.
int g_rawHostCalls = 0;
intptr_t SE_CALL CountingCallback(SEModuleRecord*, int32_t, int32_t, int32_t, void*, float) {
  ++g_rawHostCalls;
  return 0;
}

intptr_t RawDispatch(SEModuleRecord* r, int32_t opcode, int32_t index = 0, int32_t value = 0,
                     void* ptr = nullptr, float opt = 0.0f) {
  return r->dispatcherEntry(r, opcode, index, value, ptr, opt);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines(1);
  for (char ch : text) {
    if (ch == '\n') {
      lines.emplace_back();
    } else {
      lines.back() += ch;
    }
  }
  return lines;
}

// --- getModuleProperties -----------------------------------------------------------

TEST_F(ModuleInterface, PropertiesOfIndexZeroNameTheModule) {
  SEModuleDescription d;
  std::memset(&d, 0xa5, sizeof d);
  ASSERT_EQ(Properties(0, &d), 1);
  EXPECT_EQ(d.frameVersion, 2230);
  EXPECT_STREQ(d.name, "vorbel");
  EXPECT_STREQ(d.id, "zorv vorbel");
  const std::string about = d.about;
  EXPECT_EQ(about.find('\r'), std::string::npos);
  EXPECT_TRUE(std::all_of(about.begin(), about.end(),
                          [](char ch) { return ch >= 0 && (ch == '\n' || ch >= ' '); }));
  const std::vector<std::string> lines = Lines(about);
  ASSERT_EQ(lines.size(), 4u) << about;
  EXPECT_EQ(lines[0].rfind("vorbel by ", 0), 0u) << lines[0];
  EXPECT_GT(lines[0].size(), std::string("vorbel by ").size());
  EXPECT_EQ(lines[1], "6/3/07");
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[3], "maximum length 8192 samples");
  // The host's words between the texts and the version are not touched.
  std::vector<unsigned char> hostWords(sizeof d.hostWords);
  std::memcpy(hostWords.data(), d.hostWords, hostWords.size());
  EXPECT_THAT(hostWords, ::testing::Each(0xa5));

  SEModuleDescription again{};
  ASSERT_EQ(Properties(0, &again), 1);
  EXPECT_EQ(again.name, d.name);
  EXPECT_EQ(again.id, d.id);
  EXPECT_EQ(again.about, d.about);
}

TEST_F(ModuleInterface, PropertiesOfOtherIndicesWriteOnlyTheVersion) {
  for (int32_t index : {1, -1, 2, INT32_MIN, INT32_MAX}) {
    SCOPED_TRACE(index);
    SEModuleDescription d;
    std::memset(&d, 0xa5, sizeof d);
    SEModuleDescription want = d;
    want.frameVersion = 2230;
    EXPECT_EQ(Properties(index, &d), 0);
    EXPECT_EQ(std::memcmp(&d, &want, sizeof d), 0);
  }
}

TEST_F(ModuleInterface, PropertiesWithoutDescriptionAnswerZero) {
  EXPECT_EQ(Properties(0, nullptr), 0);
  EXPECT_EQ(Properties(1, nullptr), 0);
}

TEST_F(ModuleInterface, LibraryImageCarriesTheMarker) {
  std::ifstream file(library().path(), std::ios::binary);
  ASSERT_TRUE(file) << library().path();
  const std::string image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_NE(image.find(std::string("SE_MODULE", 10)), std::string::npos);
}

// --- makeModule -------------------------------------------------------------------

TEST_F(ModuleInterface, MakeModuleRefusesOtherIndicesAndProcessTypes) {
  struct Args {
    int32_t index, processType;
  };
  g_rawHostCalls = 0;
  for (Args a : {Args{0, 0}, Args{0, 2}, Args{1, 1}, Args{-1, 1}, Args{0, -1}, Args{1, 0}}) {
    EXPECT_EQ(library().makeModule()(a.index, a.processType, &CountingCallback, nullptr), nullptr)
        << a.index << "," << a.processType;
  }
  EXPECT_EQ(g_rawHostCalls, 0);
}

TEST_F(ModuleInterface, EachInstanceIsItsOwnRecordInItsOwnObject) {
  g_rawHostCalls = 0;
  int handleA = 0, handleB = 0;
  SEModuleRecord* a = library().makeModule()(0, 1, &CountingCallback, &handleA);
  SEModuleRecord* b = library().makeModule()(0, 1, &CountingCallback, &handleB);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_NE(a->instance, b->instance);
  EXPECT_EQ(a->hostHandle, &handleA);
  EXPECT_EQ(b->hostHandle, &handleB);
  // The record is embedded in the object the instance word names, at the same
  // place in each, not the object's own address.
  const intptr_t offsetA = reinterpret_cast<intptr_t>(a) - reinterpret_cast<intptr_t>(a->instance);
  const intptr_t offsetB = reinterpret_cast<intptr_t>(b) - reinterpret_cast<intptr_t>(b->instance);
  EXPECT_GT(offsetA, 0);
  EXPECT_LT(offsetA, 64);
  EXPECT_EQ(offsetA, offsetB);
  EXPECT_EQ(g_rawHostCalls, 0);
  EXPECT_EQ(RawDispatch(a, MOD_CLOSE), 1);
  EXPECT_EQ(RawDispatch(b, MOD_CLOSE), 1);
  EXPECT_EQ(g_rawHostCalls, 0);
}

TEST_F(ModuleInterface, WithoutCallbackTheInstanceStillWorks) {
  SEModuleRecord* r = library().makeModule()(0, 1, nullptr, nullptr);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->magic, 0x5345504cu);
  EXPECT_EQ(r->version, 1);
  EXPECT_EQ(r->hostHandle, nullptr);
  RawDispatch(r, MOD_SET_SAMPLE_RATE, 0, 0, nullptr, 48000.0f);
  RawDispatch(r, MOD_OPEN);  // no pins to report on: reported, survived
  std::vector<float> stream(8, 0.0f);
  SEPinProperties props{};
  for (int32_t i = 0; i < 14; ++i) {
    ASSERT_EQ(RawDispatch(r, MOD_GET_PIN_PROPERTIES, i, 0, &props), 1);
    *static_cast<float**>(props.valueAddress) = stream.data();
  }
  r->processEntry(r->instance, 0, 8);
  SEEventRecord e{};
  e.kind = EV_PIN_STATUS;
  r->eventEntry(r->instance, &e);
  EXPECT_EQ(RawDispatch(r, MOD_CLOSE), 1);
}

TEST_F(ModuleInterface, FreshRecordReadsAsTheHostExpects) {
  std::unique_ptr<HostInstance> host = Make();
  const SEModuleRecord* r = host->record();
  EXPECT_EQ(r->magic, 0x5345504cu);
  EXPECT_EQ(r->version, 1);
  EXPECT_EQ(r->hostHandle, host.get());
  EXPECT_NE(r->instance, nullptr);
  EXPECT_NE(r->instance, static_cast<const void*>(r));
  EXPECT_EQ(r->reserved1, 0);
  EXPECT_NE(r->dispatcherEntry, nullptr);
  EXPECT_NE(r->processEntry, nullptr);
  EXPECT_NE(r->eventEntry, nullptr);
  EXPECT_THAT(r->reserved2, ElementsAre(0, 0, 0, 0));
  EXPECT_THAT(host->calls(), IsEmpty());

  if constexpr (sizeof(void*) == 4) {
    // On the 32-bit layout, word for word.
    uint32_t words[sizeof(SEModuleRecord) / 4];
    std::memcpy(words, r, sizeof words);
    auto w = [](const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); };
    EXPECT_THAT(words,
                ElementsAre(0x5345504cu, 1u, w(host.get()), w(r->instance), 0u,
                            w(reinterpret_cast<const void*>(r->dispatcherEntry)),
                            w(reinterpret_cast<const void*>(r->processEntry)),
                            w(reinterpret_cast<const void*>(r->eventEntry)), 0u, 0u, 0u, 0u));
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(r);
    EXPECT_THAT(std::vector<unsigned char>(bytes, bytes + 4), ElementsAre(0x4c, 0x50, 0x45, 0x53));
  }
}

TEST_F(ModuleInterface, FreshProcessEntryDoesNothing) {
  std::unique_ptr<HostInstance> host = Make();
  const SEModuleRecord before = *host->record();
  for (int32_t count : {0, 1, 4096, -1, INT32_MAX}) {
    host->record()->processEntry(host->record()->instance, 0, count);
  }
  // Also with every stream handed over: the outputs stay as the host left them.
  std::vector<std::vector<float>> streams(14, std::vector<float>(64, 0.5f));
  for (int p = 0; p < 14; ++p) host->SetStream(p, streams[static_cast<size_t>(p)].data());
  streams[12].assign(64, -3.0f);
  streams[13].assign(64, -3.0f);
  host->Process(0, 64);
  EXPECT_THAT(streams[12], ::testing::Each(-3.0f));
  EXPECT_THAT(streams[13], ::testing::Each(-3.0f));
  EXPECT_EQ(std::memcmp(&before, host->record(), sizeof before), 0);
  EXPECT_THAT(host->calls(), IsEmpty());
}

TEST_F(ModuleInterface, CloseAnswersOne) {
  for (bool open : {false, true}) {
    SEModuleRecord* r = library().makeModule()(0, 1, nullptr, nullptr);
    ASSERT_NE(r, nullptr);
    if (open) RawDispatch(r, MOD_OPEN);
    EXPECT_EQ(RawDispatch(r, MOD_CLOSE), 1);
  }
}

// --- Dispatcher -------------------------------------------------------------------

TEST_F(ModuleInterface, OpcodesWithoutMeaningAnswerZeroAndChangeNothing) {
  std::unique_ptr<HostInstance> host = Make();
  for (bool opened : {false, true}) {
    SCOPED_TRACE(opened ? "opened" : "fresh");
    if (opened) host->Open();
    host->ClearCalls();
    const SEModuleRecord before = *host->record();
    for (int32_t opcode : {14, 255, -1, 4, 5, 7, 9, 10, 11}) {
      int target = 0;
      EXPECT_EQ(host->Dispatch(opcode, 1, 2, &target, 3.0f), 0) << opcode;
    }
    EXPECT_EQ(std::memcmp(&before, host->record(), sizeof before), 0);
    EXPECT_THAT(host->calls(), IsEmpty());
  }
}

TEST_F(ModuleInterface, ControlOpcodesAnswerZeroAndCallNoHost) {
  std::unique_ptr<HostInstance> host = Make();
  host->Open();
  host->ClearCalls();
  int target = 0;
  EXPECT_EQ(host->Dispatch(MOD_NOTIFY, 0), 0);
  EXPECT_EQ(host->Dispatch(MOD_NOTIFY, -5), 0);
  EXPECT_EQ(host->Dispatch(MOD_NOTIFY, 3), 0);
  EXPECT_EQ(host->Dispatch(MOD_HOST_MESSAGE, 1, 2, &target), 0);
  EXPECT_EQ(host->Dispatch(MOD_SET_BLOCK_SIZE, 0, 256, nullptr, 9.0f), 0);
  EXPECT_EQ(host->Dispatch(MOD_SET_SAMPLE_RATE, 0, 96000, nullptr, 48000.0f), 0);
  EXPECT_THAT(host->calls(), IsEmpty());
  EXPECT_EQ(target, 0);
}

TEST_F(ModuleInterface, ProcessRefIsSharedAndNamesTheLastAsker) {
  std::unique_ptr<HostInstance> a = Make();
  std::unique_ptr<HostInstance> b = Make();
  const intptr_t fromA = a->Dispatch(MOD_GET_PROCESS_REF);
  ASSERT_NE(fromA, 0);
  const auto* info = reinterpret_cast<const ProcessRefInfo*>(fromA);
  const void* refA = info->ref;
  EXPECT_EQ(info->one, 1);
  EXPECT_EQ(info->refSize, static_cast<int32_t>(sizeof(SEProcessFunctionRef)));
  if constexpr (sizeof(void*) == 4) {
    EXPECT_EQ(info->refSize, 12);
  }
  EXPECT_EQ(info->zero, 0);

  EXPECT_EQ(b->Dispatch(MOD_GET_PROCESS_REF), fromA);
  EXPECT_NE(info->ref, refA);
  const auto* refB = static_cast<const SEProcessFunctionRef*>(info->ref);
  EXPECT_EQ(refB->entry, b->record()->processEntry);
  EXPECT_EQ(refB->word1, 0);
  EXPECT_EQ(refB->word2, 0);

  // After a's open its reference names the sample loop that its record now holds.
  a->Open();
  EXPECT_EQ(a->Dispatch(MOD_GET_PROCESS_REF), fromA);
  EXPECT_EQ(info->ref, refA);
  const auto* ref = static_cast<const SEProcessFunctionRef*>(info->ref);
  EXPECT_EQ(ref->entry, a->record()->processEntry);
  EXPECT_NE(ref->entry, b->record()->processEntry);
  EXPECT_THAT(b->calls(), IsEmpty());
}

// --- Pin table --------------------------------------------------------------------

struct PinRow {
  const char* name;
  int32_t direction;
  const char* defaultText;  // null: the output leaves the field alone
};
const PinRow kPinTable[] = {
    {"in", DR_IN, "0"},        {"p.str", DR_IN, "3"},     {"p.pos", DR_IN, "4"},
    {"f.pos", DR_IN, "0"},     {"i.pos", DR_IN, "1.7"},   {"o.pos", DR_IN, "1.2"},
    {"feed", DR_IN, "0"},      {"f.lpf", DR_IN, "0"},     {"peak.f", DR_IN, "5"},
    {"peak.q", DR_IN, "5"},    {"peak.amt", DR_IN, "0"},  {"o.pos2", DR_IN, "0"},
    {"out1", DR_OUT, nullptr}, {"out2", DR_OUT, nullptr},
};

TEST_F(ModuleInterface, PinTableOnACleanRecord) {
  std::unique_ptr<HostInstance> host = Make();
  std::vector<void*> addresses;
  for (int32_t i = 0; i < 14; ++i) {
    SCOPED_TRACE(i);
    const PinRow& want = kPinTable[i];
    SEPinProperties p{};
    ASSERT_EQ(host->Dispatch(MOD_GET_PIN_PROPERTIES, i, 0, &p), 1);
    EXPECT_STREQ(p.name, want.name);
    EXPECT_EQ(p.direction, want.direction);
    EXPECT_EQ(p.datatype, 5);
    if (want.defaultText != nullptr) {
      EXPECT_STREQ(p.defaultText, want.defaultText);
    } else {
      EXPECT_EQ(p.defaultText, nullptr);
    }
    EXPECT_EQ(p.flags, 0);
    EXPECT_EQ(p.reserved1, nullptr);
    EXPECT_EQ(p.reserved2, 0);
    EXPECT_NE(p.valueAddress, nullptr);
    addresses.push_back(p.valueAddress);
  }
  std::sort(addresses.begin(), addresses.end());
  EXPECT_EQ(std::adjacent_find(addresses.begin(), addresses.end()), addresses.end());
  EXPECT_THAT(host->calls(), IsEmpty());
}

TEST_F(ModuleInterface, PinTableWritesOnlyItsFields) {
  std::unique_ptr<HostInstance> host = Make();
  for (int32_t i = 0; i < 14; ++i) {
    SCOPED_TRACE(i);
    SEPinProperties p;
    std::memset(&p, 0x5a, sizeof p);  // no IO_PATCH_STORE bit in the pattern
    SEPinProperties want = p;
    ASSERT_EQ(host->Dispatch(MOD_GET_PIN_PROPERTIES, i, 0, &p), 1);
    want.valueAddress = p.valueAddress;
    want.direction = kPinTable[i].direction;
    want.datatype = DT_STREAM;
    want.name = p.name;
    if (kPinTable[i].defaultText != nullptr) want.defaultText = p.defaultText;
    EXPECT_EQ(std::memcmp(&p, &want, sizeof p), 0);
  }
}

TEST_F(ModuleInterface, PinTableEndsAtFourteen) {
  std::unique_ptr<HostInstance> host = Make();
  for (int32_t index : {14, 15, 100, -1, INT32_MIN}) {
    SCOPED_TRACE(index);
    SEPinProperties p;
    std::memset(&p, 0x5a, sizeof p);
    const SEPinProperties before = p;
    EXPECT_EQ(host->Dispatch(MOD_GET_PIN_PROPERTIES, index, 0, &p), 0);
    EXPECT_EQ(std::memcmp(&p, &before, sizeof p), 0);
  }
  EXPECT_EQ(host->Dispatch(MOD_GET_PIN_PROPERTIES, 0, 0, nullptr), 0);
}

// --- Opening ----------------------------------------------------------------------

struct Expected {
  int32_t opcode, index, value;
  intptr_t ptr;
};

void ExpectCalls(const HostInstance& host, const std::vector<Expected>& want) {
  ASSERT_EQ(host.calls().size(), want.size());
  for (size_t k = 0; k < want.size(); ++k) {
    SCOPED_TRACE(k);
    const HostCall& c = host.calls()[k];
    EXPECT_EQ(c.opcode, want[k].opcode);
    EXPECT_EQ(c.index, want[k].index);
    EXPECT_EQ(c.value, want[k].value);
    EXPECT_EQ(c.ptr, want[k].ptr);
    EXPECT_EQ(c.opt, 0.0f);
    EXPECT_FALSE(c.duringProcess);
  }
}

TEST_F(ModuleInterface, OpenCallsTheHostInThisOrder) {
  std::unique_ptr<HostInstance> host = Make();
  host->SetSampleRate(48000.0f);
  host->SetClock(1234);
  const SEProcessEntry fresh = host->record()->processEntry;
  host->Open();
  ExpectCalls(*host, {{HOST_GET_PIN_COUNT, 0, 0, 0},
                      {HOST_SET_PROCESS_FUNCTION, 0, 0, 0},
                      {HOST_GET_SAMPLE_CLOCK, 0, 0, 0},
                      {HOST_SET_PIN_STATUS, 12, PS_STREAMING, 1234},
                      {HOST_GET_SAMPLE_CLOCK, 0, 0, 0},
                      {HOST_SET_PIN_STATUS, 13, PS_STREAMING, 1234}});
  const SEProcessEntry loop = host->record()->processEntry;
  EXPECT_NE(loop, fresh);
  EXPECT_EQ(host->CountCalls(HOST_GET_PIN_BUFFER), 0u);

  // A second open keeps the process function and does not announce it again.
  host->ClearCalls();
  host->SetClock(99);
  host->Open();
  ExpectCalls(*host, {{HOST_GET_PIN_COUNT, 0, 0, 0},
                      {HOST_GET_SAMPLE_CLOCK, 0, 0, 0},
                      {HOST_SET_PIN_STATUS, 12, PS_STREAMING, 99},
                      {HOST_GET_SAMPLE_CLOCK, 0, 0, 0},
                      {HOST_SET_PIN_STATUS, 13, PS_STREAMING, 99}});
  EXPECT_EQ(host->record()->processEntry, loop);
}

TEST_F(ModuleInterface, OpenedInstancesShareTheirProcessEntry) {
  std::unique_ptr<HostInstance> a = Make();
  std::unique_ptr<HostInstance> b = Make();
  a->Open();
  b->Open();
  EXPECT_EQ(a->record()->processEntry, b->record()->processEntry);
}

struct PinCountCase {
  const char* name;
  int32_t answer;
  std::vector<int32_t> statusPins;
};

class ModulePinCountFaults : public ModuleInterface,
                             public ::testing::WithParamInterface<PinCountCase> {};

TEST_P(ModulePinCountFaults, OpenSurvivesAndReportsOnlyPinsThatExist) {
  const PinCountCase& c = GetParam();
  std::unique_ptr<HostInstance> host = Make();
  host->SetPinCountAnswer(c.answer);
  host->Open();
  std::vector<int32_t> statusPins;
  for (const HostCall& call : host->calls()) {
    if (call.opcode == HOST_SET_PIN_STATUS) statusPins.push_back(call.index);
  }
  EXPECT_THAT(statusPins, ElementsAreArray(c.statusPins));
  EXPECT_EQ(host->CountCalls(HOST_SET_PROCESS_FUNCTION), 1u);
  EXPECT_EQ(host->CountCalls(HOST_GET_PIN_BUFFER), 0u);

  // Events naming pins it may or may not have, then a block: nothing breaks.
  for (intptr_t pin : {intptr_t{0}, intptr_t{12}, intptr_t{13}, intptr_t{15}, intptr_t{-1}}) {
    host->DeliverEvent(EV_PIN_STATUS, PS_ONCE, 0, pin);
  }
  std::vector<std::vector<float>> streams(14, std::vector<float>(32, 0.0f));
  for (int p = 0; p < 14; ++p) host->SetStream(p, streams[static_cast<size_t>(p)].data());
  streams[12].assign(32, -1.0f);
  host->Process(0, 32);
  EXPECT_THAT(streams[12], ::testing::Each(0.0f));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ModulePinCountFaults,
    ::testing::Values(PinCountCase{"Zero", 0, {}}, PinCountCase{"MinusThree", -3, {}},
                      PinCountCase{"Twelve", 12, {}}, PinCountCase{"Thirteen", 13, {12}},
                      PinCountCase{"Twenty", 20, {12, 13}}),
    [](const ::testing::TestParamInfo<PinCountCase>& info) { return info.param.name; });

// --- Events -----------------------------------------------------------------------

void* g_calledWith = nullptr;
int g_eventCalls = 0;
void SE_CALL RecordEventCall(void* module) {
  g_calledWith = module;
  ++g_eventCalls;
}

class ModuleEvents : public ModuleInterface {
 protected:
  void SetUp() override {
    ModuleInterface::SetUp();
    host = Make();
    host->SetClock(4096);
    host->Open();
    host->ClearCalls();
  }
  std::unique_ptr<HostInstance> host;
};

TEST_F(ModuleEvents, PinStatusEventsOnlyAskTheClock) {
  host->DeliverEvent(EV_PIN_STATUS, PS_ONCE, 0, 3);
  host->DeliverEvent(EV_PIN_STATUS, PS_STREAMING, 0, 12);
  EXPECT_THAT(host->calls().size(), 2u);
  EXPECT_EQ(host->CountCalls(HOST_GET_SAMPLE_CLOCK), 2u);
}

TEST_F(ModuleEvents, CallEventCallsTheTargetWithTheModule) {
  g_calledWith = nullptr;
  g_eventCalls = 0;
  host->DeliverEvent(EV_CALL, 0, 0, reinterpret_cast<intptr_t>(&RecordEventCall));
  EXPECT_EQ(g_eventCalls, 1);
  EXPECT_EQ(g_calledWith, host->record()->instance);
}

TEST_F(ModuleEvents, OtherKindsAndValueEventsChangeNothing) {
  const SEModuleRecord before = *host->record();
  host->DeliverEvent(6, PS_ONCE, 0, 3);
  host->DeliverEvent(EV_VALUE, 5, 7, 0);
  host->DeliverEvent(99, 0, 0, 0);
  EXPECT_EQ(host->calls().size(), 3u);
  EXPECT_EQ(host->CountCalls(HOST_GET_SAMPLE_CLOCK), 3u);
  EXPECT_EQ(std::memcmp(&before, host->record(), sizeof before), 0);
}

TEST_F(ModuleEvents, StatusForAMissingPinIsIgnored) {
  for (intptr_t pin : {intptr_t{14}, intptr_t{-1}, intptr_t{100000}}) {
    host->DeliverEvent(EV_PIN_STATUS, PS_STREAMING, 0, pin);
  }
  EXPECT_EQ(host->calls().size(), 3u);
  EXPECT_EQ(host->CountCalls(HOST_GET_SAMPLE_CLOCK), 3u);
  // Still an instance that works.
  host->ClearCalls();
  host->Open();
  EXPECT_EQ(host->CountCalls(HOST_SET_PIN_STATUS), 2u);
}

TEST_F(ModuleEvents, NullEventIsIgnored) {
  host->record()->eventEntry(host->record()->instance, nullptr);
  EXPECT_THAT(host->calls(), IsEmpty());
}

}  // namespace
}  // namespace vorbel
