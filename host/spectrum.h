// Magnitude spectra for the render tool's picture, through FFTW.
#pragma once

#include <cstddef>
#include <vector>

namespace vorbel {

// The averaged magnitude spectrum of `count` samples: Hann-windowed segments of `segment`
// samples (a power of two; shorter input is zero-padded), half overlapping, their power
// averaged. Bin k stands for k * sampleRate / segment Hz; values are amplitudes relative
// to a full-scale sine (a sine of amplitude 1 on a bin centre gives 1).
std::vector<double> AveragedMagnitudeSpectrum(const float* samples, size_t count, size_t segment);

// The largest power of two not above `count`, kept within [minimum, maximum].
size_t SegmentLengthFor(size_t count, size_t minimum, size_t maximum);

}  // namespace vorbel
