// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos set: new positions written into a POS file in place.
#include "audio/judge/seam_measure.h"
#include "audio/read/audio_files.h"
#include "audio/read/audio_reader.h"
#include "cli/command.h"
#include "cli/output.h"
#include "cli/pos_tool.h"
#include "cli/position_argument.h"
#include "cli/rate_option.h"
#include "core/loop_problems.h"
#include "core/pos_file.h"
#include "core/positions.h"
#include "core/seam_figures.h"

#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <tuple>

namespace kestrin::cli {

using namespace kestrin::audio;

namespace {

const char* const kHelp =
    R"(Usage: kestrin-pos set FILE.POS... [--start T] [--stop T|end|seamless] [--dry-run]
                       [--frames-of-audio]

Writes new positions into the first 8 bytes of each FILE.POS, in place,
exactly as the editor's Save does; the rest of the file is kept. Only the
positions given are written, under a lock, so a concurrent set of the other
position is kept. A missing file is created when a stop is given (--stop end
included), with start 0 unless --start is given too. A
file that begins like an audio or other container file (RIFF/WAVE, AIFF,
FLAC, Ogg, ...) is refused: its first bytes are a header, not positions.
Every file is handled, whatever happened to the ones before it.

T is one of
  66150      a sample count: a bare number is always samples, so 10 means
             ten samples, not ten seconds
  1.5s       seconds (fraction and exponent allowed: 2.5e1s)
  01:30      minutes:seconds, also 1:30.25; seconds below 60
  end        (--stop only) the end of the file's own audio: its last
             sample + 1, read from the WAVE file beside it
  seamless   (--stop only) the nearest stop, within a second of the
             stored one, whose jump back to the start cannot be heard,
             measured in the WAVE file beside it as check measures the
             seam: at the new start when --start is given, else at the
             stored one. A seam that is already seamless keeps its stop;
             a file with no seamless stop within a second is an error and
             is not written
A value outside the signed 32-bit range is an error and nothing is written.

  --start T   the new start position
  --stop T    the new stop position
  --dry-run   show what would be written, change nothing
  --frames-of-audio  let --stop end and --stop seamless take their stop
              from audio at a rate other than 44,100 Hz, as a frame of that
              audio, as players such as vgmstream read a POS file's numbers;
              without it such audio is refused with both rates named, as a
              POS file counts at 44,100 per second. The line says so

A loop that players drop or cut (a negative start, a stop not after the
start, a stop beyond the end of the audio when the audio is found), or whose
seam a listener hears (judged as check judges it), is still written, with a
warning on standard error.

Exit status: 0 when every file was written, 1 when any could not be.
)";

// A file whose audio cannot give --stop end or seamless its value; nothing
// is written.
class NoAudioStop : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The positions asked for on the command line; `stopAtEnd` and
// `stopSeamless` stand for a stop that each file takes from its own audio.
struct Request {
    std::optional<std::int32_t> start;
    std::optional<std::int32_t> stop;
    bool stopAtEnd = false;
    bool stopSeamless = false;
    bool dryRun = false;
    AudioRate rate = AudioRate::PosRate;

    bool stopFromAudio() const { return stopAtEnd || stopSeamless; }
};

Request parseRequest(const Arguments& a) {
    Request request;
    request.dryRun = a.flag("--dry-run");
    request.rate = RateChoiceOf(a);
    const auto startArg = a.value("--start");
    const auto stopArg = a.value("--stop");
    if (!startArg && !stopArg)
        throw UsageError("set needs --start, --stop or both");
    request.stopAtEnd = stopArg == "end";
    request.stopSeamless = stopArg == "seamless";
    // Both values are converted before any file is opened.
    for (auto [arg, target, name] : {std::tuple{startArg, &request.start, "--start"},
                                     std::tuple{stopArg, &request.stop, "--stop"}}) {
        if (!arg || (target == &request.stop && request.stopFromAudio()))
            continue;
        try {
            *target = ParsePositionArgument(*arg);
        } catch (const ArgumentError& e) {
            throw UsageError(std::string(name) + ": " + e.what());
        } catch (const OverflowError&) {
            throw UsageError(std::string(name) + ": \"" + *arg +
                             "\" is outside the range a POS file can hold (-2147483648 to "
                             "2147483647 samples)");
        }
    }
    return request;
}

// The audio beside a file: where it is and its length in frames, both empty
// when there is no readable audio.
struct FileAudio {
    std::optional<std::filesystem::path> path;
    std::optional<std::int64_t> frames;
    int sampleRate = SamplesPerSecond;
};

// The audio beside `file`. `neededBy` names the option that takes its value
// from the audio; with it, missing or unreadable audio is an error.
FileAudio audioOf(const std::string& file, CompanionIndex& audio, const char* neededBy,
                  AudioRate rate) {
    const auto companion = audio.find(file);
    if (!companion) {
        if (!neededBy)
            return {};
        throw NoAudioStop(NoAudioProblem(file, file) + ": " + neededBy + " needs it");
    }
    try {
        const AudioInfo info = ReadAudioInfo(companion->path);
        // A stop taken from the audio is one of its frames.
        if (neededBy)
            RequireRate(companion->path, info.sampleRate, rate,
                        std::string(neededBy) + ": not written");
        return {companion->path, info.frames, info.sampleRate};
    } catch (const AudioError&) {
        if (neededBy)
            throw;
        return {};
    }
}

// The stop --stop seamless sets for the loop from `start` to the stored
// `stop` of `file` in `audio`: `stop` itself when its seam is seamless
// already. Throws, naming the file and the reason, when there is none.
std::int32_t seamlessStop(const std::string& file, const std::filesystem::path& audio,
                          std::int32_t start, std::int32_t stop) {
    AudioReader reader(audio);
    const std::int64_t frames = reader.info().frames;
    const std::string audioName = audio.filename().string();
    if (start < 0 || stop <= start || stop > frames)
        throw NoAudioStop(file + ": start " + IntegerText(start) + " and stop " +
                          IntegerText(stop) + " are no loop within " + audioName + " (" +
                          std::to_string(frames) +
                          " samples): --stop seamless needs a loop whose seam it can measure");
    const std::optional<SeamFigures> seam = MeasureSeam(reader, start, stop);
    if (IsSeamless(*seam))
        return stop;
    if (!seam->seamlessStop || *seam->seamlessStop > std::numeric_limits<std::int32_t>::max())
        throw NoAudioStop(file + ": no stop within a second of " + IntegerText(stop) +
                          " makes a seamless seam with start " + IntegerText(start) + " (now " +
                          SeamVerdict(*seam) + "): nothing written");
    return static_cast<std::int32_t>(*seam->seamlessStop);
}

// The warning for a seam a listener hears at `loop` in `audio`, as check
// words it; nothing when the audio cannot be read, which check reports.
std::optional<std::string> seamWarning(const std::filesystem::path& audio, const PosValues& loop) {
    try {
        AudioReader reader(audio);
        const auto seam = MeasureSeam(reader, loop.start, loop.stop);
        return seam ? SeamProblem(*seam, loop.stop, reader.info().sampleRate) : std::nullopt;
    } catch (const AudioError&) {
        return std::nullopt;
    }
}

// What set found in a file and put into it (or would put, with --dry-run).
struct SetOutcome {
    PosValues before;
    PosFields written;
    bool creating = false; // a missing file made from the stop given
};

// Writes `stop` and the request's start into `file`, or with --dry-run only
// reads what it holds. `fieldsFor` gives the fields to write for the
// positions the file holds, read at the moment of writing.
SetOutcome writePositions(const std::string& file, const Request& request,
                          std::optional<std::int32_t> stop,
                          const std::function<PosFields(const PosValues&)>& fieldsFor) {
    SetOutcome o;
    if (request.dryRun) {
        try {
            o.before = ReadPosFile(file);
        } catch (const NotAPosFileError&) {
            throw;
        } catch (const PosFileError& e) {
            // What UpdatePosFile would do: create a missing file given a stop.
            if (!(stop && e.code() == std::errc::no_such_file_or_directory))
                throw;
            o.creating = true;
        }
        o.written = fieldsFor(o.before);
    } else if (request.stopSeamless) {
        o.before = UpdatePosFile(file, [&](const PosValues& held) {
                       return o.written = fieldsFor(held);
                   }).before;
    } else {
        const PosUpdate update = UpdatePosFile(file, request.start, stop);
        o.before = update.before;
        o.creating = update.created;
        o.written = {request.start, stop};
    }
    return o;
}

// The warnings for the positions `after` now in `file`: their problems, a
// stop beyond the audio, or else a seam a listener hears.
void warnAbout(const std::string& file, const PosValues& after, const FileAudio& beside,
               std::ostream& err) {
    std::vector<std::string> warnings = PositionProblems(after);
    if (beside.frames) {
        if (auto beyond = StopBeyondAudioProblem(after.stop, *beside.frames))
            warnings.push_back(std::move(*beyond));
        else if (warnings.empty())
            if (auto heard = seamWarning(*beside.path, after))
                warnings.push_back(std::move(*heard));
    }
    for (const std::string& w : warnings)
        ReportWarning(err, file, w);
}

// Sets one file and reports it on `out`, warnings on `err`. Throws what
// stopped it.
void setOne(const std::string& file, const Request& request, CompanionIndex& audio,
            std::ostream& out, std::ostream& err) {
    // The audio is read first: a stop taken from it must be known before writing.
    const char* neededBy = request.stopAtEnd      ? "--stop end"
                           : request.stopSeamless ? "--stop seamless"
                                                  : nullptr;
    const FileAudio beside = audioOf(file, audio, neededBy, request.rate);
    std::optional<std::int32_t> stop = request.stop;
    if (request.stopAtEnd) {
        if (*beside.frames > std::numeric_limits<std::int32_t>::max())
            throw NoAudioStop(beside.path->string() + " is " + std::to_string(*beside.frames) +
                              " samples long: its end is beyond what a POS file can hold");
        stop = static_cast<std::int32_t>(*beside.frames);
    }
    // A seamless stop depends on the positions the file holds at the moment
    // of writing, so it is measured from those.
    const auto fieldsFor = [&](const PosValues& held) {
        PosFields fields{request.start, stop};
        if (request.stopSeamless)
            fields.stop =
                seamlessStop(file, *beside.path, request.start.value_or(held.start), held.stop);
        return fields;
    };
    const SetOutcome o = writePositions(file, request, stop, fieldsFor);

    // Printed only now: "wrote" means the bytes are on the device.
    const PosValues after{o.written.start.value_or(o.before.start),
                          o.written.stop.value_or(o.before.stop)};
    auto change = [&](std::int32_t now, std::int32_t was) {
        if (o.creating)
            return IntegerText(now);
        return IntegerText(now) + (now == was ? " (unchanged)" : " (was " + IntegerText(was) + ")");
    };
    out << VisibleText(file) << (request.dryRun ? ": would write" : ": wrote")
        << (o.creating ? " (new file)" : "") << ": start " << change(after.start, o.before.start)
        << ", stop " << change(after.stop, o.before.stop)
        << (neededBy ? VisibleText(FramesNote(beside.path->filename(), beside.sampleRate)) : "")
        << '\n';
    warnAbout(file, after, beside, err);
}

int run(const Arguments& a, std::ostream& out, std::ostream& err) {
    if (a.files.empty())
        throw UsageError("set needs at least one POS file");
    const Request request = parseRequest(a);
    CompanionIndex audio;
    int status = ExitOk;
    for (const std::string& file : a.files) {
        try {
            setOne(file, request, audio, out, err);
        } catch (const std::exception& e) {
            ReportError(err, FailureText(file, e));
            status = ExitProblem;
        }
    }
    return status;
}

} // namespace

const Command& SetCommand() {
    static const Command command{
        "set", "FILE.POS...",         "change the start and/or stop position in place",
        kHelp, {"--start", "--stop"}, {"--dry-run", FramesOfAudioFlag},
        run};
    return command;
}

} // namespace kestrin::cli
