// A small module of this interface for the validator's own tests: a one-pole lowpass with
// a gain ("in", "gain" -> "out"). Built once as is, which must pass every check, and once
// per fault below, each of which one check must catch.
//
//   VALIDATOR_FAULT_WRONG_MAGIC          the record carries a byte-swapped magic
//   VALIDATOR_FAULT_BLOCK_SPLIT          the gain is ramped across each block
//   VALIDATOR_FAULT_SHARED_STATE         the filter memory is shared by all instances
//   VALIDATOR_FAULT_ALLOC_IN_PROCESS     each process call allocates a scratch buffer
//   VALIDATOR_FAULT_HOST_CALL_IN_PROCESS each process call asks the host for the clock
//   VALIDATOR_FAULT_WRITES_INPUT         the filter runs in place, in the input stream
//   VALIDATOR_FAULT_CRASH_ON_NAN         a NaN gain crashes the process call
//   VALIDATOR_FAULT_WRITES_PAST_BLOCK    one sample is written after the block
//   VALIDATOR_FAULT_LEAKS_AT_CLOSE       closing does not free the instance
//   VALIDATOR_FAULT_LEAKS_ON_REOPEN      each open allocates a table and drops the last
//   VALIDATOR_FAULT_RANDOM_OUTPUT        a little noise from a generator shared by all
//   VALIDATOR_FAULT_SLOW_TAIL            no flush: the decaying tail sticks at a tiny
//                                        value, and tiny values take a slow path
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "se_sdk2/semodule_base.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

__attribute__((used)) const char kMarker[] = "SE_MODULE";

struct Instance {
  SEModuleRecord record;
  HostCallback host;
  float* in = nullptr;
  float* gain = nullptr;
  float* out = nullptr;
  float memory = 0.0f;
  float lastGain = 0.0f;
  float* table = nullptr;
};

#ifdef VALIDATOR_FAULT_SHARED_STATE
float g_sharedMemory = 0.0f;
float& Memory(Instance*) { return g_sharedMemory; }
#else
float& Memory(Instance* m) { return m->memory; }
#endif

// What the filter keeps of a tiny value: nothing, unless the tail is meant to linger.
float Flushed(float y) {
#ifdef VALIDATOR_FAULT_SLOW_TAIL
  if (y != 0.0f && std::fabs(y) < 1e-30f) {
    volatile float work = y;  // stands in for the slow arithmetic on subnormal numbers
    for (int i = 0; i < 100; ++i) work = work * 1.0000001f;
  }
  return y;
#else
  return std::fabs(y) >= 1e-30f ? y : 0.0f;  // NaN becomes 0 too
#endif
}

float Step(Instance* m, float x, float g) {
  float& memory = Memory(m);
  memory = Flushed(0.9f * memory + 0.1f * x);
  return memory * g;
}

void Process(void* instance, int32_t offset, int32_t count) {
  Instance* m = static_cast<Instance*>(instance);
  if (m->in == nullptr || m->gain == nullptr || m->out == nullptr) return;
#ifdef VALIDATOR_FAULT_HOST_CALL_IN_PROCESS
  if (m->host != nullptr) m->host(&m->record, HOST_GET_SAMPLE_CLOCK, 0, 0, nullptr, 0.0f);
#endif
#ifdef VALIDATOR_FAULT_ALLOC_IN_PROCESS
  std::vector<float> scratch(static_cast<size_t>(count > 0 ? count : 0));
#endif
  for (int32_t i = offset; i < offset + count; ++i) {
    float g = m->gain[i];
#ifdef VALIDATOR_FAULT_CRASH_ON_NAN
    if (std::isnan(g)) {
      static int* volatile nowhere = nullptr;
      *nowhere = 1;
    }
#endif
#ifdef VALIDATOR_FAULT_BLOCK_SPLIT
    const float target = m->gain[offset + count - 1];
    g = m->lastGain +
        (target - m->lastGain) * static_cast<float>(i - offset + 1) / static_cast<float>(count);
#endif
    float y = Step(m, m->in[i], g);
#ifdef VALIDATOR_FAULT_RANDOM_OUTPUT
    y += static_cast<float>(std::rand() % 1000) * 1e-9f;
#endif
#ifdef VALIDATOR_FAULT_ALLOC_IN_PROCESS
    scratch[static_cast<size_t>(i - offset)] = y;
#endif
#ifdef VALIDATOR_FAULT_WRITES_INPUT
    m->in[i] = y;
    y = m->in[i];
#endif
    m->out[i] = y;
  }
  if (count > 0) m->lastGain = m->gain[offset + count - 1];
#ifdef VALIDATOR_FAULT_WRITES_PAST_BLOCK
  if (count > 0) m->out[offset + count] = 0.0f;
#endif
}

bool Describe(Instance* m, int32_t index, SEPinProperties* props) {
  switch (index) {
    case 0:
      props->valueAddress = &m->in;
      props->name = "in";
      props->defaultText = "0";
      break;
    case 1:
      props->valueAddress = &m->gain;
      props->name = "gain";
      props->defaultText = "5";
      break;
    case 2:
      props->valueAddress = &m->out;
      props->name = "out";
      props->direction = DR_OUT;
      break;
    default:
      return false;
  }
  props->datatype = DT_STREAM;
  return true;
}

void Event(void*, SEEventRecord*) {}

intptr_t Dispatcher(SEModuleRecord* record, int32_t opcode, int32_t index, int32_t, void* ptr,
                    float) {
  Instance* m = static_cast<Instance*>(record->instance);
  switch (opcode) {
    case MOD_OPEN:
      m->memory = 0.0f;
      m->lastGain = 0.0f;
#ifdef VALIDATOR_FAULT_LEAKS_ON_REOPEN
      m->table = new float[64]();
#endif
      return 0;
    case MOD_CLOSE:
#ifndef VALIDATOR_FAULT_LEAKS_AT_CLOSE
      delete[] m->table;
      delete m;
#endif
      return 1;
    case MOD_GET_PIN_PROPERTIES:
      return ptr != nullptr && Describe(m, index, static_cast<SEPinProperties*>(ptr)) ? 1 : 0;
    default:
      return 0;
  }
}

}  // namespace

EXPORT int32_t getModuleProperties(int32_t index, SEModuleDescription* description) {
  description->frameVersion = kSEFrameVersion;
  if (index != 0) return 0;
  description->name = "validator test module";
  description->id = "validator-test-module";
  description->about = "a one-pole lowpass for the validator's tests";
  return 1;
}

EXPORT SEModuleRecord* makeModule(int32_t index, int32_t processType, HostCallback host,
                                  void* hostHandle) {
  if (index != 0 || processType != 1) return nullptr;
  Instance* m = new Instance{};
  m->host = host;
  m->record.magic = kSEMagic;
#ifdef VALIDATOR_FAULT_WRONG_MAGIC
  m->record.magic = 0x4c504553;
#endif
  m->record.version = kSERecordVersion;
  m->record.hostHandle = hostHandle;
  m->record.instance = m;
  m->record.dispatcherEntry = &Dispatcher;
  m->record.processEntry = &Process;
  m->record.eventEntry = &Event;
  return &m->record;
}
