#include "host/spectrum.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>

namespace vorbel {

namespace {

struct FftwDeleter {
  void operator()(double* p) const { fftw_free(p); }
  void operator()(fftw_complex* p) const { fftw_free(p); }
};

}  // namespace

size_t SegmentLengthFor(size_t count, size_t minimum, size_t maximum) {
  size_t length = minimum;
  while (length * 2 <= count && length * 2 <= maximum) length *= 2;
  return length;
}

std::vector<double> AveragedMagnitudeSpectrum(const float* samples, size_t count, size_t segment) {
  const size_t bins = segment / 2 + 1;
  std::unique_ptr<double, FftwDeleter> input(fftw_alloc_real(segment));
  std::unique_ptr<fftw_complex, FftwDeleter> output(fftw_alloc_complex(bins));
  fftw_plan plan =
      fftw_plan_dft_r2c_1d(static_cast<int>(segment), input.get(), output.get(), FFTW_ESTIMATE);

  std::vector<double> window(segment);
  double windowSum = 0.0;
  for (size_t i = 0; i < segment; ++i) {
    window[i] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) /
                                     static_cast<double>(segment));
    windowSum += window[i];
  }

  std::vector<double> power(bins, 0.0);
  size_t segments = 0;
  const size_t hop = segment / 2;
  for (size_t start = 0;; start += hop) {
    for (size_t i = 0; i < segment; ++i) {
      const size_t at = start + i;
      input.get()[i] = at < count ? static_cast<double>(samples[at]) * window[i] : 0.0;
    }
    fftw_execute(plan);
    for (size_t k = 0; k < bins; ++k) {
      const double re = output.get()[k][0];
      const double im = output.get()[k][1];
      power[k] += re * re + im * im;
    }
    ++segments;
    if (start + segment >= count) break;
  }
  fftw_destroy_plan(plan);

  // A sine of amplitude 1 gives a peak of windowSum / 2 in the transform.
  const double scale = 2.0 / windowSum;
  for (double& value : power) value = std::sqrt(value / static_cast<double>(segments)) * scale;
  return power;
}

}  // namespace vorbel
