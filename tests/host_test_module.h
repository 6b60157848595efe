// What the host tests' stand-in module reports through the host callback.
#pragma once

#include <cstdint>

constexpr int32_t kReportOpcode = 1000;
constexpr int32_t kReportPinCount = 1;
constexpr int32_t kReportEvent = 2;
