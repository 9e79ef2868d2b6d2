// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos render: a track cut at its loop, or extended along it.
#include "audio/read/audio_files.h"
#include "audio/read/audio_reader.h"
#include "audio/read/in_place.h"
#include "audio/render/crossfade.h"
#include "audio/render/loop_interchange.h"
#include "cli/command.h"
#include "cli/output.h"
#include "cli/pos_tool.h"
#include "cli/position_argument.h"
#include "cli/rate_option.h"
#include "core/pos_file.h"

#include <cmath>
#include <filesystem>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

namespace kestrin::cli {

namespace fs = std::filesystem;
using namespace kestrin::audio;

namespace {

// The option that lets --in-place replace the audio with a seam still heard.
const char* const kEvenIfNotSeamless = "--even-if-not-seamless";

const char* const kHelp =
    R"(Usage: kestrin-pos render FILE.POS --split -o DIR [--force]
       kestrin-pos render FILE.POS --extend DURATION [--fade SECONDS | --outro] -o OUT [--force]
       kestrin-pos render FILE.POS --crossfade [DURATION] (-o OUT [--force] |
                          --in-place [--force] [--even-if-not-seamless])

Renders the WAVE file beside FILE.POS along its loop.

  --split          writes NAME-intro, NAME-loop and NAME-outro (with the
                   audio's extension) into the folder DIR: the frames before
                   the start, from the start to the stop, and from the stop
                   to the end. Played one after another they are the audio,
                   sample for sample; an empty part is a file without frames
  --extend DURATION  writes OUT, exactly DURATION long: the intro, then the
                   loop over and over, then the ending. DURATION is seconds
                   (3600, 90.5s) or [hours:]minutes:seconds (1:00:00, 45:30)
  --fade SECONDS   the ending: the loop goes on to the end and fades out
                   linearly over its last SECONDS (10 unless given; 0 cuts)
  --outro          the ending: after as many whole loop passes as fit, the
                   outro (stop to end), then silence up to DURATION
  --crossfade [DURATION]  makes the loop seamless where the track has no
                   seamless point: the DURATION before the stop (seconds, 0.05,
                   or milliseconds, 50ms) is blended from the track's own
                   frames into those before the start, so that the jump plays
                   a copy. Everything else stays sample for sample, and so do
                   the positions. Without DURATION, the shortest of 5, 10, 20,
                   50, 100, 200, 500, 1000 and 2000 ms after which the seam is
                   judged seamless is used. Sides that are alike (correlating
                   at 0.5 or more) are blended at equal gain, others at equal
                   power. Refused when the crossfade would reach beyond half
                   the loop, or the start has fewer frames before it
  --in-place       (with --crossfade) replace the audio itself: a temporary
                   file in its folder is written, every sample outside the
                   crossfade compared with the audio, and only then renamed
                   over it, keeping owner and permissions; a read-only file
                   is refused unless --force, a file changed meanwhile is left.
                   The original is kept beside it as AUDIO.orig (a second
                   link, or a copy), as the editor's Replace keeps it; an
                   existing AUDIO.orig is never overwritten, and the audio is
                   then left as it is. A crossfade after which the seam is
                   still not judged seamless replaces nothing and exits 1
  --even-if-not-seamless  (with --in-place) replace the audio even when the
                   crossfaded seam is not judged seamless
  --frames-of-audio  render audio at a rate other than 44,100 Hz with the
                   POS file's numbers as its own frames; the lines say so
  --force          replace files that exist; without it they are refused. The
                   audio rendered from, and anything but a regular file, is
                   never replaced this way
The format of OUT follows its extension: .wav, .aif/.aiff (the audio's
sample format), .flac (16 or 24 bits), .ogg/.oga (Vorbis). A progress line
goes to standard error when it is a terminal.

Positions count samples at 44,100 per second: audio at another rate is
refused with both rates named, unless --frames-of-audio is given, which
takes them as frames of that audio, as players such as vgmstream read them.
)";

// The DURATION of `option`, in seconds; throws UsageError naming the option.
double durationSeconds(const char* option, const std::string& text) {
    try {
        return ParseClockDurationArgument(text);
    } catch (const ArgumentError& e) {
        throw UsageError(std::string(option) + ": " + e.what());
    }
}

// Refuses to write over the audio rendered from, or over anything but a
// regular file (a FIFO, a device), even with --force.
void checkTarget(const fs::path& target, const fs::path& audio) {
    std::error_code ec;
    if (fs::equivalent(target, audio, ec))
        throw std::runtime_error("cannot write " + target.string() +
                                 ": it is the audio rendered from (" + audio.string() + ")");
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0 && !S_ISREG(old.st_mode))
        throw std::runtime_error("cannot write " + target.string() +
                                 ": it exists and is not a regular file");
}

// A progress line on standard error when it is a terminal.
std::function<void(double)> progressLine(std::ostream& err, const std::string& what) {
    if (::isatty(STDERR_FILENO) != 1)
        return {};
    return [&err, what, shown = -1](double done) mutable {
        const int percent = static_cast<int>(done * 100);
        if (percent != shown) {
            err << "\r" << what << ": " << percent << "%" << std::flush;
            shown = percent;
        }
    };
}

const char* curveName(CrossfadeCurve curve) {
    return curve == CrossfadeCurve::EqualGain ? "equal gain" : "equal power";
}

// The loop and the audio it is rendered from.
struct RenderSource {
    PosValues loop;
    fs::path audio;
    AudioInfo info;
};

// Reads FILE.POS and finds its audio, refusing a loop outside it.
RenderSource sourceOf(const std::string& file, const Arguments& a) {
    const PosValues loop = ReadPosFile(file);
    const auto companion = FindCompanionAudio(file);
    if (!companion)
        throw std::runtime_error(file + ": no audio beside it (" +
                                 ExpectedAudioName(file).filename().string() + ") to render");
    const fs::path audio = companion->path;
    const AudioInfo info = ReadAudioInfo(audio);
    RequireRate(audio, info.sampleRate, RateChoiceOf(a), "not rendered");
    if (loop.start < 0 || loop.stop <= loop.start || loop.stop > info.frames)
        throw std::runtime_error(file + ": start " + std::to_string(loop.start) + " and stop " +
                                 std::to_string(loop.stop) + " are no loop within " +
                                 audio.string() + " (" + std::to_string(info.frames) + " samples)");
    return {loop, audio, info};
}

// The crossfade over `seconds`, or the shortest the judge calls seamless;
// throws when there is none.
CrossfadeChoice chooseCrossfade(FrameSource& frames, std::optional<double> seconds,
                                const RenderSource& source) {
    const PosValues& loop = source.loop;
    const std::string audio = source.audio.string();
    const AudioInfo& info = source.info;
    if (seconds) {
        const std::int64_t length = std::llround(*seconds * info.sampleRate);
        if (const auto problem =
                CrossfadeProblem(loop.start, loop.stop, length, info.frames, info.sampleRate))
            throw std::runtime_error("cannot crossfade " + audio + ": " + *problem);
        return MeasureCrossfade(frames, loop.start, loop.stop, length);
    }
    const auto chosen = ChooseCrossfade(frames, loop.start, loop.stop, info.sampleRate);
    if (chosen)
        return *chosen;
    const std::int64_t shortest = std::int64_t{kCrossfadeLengthsMs[0]} * info.sampleRate / 1000;
    if (const auto problem =
            CrossfadeProblem(loop.start, loop.stop, shortest, info.frames, info.sampleRate))
        throw std::runtime_error("cannot crossfade " + audio + ": " + *problem);
    throw std::runtime_error("cannot make the seam of " + audio +
                             " seamless with any crossfade up to the loop's room "
                             "(give a DURATION to crossfade anyway)");
}

// Crossfades the seam of the source's loop, over `seconds` or the length the
// judge accepts.
int crossfade(const Arguments& a, std::optional<double> seconds, const RenderSource& source,
              std::ostream& out, std::ostream& err) {
    const PosValues& loop = source.loop;
    const fs::path& audio = source.audio;
    const AudioInfo& info = source.info;
    const auto target = a.value("-o");
    const bool inPlace = a.flag("--in-place");
    AudioReader reader(audio);
    if (const auto damage = reader.lengthProblem())
        throw std::runtime_error(*damage + ": not crossfaded");
    if (inPlace)
        if (const auto encoding = InexactEncodingOf(info.format))
            throw std::runtime_error("cannot crossfade " + audio.string() + " in place: its " +
                                     *encoding +
                                     " encoding would change every sample (use -o OUT)");
    ReaderSource frames(reader);
    const CrossfadeChoice choice = chooseCrossfade(frames, seconds, source);
    const Crossfade& fade = choice.fade;
    const auto progress = progressLine(err, "crossfading " + VisibleText(audio.string()));
    const auto writeFaded = [&](const fs::path& from, const fs::path& to) {
        WriteCrossfaded(from, to, fade, true, progress,
                        inPlace ? CrossfadeOutput::AsTheSource : CrossfadeOutput::ByExtension);
    };
    fs::path result;
    std::optional<fs::path> kept; // the original, once kept beside the replaced file
    if (inPlace) {
        // Replacing the user's only copy with a seam still heard is asked for, never assumed.
        if (!IsSeamless(choice.figures) && !a.flag(kEvenIfNotSeamless))
            throw std::runtime_error("crossfading " + audio.string() + " leaves its seam " +
                                     SeamSoundWord(choice.figures.sound) + ": left as it was (" +
                                     kEvenIfNotSeamless + " replaces it anyway)");
        try {
            const fs::path replaced = ReplaceInPlace(
                audio, a.flag("--force"), [&](const fs::path& file, const fs::path& temporary) {
                    KeepOriginal(file, KeptOriginalName(file));
                    kept = KeptOriginalName(file);
                    writeFaded(file, temporary);
                    if (const auto difference =
                            AudioDifference(file, temporary, fade.stop - fade.frames, fade.stop))
                        throw std::runtime_error("crossfading " + file.string() +
                                                 " would change audio outside the crossfade (" +
                                                 *difference + "): left as it was");
                });
            // Through a link, name the file that changed.
            result = fs::is_symlink(audio) ? replaced : audio;
        } catch (...) {
            std::error_code ec;
            if (kept)
                fs::remove(*kept, ec);
            throw;
        }
    } else {
        result = *target;
        checkTarget(result, audio);
        CreateChecked(result, a.flag("--force"),
                      [&](const fs::path& temporary) { writeFaded(audio, temporary); });
    }
    if (progress)
        err << '\n';
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.1f",
                  1000.0 * static_cast<double>(fade.frames) / info.sampleRate);
    out << VisibleText(result.string()) << ": crossfaded the " << fade.frames << " samples (" << ms
        << " ms) before the stop " << loop.stop << " at " << curveName(fade.curve)
        << " (correlation " << ShownCorrelation(choice.correlation) << "); the seam is "
        << SeamSoundWord(choice.figures.sound)
        << VisibleText(FramesNote(audio.filename(), info.sampleRate)) << '\n';
    if (kept)
        out << VisibleText(result.string()) << ": the original kept as "
            << VisibleText(kept->string()) << '\n';
    return ExitOk;
}

// What the command line asks render for.
struct RenderRequest {
    enum class Mode { Split, Extend, Crossfade } mode = Mode::Split;
    std::optional<std::string> target; // -o
    bool force = false;
    std::optional<double> crossfadeSeconds; // --crossfade's DURATION
    double extendSeconds = 0;
    double fadeSeconds = 10; // unless --fade says otherwise
    bool outro = false;
};

// Refuses options that do not go together; throws UsageError.
void checkCombination(const Arguments& a) {
    const bool crossfading = a.flag("--crossfade");
    if (a.files.empty() || a.files.size() > (crossfading ? 2u : 1u))
        throw UsageError(crossfading
                             ? "render --crossfade needs one POS file and at most one DURATION"
                             : "render needs exactly one POS file");
    const auto target = a.value("-o");
    const bool split = a.flag("--split");
    const auto extend = a.value("--extend");
    const bool inPlace = a.flag("--in-place");
    if (int(split) + int(extend.has_value()) + int(crossfading) != 1)
        throw UsageError("render needs one of --split, --extend DURATION and --crossfade");
    if (inPlace && !crossfading)
        throw UsageError("--in-place goes with --crossfade");
    if (a.flag(kEvenIfNotSeamless) && !inPlace)
        throw UsageError(std::string(kEvenIfNotSeamless) + " goes with --in-place");
    if (crossfading && target.has_value() == inPlace)
        throw UsageError("--crossfade needs either -o OUT or --in-place");
    if (!target && !crossfading)
        throw UsageError(split ? "--split needs -o DIR" : "--extend needs -o OUT");
    if (a.flag("--outro") && a.value("--fade"))
        throw UsageError("--fade and --outro exclude each other");
    if ((a.flag("--outro") || a.value("--fade")) && !extend)
        throw UsageError("--fade and --outro go with --extend");
}

// The options render is given, checked before any file is read; throws
// UsageError.
RenderRequest requestOf(const Arguments& a) {
    checkCombination(a);
    RenderRequest r;
    r.mode = a.flag("--split")     ? RenderRequest::Mode::Split
             : a.value("--extend") ? RenderRequest::Mode::Extend
                                   : RenderRequest::Mode::Crossfade;
    r.target = a.value("-o");
    r.force = a.flag("--force");
    r.outro = a.flag("--outro");
    if (r.mode == RenderRequest::Mode::Crossfade && a.files.size() == 2) {
        r.crossfadeSeconds = durationSeconds("--crossfade", a.files[1]);
        if (*r.crossfadeSeconds > 1e6)
            throw UsageError("--crossfade: " + a.files[1] + " is longer than any loop");
    }
    if (const auto extend = a.value("--extend")) {
        r.extendSeconds = durationSeconds("--extend", *extend);
        if (r.extendSeconds > 1e6)
            throw UsageError("--extend: " + *extend + " is longer than a render may be");
        if (const auto fade = a.value("--fade")) {
            try {
                r.fadeSeconds = ParseDurationArgument(*fade);
            } catch (const ArgumentError& e) {
                throw UsageError(std::string("--fade: ") + e.what());
            }
            if (r.fadeSeconds > r.extendSeconds)
                throw UsageError("--fade: " + *fade + " seconds is longer than the render (" +
                                 *extend + ")");
        } else if (!r.outro) {
            r.fadeSeconds = std::min(r.fadeSeconds, r.extendSeconds);
        }
    }
    return r;
}

// Writes the intro, the loop and the outro as files of their own in `folder`.
int split(const fs::path& folder, const RenderSource& source, bool force, std::ostream& out) {
    const fs::path& audio = source.audio;
    // "-o parts/" names the folder the parts go into: made when missing.
    std::error_code made;
    fs::create_directories(folder, made);
    if (made)
        throw std::runtime_error("cannot create folder " + folder.string() + ": " + made.message());
    const std::string stem = audio.stem().string();
    const std::string ext = audio.extension().string();
    const struct {
        const char* part;
        std::int64_t from, to;
    } parts[] = {{"intro", 0, source.loop.start},
                 {"loop", source.loop.start, source.loop.stop},
                 {"outro", source.loop.stop, source.info.frames}};
    for (const auto& p : parts)
        checkTarget(folder / (stem + "-" + p.part + ext), audio);
    for (const auto& p : parts) {
        const fs::path part = folder / (stem + "-" + p.part + ext);
        WriteSpliced(audio, part, p.from, p.to, 0, 0, force);
        out << VisibleText(part.string()) << ": " << p.to - p.from << " samples"
            << VisibleText(FramesNote(audio.filename(), source.info.sampleRate)) << '\n';
    }
    return ExitOk;
}

// Writes the track extended along its loop to the requested length.
int extend(const RenderRequest& request, const RenderSource& source, std::ostream& out,
           std::ostream& err) {
    const std::string& target = *request.target;
    const int rate = source.info.sampleRate;
    checkTarget(target, source.audio);
    ExtendPlan plan;
    plan.start = source.loop.start;
    plan.stop = source.loop.stop;
    plan.frames = std::llround(request.extendSeconds * rate);
    plan.ending = request.outro ? RenderEnding::Outro : RenderEnding::Fade;
    plan.fadeFrames = std::min<std::int64_t>(plan.frames, std::llround(request.fadeSeconds * rate));
    const auto progress = progressLine(err, "rendering " + VisibleText(target));
    RenderExtended(source.audio, target, plan, request.force, progress);
    if (progress)
        err << '\n';
    out << VisibleText(target) << ": " << plan.frames << " samples"
        << VisibleText(FramesNote(source.audio.filename(), rate)) << '\n';
    return ExitOk;
}

int run(const Arguments& a, std::ostream& out, std::ostream& err) {
    const RenderRequest request = requestOf(a);
    const std::string& file = a.files.front();
    try {
        const RenderSource source = sourceOf(file, a);
        if (request.mode == RenderRequest::Mode::Crossfade)
            return crossfade(a, request.crossfadeSeconds, source, out, err);
        if (request.mode == RenderRequest::Mode::Split)
            return split(*request.target, source, request.force, out);
        return extend(request, source, out, err);
    } catch (const std::exception& e) {
        ReportError(err, FailureText(file, e));
        return ExitProblem;
    }
}

} // namespace

const Command& RenderCommand() {
    static const Command command{"render",
                                 "FILE.POS",
                                 "split a track at its loop, or extend it along the loop",
                                 kHelp,
                                 {"-o", "--extend", "--fade"},
                                 {"--split", "--outro", "--force", "--crossfade", "--in-place",
                                  kEvenIfNotSeamless, FramesOfAudioFlag},
                                 run};
    return command;
}

} // namespace kestrin::cli
