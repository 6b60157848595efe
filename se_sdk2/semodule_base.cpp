#include "se_sdk2/semodule_base.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

void DefaultReporter(const char* expression, const char* source, int line) {
  std::fprintf(stderr, "vorbel: failed check \"%s\" in %s, line %d\n", expression, source, line);
}

std::atomic<SECheckReporter> g_reporter{&DefaultReporter};

// Shared by every instance of the library: MOD_GET_PROCESS_REF fills it and
// hands out its address, so the last instance that asked is the one named.
ProcessRefInfo g_processRefInfo;

// Line numbers the frame's reports carry, so hosts see stable texts.
constexpr int kLinePatchStore = 80;
constexpr int kLinePins = 121;
constexpr int kLineTimeStamp = 170;
constexpr int kLinePinIndex = 122;
constexpr int kLinePinAlloc = 140;
constexpr int kLinePinInit = 123;

// The expression texts are spelled out so that the reports read the same
// whatever the formatting of the source.
bool Check(bool condition, const char* text, int line) {
  if (!condition) SEReportFailedCheck(text, SE_FRAME_SOURCE, line);
  return condition;
}

constexpr const char* kPatchStoreText =
    "(((SEPinProperties*)ptr)->flags & IO_PATCH_STORE) == 0 || "
    "(((SEPinProperties*)ptr)->flags & IO_PRIVATE) != 0 || "
    "((SEPinProperties*)ptr)->direction == DR_OUT || "
    "( ( (SEPinProperties*)ptr)->flags & IO_UI_COMMUNICATION) != 0";

}  // namespace

SECheckReporter SESetCheckReporter(SECheckReporter reporter) {
  return g_reporter.exchange(reporter ? reporter : &DefaultReporter);
}

void SEReportFailedCheck(const char* expression, const char* source, int line) {
  g_reporter.load()(expression, source, line);
}

// ---------------------------------------------------------------------------
// SEPin

void SEPin::Init(SEModule_base* module, int32_t index, int32_t datatype, void* valueAddress) {
  m_module = module;
  m_index = index;
  m_datatype = datatype;
  m_valuePtr = valueAddress;
  m_status = PS_STEADY;
  if (valueAddress != nullptr) {
    std::memset(&m_ownValue, 0, sizeof m_ownValue);
    return;
  }
  switch (datatype) {
    case DT_WORD16:
      m_ownValue.word16 = 0;
      break;
    case DT_BYTE:
      m_ownValue.bytes[0] = 0;
      break;
    case DT_STREAM:
      m_ownValue.address = reinterpret_cast<void*>(
          module->InvokeHost(HOST_GET_PIN_BUFFER, m_index, 0, nullptr, 0.0f));
      break;
    case DT_WORD32_A:
    case DT_WORD32_B:
      m_ownValue.word32 = 0;
      break;
    default:
      return;  // unknown datatype: the pin has no value
  }
  m_valuePtr = &m_ownValue;
}

// A pin that the host counted but no description reached is never
// initialised: it has no module to report through or to notify.
intptr_t SEPin::SendStatus(int32_t timeStamp, int32_t status) {
  if (!Check(m_module != nullptr, "m_module != 0", kLinePinInit)) return 0;
  return m_module->InvokeHost(HOST_SET_PIN_STATUS, m_index, status,
                              reinterpret_cast<void*>(static_cast<intptr_t>(timeStamp)), 0.0f);
}

void SEPin::ReceiveStatus(int32_t status) {
  if (!Check(m_module != nullptr, "m_module != 0", kLinePinInit)) return;
  m_status = status;
  m_module->OnPinStatusChange(this);
  if (status == PS_ONCE) m_status = PS_STEADY;
}

// ---------------------------------------------------------------------------
// SEModule_base

SEModule_base::SEModule_base(HostCallback hostCallback, void* hostHandle)
    : m_hostCallback(hostCallback),
      m_record(),
      m_hostSampleRate(44100.0f),
      m_blockSize(1024),
      m_pins(nullptr),
      m_pinCount(0),
      m_processFunction() {
  std::memset(&m_record, 0, sizeof m_record);
  m_record.magic = kSEMagic;
  m_processFunction = SEProcessFunctionRef{&SEModule_base::EmptyProcess, 0, 0};
  m_record.processEntry = m_processFunction.entry;
  m_record.eventEntry = &SEModule_base::EventEntry;
  m_record.dispatcherEntry = &SEModule_base::DispatcherEntry;
  m_record.hostHandle = hostHandle;
  m_record.instance = this;
  m_record.version = kSERecordVersion;
}

SEModule_base::~SEModule_base() { ReleasePins(); }

void SEModule_base::ReleasePins() {
  delete[] m_pins;
  m_pins = nullptr;
  m_pinCount = 0;
}

void SE_CALL SEModule_base::EmptyProcess(void*, int32_t, int32_t) {}

intptr_t SE_CALL SEModule_base::DispatcherEntry(SEModuleRecord* record, int32_t opcode,
                                                int32_t index, int32_t value, void* ptr,
                                                float opt) {
  // A host that hands over no record, or a record without an instance, gets
  // nothing done.
  if (record == nullptr || record->instance == nullptr) return 0;
  return static_cast<SEModule_base*>(record->instance)->Dispatch(opcode, index, value, ptr, opt);
}

void SE_CALL SEModule_base::EventEntry(void* instance, SEEventRecord* event) {
  if (instance == nullptr || event == nullptr) return;  // nothing to act on
  static_cast<SEModule_base*>(instance)->OnEvent(event);
}

void SEModule_base::OnPinStatusChange(SEPin*) {}
void SEModule_base::Close() {}
void SEModule_base::SpareHook() {}
void SEModule_base::SetSampleRate(float rate) { m_hostSampleRate = rate; }
void SEModule_base::SetBlockSize(int32_t size) { m_blockSize = size; }
float SEModule_base::SampleRate() { return m_hostSampleRate; }
int32_t SEModule_base::BlockSize() { return m_blockSize; }
bool SEModule_base::DescribePin(int32_t, SEPinProperties*) { return false; }
int32_t SEModule_base::SpareQueryA() { return 0; }
int32_t SEModule_base::SpareQueryB() { return 0; }
void SEModule_base::OnNotify() {}
void SEModule_base::OnNotifyCount(int32_t) {}
void SEModule_base::OnValueEvent(int32_t, int32_t, int16_t) {}
void SEModule_base::OnHostMessage(int32_t, int32_t, void*) {}

intptr_t SEModule_base::Dispatch(int32_t opcode, int32_t index, int32_t value, void* ptr,
                                 float opt) {
  switch (static_cast<uint32_t>(opcode)) {
    case MOD_OPEN:
      Open();
      return 0;
    case MOD_CLOSE:
      Close();
      delete this;  // the record goes with the object: touch nothing after this
      return 1;
    case MOD_SET_SAMPLE_RATE:
      SetSampleRate(opt);
      return 0;
    case MOD_SET_BLOCK_SIZE:
      SetBlockSize(value);
      return 0;
    case MOD_GET_PIN_PROPERTIES: {
      // A null record has nothing to fill and nothing to check.
      if (ptr == nullptr) return 0;
      const bool described = DescribePin(index, static_cast<SEPinProperties*>(ptr));
      const auto* p = static_cast<const SEPinProperties*>(ptr);
      Check((p->flags & IO_PATCH_STORE) == 0 || (p->flags & IO_PRIVATE) != 0 ||
                p->direction == DR_OUT || (p->flags & IO_UI_COMMUNICATION) != 0,
            kPatchStoreText, kLinePatchStore);
      return described ? 1 : 0;
    }
    case MOD_NOTIFY:
      OnNotify();
      if (index > 0) OnNotifyCount(index);
      return 0;
    case MOD_HOST_MESSAGE:
      OnHostMessage(value, index, ptr);
      return 0;
    case MOD_GET_PROCESS_REF:
      g_processRefInfo.one = 1;
      g_processRefInfo.refSize = static_cast<int32_t>(sizeof(SEProcessFunctionRef));
      g_processRefInfo.ref = &m_processFunction;
      g_processRefInfo.zero = 0;
      return reinterpret_cast<intptr_t>(&g_processRefInfo);
    default:
      // 4, 5, 9, 11 and everything above 13 are ignored; 7 and 10 are
      // rejected. Either way the answer is 0 and nothing changes.
      return 0;
  }
}

intptr_t SEModule_base::InvokeHost(int32_t opcode, int32_t index, int32_t value, void* ptr,
                                   float opt) {
  if (m_hostCallback == nullptr) return 0;
  return m_hostCallback(&m_record, opcode, index, value, ptr, opt);
}

int32_t SEModule_base::SampleClock() {
  return static_cast<int32_t>(InvokeHost(HOST_GET_SAMPLE_CLOCK, 0, 0, nullptr, 0.0f));
}

void SEModule_base::SetProcessFunction(SEProcessEntry entry) {
  const SEProcessFunctionRef ref{entry, 0, 0};
  if (ref.entry == m_processFunction.entry && ref.word1 == m_processFunction.word1 &&
      ref.word2 == m_processFunction.word2) {
    return;
  }
  m_processFunction = ref;
  m_record.processEntry = entry;  // the record is current before the host hears of it
  InvokeHost(HOST_SET_PROCESS_FUNCTION, 0, 0, nullptr, 0.0f);
}

SEPin* SEModule_base::Pin(int32_t index) {
  if (!Check(m_pins != nullptr, "m_pins != 0", kLinePins)) return nullptr;
  if (!Check(index >= 0 && index < m_pinCount, "index < pin count", kLinePinIndex)) return nullptr;
  return &m_pins[index];
}

void SEModule_base::Open() {
  // A reopen starts from a fresh pin array; the old one is not leaked.
  ReleasePins();

  const int32_t count = static_cast<int32_t>(InvokeHost(HOST_GET_PIN_COUNT, 0, 0, nullptr, 0.0f));
  if (count > 0) {
    m_pins = new (std::nothrow) SEPin[static_cast<size_t>(count)];
    // A count too large to hold leaves the instance without pins.
    if (Check(m_pins != nullptr, "pin array allocated", kLinePinAlloc)) m_pinCount = count;
  }

  auto skipped = [](const SEPinProperties& p) {
    return (p.flags & IO_UI_COMMUNICATION) != 0 && (p.flags & IO_PROCESS_SIDE) == 0;
  };

  SEPinProperties props;
  int32_t i = 0;
  int32_t j = 0;
  for (;; ++j) {
    std::memset(&props, 0, sizeof props);
    if (!DescribePin(j, &props)) break;
    if (i >= m_pinCount) break;
    if (skipped(props)) continue;
    m_pins[i].Init(this, i, props.datatype, props.valueAddress);
    ++i;
  }

  std::memset(&props, 0, sizeof props);
  DescribePin(j - 1, &props);
  if (!skipped(props) && (props.flags & IO_REPEATABLE) != 0) {
    for (; i < m_pinCount; ++i) m_pins[i].Init(this, i, props.datatype, nullptr);
  }
}

void SEModule_base::OnEvent(SEEventRecord* e) {
  Check(e->time_stamp == SampleClock(), "e->time_stamp == SampleClock()", kLineTimeStamp);
  switch (e->kind) {
    case EV_PIN_STATUS: {
      // A pin the instance does not have is reported by Pin and ignored.
      const intptr_t target = e->target;
      if (target < INT32_MIN || target > INT32_MAX) {
        SEReportFailedCheck("e->target names a pin", SE_FRAME_SOURCE, kLinePinIndex);
        return;
      }
      if (SEPin* pin = Pin(static_cast<int32_t>(target))) pin->ReceiveStatus(e->value);
      break;
    }
    case EV_VALUE:
      OnValueEvent(e->time_stamp, e->value, e->extra);
      break;
    case EV_CALL:
      if (e->target != 0) reinterpret_cast<SEEventCall>(e->target)(this);
      break;
    default:
      break;
  }
}
