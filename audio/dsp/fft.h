// SPDX-License-Identifier: GPL-3.0-or-later
// The spectra the judge and the finders take: FFTW's planner lock, a real
// transform that owns its plan and buffers, real transforms in place both
// ways, the sizes FFTW is fast at, and the Hann window.
#pragma once

#include <fftw3.h>

#include <cstddef>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrin::audio {

// FFTW's planner keeps global state: every plan in the program is made and
// destroyed under this one lock. Executing a plan needs none.
std::mutex& FftwPlannerMutex();

// FFTW ends the process when an allocation of its own fails, while planning
// or while a plan that takes buffers runs. Throws std::bad_alloc unless the
// memory such a transform of `floats` frames may want can be had now (it is
// asked for and given back at once), so that a process near its limit is
// told rather than ended.
void RequireRoomForFftw(std::size_t floats);

// True when the process's address-space limit leaves little room: there
// FFTW must plan while nothing else allocates beside it, so a search runs
// on one thread.
bool AddressSpaceTight();

// Sets up FFTW's planner once per process; every transform here does so
// before it plans. A search calls it on its own thread before it starts
// others, so that the setup, which cannot fail gracefully, never races them
// for the last memory. Throws std::bad_alloc when the room is not there.
void PrepareFftw();

// Transforms of at least this many frames ask for their room before they
// run: below it, what a plan takes as it runs is too small to matter.
inline constexpr std::size_t kFftwRoomCheckedFrom = std::size_t{1} << 16;

// A real-to-complex transform of `size` frames from in() to out(), planned
// once and run as often as wanted. Throws std::bad_alloc when FFTW gives no
// buffer or plan. Not shared between threads: each makes its own. The plan
// and buffers of one that is done are kept by the thread for the next of
// the same size (in() then holds what was last put there).
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
    void run() {
        if (m_size >= kFftwRoomCheckedFrom)
            RequireRoomForFftw(m_size);
        fftwf_execute(m_plan);
    }

private:
    std::size_t m_size;
    float* m_in = nullptr;
    fftwf_complex* m_out = nullptr;
    fftwf_plan m_plan = nullptr;
};

// Frees what FFTW allocated.
struct FftwFree {
    void operator()(float* p) const { fftwf_free(p); }
};
// Floats from FFTW's allocator, aligned as its fastest plans want them.
using FftwFloats = std::unique_ptr<float[], FftwFree>;

// `count` floats from FFTW's allocator. Throws std::bad_alloc when it gives none.
FftwFloats AllocateFftwFloats(std::size_t count);

// Real transforms of `size` frames in place, forward and back, planned once
// and run on any buffer from buffer(): the frames in its first `size` floats
// become size / 2 + 1 complex bins over all size + 2 of them, and back.
// Throws std::bad_alloc when FFTW gives no buffer or plan. Running needs no
// lock: several buffers may be transformed at once. As for RealSpectrum, the
// plans of one that is done are kept for the next of the same size by the
// thread that destroys it, whichever thread made them: a plan moves to the
// thread that ends its transform (PlannedAhead hands one over so).
class InPlaceRealFft {
public:
    explicit InPlaceRealFft(std::size_t size);
    InPlaceRealFft(const InPlaceRealFft&) = delete;
    InPlaceRealFft& operator=(const InPlaceRealFft&) = delete;
    ~InPlaceRealFft();

    std::size_t size() const { return m_size; }
    // size() + 2 floats to transform in.
    FftwFloats buffer() const { return AllocateFftwFloats(m_size + 2); }
    // Frames to bins.
    void forward(float* data) const {
        if (m_size >= kFftwRoomCheckedFrom)
            RequireRoomForFftw(m_size);
        fftwf_execute_dft_r2c(m_forward, data, reinterpret_cast<fftwf_complex*>(data));
    }
    // Bins to frames, unnormalised: the result is size() times the signal.
    void inverse(float* data) const {
        if (m_size >= kFftwRoomCheckedFrom)
            RequireRoomForFftw(m_size);
        fftwf_execute_dft_c2r(m_inverse, reinterpret_cast<fftwf_complex*>(data), data);
    }

private:
    std::size_t m_size;
    fftwf_plan m_forward = nullptr;
    fftwf_plan m_inverse = nullptr;
};

// The smallest even 2^a 3^b 5^c at or above `minimum`: sizes FFTW is fast at.
std::size_t FastFftSize(std::size_t minimum);

// The Hann window of `size` frames, sampled at the frames' centres
// (i + 0.5) so that it is symmetric and never quite zero.
std::vector<double> HannWindow(std::size_t size);

// Plans transforms of `size` frames on another thread while the caller
// goes on with other work. The plans become the calling thread's when it
// calls takePlans(): the transform planned ahead ends there, and a
// transform's plans stay with the thread that ends it, so the caller's next
// InPlaceRealFft of `size` starts planned. Plans at once, on the calling
// thread, where the address space is tight (the planner would race other
// work for the last memory); nothing where no thread can be had.
class PlannedAhead {
public:
    explicit PlannedAhead(std::size_t size);
    PlannedAhead(const PlannedAhead&) = delete;
    PlannedAhead& operator=(const PlannedAhead&) = delete;
    // Takes the plans, as takePlans() does, if not taken yet.
    ~PlannedAhead();

    // Waits for the planning and keeps its plans with this thread, the one
    // that made this.
    void takePlans();

private:
    std::future<std::unique_ptr<InPlaceRealFft>> m_planned;
};

} // namespace kestrin::audio
