// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/dsp/fft.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <future>
#include <new>
#include <numbers>
#include <optional>
#include <system_error>

#include <fstream>

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

namespace kestrin::audio {

void RequireRoomForFftw(std::size_t floats) {
    // Planning keeps about one and a half times the frames in twiddle
    // factors, and some plans take buffers of the frames again as they run;
    // the slack covers the planner's own small allocations.
    constexpr std::size_t kRoomPerFloat = 4 * sizeof(float);
    constexpr std::size_t kSlackBytes = std::size_t{1} << 20;
    const std::size_t bytes = floats * kRoomPerFloat + kSlackBytes;
    void* room = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (room == MAP_FAILED)
        throw std::bad_alloc();
    ::munmap(room, bytes);
}

bool AddressSpaceTight() {
    // What a search holds at most (a six-minute track held whole, its coarse
    // correlations and a second thread's windows) with room to spare.
    constexpr std::uint64_t kAmpleBytes = std::uint64_t{512} << 20;
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return false;
    std::uint64_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const std::uint64_t held = pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    return held + kAmpleBytes > limit.rlim_cur;
}

void PrepareFftw() {
    // The planner's first use registers every algorithm FFTW has, about
    // 200 kB of small allocations, any of which ends the process if it fails.
    static bool prepared = false;
    std::lock_guard lock(FftwPlannerMutex());
    if (prepared)
        return;
    constexpr std::size_t kPrepareFrames = 16;
    RequireRoomForFftw(kPrepareFrames);
    const FftwFloats frames = AllocateFftwFloats(kPrepareFrames + 2);
    fftwf_destroy_plan(fftwf_plan_dft_r2c_1d(static_cast<int>(kPrepareFrames), frames.get(),
                                             reinterpret_cast<fftwf_complex*>(frames.get()),
                                             FFTW_ESTIMATE));
    prepared = true;
}

std::mutex& FftwPlannerMutex() {
    static std::mutex mutex;
    // The planner is global to the process, which may hold a second copy of
    // this library (a program beside the sound module it loads) with a lock
    // of its own: FFTW is asked to serialise planning itself as well.
    static const bool plannerThreadSafe = (fftwf_make_planner_thread_safe(), true);
    (void)plannerThreadSafe;
    return mutex;
}

namespace {

// Transforms that are done leave their plans (and a RealSpectrum its
// buffers) with the thread that ended them, for the next transform of the
// same size: a search judges hundreds of seams through spectra of a few
// sizes, and planning one (the planner's search, the twiddle factors) costs
// more than running it. What a thread keeps goes with the thread.
template <class Spare, std::size_t Most> class SparePlans {
public:
    SparePlans() = default;
    SparePlans(const SparePlans&) = delete;
    SparePlans& operator=(const SparePlans&) = delete;
    ~SparePlans() {
        for (Spare& spare : m_spares)
            spare.destroy();
    }

    // A kept plan of `size`, taken from those kept.
    std::optional<Spare> take(std::size_t size) {
        for (auto it = m_spares.end(); it != m_spares.begin();) {
            --it;
            if (it->size == size) {
                const Spare spare = *it;
                m_spares.erase(it);
                return spare;
            }
        }
        return std::nullopt;
    }

    // Keeps `spare`, letting the one kept longest go when Most are kept.
    void give(Spare spare) {
        if (m_spares.size() == Most) {
            m_spares.front().destroy();
            m_spares.erase(m_spares.begin());
        }
        m_spares.push_back(spare);
    }

private:
    std::vector<Spare> m_spares;
};

// Set once this thread's kept plans are gone, for a transform that outlives
// them (one in an object destroyed as the thread ends): it goes at once.
thread_local bool tl_sparesGone = false;

struct SpareSpectrum {
    std::size_t size = 0;
    float* in = nullptr;
    fftwf_complex* out = nullptr;
    fftwf_plan plan = nullptr;

    void destroy() const {
        {
            std::lock_guard lock(FftwPlannerMutex());
            fftwf_destroy_plan(plan);
        }
        fftwf_free(in);
        fftwf_free(out);
    }
};

// The judge and the musical search use three sizes, at most two at once.
constexpr std::size_t kSpareSpectra = 8;

struct SpectrumSpares : SparePlans<SpareSpectrum, kSpareSpectra> {
    ~SpectrumSpares() { tl_sparesGone = true; }
};

SpectrumSpares& spareSpectra() {
    thread_local SpectrumSpares spares;
    return spares;
}

} // namespace

RealSpectrum::RealSpectrum(std::size_t size) : m_size(size) {
    if (!tl_sparesGone) {
        if (const std::optional<SpareSpectrum> spare = spareSpectra().take(size)) {
            m_in = spare->in;
            m_out = spare->out;
            m_plan = spare->plan;
            return;
        }
    }
    PrepareFftw();
    RequireRoomForFftw(size);
    m_in = fftwf_alloc_real(size);
    m_out = fftwf_alloc_complex(size / 2 + 1);
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
    const SpareSpectrum spare{m_size, m_in, m_out, m_plan};
    if (tl_sparesGone)
        spare.destroy();
    else
        spareSpectra().give(spare);
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
    PrepareFftw();
    RequireRoomForFftw(size);
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

namespace {

struct SparePlanPair {
    std::size_t size = 0;
    fftwf_plan forward = nullptr;
    fftwf_plan inverse = nullptr;

    void destroy() const {
        destroyPlan(forward);
        destroyPlan(inverse);
    }
};

// The coarse search correlates at one or two sizes per track; a plan of the
// largest (2^20 frames) holds a few MB of twiddle factors.
constexpr std::size_t kSparePlanPairs = 2;

struct PlanPairSpares : SparePlans<SparePlanPair, kSparePlanPairs> {
    ~PlanPairSpares() { tl_sparesGone = true; }
};

PlanPairSpares& sparePlanPairs() {
    thread_local PlanPairSpares spares;
    return spares;
}

} // namespace

InPlaceRealFft::InPlaceRealFft(std::size_t size) : m_size(size) {
    if (!tl_sparesGone) {
        if (const std::optional<SparePlanPair> spare = sparePlanPairs().take(size)) {
            m_forward = spare->forward;
            m_inverse = spare->inverse;
            return;
        }
    }
    m_forward = inPlacePlan(size, true);
    try {
        m_inverse = inPlacePlan(size, false);
    } catch (...) {
        destroyPlan(m_forward);
        throw;
    }
}

InPlaceRealFft::~InPlaceRealFft() {
    const SparePlanPair spare{m_size, m_forward, m_inverse};
    if (tl_sparesGone)
        spare.destroy();
    else
        sparePlanPairs().give(spare);
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

PlannedAhead::PlannedAhead(std::size_t size) {
    if (size == 0)
        return;
    PrepareFftw();
    try {
        if (AddressSpaceTight()) {
            std::promise<std::unique_ptr<InPlaceRealFft>> now;
            now.set_value(std::make_unique<InPlaceRealFft>(size));
            m_planned = now.get_future();
            return;
        }
        m_planned = std::async(std::launch::async,
                               [size] { return std::make_unique<InPlaceRealFft>(size); });
    } catch (const std::system_error&) {
        // No thread: the transform is planned where it is first made.
    }
}

PlannedAhead::~PlannedAhead() {
    try {
        takePlans();
    } catch (...) {
        // What failed in the planning fails again where the transform is
        // made, and is reported there.
    }
}

void PlannedAhead::takePlans() {
    // The transform ends here, on this thread, which keeps its plans.
    if (m_planned.valid())
        m_planned.get();
}

} // namespace kestrin::audio
