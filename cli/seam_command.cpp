// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos seam: what a listener hears at the loop point, as a new audio file.
#include "audio/read/audio_files.h"
#include "cli/command.h"
#include "cli/output.h"
#include "cli/pos_tool.h"
#include "cli/position_argument.h"
#include "cli/rate_option.h"
#include "core/loop_problems.h"
#include "core/pos_file.h"

#include <cmath>
#include <filesystem>

namespace kestrin::cli {

namespace fs = std::filesystem;
using namespace kestrin::audio;

namespace {

const char* const kHelp =
    R"(Usage: kestrin-pos seam FILE.POS -o OUT.wav [--before S] [--after S] [--force] [--frames-of-audio]

Renders what a listener hears at the loop point: the last S seconds before the
stop (stop itself excluded: playback jumps back there), then the first S
seconds from the start, sample-exact, into a new file in the source's format.
As players do, a stop that is 0, negative or past the end means the end of
the audio. Durations reaching past either end of the audio stop there.

OUT is written to a temporary file beside it and renamed at the end, so a
failure leaves no partial file. An existing OUT is kept unless --force is
given; one that is not a regular file (a folder, a FIFO, a device) and the
POS file or its audio are never replaced. A source whose encoding cannot be
copied sample-exact (ADPCM, GSM 6.10, G.72x, Vorbis, Opus, MPEG, ...) is
refused.

  -o OUT.wav    the file to write
  --before S    seconds before the stop (default 3)
  --after S     seconds from the start (default 3)
  --force       replace an existing OUT
  --frames-of-audio  render audio at a rate other than 44,100 Hz with the
                POS file's numbers as its own frames; the line says so

Positions count samples at 44,100 per second: audio at another rate is
refused with both rates named, unless --frames-of-audio is given, which
takes them as frames of that audio, as players such as vgmstream read them.
)";

bool samePlace(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    if (fs::exists(a, ec) && fs::exists(b, ec))
        return fs::equivalent(a, b, ec);
    return fs::weakly_canonical(a, ec) == fs::weakly_canonical(b, ec);
}

// The frames in `seconds` at `rate`, rounded, and never more than `limit`:
// the product is formed in double, so no duration can overflow.
std::int64_t framesWithin(double seconds, int rate, std::int64_t limit) {
    const double frames = std::round(seconds * rate);
    return frames >= static_cast<double>(limit) ? limit : static_cast<std::int64_t>(frames);
}

// Why `output` must not be written, or an empty text when it may be. An
// existing symbolic link is followed, so `output` becomes the file it names.
std::string refusalOf(fs::path& output, bool force) {
    std::error_code ec;
    fs::file_status status = fs::symlink_status(output, ec);
    if (status.type() == fs::file_type::not_found)
        return {};
    if (ec)
        return "cannot open file " + output.string() + ": " + ec.message();
    if (fs::is_symlink(status)) {
        fs::path target = fs::canonical(output, ec);
        if (ec)
            return "cannot open file " + output.string() + ": " + ec.message();
        output = std::move(target);
        status = fs::status(output, ec);
        if (ec)
            return "cannot open file " + output.string() + ": " + ec.message();
    }
    if (!fs::is_regular_file(status))
        return "refusing to write " + output.string() + ": it is not a regular file";
    if (!force)
        return "refusing to replace " + output.string() + ": it exists; --force replaces it";
    return {};
}

int run(const Arguments& a, std::ostream& out, std::ostream& err) {
    if (a.files.size() != 1)
        throw UsageError("seam takes exactly one POS file");
    const auto target = a.value("-o");
    if (!target)
        throw UsageError("seam needs -o OUT.wav");
    double before = 3.0;
    double after = 3.0;
    try {
        if (const auto text = a.value("--before"))
            before = ParseDurationArgument(*text);
        if (const auto text = a.value("--after"))
            after = ParseDurationArgument(*text);
    } catch (const ArgumentError& e) {
        throw UsageError(e.what());
    }

    const fs::path file = a.files.front();
    fs::path output = *target;
    auto fail = [&](const std::string& message) {
        ReportError(err, message);
        return ExitProblem;
    };
    try {
        const PosValues v = ReadPosFile(file);
        const auto companion = FindCompanionAudio(file);
        if (!companion)
            return fail(NoAudioProblem(file, file.string()));
        if (samePlace(output, file) || samePlace(output, companion->path))
            return fail("refusing to overwrite " + output.string() +
                        ": it is the POS file or its audio");
        if (const std::string refusal = refusalOf(output, a.flag("--force")); !refusal.empty())
            return fail(refusal);
        const AudioInfo info = ReadAudioInfo(companion->path);
        RequireRate(companion->path, info.sampleRate, RateChoiceOf(a), "not written");
        std::int64_t stop = v.stop;
        if (stop <= 0 || stop > info.frames)
            stop = info.frames; // where players loop when the stop is unusable
        if (v.start < 0 || v.start >= stop)
            return fail(file.string() + ": start " + std::to_string(v.start) + " and stop " +
                        std::to_string(stop) + " make no loop: players drop it");
        const std::int64_t fromA = stop - framesWithin(before, info.sampleRate, stop);
        const std::int64_t toB =
            v.start + framesWithin(after, info.sampleRate, info.frames - v.start);
        WriteSpliced(companion->path, output, fromA, stop, v.start, toB, a.flag("--force"));
        out << "wrote " << VisibleText(output.string()) << ": samples " << fromA << " to " << stop
            << " (before the stop), then " << v.start << " to " << toB << " (from the start) of "
            << VisibleText(companion->path.filename().string())
            << VisibleText(FramesNote(companion->path.filename(), info.sampleRate)) << '\n';
    } catch (const PosFileError& e) {
        ReportError(err, e);
        return ExitProblem;
    } catch (const AudioError& e) {
        ReportError(err, e);
        return ExitProblem;
    } catch (const std::runtime_error& e) {
        return fail(e.what());
    }
    return ExitOk;
}

} // namespace

const Command& SeamCommand() {
    static const Command command{"seam",
                                 "FILE.POS -o OUT",
                                 "render the loop seam into a new WAVE file",
                                 kHelp,
                                 {"-o", "--before", "--after"},
                                 {"--force", FramesOfAudioFlag},
                                 run};
    return command;
}

} // namespace kestrin::cli
