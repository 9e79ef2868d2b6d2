// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/fft.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <new>
#include <numbers>

namespace kestrin::audio {

std::mutex& FftwPlannerMutex() {
    static std::mutex mutex;
    // The planner is global to the process, which may hold a second copy of
    // this library (a program beside the sound module it loads) with a lock
    // of its own: FFTW is asked to serialise planning itself as well.
    static const bool plannerThreadSafe = (fftwf_make_planner_thread_safe(), true);
    (void)plannerThreadSafe;
    return mutex;
}

RealSpectrum::RealSpectrum(std::size_t size)
    : m_in(fftwf_alloc_real(size)), m_out(fftwf_alloc_complex(size / 2 + 1)) {
    if (m_in && m_out) {
        std::lock_guard lock(FftwPlannerMutex());
        m_plan = fftwf_plan_dft_r2c_1d(static_cast<int>(size), m_in, m_out, FFTW_ESTIMATE);
    }
    if (!m_plan) {
        fftwf_free(m_in);
        fftwf_free(m_out);
        throw std::bad_alloc();
    }
}

RealSpectrum::~RealSpectrum() {
    {
        std::lock_guard lock(FftwPlannerMutex());
        fftwf_destroy_plan(m_plan);
    }
    fftwf_free(m_in);
    fftwf_free(m_out);
}

FftwFloats AllocateFftwFloats(std::size_t count) {
    FftwFloats floats(static_cast<float*>(fftwf_malloc(count * sizeof(float))));
    if (!floats)
        throw std::bad_alloc();
    return floats;
}

namespace {

// A plan for in-place transforms of `size` frames, made on an example array
// of the alignment fftwf_malloc gives, which the estimate never touches and
// which is not kept. Throws std::bad_alloc when FFTW gives none.
fftwf_plan inPlacePlan(std::size_t size, bool forward) {
    const FftwFloats probe = AllocateFftwFloats(size + 2);
    const int n = static_cast<int>(size);
    auto* complex = reinterpret_cast<fftwf_complex*>(probe.get());
    std::lock_guard lock(FftwPlannerMutex());
    const fftwf_plan p = forward ? fftwf_plan_dft_r2c_1d(n, probe.get(), complex, FFTW_ESTIMATE)
                                 : fftwf_plan_dft_c2r_1d(n, complex, probe.get(), FFTW_ESTIMATE);
    if (!p)
        throw std::bad_alloc();
    return p;
}

void destroyPlan(fftwf_plan p) {
    if (!p)
        return;
    std::lock_guard lock(FftwPlannerMutex());
    fftwf_destroy_plan(p);
}

} // namespace

InPlaceRealFft::InPlaceRealFft(std::size_t size)
    : m_size(size), m_forward(inPlacePlan(size, true)) {
    try {
        m_inverse = inPlacePlan(size, false);
    } catch (...) {
        destroyPlan(m_forward);
        throw;
    }
}

InPlaceRealFft::~InPlaceRealFft() {
    destroyPlan(m_forward);
    destroyPlan(m_inverse);
}

std::size_t FastFftSize(std::size_t minimum) {
    std::size_t best = 2;
    while (best < minimum)
        best *= 2;
    for (std::size_t p3 = 1; p3 < best; p3 *= 3) {
        for (std::size_t p35 = p3; p35 < best; p35 *= 5) {
            std::size_t v = p35;
            while (v < minimum)
                v *= 2;
            if (v % 2 == 0)
                best = std::min(best, v);
        }
    }
    return best;
}

std::vector<double> HannWindow(std::size_t size) {
    // The judge asks for the same few sizes thousands of times in a search,
    // and a cosine per frame costs more than its spectrum: each thread keeps
    // the windows it made last.
    constexpr std::size_t kKeptWindows = 4;
    thread_local std::array<std::vector<double>, kKeptWindows> kept;
    thread_local std::size_t next = 0;
    for (const std::vector<double>& w : kept) {
        if (w.size() == size && size > 0)
            return w;
    }
    std::vector<double> window(size);
    for (std::size_t i = 0; i < size; ++i)
        window[i] = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * (static_cast<double>(i) + 0.5) /
                                         static_cast<double>(size));
    kept[next] = window;
    next = (next + 1) % kKeptWindows;
    return window;
}

} // namespace kestrin::audio
