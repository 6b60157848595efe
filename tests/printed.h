// Compares a float with a value printed to a given number of digits: the
// difference must be within half a unit of the last printed digit.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace vorbel::testing {

inline double PrintedTolerance(const std::string& text) {
  int exponent = 0;
  size_t e = text.find_first_of("eE");
  std::string mantissa = text.substr(0, e);
  if (e != std::string::npos) exponent = std::atoi(text.c_str() + e + 1);
  size_t point = mantissa.find('.');
  int decimals = point == std::string::npos ? 0 : static_cast<int>(mantissa.size() - point - 1);
  return 0.5 * std::pow(10.0, exponent - decimals);
}

inline ::testing::AssertionResult MatchesPrinted(const char* actualExpr, const char*, float actual,
                                                 const std::string& printed) {
  const double want = std::strtod(printed.c_str(), nullptr);
  const double tol = PrintedTolerance(printed) * 1.000001;
  if (std::fabs(static_cast<double>(actual) - want) <= tol) {
    return ::testing::AssertionSuccess();
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(actual));
  return ::testing::AssertionFailure() << actualExpr << " is " << buf << ", printed value "
                                       << printed << " (within " << tol << ")";
}

}  // namespace vorbel::testing

#define EXPECT_PRINTED(actual, printed) \
  EXPECT_PRED_FORMAT2(::vorbel::testing::MatchesPrinted, actual, printed)
