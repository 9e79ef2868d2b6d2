// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos seam: what a listener hears at the loop point, as a new audio file.
#include "audio_files.h"
#include "command.h"
#include "output.h"
#include "pos_file.h"
#include "pos_tool.h"
#include "position_argument.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

namespace kestrin::cli {

namespace fs = std::filesystem;
using namespace kestrin::audio;

namespace {

const char* const kHelp = R"(Usage: kestrin-pos seam FILE.POS -o OUT.wav [--before S] [--after S]

Renders what a listener hears at the loop point: the last S seconds before the
stop (stop itself excluded: playback jumps back there), then the first S
seconds from the start, sample-exact, into a new file in the source's format.
As players do, a stop that is 0, negative or past the end means the end of
the audio. Refuses to overwrite FILE.POS or its audio.

  -o OUT.wav    the file to write
  --before S    seconds before the stop (default 3)
  --after S     seconds from the start (default 3)
)";

bool samePlace(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    if (fs::exists(a, ec) && fs::exists(b, ec))
        return fs::equivalent(a, b, ec);
    return fs::weakly_canonical(a, ec) == fs::weakly_canonical(b, ec);
}

int run(const Arguments& a, std::ostream& out, std::ostream& err) {
    if (a.files.size() != 1)
        throw UsageError("seam takes exactly one POS file");
    const auto target = a.values.find("-o");
    if (target == a.values.end())
        throw UsageError("seam needs -o OUT.wav");
    double before = 3.0;
    double after = 3.0;
    try {
        if (auto it = a.values.find("--before"); it != a.values.end())
            before = ParseDurationArgument(it->second);
        if (auto it = a.values.find("--after"); it != a.values.end())
            after = ParseDurationArgument(it->second);
    } catch (const ArgumentError& e) {
        throw UsageError(e.what());
    }

    const fs::path file = a.files.front();
    const fs::path output = target->second;
    try {
        const PosValues v = ReadPosFile(file);
        const auto companion = FindCompanionAudio(file);
        if (!companion) {
            err << "kestrin-pos: " << file.string() << ": no audio file found beside it\n";
            return ExitProblem;
        }
        if (samePlace(output, file) || samePlace(output, companion->path)) {
            err << "kestrin-pos: refusing to overwrite " << output.string()
                << ": it is the POS file or its audio\n";
            return ExitProblem;
        }
        const AudioInfo info = ReadAudioInfo(companion->path);
        std::int64_t stop = v.stop;
        if (stop <= 0 || stop > info.frames)
            stop = info.frames; // where players loop when the stop is unusable
        if (v.start < 0 || v.start >= stop) {
            err << "kestrin-pos: " << file.string() << ": start " << v.start << " and stop " << stop
                << " make no loop: players drop it\n";
            return ExitProblem;
        }
        const auto beforeFrames = static_cast<std::int64_t>(std::llround(before * info.sampleRate));
        const auto afterFrames = static_cast<std::int64_t>(std::llround(after * info.sampleRate));
        const std::int64_t fromA = std::max<std::int64_t>(0, stop - beforeFrames);
        const std::int64_t toB = std::min<std::int64_t>(info.frames, v.start + afterFrames);
        WriteSpliced(companion->path, output, fromA, stop, v.start, toB);
        out << "wrote " << output.string() << ": samples " << fromA << " to " << stop
            << " (before the stop), then " << v.start << " to " << toB << " (from the start) of "
            << companion->path.filename().string() << '\n';
    } catch (const PosFileError& e) {
        ReportError(err, e);
        return ExitProblem;
    } catch (const AudioError& e) {
        ReportError(err, e);
        return ExitProblem;
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
                                 {},
                                 run};
    return command;
}

} // namespace kestrin::cli
