// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos render: a track cut at its loop, or extended along it.
#include "audio/audio_files.h"
#include "audio/audio_reader.h"
#include "audio/loop_interchange.h"
#include "cli/command.h"
#include "cli/output.h"
#include "cli/pos_tool.h"
#include "cli/position_argument.h"
#include "core/pos_file.h"

#include <cmath>
#include <filesystem>
#include <regex>

#include <unistd.h>

namespace kestrin::cli {

namespace fs = std::filesystem;
using namespace kestrin::audio;

namespace {

const char* const kHelp =
    R"(Usage: kestrin-pos render FILE.POS --split -o DIR [--force]
       kestrin-pos render FILE.POS --extend DURATION [--fade SECONDS | --outro] -o OUT [--force]

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
  --force          replace files that exist; without it they are refused
The format of OUT follows its extension: .wav, .aif/.aiff (the audio's
sample format), .flac (16 or 24 bits), .ogg/.oga (Vorbis). A progress line
goes to standard error when it is a terminal.

Positions count samples at 44,100 per second: audio at another rate is
refused with both rates named.
)";

// DURATION in seconds; throws UsageError.
double durationSeconds(const std::string& text) {
    static const std::regex kClock(R"((?:([0-9]+):)?([0-9]+):([0-9]+(?:\.[0-9]*)?))");
    std::smatch m;
    if (std::regex_match(text, m, kClock)) {
        const double minutes = std::stod(m[2].str());
        const double seconds = std::stod(m[3].str());
        if (seconds >= 60 || (m[1].matched && minutes >= 60))
            throw UsageError("--extend: \"" + text + "\": minutes and seconds must be below 60");
        return (m[1].matched ? std::stod(m[1].str()) * 3600 : 0) + minutes * 60 + seconds;
    }
    try {
        return ParseDurationArgument(text);
    } catch (const ArgumentError& e) {
        throw UsageError(std::string("--extend: ") + e.what());
    }
}

int run(const Arguments& a, std::ostream& out, std::ostream& err) {
    if (a.files.size() != 1)
        throw UsageError("render needs exactly one POS file");
    const auto target = a.value("-o");
    const bool split = a.flag("--split");
    const auto extend = a.value("--extend");
    if (split == extend.has_value())
        throw UsageError("render needs either --split or --extend DURATION");
    if (!target)
        throw UsageError(split ? "--split needs -o DIR" : "--extend needs -o OUT");
    if (a.flag("--outro") && a.value("--fade"))
        throw UsageError("--fade and --outro exclude each other");
    double extendSeconds = 0;
    double fadeSeconds = 10;
    if (extend) {
        extendSeconds = durationSeconds(*extend);
        if (extendSeconds > 1e6)
            throw UsageError("--extend: " + *extend + " is longer than a render may be");
        if (const auto fade = a.value("--fade")) {
            try {
                fadeSeconds = ParseDurationArgument(*fade);
            } catch (const ArgumentError& e) {
                throw UsageError(std::string("--fade: ") + e.what());
            }
        }
    }
    const bool force = a.flag("--force");
    const std::string& file = a.files.front();
    try {
        const PosValues loop = ReadPosFile(file);
        const auto companion = FindCompanionAudio(file);
        if (!companion)
            throw std::runtime_error(file + ": no audio beside it (" +
                                     ExpectedAudioName(file).filename().string() + ") to render");
        const fs::path audio = companion->path;
        const AudioInfo info = ReadAudioInfo(audio);
        if (info.sampleRate != 44100)
            throw std::runtime_error(audio.string() + " is " + std::to_string(info.sampleRate) +
                                     " Hz, but " + file +
                                     " counts samples at 44100 Hz: not rendered");
        if (loop.start < 0 || loop.stop <= loop.start || loop.stop > info.frames)
            throw std::runtime_error(file + ": start " + std::to_string(loop.start) + " and stop " +
                                     std::to_string(loop.stop) + " are no loop within " +
                                     audio.string() + " (" + std::to_string(info.frames) +
                                     " samples)");
        if (split) {
            const fs::path folder = *target;
            const std::string stem = audio.stem().string();
            const std::string ext = audio.extension().string();
            const struct {
                const char* part;
                std::int64_t from, to;
            } parts[] = {{"intro", 0, loop.start},
                         {"loop", loop.start, loop.stop},
                         {"outro", loop.stop, info.frames}};
            for (const auto& p : parts) {
                const fs::path part = folder / (stem + "-" + p.part + ext);
                WriteSpliced(audio, part, p.from, p.to, 0, 0, force);
                out << VisibleText(part.string()) << ": " << p.to - p.from << " samples\n";
            }
            return ExitOk;
        }
        ExtendPlan plan;
        plan.start = loop.start;
        plan.stop = loop.stop;
        plan.frames = std::llround(extendSeconds * info.sampleRate);
        plan.ending = a.flag("--outro") ? RenderEnding::Outro : RenderEnding::Fade;
        plan.fadeFrames = std::llround(fadeSeconds * info.sampleRate);
        const bool terminal = ::isatty(STDERR_FILENO) == 1;
        int shown = -1;
        RenderExtended(audio, *target, plan, force, [&](double done) {
            const int percent = static_cast<int>(done * 100);
            if (terminal && percent != shown) {
                err << "\rrendering " << VisibleText(*target) << ": " << percent << "%"
                    << std::flush;
                shown = percent;
            }
        });
        if (terminal)
            err << '\n';
        out << VisibleText(*target) << ": " << plan.frames << " samples\n";
        return ExitOk;
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
                                 {"--split", "--outro", "--force"},
                                 run};
    return command;
}

} // namespace kestrin::cli
