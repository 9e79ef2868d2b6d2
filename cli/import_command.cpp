// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos import: a loop other tools wrote, into the POS file.
#include "audio/read/audio_files.h"
#include "audio/render/loop_interchange.h"
#include "cli/command.h"
#include "cli/loop_tags.h"
#include "cli/output.h"
#include "cli/pos_files.h"
#include "cli/pos_tool.h"
#include "cli/rate_option.h"
#include "core/loop_formats.h"
#include "core/loop_problems.h"
#include "core/pos_file.h"

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

#include <unistd.h>

namespace kestrin::cli {

namespace fs = std::filesystem;
using namespace kestrin::audio;

namespace {

const char* const kHelp =
    R"(Usage: kestrin-pos import FILE.POS... [--from smpl|tags|txtp|labels [FILE]] [--audio FILE]
                          [--dry-run] [--frames-of-audio]

Reads a loop where another tool keeps it and writes it into each FILE.POS,
with the same safety as set: in place, under a lock, flushed, and never into
a file that begins like an audio or other container file. A missing POS file
is created. Says which source each loop came from.

  --from smpl    the first forward loop of the audio's smpl chunk (WAVE) or
                 instrument (AIFF)
  --from tags    the audio's comments: LOOPSTART and LOOPLENGTH, or
                 LOOP_START and LOOP_END (the sample after the last one
                 looped), in samples
  --from txtp    a vgmstream playlist's first "FILE #I START [END]"; a
                 missing END is the end of the played file
  --from labels  the first region of a label track, "START<tab>STOP" in
                 seconds
  FILE           (last, after --from; any name but *.pos) the audio,
                 playlist or label file to read; by default the WAVE file beside the POS
                 file (smpl, tags), or NAME.txtp and NAME.txt beside it
  --audio FILE   the audio for smpl and tags, instead of the WAVE file beside
  --dry-run      say what would be written, change nothing
  --frames-of-audio  take a loop in audio at another rate than 44,100 Hz
                 as it is, in frames of that audio (seconds at its rate), as
                 players such as vgmstream read a POS file's numbers; the
                 line says so

Without --from, the audio's smpl chunk is read, then its comments.
Only regular files are read, a playlist or label file up to 1 MiB. Only
*.pos files are written, never a file the loop is read from. A loop whose
stop is not after its start is refused; a negative start or a stop beyond
the end of the audio is written with a warning, as set warns.
Positions count samples at 44,100 per second: a loop for audio at another
rate (the audio read, the playlist's played file, or for labels the audio
beside the POS file) is refused with both rates named, and nothing is
written, unless --frames-of-audio is given.

Exit status: 0 when every file was written, 1 when any could not be.
)";

constexpr int kPosRate = 44100;

// Playlists and label tracks are a few lines; a file past this is no such
// text, and a device or pipe is never read.
constexpr std::size_t kLongestText = 1u << 20;

std::string readText(const fs::path& path, const char* kind) {
    const int fd = OpenRegularFile(path, kind);
    std::string text(kLongestText + 1, '\0');
    std::size_t length = 0;
    while (length < text.size()) {
        const ssize_t n = ::read(fd, text.data() + length, text.size() - length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            throw std::runtime_error("cannot read " + path.string() + ": " +
                                     std::error_code(error, std::generic_category()).message());
        }
        if (n == 0)
            break;
        length += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (length > kLongestText)
        throw std::runtime_error(path.string() + " is larger than " + std::to_string(kLongestText) +
                                 " bytes: too large for a " + kind);
    text.resize(length);
    return text;
}

// Refuses a source that is the POS file to be written, before it is read.
void refuseSelf(const fs::path& source, const fs::path& posFile) {
    std::error_code ec;
    if (fs::equivalent(posFile, source, ec))
        throw std::runtime_error(posFile.string() + " is the file the loop is read from (" +
                                 source.string() + "): not written");
}

// `start`..`stop`, counted at `rate` in `where`, as POS positions.
PosValues positions(std::int64_t start, std::int64_t stop, int rate, const std::string& where) {
    try {
        return ImportedLoop(start, stop, rate);
    } catch (const LoopTextError& e) {
        throw std::runtime_error(where + " " + e.what());
    }
}

// The rate rule for a loop counted at `rate` in `audio`: throws when it is
// refused, else returns what the output line adds (nothing at 44,100 Hz).
std::string applyRate(const fs::path& audio, int rate, AudioRate choice) {
    RequireRate(audio, rate, choice, "not imported");
    return FramesNote(audio.filename(), rate);
}

struct Found {
    PosValues loop;
    std::string source;                 // said to the user: "smpl chunk of BGM01.WAV"
    std::vector<fs::path> read;         // every file the loop came from
    std::optional<std::int64_t> frames; // the length of its audio, when known
};

// The length in frames of `audio`, where a stop can be checked.
std::optional<std::int64_t> framesOf(const fs::path& audio) {
    try {
        return ReadAudioInfo(audio).frames;
    } catch (const AudioError&) {
    }
    return std::nullopt;
}

std::optional<Found> fromSmpl(const fs::path& audio, AudioRate choice) {
    const auto loop = ReadInstrumentLoop(audio);
    if (!loop)
        return std::nullopt;
    const std::string where = "the smpl chunk of " + audio.string();
    const std::string note = applyRate(audio, loop->sampleRate, choice);
    return Found{positions(loop->start, loop->stop, kPosRate, where),
                 where + note,
                 {audio},
                 framesOf(audio)};
}

std::optional<Found> fromTags(const fs::path& audio, AudioRate choice) {
    const auto loop = ReadLoopTags(audio);
    if (!loop)
        return std::nullopt;
    const std::string where =
        std::string(loop->names == LoopTagNames::StartLength ? "the LOOPSTART/LOOPLENGTH"
                                                             : "the LOOP_START/LOOP_END") +
        " comments of " + audio.string();
    const std::string note = applyRate(audio, loop->sampleRate, choice);
    return Found{positions(loop->start, loop->stop, kPosRate, where),
                 where + note,
                 {audio},
                 framesOf(audio)};
}

Found fromTxtp(const fs::path& playlist, const fs::path& posFile, AudioRate choice) {
    const std::string where = "the playlist " + playlist.string();
    TxtpLoop loop;
    std::string text;
    try {
        refuseSelf(playlist, posFile);
        text = readText(playlist, "playlist");
        loop = ParseTxtp(text);
    } catch (const LoopTextError& e) {
        throw std::runtime_error(playlist.string() + ": " + e.what());
    }
    // Sample counts are the played file's; its rate and length come from it,
    // else from the audio beside the POS file.
    std::vector<fs::path> candidates;
    if (!loop.audio.empty())
        candidates.push_back(playlist.parent_path() / loop.audio);
    if (const auto companion = FindCompanionAudio(posFile))
        candidates.push_back(companion->path);
    std::optional<AudioInfo> info;
    fs::path played;
    for (const fs::path& audio : candidates) {
        try {
            info = ReadAudioInfo(audio);
            played = audio;
            break;
        } catch (const AudioError&) {
        }
    }
    if (!loop.stop && !info)
        throw std::runtime_error(where + " loops to the end of " + QuotedExcerpt(loop.audio) +
                                 ", which cannot be read to learn where that is");
    std::string note;
    if (info) {
        note = applyRate(played, info->sampleRate, choice);
        // Seconds become frames of the played file at its own rate.
        if (!loop.inSamples && info->sampleRate != kPosRate)
            try {
                loop = ParseTxtp(text, info->sampleRate);
            } catch (const LoopTextError& e) {
                throw std::runtime_error(playlist.string() + ": " + e.what());
            }
    }
    const std::int64_t stop = loop.stop ? *loop.stop : info->frames;
    return {positions(loop.start, stop, kPosRate, where),
            info || !loop.inSamples ? where + note
                                    : where + " (at 44100 Hz: its audio cannot be read)",
            {playlist},
            info ? std::optional(info->frames) : std::nullopt};
}

Found fromLabels(const fs::path& labels, const fs::path& posFile, AudioRate choice) {
    try {
        refuseSelf(labels, posFile);
        const std::string text = readText(labels, "label file");
        const std::string where = "the label track " + labels.string();
        const auto audio = FindCompanionAudio(posFile);
        std::optional<AudioInfo> info;
        if (audio)
            try {
                info = ReadAudioInfo(audio->path);
            } catch (const AudioError&) {
            }
        // Seconds become samples at 44,100 per second, or frames of the audio.
        const int rate = info ? info->sampleRate : kPosRate;
        const std::string note = info ? applyRate(audio->path, rate, choice) : std::string();
        const PosValues loop = ParseLabels(text, rate);
        return {positions(loop.start, loop.stop, kPosRate, where),
                where + note,
                {labels},
                info ? std::optional(info->frames) : std::nullopt};
    } catch (const LoopTextError& e) {
        throw std::runtime_error(labels.string() + ": " + e.what());
    }
}

Found findLoop(const std::string& file, const std::string& from,
               const std::optional<fs::path>& given, const std::optional<fs::path>& audioOption,
               AudioRate choice) {
    if (from == "txtp")
        return fromTxtp(given.value_or(fs::path(file).replace_extension(".txtp")), file, choice);
    if (from == "labels")
        return fromLabels(given.value_or(fs::path(file).replace_extension(".txt")), file, choice);
    std::optional<fs::path> audio = given ? given : audioOption;
    if (!audio) {
        const auto companion = FindCompanionAudio(file);
        if (!companion)
            throw std::runtime_error(file + ": no audio beside it (" +
                                     ExpectedAudioName(file).filename().string() +
                                     ") to read a loop from");
        audio = companion->path;
    }
    if (from == "smpl" || from.empty())
        if (auto found = fromSmpl(*audio, choice))
            return *found;
    if (from == "tags" || from.empty())
        if (auto found = fromTags(*audio, choice))
            return *found;
    throw std::runtime_error(audio->string() + ": no loop in its " +
                             (from == "smpl"   ? "smpl chunk"
                              : from == "tags" ? "comments"
                                               : "smpl chunk or comments"));
}

int run(const Arguments& a, std::ostream& out, std::ostream& err) {
    std::vector<std::string> files = a.files;
    const std::string from = a.value("--from").value_or("");
    if (!from.empty() && from != "smpl" && from != "tags" && from != "txtp" && from != "labels")
        throw UsageError("--from: \"" + from + "\" is not smpl, tags, txtp or labels");
    // A last file after --from KIND that is no POS file is the source.
    std::optional<fs::path> given;
    if (!from.empty() && !files.empty() && !HasPosExtension(files.back())) {
        given = files.back();
        files.pop_back();
    }
    if (files.empty())
        throw UsageError("import needs at least one POS file");
    // Only POS files are written: a label track or playlist named by
    // mistake must not lose its first 8 bytes.
    for (const std::string& file : files)
        if (!HasPosExtension(file))
            throw UsageError("\"" + file +
                             "\" is not a POS file (*.pos); import writes only those");
    const auto audioOption = a.value("--audio");
    const bool dryRun = a.flag("--dry-run");
    int status = ExitOk;
    for (const std::string& file : files) {
        try {
            const Found found =
                findLoop(file, from, given,
                         audioOption ? std::optional<fs::path>(*audioOption) : std::nullopt,
                         RateChoiceOf(a));
            for (const fs::path& source : found.read)
                refuseSelf(source, file);
            if (!dryRun)
                UpdatePosFile(file, found.loop.start, found.loop.stop);
            out << VisibleText(file) << (dryRun ? ": would write" : ": wrote") << ": start "
                << found.loop.start << ", stop " << found.loop.stop << ", from "
                << VisibleText(found.source) << '\n';
            std::vector<std::string> warnings = PositionProblems(found.loop);
            if (found.frames)
                if (auto beyond = StopBeyondAudioProblem(found.loop.stop, *found.frames))
                    warnings.push_back(std::move(*beyond));
            for (const std::string& w : warnings)
                ReportWarning(err, file, w);
        } catch (const std::exception& e) {
            ReportError(err, FailureText(file, e));
            status = ExitProblem;
        }
    }
    return status;
}

} // namespace

const Command& ImportCommand() {
    static const Command command{"import",
                                 "FILE.POS...",
                                 "read a loop from smpl chunks, comments, playlists or labels",
                                 kHelp,
                                 {"--from", "--audio"},
                                 {"--dry-run", FramesOfAudioFlag},
                                 run};
    return command;
}

} // namespace kestrin::cli
