// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos import: a loop other tools wrote, into the POS file.
#include "audio/audio_files.h"
#include "audio/loop_interchange.h"
#include "cli/command.h"
#include "cli/loop_tags.h"
#include "cli/output.h"
#include "cli/pos_tool.h"
#include "core/loop_formats.h"
#include "core/pos_file.h"

#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <vector>

namespace kestrin::cli {

namespace fs = std::filesystem;
using namespace kestrin::audio;

namespace {

const char* const kHelp =
    R"(Usage: kestrin-pos import FILE.POS... [--from smpl|tags|txtp|labels [FILE]] [--audio FILE]

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
  FILE           (after --from, with one POS file) the audio, playlist or
                 label file to read; by default the WAVE file beside the POS
                 file (smpl, tags), or NAME.txtp and NAME.txt beside it
  --audio FILE   the audio for smpl and tags, instead of the WAVE file beside
  --dry-run      say what would be written, change nothing

Without --from, the audio's smpl chunk is read, then its comments.
Positions count samples at 44,100 per second: a loop counted in the samples
of audio at another rate is refused with both rates named, and nothing is
written.

Exit status: 0 when every file was written, 1 when any could not be.
)";

constexpr int kPosRate = 44100;

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open " + path.string() + ": " +
                                 std::error_code(errno, std::generic_category()).message());
    std::ostringstream text;
    text << in.rdbuf();
    if (text.str().size() > (1u << 20))
        throw std::runtime_error(path.string() + " is too large for a playlist or label file");
    return text.str();
}

// `start`..`stop`, counted at `rate` in `where`, as POS positions.
PosValues positions(std::int64_t start, std::int64_t stop, int rate, const std::string& where) {
    if (rate != kPosRate)
        throw std::runtime_error(where + " counts its loop in samples at " + std::to_string(rate) +
                                 " Hz; a POS file counts samples at 44100 Hz: not imported");
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    if (start > kMax || stop > kMax)
        throw std::runtime_error(where + ": the loop " + std::to_string(start) + ".." +
                                 std::to_string(stop) + " lies beyond what a POS file can hold");
    return {static_cast<std::int32_t>(start), static_cast<std::int32_t>(stop)};
}

struct Found {
    PosValues loop;
    std::string source; // said to the user: "smpl chunk of BGM01.WAV"
};

std::optional<Found> fromSmpl(const fs::path& audio) {
    const auto loop = ReadInstrumentLoop(audio);
    if (!loop)
        return std::nullopt;
    const std::string where = "the smpl chunk of " + audio.string();
    return Found{positions(loop->start, loop->stop, loop->sampleRate, where), where};
}

std::optional<Found> fromTags(const fs::path& audio) {
    const auto loop = ReadLoopTags(audio);
    if (!loop)
        return std::nullopt;
    const std::string where =
        std::string(loop->names == LoopTagNames::StartLength ? "the LOOPSTART/LOOPLENGTH"
                                                             : "the LOOP_START/LOOP_END") +
        " comments of " + audio.string();
    return Found{positions(loop->start, loop->stop, loop->sampleRate, where), where};
}

Found fromTxtp(const fs::path& playlist, const fs::path& posFile) {
    const std::string where = "the playlist " + playlist.string();
    TxtpLoop loop;
    try {
        loop = ParseTxtp(readText(playlist));
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
    for (const fs::path& audio : candidates) {
        try {
            info = ReadAudioInfo(audio);
            break;
        } catch (const AudioError&) {
        }
    }
    if (!loop.stop && !info)
        throw std::runtime_error(where + " loops to the end of " + loop.audio +
                                 ", which cannot be read to learn where that is");
    const std::int64_t stop = loop.stop ? *loop.stop : info->frames;
    const int rate = loop.inSamples && info ? info->sampleRate : kPosRate;
    return {positions(loop.start, stop, rate, where),
            info || !loop.inSamples ? where : where + " (at 44100 Hz: its audio cannot be read)"};
}

Found fromLabels(const fs::path& labels) {
    try {
        return {ParseLabels(readText(labels)), "the label track " + labels.string()};
    } catch (const LoopTextError& e) {
        throw std::runtime_error(labels.string() + ": " + e.what());
    }
}

Found findLoop(const std::string& file, const std::string& from,
               const std::optional<fs::path>& given, const std::optional<fs::path>& audioOption) {
    if (from == "txtp")
        return fromTxtp(given.value_or(fs::path(file).replace_extension(".txtp")), file);
    if (from == "labels")
        return fromLabels(given.value_or(fs::path(file).replace_extension(".txt")));
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
        if (auto found = fromSmpl(*audio))
            return *found;
    if (from == "tags" || from.empty())
        if (auto found = fromTags(*audio))
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
    // The file after --from KIND is the source, not a POS file.
    std::optional<fs::path> given;
    if (!from.empty() && files.size() == 2) {
        std::string ext = fs::path(files.back()).extension().string();
        for (char& c : ext)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (ext != ".pos") {
            given = files.back();
            files.pop_back();
        }
    }
    if (files.empty())
        throw UsageError("import needs at least one POS file");
    const auto audioOption = a.value("--audio");
    const bool dryRun = a.flag("--dry-run");
    int status = ExitOk;
    for (const std::string& file : files) {
        try {
            const Found found =
                findLoop(file, from, given,
                         audioOption ? std::optional<fs::path>(*audioOption) : std::nullopt);
            if (!dryRun)
                UpdatePosFile(file, found.loop.start, found.loop.stop);
            out << VisibleText(file) << (dryRun ? ": would write" : ": wrote") << ": start "
                << found.loop.start << ", stop " << found.loop.stop << ", from "
                << VisibleText(found.source) << '\n';
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
                                 {"--dry-run"},
                                 run};
    return command;
}

} // namespace kestrin::cli
