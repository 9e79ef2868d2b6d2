// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos set: new positions written into a POS file in place.
#include "audio_files.h"
#include "command.h"
#include "loop_problems.h"
#include "output.h"
#include "pos_file.h"
#include "pos_tool.h"
#include "position_argument.h"
#include "positions.h"

#include <limits>
#include <optional>
#include <stdexcept>
#include <tuple>

namespace kestrin::cli {

using namespace kestrin::audio;

namespace {

const char* const kHelp =
    R"(Usage: kestrin-pos set FILE.POS... [--start T] [--stop T|end] [--dry-run]

Writes new positions into the first 8 bytes of each FILE.POS, in place,
exactly as the editor's Save does; the rest of the file is kept. Only the
positions given are written, under a lock, so a concurrent set of the other
position is kept. A missing file is created when both positions are given. A
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
A value outside the signed 32-bit range is an error and nothing is written.

  --start T   the new start position
  --stop T    the new stop position
  --dry-run   show what would be written, change nothing

A loop that players drop or cut (a negative start, a stop not after the
start, a stop beyond the end of the audio when the audio is found) is still
written, with a warning on standard error.

Exit status: 0 when every file was written, 1 when any could not be.
)";

// A file whose audio cannot give --stop end its value; nothing is written.
class NoAudioEnd : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The positions asked for on the command line; `stopAtEnd` stands for a stop
// that each file takes from its own audio.
struct Request {
    std::optional<std::int32_t> start;
    std::optional<std::int32_t> stop;
    bool stopAtEnd = false;
    bool dryRun = false;
};

Request parseRequest(const Arguments& a) {
    Request request;
    request.dryRun = a.flag("--dry-run");
    const auto startArg = a.value("--start");
    const auto stopArg = a.value("--stop");
    if (!startArg && !stopArg)
        throw UsageError("set needs --start, --stop or both");
    request.stopAtEnd = stopArg == "end";
    // Both values are converted before any file is opened.
    for (auto [arg, target, name] : {std::tuple{startArg, &request.start, "--start"},
                                     std::tuple{stopArg, &request.stop, "--stop"}}) {
        if (!arg || (target == &request.stop && request.stopAtEnd))
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

// The length of the audio beside `file` in frames, nullopt when there is no
// readable audio; with `required` (--stop end) that is an error instead.
std::optional<std::int64_t> audioFrames(const std::string& file, CompanionIndex& audio,
                                        bool required) {
    const auto companion = audio.find(file);
    if (!companion) {
        if (!required)
            return std::nullopt;
        throw NoAudioEnd("no audio file found beside " + file + " (looked for " +
                         ExpectedAudioName(file).filename().string() +
                         " in any case): --stop end needs it");
    }
    try {
        const std::int64_t frames = ReadAudioInfo(companion->path).frames;
        if (required && frames > std::numeric_limits<std::int32_t>::max())
            throw NoAudioEnd(companion->path.string() + " is " + std::to_string(frames) +
                             " samples long: its end is beyond what a POS file can hold");
        return frames;
    } catch (const AudioError&) {
        if (required)
            throw;
        return std::nullopt;
    }
}

// Sets one file and reports it on `out`, warnings on `err`. Throws what
// stopped it.
void setOne(const std::string& file, const Request& request, CompanionIndex& audio,
            std::ostream& out, std::ostream& err) {
    // The audio is read first: --stop end must know its value before writing.
    const std::optional<std::int64_t> frames = audioFrames(file, audio, request.stopAtEnd);
    std::optional<std::int32_t> stop = request.stop;
    if (request.stopAtEnd)
        stop = static_cast<std::int32_t>(*frames);

    PosValues before;
    bool creating = false;
    if (request.dryRun) {
        try {
            before = ReadPosFile(file);
        } catch (const NotAPosFileError&) {
            throw;
        } catch (const PosFileError& e) {
            // What UpdatePosFile would do: create a missing file given both values.
            if (!(request.start && stop && e.code() == std::errc::no_such_file_or_directory))
                throw;
            creating = true;
        }
    } else {
        const PosUpdate update = UpdatePosFile(file, request.start, stop);
        before = update.before;
        creating = update.created;
    }
    // Printed only now: "wrote" means the bytes are on the device.
    const PosValues after{request.start.value_or(before.start), stop.value_or(before.stop)};
    auto change = [&](std::int32_t now, std::int32_t was) {
        if (creating)
            return IntegerText(now);
        return IntegerText(now) + (now == was ? " (unchanged)" : " (was " + IntegerText(was) + ")");
    };
    const std::string shown = VisibleText(file);
    out << shown << (request.dryRun ? ": would write" : ": wrote")
        << (creating ? " (new file)" : "") << ": start " << change(after.start, before.start)
        << ", stop " << change(after.stop, before.stop) << '\n';

    std::vector<std::string> warnings = PositionProblems(after);
    if (frames) {
        if (auto beyond = StopBeyondAudioProblem(after.stop, *frames))
            warnings.push_back(std::move(*beyond));
    }
    for (const std::string& w : warnings)
        err << "kestrin-pos: warning: " << shown << ": " << VisibleText(w) << '\n';
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
            err << "kestrin-pos: " << VisibleText(FailureText(file, e)) << '\n';
            status = ExitProblem;
        }
    }
    return status;
}

} // namespace

const Command& SetCommand() {
    static const Command command{
        "set", "FILE.POS...",         "change the start and/or stop position in place",
        kHelp, {"--start", "--stop"}, {"--dry-run"},
        run};
    return command;
}

} // namespace kestrin::cli
