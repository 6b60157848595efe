// The host-link frame: the binary records exchanged with the host, the module
// base class that turns dispatcher calls into virtual operations, and the pin
// objects an open instance owns.
//
// Everything that crosses the library boundary is a C record of fixed layout
// and a C-convention function pointer. On 32-bit x86 the layout is the one
// hosts were built against; on 64-bit every address or handle word widens to
// pointer size while the int32 fields stay 32 bits.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && defined(__i386__)
#define SE_CALL __cdecl
#else
#define SE_CALL
#endif

extern "C" {

struct SEModuleRecord;
struct SEEventRecord;

typedef intptr_t(SE_CALL* HostCallback)(SEModuleRecord* record, int32_t opcode, int32_t index,
                                        int32_t value, void* ptr, float opt);
typedef intptr_t(SE_CALL* SEDispatcherEntry)(SEModuleRecord* record, int32_t opcode, int32_t index,
                                             int32_t value, void* ptr, float opt);
typedef void(SE_CALL* SEProcessEntry)(void* instance, int32_t bufferOffset, int32_t sampleCount);
typedef void(SE_CALL* SEEventEntry)(void* instance, SEEventRecord* event);
// The operation an EV_CALL event names: called with the module's address.
typedef void(SE_CALL* SEEventCall)(void* module);

struct SEModuleRecord {
  uint32_t magic;
  int32_t version;
  void* hostHandle;
  void* instance;
  intptr_t reserved1;
  SEDispatcherEntry dispatcherEntry;
  SEProcessEntry processEntry;
  SEEventEntry eventEntry;
  intptr_t reserved2[4];
};

struct SEModuleDescription {
  const char* name;
  const char* id;
  const char* about;
  int32_t hostWords[2];
  int32_t frameVersion;
};

struct SEPinProperties {
  void* valueAddress;
  int32_t direction;
  int32_t datatype;
  const char* name;
  const char* defaultText;
  const char* reserved1;
  int32_t flags;
  int32_t reserved2;
};

struct SEEventRecord {
  int32_t time_stamp;
  int32_t kind;
  int32_t value;
  int16_t extra;
  int16_t unused;
  intptr_t target;  // pin index, or an SEEventCall
};

// The process-function reference: entry address and two words that are 0 for
// every process function of this frame.
struct SEProcessFunctionRef {
  SEProcessEntry entry;
  int32_t word1;
  int32_t word2;
};

struct ProcessRefInfo {
  int32_t one;
  int32_t refSize;
  void* ref;
  int32_t zero;
};

typedef int32_t(SE_CALL* GetModulePropertiesFn)(int32_t index, SEModuleDescription* description);
typedef SEModuleRecord*(SE_CALL* MakeModuleFn)(int32_t index, int32_t processType,
                                               HostCallback hostCallback, void* hostHandle);

}  // extern "C"

#if UINTPTR_MAX == 0xffffffffu
// The 32-bit layout is what hosts were compiled against: hold it to the byte.
static_assert(sizeof(SEModuleRecord) == 48, "SEModuleRecord is 48 bytes");
static_assert(offsetof(SEModuleRecord, hostHandle) == 8, "record layout");
static_assert(offsetof(SEModuleRecord, instance) == 12, "record layout");
static_assert(offsetof(SEModuleRecord, reserved1) == 16, "record layout");
static_assert(offsetof(SEModuleRecord, dispatcherEntry) == 20, "record layout");
static_assert(offsetof(SEModuleRecord, processEntry) == 24, "record layout");
static_assert(offsetof(SEModuleRecord, eventEntry) == 28, "record layout");
static_assert(offsetof(SEModuleRecord, reserved2) == 32, "record layout");
static_assert(sizeof(SEModuleDescription) == 24, "description layout");
static_assert(offsetof(SEModuleDescription, about) == 8, "description layout");
static_assert(offsetof(SEModuleDescription, frameVersion) == 20, "description layout");
static_assert(sizeof(SEPinProperties) == 32, "pin properties are 32 bytes");
static_assert(offsetof(SEPinProperties, direction) == 4, "pin layout");
static_assert(offsetof(SEPinProperties, datatype) == 8, "pin layout");
static_assert(offsetof(SEPinProperties, name) == 12, "pin layout");
static_assert(offsetof(SEPinProperties, defaultText) == 16, "pin layout");
static_assert(offsetof(SEPinProperties, flags) == 24, "pin layout");
static_assert(sizeof(SEEventRecord) == 20, "event record is 20 bytes");
static_assert(offsetof(SEEventRecord, extra) == 12, "event layout");
static_assert(offsetof(SEEventRecord, target) == 16, "event layout");
static_assert(sizeof(SEProcessFunctionRef) == 12, "process reference is 12 bytes");
static_assert(sizeof(ProcessRefInfo) == 16, "process reference info is 16 bytes");
static_assert(offsetof(ProcessRefInfo, ref) == 8, "process reference info layout");
#elif UINTPTR_MAX == 0xffffffffffffffffu
static_assert(sizeof(SEModuleRecord) == 88, "64-bit record layout");
static_assert(offsetof(SEModuleRecord, dispatcherEntry) == 32, "64-bit record layout");
static_assert(offsetof(SEModuleDescription, frameVersion) == 32, "64-bit description");
static_assert(sizeof(SEPinProperties) == 48, "64-bit pin properties");
static_assert(offsetof(SEPinProperties, flags) == 40, "64-bit pin properties");
static_assert(sizeof(SEEventRecord) == 24, "64-bit event record");
static_assert(sizeof(SEProcessFunctionRef) == 16, "64-bit process reference");
static_assert(sizeof(ProcessRefInfo) == 24, "64-bit process reference info");
#endif

// Record magic, bytes 4C 50 45 53 in memory order.
constexpr uint32_t kSEMagic = 0x5345504c;
constexpr int32_t kSERecordVersion = 1;
constexpr int32_t kSEFrameVersion = 2230;

// Dispatcher opcodes.
enum : int32_t {
  MOD_OPEN = 0,
  MOD_CLOSE = 1,
  MOD_SET_SAMPLE_RATE = 2,
  MOD_SET_BLOCK_SIZE = 3,
  MOD_GET_PIN_PROPERTIES = 6,
  MOD_REJECTED_7 = 7,
  MOD_NOTIFY = 8,
  MOD_REJECTED_10 = 10,
  MOD_HOST_MESSAGE = 12,
  MOD_GET_PROCESS_REF = 13,
};

// Host-callback opcodes.
enum : int32_t {
  HOST_SET_PIN_STATUS = 0,
  HOST_GET_SAMPLE_CLOCK = 3,
  HOST_GET_PIN_BUFFER = 7,
  HOST_GET_PIN_COUNT = 14,
  HOST_SET_PROCESS_FUNCTION = 22,
};

// Pin directions, datatypes, flags and statuses.
enum : int32_t { DR_IN = 0, DR_OUT = 1 };
enum : int32_t {
  DT_WORD16 = 0,
  DT_BYTE = 4,
  DT_STREAM = 5,
  DT_WORD32_A = 6,
  DT_WORD32_B = 8,
};
enum : int32_t {
  IO_REPEATABLE = 0x08,
  IO_PRIVATE = 0x100,
  IO_UI_COMMUNICATION = 0x400,
  IO_PROCESS_SIDE = 0x8000,
  IO_PATCH_STORE = 0x10000,
};
enum : int32_t { PS_STEADY = 0, PS_ONCE = 1, PS_STREAMING = 2 };

// Event kinds.
enum : int32_t { EV_PIN_STATUS = 0, EV_VALUE = 2, EV_CALL = 21 };

// ---------------------------------------------------------------------------
// Failed internal checks. A failed check never aborts the host: it is handed
// to one report function (by default one line on stderr) and the caller then
// continues on a safe path. Tests replace the reporter to capture reports.

typedef void (*SECheckReporter)(const char* expression, const char* source, int line);

// Installs a reporter (null restores the default) and returns the previous one.
SECheckReporter SESetCheckReporter(SECheckReporter reporter);
void SEReportFailedCheck(const char* expression, const char* source, int line);

// The source name carried by the frame's reports.
#define SE_FRAME_SOURCE "..\\se_sdk2\\semodule_base"

// ---------------------------------------------------------------------------

class SEModule_base;

class SEPin {
 public:
  SEPin() {}  // Init sets every field.
  virtual ~SEPin() {}

  void Init(SEModule_base* module, int32_t index, int32_t datatype, void* valueAddress);
  intptr_t SendStatus(int32_t timeStamp, int32_t status);
  void ReceiveStatus(int32_t status);

  void* ValuePtr() const { return m_valuePtr; }
  int32_t Index() const { return m_index; }
  int32_t Status() const { return m_status; }
  int32_t Datatype() const { return m_datatype; }
  SEModule_base* Module() const { return m_module; }

 private:
  void* m_valuePtr = nullptr;
  SEModule_base* m_module = nullptr;
  int32_t m_index = -1;
  int32_t m_status = PS_STEADY;
  int32_t m_datatype = -1;
  // Holds a 16-bit word, a byte, a 32-bit word or a stream address.
  union {
    unsigned char bytes[sizeof(void*)];
    int16_t word16;
    int32_t word32;
    void* address;
  } m_ownValue{};
};

class SEModule_base {
 public:
  SEModule_base(HostCallback hostCallback, void* hostHandle);
  virtual ~SEModule_base();

  virtual void OnPinStatusChange(SEPin* pin);
  virtual void OnEvent(SEEventRecord* e);
  virtual intptr_t Dispatch(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt);
  virtual void Open();
  virtual void Close();
  virtual void SpareHook();
  virtual void SetSampleRate(float rate);
  virtual void SetBlockSize(int32_t size);
  virtual float SampleRate();
  virtual int32_t BlockSize();
  virtual bool DescribePin(int32_t index, SEPinProperties* props);
  virtual int32_t SpareQueryA();
  virtual int32_t SpareQueryB();
  virtual void OnNotify();
  virtual void OnNotifyCount(int32_t count);
  virtual void OnValueEvent(int32_t timeStamp, int32_t value, int16_t extra);
  virtual void OnHostMessage(int32_t value, int32_t index, void* ptr);

  intptr_t InvokeHost(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt);
  int32_t SampleClock();
  void SetProcessFunction(SEProcessEntry entry);
  // The pin with this index, or null (after a report) when there is none.
  SEPin* Pin(int32_t index);
  int32_t PinCount() const { return m_pinCount; }

  SEModuleRecord* Record() { return &m_record; }
  const SEProcessFunctionRef& ProcessFunction() const { return m_processFunction; }

  static void SE_CALL EmptyProcess(void* instance, int32_t bufferOffset, int32_t sampleCount);

 private:
  static intptr_t SE_CALL DispatcherEntry(SEModuleRecord* record, int32_t opcode, int32_t index,
                                          int32_t value, void* ptr, float opt);
  static void SE_CALL EventEntry(void* instance, SEEventRecord* event);
  void ReleasePins();

  HostCallback m_hostCallback;
  SEModuleRecord m_record;
  float m_hostSampleRate;
  int32_t m_blockSize;
  SEPin* m_pins;
  // Length of m_pins, kept so that no pin index can reach outside the array.
  int32_t m_pinCount;
  SEProcessFunctionRef m_processFunction;
};
