// The frame on its own: small test-only modules with their own pin
// descriptions, driven through the record's entries by a recording host.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "se_sdk2/semodule_base.h"
#include "tests/frame_test_support.h"

namespace vorbel::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr const char* kSource = "..\\se_sdk2\\semodule_base";
constexpr const char* kPatchStoreText =
    "(((SEPinProperties*)ptr)->flags & IO_PATCH_STORE) == 0 || "
    "(((SEPinProperties*)ptr)->flags & IO_PRIVATE) != 0 || "
    "((SEPinProperties*)ptr)->direction == DR_OUT || "
    "( ( (SEPinProperties*)ptr)->flags & IO_UI_COMMUNICATION) != 0";

// A module whose pins come from a table, and which logs the virtual
// operations the frame runs on it.
class TableModule : public SEModule_base {
 public:
  explicit TableModule(RecordingHost* host, std::vector<SEPinProperties> table = {},
                       std::vector<std::string>* log = nullptr)
      : SEModule_base(host != nullptr ? &RecordingHost::Callback : nullptr, host),
        table_(std::move(table)),
        log_(log != nullptr ? log : &ownLog_) {}
  ~TableModule() override { Log("~TableModule"); }

  bool DescribePin(int32_t index, SEPinProperties* props) override {
    asked.push_back(index);
    Log("DescribePin " + std::to_string(index));
    if (index < 0 || static_cast<size_t>(index) >= table_.size()) return false;
    *props = table_[static_cast<size_t>(index)];
    return true;
  }
  void OnPinStatusChange(SEPin* pin) override {
    Log("OnPinStatusChange " + std::to_string(pin->Index()) + " " + std::to_string(pin->Status()));
  }
  void Open() override {
    Log("Open");
    SEModule_base::Open();
  }
  void Close() override { Log("Close"); }
  void SetSampleRate(float rate) override {
    Log("SetSampleRate " + std::to_string(rate));
    SEModule_base::SetSampleRate(rate);
  }
  void SetBlockSize(int32_t size) override {
    Log("SetBlockSize " + std::to_string(size));
    SEModule_base::SetBlockSize(size);
  }
  void OnNotify() override { Log("OnNotify"); }
  void OnNotifyCount(int32_t count) override { Log("OnNotifyCount " + std::to_string(count)); }
  void OnValueEvent(int32_t timeStamp, int32_t value, int16_t extra) override {
    Log("OnValueEvent " + std::to_string(timeStamp) + " " + std::to_string(value) + " " +
        std::to_string(extra));
  }
  void OnHostMessage(int32_t value, int32_t index, void* ptr) override {
    Log("OnHostMessage " + std::to_string(value) + " " + std::to_string(index) + " " +
        std::to_string(reinterpret_cast<intptr_t>(ptr)));
  }

  intptr_t Call(int32_t opcode, int32_t index = 0, int32_t value = 0, void* ptr = nullptr,
                float opt = 0.0f) {
    return Record()->dispatcherEntry(Record(), opcode, index, value, ptr, opt);
  }
  void Deliver(SEEventRecord event) { Record()->eventEntry(Record()->instance, &event); }

  std::vector<std::string>& log() { return *log_; }
  std::vector<int32_t> asked;  // every DescribePin index, in order

 private:
  void Log(std::string entry) { log_->push_back(std::move(entry)); }

  std::vector<SEPinProperties> table_;
  std::vector<std::string> ownLog_;
  std::vector<std::string>* log_;
};

SEPinProperties Description(int32_t datatype, void* address, int32_t flags = 0,
                            int32_t direction = DR_IN) {
  SEPinProperties p{};
  p.valueAddress = address;
  p.direction = direction;
  p.datatype = datatype;
  p.name = "pin";
  p.flags = flags;
  return p;
}

SEEventRecord Event(int32_t timeStamp, int32_t kind, int32_t value, int16_t extra,
                    intptr_t target) {
  SEEventRecord e{};
  e.time_stamp = timeStamp;
  e.kind = kind;
  e.value = value;
  e.extra = extra;
  e.target = target;
  return e;
}

// --- Construction and the record ----------------------------------------------

TEST(FrameConstruction, FillsTheRecordAndAsksTheHostNothing) {
  RecordingHost host;
  TableModule module(&host);
  const SEModuleRecord* r = module.Record();

  EXPECT_EQ(r->magic, 0x5345504cu);
  unsigned char magicBytes[4];
  std::memcpy(magicBytes, &r->magic, 4);
  EXPECT_THAT(magicBytes, ElementsAre(0x4c, 0x50, 0x45, 0x53));
  EXPECT_EQ(r->version, 1);
  EXPECT_EQ(r->hostHandle, &host);
  EXPECT_EQ(r->instance, static_cast<SEModule_base*>(&module));
  EXPECT_EQ(r->reserved1, 0);
  EXPECT_NE(r->dispatcherEntry, nullptr);
  EXPECT_EQ(r->processEntry, &SEModule_base::EmptyProcess);
  EXPECT_NE(r->eventEntry, nullptr);
  EXPECT_THAT(r->reserved2, ElementsAre(0, 0, 0, 0));

  EXPECT_EQ(module.ProcessFunction().entry, &SEModule_base::EmptyProcess);
  EXPECT_EQ(module.ProcessFunction().word1, 0);
  EXPECT_EQ(module.ProcessFunction().word2, 0);
  EXPECT_EQ(module.SampleRate(), 44100.0f);
  EXPECT_EQ(module.BlockSize(), 1024);
  EXPECT_EQ(module.PinCount(), 0);
  EXPECT_THAT(host.calls, IsEmpty());
}

TEST(FrameConstruction, WithoutCallbackEveryHostCallAnswersZero) {
  ReportCapture capture;
  TableModule module(nullptr, {Description(DT_STREAM, nullptr)});
  for (int32_t opcode : std::initializer_list<int32_t>{HOST_SET_PIN_STATUS, HOST_GET_SAMPLE_CLOCK,
                                                       HOST_GET_PIN_BUFFER, HOST_GET_PIN_COUNT,
                                                       HOST_SET_PROCESS_FUNCTION, 99}) {
    EXPECT_EQ(module.InvokeHost(opcode, 1, 2, nullptr, 3.0f), 0) << opcode;
  }
  EXPECT_EQ(module.SampleClock(), 0);

  // The pin count is then 0 too: no pins, and Pin reports.
  module.Open();
  EXPECT_EQ(module.PinCount(), 0);
  EXPECT_EQ(module.Pin(0), nullptr);
  EXPECT_THAT(ReportCapture::expressions(), ElementsAre("m_pins != 0"));
}

// --- Dispatcher -------------------------------------------------------------------

struct DispatchCase {
  const char* name;
  int32_t opcode;
  int32_t index;
  int32_t value;
  float opt;
  intptr_t result;
  std::vector<std::string> ops;  // virtual operations run, in order
};

class FrameDispatch : public ::testing::TestWithParam<DispatchCase> {};

TEST_P(FrameDispatch, RunsTheOperationsOfItsOpcode) {
  const DispatchCase& c = GetParam();
  RecordingHost host;
  TableModule module(&host);
  const SEModuleRecord before = *module.Record();

  EXPECT_EQ(module.Call(c.opcode, c.index, c.value, nullptr, c.opt), c.result);
  EXPECT_THAT(module.log(), ElementsAreArray(c.ops));
  EXPECT_THAT(host.calls, IsEmpty());
  EXPECT_EQ(std::memcmp(&before, module.Record(), sizeof before), 0);
}

const float kNoOpt = 0.0f;

INSTANTIATE_TEST_SUITE_P(
    Opcodes, FrameDispatch,
    ::testing::Values(
        DispatchCase{"Opcode14", 14, 1, 2, 3.0f, 0, {}},
        DispatchCase{"Opcode255", 255, 1, 2, 3.0f, 0, {}},
        DispatchCase{"OpcodeMinus1", -1, 1, 2, 3.0f, 0, {}},
        DispatchCase{"Opcode4", 4, 1, 2, 3.0f, 0, {}},
        DispatchCase{"Opcode5", 5, 1, 2, 3.0f, 0, {}},
        DispatchCase{"RejectedOpcode7", 7, 1, 2, 3.0f, 0, {}},
        DispatchCase{"Opcode9", 9, 1, 2, 3.0f, 0, {}},
        DispatchCase{"RejectedOpcode10", 10, 1, 2, 3.0f, 0, {}},
        DispatchCase{"Opcode11", 11, 1, 2, 3.0f, 0, {}},
        DispatchCase{"NotifyIndex0", MOD_NOTIFY, 0, 9, kNoOpt, 0, {"OnNotify"}},
        DispatchCase{"NotifyIndexMinus5", MOD_NOTIFY, -5, 9, kNoOpt, 0, {"OnNotify"}},
        DispatchCase{"NotifyIndex3", MOD_NOTIFY, 3, 9, kNoOpt, 0, {"OnNotify", "OnNotifyCount 3"}},
        DispatchCase{"SampleRateFromOpt",
                     MOD_SET_SAMPLE_RATE,
                     5,
                     96000,
                     48000.0f,
                     0,
                     {"SetSampleRate " + std::to_string(48000.0f)}},
        DispatchCase{
            "BlockSizeFromValue", MOD_SET_BLOCK_SIZE, 5, 256, 512.0f, 0, {"SetBlockSize 256"}},
        DispatchCase{
            "HostMessageValueFirst", MOD_HOST_MESSAGE, 5, 7, kNoOpt, 0, {"OnHostMessage 7 5 0"}}),
    [](const ::testing::TestParamInfo<DispatchCase>& info) { return info.param.name; });

TEST(FrameDispatchDetails, SampleRateAndBlockSizeKeepWhatTheHostSet) {
  RecordingHost host;
  TableModule module(&host);
  module.Call(MOD_SET_SAMPLE_RATE, 0, 96000, nullptr, 48000.0f);
  module.Call(MOD_SET_BLOCK_SIZE, 0, 256, nullptr, 512.0f);
  EXPECT_EQ(module.SampleRate(), 48000.0f);
  EXPECT_EQ(module.BlockSize(), 256);
}

TEST(FrameDispatchDetails, HostMessagePassesPtrThrough) {
  RecordingHost host;
  TableModule module(&host);
  int target = 0;
  module.Call(MOD_HOST_MESSAGE, -2, 11, &target);
  EXPECT_THAT(module.log(), ElementsAre("OnHostMessage 11 -2 " +
                                        std::to_string(reinterpret_cast<intptr_t>(&target))));
}

TEST(FrameDispatchDetails, PinPropertiesOfAnUndescribedIndexLeaveTheRecord) {
  RecordingHost host;
  TableModule module(&host);
  SEPinProperties props;
  std::memset(&props, 0x5a, sizeof props);  // no IO_PATCH_STORE bit: the rule holds
  SEPinProperties before = props;
  EXPECT_EQ(module.Call(MOD_GET_PIN_PROPERTIES, 0, 0, &props), 0);
  EXPECT_EQ(std::memcmp(&before, &props, sizeof props), 0);
  EXPECT_THAT(module.asked, ElementsAre(0));
}

TEST(FrameDispatchDetails, PinPropertiesWithoutRecordAnswerZeroAndAskNothing) {
  RecordingHost host;
  SEPinProperties d = Description(DT_STREAM, nullptr);
  TableModule module(&host, {d});
  EXPECT_EQ(module.Call(MOD_GET_PIN_PROPERTIES, 0, 0, nullptr), 0);
  EXPECT_THAT(module.asked, IsEmpty());
}

TEST(FrameDispatchDetails, CloseRunsCloseThenDestroysTheInstance) {
  RecordingHost host;
  host.pinCount = 2;
  std::vector<std::string> log;
  auto* module = new TableModule(
      &host, {Description(DT_STREAM, nullptr), Description(DT_WORD32_A, nullptr)}, &log);
  module->Call(MOD_OPEN);
  log.clear();
  SEModuleRecord* record = module->Record();
  EXPECT_EQ(record->dispatcherEntry(record, MOD_CLOSE, 0, 0, nullptr, 0.0f), 1);
  EXPECT_THAT(log, ElementsAre("Close", "~TableModule"));
}

TEST(FrameDispatchDetails, ProcessRefNamesTheAskingInstance) {
  RecordingHost host;
  TableModule a(&host);
  TableModule b(&host);
  const intptr_t fromA = a.Call(MOD_GET_PROCESS_REF);
  const auto* info = reinterpret_cast<const ProcessRefInfo*>(fromA);
  EXPECT_EQ(info->one, 1);
  EXPECT_EQ(info->refSize, static_cast<int32_t>(sizeof(SEProcessFunctionRef)));
  EXPECT_EQ(info->ref, &a.ProcessFunction());
  EXPECT_EQ(info->zero, 0);

  EXPECT_EQ(b.Call(MOD_GET_PROCESS_REF), fromA);
  EXPECT_EQ(info->ref, &b.ProcessFunction());
}

TEST(FrameDispatchDetails, EntriesRefuseNullRecordsInstancesAndEvents) {
  RecordingHost host;
  TableModule module(&host);
  SEModuleRecord* record = module.Record();
  EXPECT_EQ(record->dispatcherEntry(nullptr, MOD_GET_PROCESS_REF, 0, 0, nullptr, 0.0f), 0);
  SEModuleRecord orphan = *record;
  orphan.instance = nullptr;
  EXPECT_EQ(record->dispatcherEntry(&orphan, MOD_GET_PROCESS_REF, 0, 0, nullptr, 0.0f), 0);

  SEEventRecord e = Event(0, EV_VALUE, 1, 2, 0);
  record->eventEntry(nullptr, &e);
  record->eventEntry(record->instance, nullptr);
  EXPECT_THAT(module.log(), IsEmpty());
  EXPECT_THAT(host.calls, IsEmpty());
}

// --- Process function ------------------------------------------------------------

void SE_CALL OtherProcess(void*, int32_t, int32_t) {}

TEST(FrameProcessFunction, TheHostHearsOfEachChangeOnceAndAfterTheRecord) {
  RecordingHost host;
  TableModule module(&host);
  module.SetProcessFunction(&OtherProcess);
  module.SetProcessFunction(&OtherProcess);

  EXPECT_EQ(module.Record()->processEntry, &OtherProcess);
  EXPECT_EQ(module.ProcessFunction().entry, &OtherProcess);
  EXPECT_EQ(module.ProcessFunction().word1, 0);
  EXPECT_EQ(module.ProcessFunction().word2, 0);
  ASSERT_EQ(host.calls.size(), 1u);
  EXPECT_EQ(host.calls[0].opcode, HOST_SET_PROCESS_FUNCTION);
  EXPECT_EQ(host.calls[0].index, 0);
  EXPECT_EQ(host.calls[0].value, 0);
  EXPECT_EQ(host.calls[0].ptr, 0);
  EXPECT_EQ(host.calls[0].opt, 0.0f);
  EXPECT_EQ(host.calls[0].record, module.Record());
  EXPECT_THAT(host.entryWhenToldOfProcess, ElementsAre(&OtherProcess));

  // Back to the empty function is a change again.
  module.SetProcessFunction(&SEModule_base::EmptyProcess);
  EXPECT_THAT(host.entryWhenToldOfProcess,
              ElementsAre(&OtherProcess, &SEModule_base::EmptyProcess));
}

TEST(FrameProcessFunction, SettingTheInitialFunctionTellsNobody) {
  RecordingHost host;
  TableModule module(&host);
  module.SetProcessFunction(&SEModule_base::EmptyProcess);
  EXPECT_THAT(host.calls, IsEmpty());
}

// --- Pin creation ---------------------------------------------------------------

constexpr int32_t kRep = IO_REPEATABLE;
constexpr int32_t kUi = IO_UI_COMMUNICATION;
constexpr int32_t kPs = IO_PROCESS_SIDE;

struct DescriptionRow {
  int32_t datatype;
  int32_t flags = 0;
};

// How pin i must look after Open.
struct PinExpect {
  enum Kind { kFromDescription, kOwnValue, kUninitialised } kind;
  int description = -1;   // kFromDescription: which one
  int32_t datatype = -1;  // kOwnValue: the datatype repeated
};
PinExpect From(int d) { return {PinExpect::kFromDescription, d}; }
PinExpect Own(int32_t datatype) { return {PinExpect::kOwnValue, -1, datatype}; }
const PinExpect kUninit{PinExpect::kUninitialised};

struct PinCase {
  const char* name;
  std::vector<DescriptionRow> descriptions;
  int32_t hostCount;
  std::vector<PinExpect> pins;      // one per pin the host counted (none if count <= 0)
  std::vector<int32_t> asked;       // DescribePin indices, in order
  std::vector<int32_t> bufferPins;  // HOST_GET_PIN_BUFFER indices, in order
};

class FramePinCreation : public ::testing::TestWithParam<PinCase> {};

TEST_P(FramePinCreation, MakesPinsFromDescriptions) {
  const PinCase& c = GetParam();
  // Each description names its own slot as value address.
  std::vector<float*> slots(c.descriptions.size() + 1);
  std::vector<SEPinProperties> table;
  for (size_t d = 0; d < c.descriptions.size(); ++d) {
    table.push_back(Description(c.descriptions[d].datatype, &slots[d], c.descriptions[d].flags));
  }
  RecordingHost host;
  host.pinCount = c.hostCount;
  ReportCapture capture;
  TableModule module(&host, table);
  module.Call(MOD_OPEN);

  EXPECT_THAT(module.asked, ElementsAreArray(c.asked));
  EXPECT_EQ(module.PinCount(), c.hostCount > 0 ? c.hostCount : 0);
  ASSERT_EQ(host.calls.size(), 1 + c.bufferPins.size());
  EXPECT_EQ(host.calls[0].opcode, HOST_GET_PIN_COUNT);
  for (const RecordedCall& call : host.calls) {
    EXPECT_EQ(call.value, 0);
    EXPECT_EQ(call.ptr, 0);
    EXPECT_EQ(call.opt, 0.0f);
  }
  EXPECT_EQ(host.calls[0].index, 0);
  EXPECT_THAT(host.indicesOf(HOST_GET_PIN_BUFFER), ElementsAreArray(c.bufferPins));

  ASSERT_EQ(c.pins.size(), static_cast<size_t>(module.PinCount()));
  for (int32_t i = 0; i < module.PinCount(); ++i) {
    SCOPED_TRACE("pin " + std::to_string(i));
    SEPin* pin = module.Pin(i);
    ASSERT_NE(pin, nullptr);
    const PinExpect& want = c.pins[static_cast<size_t>(i)];
    if (want.kind == PinExpect::kUninitialised) {
      EXPECT_EQ(pin->Module(), nullptr);
      continue;
    }
    EXPECT_EQ(pin->Module(), &module);
    EXPECT_EQ(pin->Index(), i);
    EXPECT_EQ(pin->Status(), PS_STEADY);
    if (want.kind == PinExpect::kFromDescription) {
      EXPECT_EQ(pin->Datatype(), c.descriptions[static_cast<size_t>(want.description)].datatype);
      EXPECT_EQ(pin->ValuePtr(), &slots[static_cast<size_t>(want.description)]);
    } else {
      // The pin keeps its value in itself.
      EXPECT_EQ(pin->Datatype(), want.datatype);
      const char* value = static_cast<const char*>(pin->ValuePtr());
      const char* self = reinterpret_cast<const char*>(pin);
      EXPECT_TRUE(value >= self && value < self + sizeof(SEPin));
      if (want.datatype == DT_STREAM) {
        intptr_t stream;
        std::memcpy(&stream, value, sizeof stream);
        EXPECT_EQ(stream, RecordingHost::BufferFor(i));
      }
    }
  }
  EXPECT_THAT(ReportCapture::expressions(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FramePinCreation,
    ::testing::Values(PinCase{"EveryDescriptionMakesItsPin",
                              {{DT_STREAM}, {DT_WORD32_A}, {DT_STREAM}},
                              3,
                              {From(0), From(1), From(2)},
                              {0, 1, 2, 3, 2},
                              {}},
                      PinCase{"HostCountBelowDescriptions",
                              {{DT_STREAM}, {DT_STREAM}, {DT_STREAM}, {DT_STREAM}},
                              2,
                              {From(0), From(1)},
                              {0, 1, 2, 1},
                              {}},
                      PinCase{"UiDescriptionInTheMiddleMakesNoPin",
                              {{DT_STREAM}, {DT_STREAM, kUi}, {DT_BYTE}},
                              2,
                              {From(0), From(2)},
                              {0, 1, 2, 3, 2},
                              {}},
                      PinCase{"CountRunsOutAtASkippedDescription",
                              {{DT_STREAM}, {DT_STREAM, kUi}, {DT_STREAM, kRep}},
                              1,
                              {From(0)},
                              {0, 1, 0},
                              {}},
                      PinCase{"UiWithProcessSideMakesAPin",
                              {{DT_STREAM}, {DT_STREAM, kUi | kPs}, {DT_BYTE}},
                              3,
                              {From(0), From(1), From(2)},
                              {0, 1, 2, 3, 2},
                              {}},
                      PinCase{"RepeatableLastAddsStreamPins",
                              {{DT_WORD32_A}, {DT_STREAM, kRep}},
                              5,
                              {From(0), From(1), Own(DT_STREAM), Own(DT_STREAM), Own(DT_STREAM)},
                              {0, 1, 2, 1},
                              {2, 3, 4}},
                      PinCase{"RepeatableAfterSkippedDescriptionContinuesPinIndices",
                              {{DT_STREAM}, {DT_STREAM, kUi}, {DT_STREAM, kRep}},
                              4,
                              {From(0), From(2), Own(DT_STREAM), Own(DT_STREAM)},
                              {0, 1, 2, 3, 2},
                              {2, 3}},
                      PinCase{"RepeatableWordPinsAskNoBuffer",
                              {{DT_STREAM}, {DT_WORD16, kRep}},
                              3,
                              {From(0), From(1), Own(DT_WORD16)},
                              {0, 1, 2, 1},
                              {}},
                      PinCase{"RepeatableUiWithoutProcessSideAddsNone",
                              {{DT_STREAM}, {DT_STREAM, kRep | kUi}},
                              4,
                              {From(0), kUninit, kUninit, kUninit},
                              {0, 1, 2, 1},
                              {}},
                      PinCase{"RepeatableUiWithProcessSideAdds",
                              {{DT_STREAM}, {DT_STREAM, kRep | kUi | kPs}},
                              3,
                              {From(0), From(1), Own(DT_STREAM)},
                              {0, 1, 2, 1},
                              {2}},
                      PinCase{"RepeatableBeyondTheCountAddsNone",
                              {{DT_STREAM}, {DT_STREAM, kRep}},
                              1,
                              {From(0)},
                              {0, 1, 0},
                              {}},
                      PinCase{"ExtraPinsWithoutRepeatableStayUninitialised",
                              {{DT_STREAM}},
                              3,
                              {From(0), kUninit, kUninit},
                              {0, 1, 0},
                              {}},
                      PinCase{"NoDescriptions", {}, 2, {kUninit, kUninit}, {0, -1}, {}},
                      PinCase{"ZeroCount", {{DT_STREAM}, {DT_STREAM, kRep}}, 0, {}, {0, -1}, {}},
                      PinCase{
                          "NegativeCount", {{DT_STREAM}, {DT_STREAM, kRep}}, -3, {}, {0, -1}, {}}),
    [](const ::testing::TestParamInfo<PinCase>& info) { return info.param.name; });

TEST(FramePins, PinBeforeOpenReportsAndAnswersNull) {
  ReportCapture capture;
  RecordingHost host;
  TableModule module(&host, {Description(DT_STREAM, nullptr)});
  EXPECT_EQ(module.Pin(0), nullptr);
  ASSERT_EQ(ReportCapture::reports().size(), 1u);
  EXPECT_EQ(ReportCapture::reports()[0].expression, "m_pins != 0");
  EXPECT_EQ(ReportCapture::reports()[0].source, kSource);
}

TEST(FramePins, PinOutsideTheArrayReportsAndAnswersNull) {
  ReportCapture capture;
  RecordingHost host;
  host.pinCount = 2;
  TableModule module(&host, {Description(DT_STREAM, nullptr, kRep)});
  module.Call(MOD_OPEN);
  for (int32_t index : {2, -1, 1000}) EXPECT_EQ(module.Pin(index), nullptr) << index;
  EXPECT_EQ(ReportCapture::reports().size(), 3u);
  EXPECT_NE(module.Pin(1), nullptr);
}

TEST(FramePins, SecondOpenRebuildsThePinArray) {
  RecordingHost host;
  host.pinCount = 2;
  TableModule module(&host, {Description(DT_STREAM, nullptr, kRep)});
  module.Call(MOD_OPEN);
  host.pinCount = 4;
  host.calls.clear();
  module.Call(MOD_OPEN);
  EXPECT_EQ(module.PinCount(), 4);
  EXPECT_THAT(host.indicesOf(HOST_GET_PIN_BUFFER), ElementsAre(0, 1, 2, 3));
  for (int32_t i = 0; i < 4; ++i) EXPECT_EQ(module.Pin(i)->Index(), i);
  host.pinCount = 0;
  module.Call(MOD_OPEN);
  EXPECT_EQ(module.PinCount(), 0);
}

TEST(FramePins, OpenDoesNotCheckThePatchStoreRule) {
  ReportCapture capture;
  RecordingHost host;
  host.pinCount = 1;
  int32_t slot = 0;
  TableModule module(&host, {Description(DT_WORD32_A, &slot, IO_PATCH_STORE)});
  module.Call(MOD_OPEN);
  EXPECT_EQ(module.Pin(0)->ValuePtr(), &slot);
  EXPECT_THAT(ReportCapture::reports(), IsEmpty());
}

// --- Init -----------------------------------------------------------------------

struct InitCase {
  const char* name;
  int32_t datatype;
  int valueBytes;  // width of the pin's own value; 0: the pin has none
};

class FramePinInit : public ::testing::TestWithParam<InitCase> {};

TEST_P(FramePinInit, WithoutValueAddressThePinHoldsItsOwnValue) {
  const InitCase& c = GetParam();
  RecordingHost host;
  TableModule module(&host);
  SEPin pin;
  // First as a stream, so that the own value holds a nonzero address.
  pin.Init(&module, 7, DT_STREAM, nullptr);
  host.calls.clear();

  pin.Init(&module, 3, c.datatype, nullptr);
  EXPECT_EQ(pin.Module(), &module);
  EXPECT_EQ(pin.Index(), 3);
  EXPECT_EQ(pin.Datatype(), c.datatype);
  EXPECT_EQ(pin.Status(), PS_STEADY);
  if (c.valueBytes == 0) {
    EXPECT_EQ(pin.ValuePtr(), nullptr);
    EXPECT_THAT(host.calls, IsEmpty());
    return;
  }
  ASSERT_NE(pin.ValuePtr(), nullptr);
  if (c.datatype == DT_STREAM) {
    ASSERT_EQ(host.calls.size(), 1u);
    EXPECT_EQ(host.calls[0].opcode, HOST_GET_PIN_BUFFER);
    EXPECT_EQ(host.calls[0].index, 3);
    EXPECT_EQ(host.calls[0].value, 0);
    EXPECT_EQ(host.calls[0].ptr, 0);
    EXPECT_EQ(*static_cast<intptr_t*>(pin.ValuePtr()), RecordingHost::BufferFor(3));
  } else {
    EXPECT_THAT(host.calls, IsEmpty());
    std::vector<unsigned char> value(static_cast<size_t>(c.valueBytes));
    std::memcpy(value.data(), pin.ValuePtr(), value.size());
    EXPECT_THAT(value, ::testing::Each(0));
  }
}

TEST_P(FramePinInit, WithValueAddressNoHostCallWhateverTheDatatype) {
  RecordingHost host;
  TableModule module(&host);
  float* member = nullptr;
  SEPin pin;
  pin.Init(&module, 5, GetParam().datatype, &member);
  EXPECT_EQ(pin.ValuePtr(), &member);
  EXPECT_EQ(pin.Datatype(), GetParam().datatype);
  EXPECT_EQ(pin.Status(), PS_STEADY);
  EXPECT_THAT(host.calls, IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Datatypes, FramePinInit,
    ::testing::Values(InitCase{"Word16", DT_WORD16, 2}, InitCase{"Byte", DT_BYTE, 1},
                      InitCase{"Stream", DT_STREAM, 4}, InitCase{"Word32A", DT_WORD32_A, 4},
                      InitCase{"Word32B", DT_WORD32_B, 4}, InitCase{"Unknown7", 7, 0},
                      InitCase{"UnknownMinus1", -1, 0}),
    [](const ::testing::TestParamInfo<InitCase>& info) { return info.param.name; });

// --- Patch-store rule ---------------------------------------------------------------

struct PatchStoreCase {
  const char* name;
  int32_t flags;
  int32_t direction;
  bool breaks;
};

class FramePatchStore : public ::testing::TestWithParam<PatchStoreCase> {};

TEST_P(FramePatchStore, IsCheckedOnEveryDescriptionTheHostAsksFor) {
  const PatchStoreCase& c = GetParam();
  ReportCapture capture;
  RecordingHost host;
  TableModule module(&host, {Description(DT_STREAM, nullptr, c.flags, c.direction)});
  SEPinProperties props{};
  EXPECT_EQ(module.Call(MOD_GET_PIN_PROPERTIES, 0, 0, &props), 1);
  if (!c.breaks) {
    EXPECT_THAT(ReportCapture::reports(), IsEmpty());
    return;
  }
  ASSERT_EQ(ReportCapture::reports().size(), 1u);
  EXPECT_EQ(ReportCapture::reports()[0].expression, kPatchStoreText);
  EXPECT_EQ(ReportCapture::reports()[0].source, kSource);
  EXPECT_EQ(ReportCapture::reports()[0].line, 80);
}

INSTANTIATE_TEST_SUITE_P(
    Descriptions, FramePatchStore,
    ::testing::Values(PatchStoreCase{"NotStored", 0, DR_IN, false},
                      PatchStoreCase{"StoredPrivate", IO_PATCH_STORE | IO_PRIVATE, DR_IN, false},
                      PatchStoreCase{"StoredOutput", IO_PATCH_STORE, DR_OUT, false},
                      PatchStoreCase{"StoredUi", IO_PATCH_STORE | IO_UI_COMMUNICATION, DR_IN,
                                     false},
                      PatchStoreCase{"StoredInput", IO_PATCH_STORE, DR_IN, true},
                      PatchStoreCase{"StoredInputOtherFlags",
                                     IO_PATCH_STORE | IO_REPEATABLE | IO_PROCESS_SIDE, DR_IN, true},
                      PatchStoreCase{"StoredOddDirection", IO_PATCH_STORE, 2, true}),
    [](const ::testing::TestParamInfo<PatchStoreCase>& info) { return info.param.name; });

TEST(FramePatchStoreRule, AppliesToTheHostsRecordWhenNothingIsDescribed) {
  ReportCapture capture;
  RecordingHost host;
  TableModule module(&host);
  SEPinProperties props{};
  props.flags = IO_PATCH_STORE;
  props.direction = DR_IN;
  EXPECT_EQ(module.Call(MOD_GET_PIN_PROPERTIES, 4, 0, &props), 0);
  EXPECT_THAT(ReportCapture::expressions(), ElementsAre(kPatchStoreText));
  EXPECT_EQ(props.flags, IO_PATCH_STORE);
}

// --- Events ---------------------------------------------------------------------

class FrameEvents : public ::testing::Test {
 protected:
  FrameEvents() {
    host.pinCount = 3;
    host.clock = 77;
    module.Call(MOD_OPEN);
    module.log().clear();
    host.calls.clear();
  }
  ReportCapture capture;
  RecordingHost host;
  std::vector<float*> slots = std::vector<float*>(3);
  TableModule module{&host,
                     {Description(DT_STREAM, &slots[0]), Description(DT_STREAM, &slots[1]),
                      Description(DT_STREAM, &slots[2])}};
};

TEST_F(FrameEvents, ValueEventPassesTimeStampValueAndSixteenBitExtra) {
  module.Deliver(Event(77, EV_VALUE, -123456, -2, 0));
  module.Deliver(Event(77, EV_VALUE, 5, 0x7fff, 0));
  EXPECT_THAT(module.log(), ElementsAre("OnValueEvent 77 -123456 -2", "OnValueEvent 77 5 32767"));
  EXPECT_THAT(host.opcodes(), ElementsAre(HOST_GET_SAMPLE_CLOCK, HOST_GET_SAMPLE_CLOCK));
  EXPECT_THAT(ReportCapture::reports(), IsEmpty());
}

struct StatusCase {
  const char* name;
  int32_t sent;
  int32_t seen;   // by OnPinStatusChange
  int32_t after;  // the pin's status afterwards
};

class FrameStatusEvents : public FrameEvents, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(FrameStatusEvents, ReachThePinAndTheModule) {
  const StatusCase& c = GetParam();
  module.Deliver(Event(77, EV_PIN_STATUS, c.sent, 0, 1));
  EXPECT_THAT(module.log(), ElementsAre("OnPinStatusChange 1 " + std::to_string(c.seen)));
  EXPECT_EQ(module.Pin(1)->Status(), c.after);
  EXPECT_EQ(module.Pin(0)->Status(), PS_STEADY);
  EXPECT_EQ(module.Pin(2)->Status(), PS_STEADY);
  EXPECT_THAT(host.opcodes(), ElementsAre(HOST_GET_SAMPLE_CLOCK));
  EXPECT_THAT(ReportCapture::reports(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, FrameStatusEvents,
    ::testing::Values(StatusCase{"Once", PS_ONCE, PS_ONCE, PS_STEADY},
                      StatusCase{"Streaming", PS_STREAMING, PS_STREAMING, PS_STREAMING},
                      StatusCase{"Steady", PS_STEADY, PS_STEADY, PS_STEADY},
                      StatusCase{"Unknown9", 9, 9, 9}),
    [](const ::testing::TestParamInfo<StatusCase>& info) { return info.param.name; });

SEModule_base* g_calledWith = nullptr;
int g_calls = 0;
void SE_CALL RecordCall(void* module) {
  g_calledWith = static_cast<SEModule_base*>(module);
  ++g_calls;
}

TEST_F(FrameEvents, CallEventCallsTheTargetWithTheModule) {
  g_calledWith = nullptr;
  g_calls = 0;
  module.Deliver(Event(77, EV_CALL, 0, 0, reinterpret_cast<intptr_t>(&RecordCall)));
  EXPECT_EQ(g_calls, 1);
  EXPECT_EQ(g_calledWith, static_cast<SEModule_base*>(&module));
  EXPECT_EQ(static_cast<void*>(g_calledWith), module.Record()->instance);
}

TEST_F(FrameEvents, OtherKindsDoNothing) {
  for (int32_t kind : {6, 1, 3, 20, 22, -1}) {
    module.Deliver(Event(77, kind, PS_ONCE, 1, 1));
  }
  EXPECT_THAT(module.log(), IsEmpty());
  EXPECT_EQ(host.CountCalls(HOST_GET_SAMPLE_CLOCK), 6u);
  EXPECT_EQ(host.calls.size(), 6u);
  EXPECT_THAT(ReportCapture::reports(), IsEmpty());
}

TEST_F(FrameEvents, WrongTimeStampIsReportedAndTheEventStillActs) {
  module.Deliver(Event(76, EV_VALUE, 1, 2, 0));
  ASSERT_EQ(ReportCapture::reports().size(), 1u);
  EXPECT_EQ(ReportCapture::reports()[0].expression, "e->time_stamp == SampleClock()");
  EXPECT_EQ(ReportCapture::reports()[0].source, kSource);
  EXPECT_THAT(module.log(), ElementsAre("OnValueEvent 76 1 2"));
}

TEST_F(FrameEvents, StatusForAPinOutsideTheArrayIsReportedAndIgnored) {
  for (intptr_t target : {intptr_t{3}, intptr_t{-1}, intptr_t{1000}, intptr_t{INT32_MIN}}) {
    module.Deliver(Event(77, EV_PIN_STATUS, PS_STREAMING, 0, target));
  }
  EXPECT_EQ(ReportCapture::reports().size(), 4u);
  EXPECT_THAT(module.log(), IsEmpty());
  for (int32_t i = 0; i < 3; ++i) EXPECT_EQ(module.Pin(i)->Status(), PS_STEADY);
}

TEST(FrameEventsUninitialised, StatusForAPinNoDescriptionReachedIsReportedAndIgnored) {
  ReportCapture capture;
  RecordingHost host;
  host.pinCount = 3;  // one description, no IO_REPEATABLE: pins 1 and 2 stay bare
  TableModule module(&host, {Description(DT_STREAM, nullptr)});
  module.Call(MOD_OPEN);
  module.log().clear();
  module.Deliver(Event(0, EV_PIN_STATUS, PS_ONCE, 0, 2));
  EXPECT_EQ(module.Pin(2)->SendStatus(0, PS_STREAMING), 0);
  EXPECT_THAT(ReportCapture::expressions(), ElementsAre("m_module != 0", "m_module != 0"));
  EXPECT_THAT(module.log(), IsEmpty());
  EXPECT_EQ(host.CountCalls(HOST_SET_PIN_STATUS), 0u);
}

TEST(FrameEventsBeforeOpen, StatusEventReportsMissingPins) {
  ReportCapture capture;
  RecordingHost host;
  TableModule module(&host, {Description(DT_STREAM, nullptr)});
  module.Deliver(Event(0, EV_PIN_STATUS, PS_ONCE, 0, 0));
  EXPECT_THAT(ReportCapture::expressions(), ElementsAre("m_pins != 0"));
  EXPECT_THAT(module.log(), IsEmpty());
}

TEST(FrameSendStatus, ReportsToTheHostAndKeepsThePinsStatus) {
  RecordingHost host;
  host.pinCount = 2;
  TableModule module(&host, {Description(DT_STREAM, nullptr, kRep)});
  module.Call(MOD_OPEN);
  host.calls.clear();
  module.Pin(1)->SendStatus(-5, PS_ONCE);
  ASSERT_EQ(host.calls.size(), 1u);
  EXPECT_EQ(host.calls[0].opcode, HOST_SET_PIN_STATUS);
  EXPECT_EQ(host.calls[0].index, 1);
  EXPECT_EQ(host.calls[0].value, PS_ONCE);
  EXPECT_EQ(static_cast<int32_t>(host.calls[0].ptr), -5);
  EXPECT_EQ(host.calls[0].opt, 0.0f);
  EXPECT_EQ(module.Pin(1)->Status(), PS_STEADY);
}

// --- Reporter -------------------------------------------------------------------

std::vector<std::string> g_seen;
void OtherReporter(const char* expression, const char* source, int line) {
  g_seen.push_back(std::string(expression) + "|" + source + "|" + std::to_string(line));
}

TEST(FrameReporter, ReplacesAndRestoresTheReporter) {
  g_seen.clear();
  const SECheckReporter previous = SESetCheckReporter(&OtherReporter);
  SEReportFailedCheck("x != 0", "src", 12);
  EXPECT_THAT(g_seen, ElementsAre("x != 0|src|12"));
  // Null puts the default back and hands out the one it replaced.
  EXPECT_EQ(SESetCheckReporter(nullptr), &OtherReporter);
  const SECheckReporter defaultReporter = SESetCheckReporter(previous);
  EXPECT_NE(defaultReporter, nullptr);
  EXPECT_NE(defaultReporter, &OtherReporter);
  EXPECT_EQ(g_seen.size(), 1u);
}

}  // namespace
}  // namespace vorbel::testing
