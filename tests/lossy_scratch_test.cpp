// SPDX-License-Identifier: GPL-3.0-or-later
// A lossy file's search decodes it once into a scratch file and reads its
// windows back from there: every figure is the one of the same file decoded
// whole, with a scratch file and without one, and the scratch file leaves
// nothing in the temporary folder.
#include "audio/exact/loop_finder.h"
#include "audio/read/audio_reader.h"
#include "tests/file_bytes.h"
#include "tests/loop_corpus.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

using namespace kestrin;
using namespace kestrin::audio;
using namespace kestrin::testing_support;
namespace fs = std::filesystem;

namespace {

constexpr int kVorbis = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
constexpr int kMp3 = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;

// TMPDIR for the life of the object, as it was afterwards.
class TempFolder {
public:
    explicit TempFolder(const fs::path& dir) {
        if (const char* old = std::getenv("TMPDIR"))
            m_old = old;
        ::setenv("TMPDIR", dir.c_str(), 1);
    }
    ~TempFolder() {
        if (m_old)
            ::setenv("TMPDIR", m_old->c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

private:
    std::optional<std::string> m_old;
};

// A limit on the size of the files this process writes, for the life of the
// object: a write past it fails with EFBIG as one on a full disk fails with
// ENOSPC, without filling any disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldSignal = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldSignal);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit m_old{};
    void (*m_oldSignal)(int) = SIG_DFL;
};

struct LossyRow {
    const char* name;
    LoopLayout layout;
    int channels;
    int format;
};
void PrintTo(const LossyRow& row, std::ostream* os) {
    *os << row.name;
}

class LossyScratchSearch : public testing::TestWithParam<LossyRow> {};

TEST_P(LossyScratchSearch, FindsWhatTheWholeDecodedTrackGives) {
    const LossyRow& row = GetParam();
    ScratchFolder dir("kestrin-lossy-scratch");
    const fs::path file = dir.path() / (row.format == kVorbis ? "track.ogg" : "track.mp3");
    TrackSpec shape;
    shape.layout = row.layout;
    shape.channels = row.channels;
    shape.repeats = row.layout == LoopLayout::Overlap ? 1 : 2;
    WriteTrack(RenderTrack(shape), file, row.format);
    const LoopSearch whole = FindLoops(*ReadAudioSamples(file));

    const fs::path temp = dir.path() / "temp";
    fs::create_directory(temp);
    // A temporary folder that is not there leaves no scratch file to be had.
    for (const fs::path& tmp : {temp, dir.path() / "missing"}) {
        const TempFolder scoped(tmp);
        const LoopSearch windowed = FindLoops(file);
        ASSERT_FALSE(windowed.cancelled) << tmp;
        ASSERT_EQ(windowed.candidates.size(), whole.candidates.size()) << tmp;
        for (std::size_t i = 0; i < whole.candidates.size(); ++i) {
            const LoopCandidate& a = windowed.candidates[i];
            const LoopCandidate& b = whole.candidates[i];
            EXPECT_EQ(a.start, b.start) << tmp << " candidate " << i;
            EXPECT_EQ(a.stop, b.stop) << tmp << " candidate " << i;
            EXPECT_EQ(a.score, b.score) << tmp << " candidate " << i;
            EXPECT_EQ(a.repeatedSeconds, b.repeatedSeconds) << tmp << " candidate " << i;
            EXPECT_EQ(a.seam, b.seam) << tmp << " candidate " << i;
            EXPECT_EQ(a.judged.score, b.judged.score) << tmp << " candidate " << i;
            EXPECT_EQ(a.judged.kink, b.judged.kink) << tmp << " candidate " << i;
        }
    }
    EXPECT_TRUE(fs::is_empty(temp)) << "the scratch file was left behind";
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, LossyScratchSearch,
    testing::Values(LossyRow{"repeated_stereo_vorbis", LoopLayout::Repeated, 2, kVorbis},
                    LossyRow{"overlap_mono_vorbis", LoopLayout::Overlap, 1, kVorbis},
                    LossyRow{"fade_out_stereo_mp3", LoopLayout::FadeOut, 2, kMp3},
                    LossyRow{"no_repeat_mono_mp3", LoopLayout::NoRepeat, 1, kMp3}),
    [](const testing::TestParamInfo<LossyRow>& info) { return std::string(info.param.name); });

// Windows in any order, the first one far into the file and the last one cut
// by the end, are the frames decoding from the start gives, whether they
// come from the scratch file, from memory, or from both after the disk
// filled part-way through.
TEST(AudioReaderScratch, WindowsAreTheFramesDecodedFromTheStart) {
    ScratchFolder dir("kestrin-reader-scratch");
    TrackSpec shape;
    shape.layout = LoopLayout::NoRepeat;
    const Track track = RenderTrack(shape);
    for (const auto& [name, format] : {std::pair{"t.ogg", kVorbis}, std::pair{"t.mp3", kMp3}}) {
        const fs::path file = dir.path() / name;
        WriteTrack(track, file, format);
        const AudioSamples whole = *ReadAudioSamples(file);
        const std::int64_t frames = whole.frames();
        enum class Keep { Scratch, Memory, DiskFills };
        for (const Keep keep : {Keep::Scratch, Keep::Memory, Keep::DiskFills}) {
            const fs::path tmp = keep == Keep::Memory ? dir.path() / "missing" : dir.path();
            const TempFolder scoped(tmp);
            // 1 MiB holds about a fifth of the track's decoded frames.
            std::optional<FileSizeLimit> full;
            if (keep == Keep::DiskFills)
                full.emplace(rlim_t{1} << 20);
            AudioReader reader(file);
            reader.keepDecodedInScratch();
            for (const std::int64_t at : {std::int64_t{300000}, std::int64_t{50000}, frames - 1000,
                                          std::int64_t{0}, std::int64_t{226148}}) {
                std::vector<float> window(4096 * 2);
                const std::int64_t want = std::min<std::int64_t>(4096, frames - at);
                ASSERT_EQ(reader.readFloat(at, 4096, window.data()), want) << name << " at " << at;
                EXPECT_TRUE(std::equal(window.begin(), window.begin() + want * 2,
                                       whole.samples.begin() + at * 2))
                    << name << " at " << at << " kept as " << static_cast<int>(keep);
            }
            EXPECT_EQ(reader.readFloat(frames, 16, nullptr), 0);
            EXPECT_EQ(reader.info().frames, frames);
        }
    }
}

} // namespace
