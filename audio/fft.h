// SPDX-License-Identifier: GPL-3.0-or-later
// The spectra the judge and the finders take: FFTW's planner lock, a real
// transform that owns its plan and buffers, and the Hann window.
#pragma once

#include <fftw3.h>

#include <cstddef>
#include <mutex>
#include <vector>

namespace kestrin::audio {

// FFTW's planner keeps global state: every plan in the program is made and
// destroyed under this one lock. Executing a plan needs none.
std::mutex& FftwPlannerMutex();

// A real-to-complex transform of `size` frames from in() to out(), planned
// once and run as often as wanted. Throws std::bad_alloc when FFTW gives no
// buffer or plan. Not shared between threads: each makes its own.
class RealSpectrum {
public:
    explicit RealSpectrum(std::size_t size);
    RealSpectrum(const RealSpectrum&) = delete;
    RealSpectrum& operator=(const RealSpectrum&) = delete;
    ~RealSpectrum();

    // size() frames to transform.
    float* in() { return m_in; }
    // size() / 2 + 1 bins, valid after run().
    const fftwf_complex* out() const { return m_out; }
    // The power of bin k, in double so that sums of many bins keep their
    // small terms.
    double power(std::size_t k) const {
        return double{m_out[k][0]} * m_out[k][0] + double{m_out[k][1]} * m_out[k][1];
    }
    void run() { fftwf_execute(m_plan); }

private:
    float* m_in = nullptr;
    fftwf_complex* m_out = nullptr;
    fftwf_plan m_plan = nullptr;
};

// The Hann window of `size` frames, sampled at the frames' centres
// (i + 0.5) so that it is symmetric and never quite zero.
std::vector<double> HannWindow(std::size_t size);

} // namespace kestrin::audio
