// A small stand-in module for the host library's tests, written against the C records
// alone so that the host's behaviour can be checked independently of the real module.
//
// It reports what it sees back to the host through the callback with opcode
// kReportOpcode (the host logs it like any call): index names what is reported.
//   at MOD_OPEN:      index kReportPinCount, value = the HOST_GET_PIN_COUNT answer
//   at an event:      index kReportEvent, value = time stamp, opt = event value
// Pins: 0 "In" (stream input, default "3"), 1 "Out" (stream output). Each processed frame
// is out[i] = in[i] + the sample clock read at the start of the block; the frame count of
// the last block is written into the host's buffer for pin 1.

#include "host_test_module.h"

#include "se_sdk2/semodule_base.h"

#if defined(_WIN32)
#define HOST_TEST_EXPORT __declspec(dllexport)
#else
#define HOST_TEST_EXPORT __attribute__((visibility("default")))
#endif

namespace {

struct TestModule {
  SEModuleRecord record;
  HostCallback host;
  float* in = nullptr;
  float* out = nullptr;
  float sampleRate = 0.0f;
};

intptr_t CallHost(TestModule* m, int32_t opcode, int32_t index, int32_t value = 0,
                  float opt = 0.0f) {
  return m->host != nullptr ? m->host(&m->record, opcode, index, value, nullptr, opt) : 0;
}

bool Describe(TestModule* m, int32_t index, SEPinProperties* props) {
  switch (index) {
    case 0:
      props->valueAddress = &m->in;
      props->direction = DR_IN;
      props->datatype = DT_STREAM;
      props->name = "In";
      props->defaultText = "3";
      return true;
    case 1:
      props->valueAddress = &m->out;
      props->direction = DR_OUT;
      props->datatype = DT_STREAM;
      props->name = "Out";
      props->defaultText = nullptr;
      return true;
    default:
      return false;
  }
}

void Process(void* instance, int32_t bufferOffset, int32_t sampleCount) {
  TestModule* m = static_cast<TestModule*>(instance);
  const float clock = static_cast<float>(CallHost(m, HOST_GET_SAMPLE_CLOCK, 0));
  if (m->in == nullptr || m->out == nullptr) return;
  for (int32_t i = bufferOffset; i < bufferOffset + sampleCount; ++i) m->out[i] = m->in[i] + clock;
  float* buffer = reinterpret_cast<float*>(CallHost(m, HOST_GET_PIN_BUFFER, 1));
  if (buffer != nullptr) buffer[0] = static_cast<float>(sampleCount);
}

void Event(void* instance, SEEventRecord* event) {
  TestModule* m = static_cast<TestModule*>(instance);
  CallHost(m, kReportOpcode, kReportEvent, event->time_stamp, static_cast<float>(event->value));
}

intptr_t Dispatcher(SEModuleRecord* record, int32_t opcode, int32_t index, int32_t, void* ptr,
                    float opt) {
  TestModule* m = static_cast<TestModule*>(record->instance);
  switch (opcode) {
    case MOD_OPEN:
      CallHost(m, kReportOpcode, kReportPinCount,
               static_cast<int32_t>(CallHost(m, HOST_GET_PIN_COUNT, 0)));
      return 0;
    case MOD_CLOSE:
      delete m;
      return 0;
    case MOD_SET_SAMPLE_RATE:
      m->sampleRate = opt;
      return 0;
    case MOD_GET_PIN_PROPERTIES:
      return Describe(m, index, static_cast<SEPinProperties*>(ptr)) ? 1 : 0;
    default:
      return 0;
  }
}

}  // namespace

extern "C" {

HOST_TEST_EXPORT int32_t getModuleProperties(int32_t index, SEModuleDescription* description) {
  if (index != 0) return 0;
  description->name = "Host Test Module";
  description->id = "host-test-module";
  description->about = "Stand-in module for the host library tests";
  description->frameVersion = kSEFrameVersion;
  return 1;
}

// The copy without makeModule exports the same function under another name.
#ifdef HOST_TEST_MODULE_WITHOUT_MAKE
#define HOST_TEST_MAKE_MODULE makeModuleMisspelt
#else
#define HOST_TEST_MAKE_MODULE makeModule
#endif

HOST_TEST_EXPORT SEModuleRecord* HOST_TEST_MAKE_MODULE(int32_t index, int32_t,
                                                       HostCallback callback, void* hostHandle) {
  if (index != 0) return nullptr;
  TestModule* m = new TestModule{};
  m->host = callback;
  m->record.magic = kSEMagic;
  m->record.version = kSERecordVersion;
  m->record.hostHandle = hostHandle;
  m->record.instance = m;
  m->record.dispatcherEntry = &Dispatcher;
  m->record.processEntry = &Process;
  m->record.eventEntry = &Event;
  return &m->record;
}

}  // extern "C"
