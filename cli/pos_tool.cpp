// SPDX-License-Identifier: GPL-3.0-or-later
#include "pos_tool.h"

#include "audio_files.h"
#include "pos_file.h"
#include "position_argument.h"
#include "positions.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>

namespace kestrin::cli {

namespace fs = std::filesystem;

namespace {

const char* const kProgramHelp = R"(Usage: kestrin-pos COMMAND [OPTIONS] FILE...

Checks, edits and auditions POS files: the two loop positions (start, stop)
that sit beside a WAVE file, in samples at 44,100 per second.

Commands:
  show FILE.POS...       print both positions in every form the editor shows
  set FILE.POS           change the start and/or stop position in place
  check FILE.POS...      check POS files against their WAVE files
  seam FILE.POS -o OUT   render the loop seam into a new WAVE file
  export FILE.POS...     print "START STOP NAME" lines for batch converters

Run "kestrin-pos COMMAND --help" for the options of a command.
Exit status: 0 all went well, 1 a file had a problem, 2 wrong usage.
)";

const std::map<std::string, const char*> kCommandHelp = {
    {"show", R"(Usage: kestrin-pos show [--json] FILE.POS...

Prints start and stop as the editor shows them: samples, seconds, slider
value (whole seconds, 0 to 600) and minutes:seconds, and the loop length
(stop - start) in samples and seconds.

  --json   one JSON object per line and file, for scripts
)"},
    {"set", R"(Usage: kestrin-pos set FILE.POS [--start T] [--stop T] [--dry-run]

Writes new positions into the first 8 bytes of FILE.POS, in place, exactly as
the editor's Save does; the rest of the file is kept. A missing file is
created when both positions are given.

T is one of
  66150      a sample count: a bare number is always samples, so 10 means
             ten samples, not ten seconds
  1.5s       seconds (fraction and exponent allowed: 2.5e1s)
  01:30      minutes:seconds, also 1:30.25; seconds below 60
A value outside the signed 32-bit range is an error and nothing is written.

  --start T   the new start position
  --stop T    the new stop position
  --dry-run   show what would be written, change nothing
)"},
    {"check", R"(Usage: kestrin-pos check [-r] FILE.POS|FOLDER...

Finds the WAVE file beside each POS file (same base name, any case of .wav),
reads its header and reports its sample rate and length, then every problem:
no audio file, a sample rate other than 44,100, a negative start, a stop not
after the start, a stop beyond the end of the audio, a file not 8 bytes long,
and an audio file found only by ignoring case (players look for BASE.WAV when
the POS extension is upper case and BASE.wav otherwise).

  -r   walk folders for *.pos files (any case)

Exit status: 0 when every file is clean, 1 when any has a problem.
)"},
    {"seam", R"(Usage: kestrin-pos seam FILE.POS -o OUT.wav [--before S] [--after S]

Renders what a listener hears at the loop point: the last S seconds before the
stop (stop itself excluded: playback jumps back there), then the first S
seconds from the start, sample-exact, into a new file in the source's format.
As players do, a stop that is 0, negative or past the end means the end of
the audio. Refuses to overwrite FILE.POS or its audio.

  -o OUT.wav    the file to write
  --before S    seconds before the stop (default 3)
  --after S     seconds from the start (default 3)
)"},
    {"export", R"(Usage: kestrin-pos export FILE.POS...

Prints one line per file, "START STOP NAME", where NAME is the POS file's
name without folder and extension: the plain loop list that batch audio
converters read.
)"},
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Arguments {
    std::vector<std::string> files;
    std::map<std::string, std::string> values;
    std::set<std::string> flags;
    bool help = false;
};

// Options of a command: those that take a value and plain flags. "--opt=V"
// and "--opt V" both work; "--" ends the options.
Arguments parseArguments(const std::vector<std::string>& args, const std::set<std::string>& valued,
                         const std::set<std::string>& flags) {
    Arguments out;
    bool optionsEnded = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            out.files.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        if (a == "-h" || a == "--help") {
            out.help = true;
            continue;
        }
        const auto eq = a.find('=');
        const std::string name = a.substr(0, eq);
        if (valued.count(name)) {
            if (eq != std::string::npos)
                out.values[name] = a.substr(eq + 1);
            else if (i + 1 < args.size())
                out.values[name] = args[++i];
            else
                throw UsageError(name + " needs a value");
        } else if (flags.count(a)) {
            out.flags.insert(a);
        } else {
            throw UsageError("unknown option " + a);
        }
    }
    return out;
}

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + '"';
}

int sliderShown(std::int32_t position) {
    // The slider stops at the ends of its range, as the window's does.
    return std::clamp(SliderValueOfPosition(position), 0, SliderMaximum);
}

std::string loopSeconds(const PosValues& v) {
    const std::int64_t length = std::int64_t{v.stop} - v.start;
    return FormatNumber(static_cast<double>(length) / 44100.0);
}

int cmdShow(const Arguments& a, std::ostream& out, std::ostream& err) {
    if (a.files.empty())
        throw UsageError("show needs at least one POS file");
    const bool json = a.flags.count("--json") > 0;
    int status = ExitOk;
    for (const std::string& file : a.files) {
        PosValues v;
        try {
            v = ReadPosFile(file);
        } catch (const PosFileError& e) {
            err << "kestrin-pos: " << e.what() << '\n';
            status = ExitProblem;
            continue;
        }
        const std::int64_t length = std::int64_t{v.stop} - v.start;
        if (json) {
            auto position = [](std::int32_t p) {
                return "{\"samples\":" + IntegerText(p) +
                       ",\"seconds\":" + jsonString(SecondsText(p)) +
                       ",\"slider\":" + std::to_string(sliderShown(p)) +
                       ",\"clock\":" + jsonString(ClockText(p)) + "}";
            };
            out << "{\"file\":" << jsonString(file) << ",\"start\":" << position(v.start)
                << ",\"stop\":" << position(v.stop) << ",\"loop\":{\"samples\":" << length
                << ",\"seconds\":" << jsonString(loopSeconds(v)) << "}}\n";
        } else {
            auto line = [&](const char* label, std::int32_t p) {
                out << "  " << label << IntegerText(p) << " samples, " << SecondsText(p)
                    << " s, slider " << sliderShown(p) << ", " << ClockText(p) << '\n';
            };
            out << file << '\n';
            line("start  ", v.start);
            line("stop   ", v.stop);
            out << "  loop   " << length << " samples, " << loopSeconds(v) << " s\n";
        }
    }
    return status;
}

int cmdSet(const Arguments& a, std::ostream& out, std::ostream& err) {
    if (a.files.size() != 1)
        throw UsageError("set takes exactly one POS file");
    const auto startArg = a.values.find("--start");
    const auto stopArg = a.values.find("--stop");
    if (startArg == a.values.end() && stopArg == a.values.end())
        throw UsageError("set needs --start, --stop or both");

    // Both values are converted before the file is opened.
    std::optional<std::int32_t> start;
    std::optional<std::int32_t> stop;
    for (auto [arg, target, name] :
         {std::tuple{startArg, &start, "--start"}, std::tuple{stopArg, &stop, "--stop"}}) {
        if (arg == a.values.end())
            continue;
        try {
            *target = ParsePositionArgument(arg->second);
        } catch (const ArgumentError& e) {
            throw UsageError(std::string(name) + ": " + e.what());
        } catch (const OverflowError&) {
            throw UsageError(std::string(name) + ": \"" + arg->second +
                             "\" is outside the range a POS file can hold (-2147483648 to "
                             "2147483647 samples)");
        }
    }

    const std::string& file = a.files.front();
    PosValues before;
    const bool creating = start && stop && !fs::exists(file);
    try {
        if (!creating)
            before = ReadPosFile(file);
        const PosValues after{start.value_or(before.start), stop.value_or(before.stop)};
        const bool dry = a.flags.count("--dry-run") > 0;
        out << file << (dry ? ": would write" : ": wrote") << (creating ? " (new file)" : "")
            << ": start " << after.start;
        if (!creating)
            out << (after.start == before.start ? " (unchanged)"
                                                : " (was " + IntegerText(before.start) + ")");
        out << ", stop " << after.stop;
        if (!creating)
            out << (after.stop == before.stop ? " (unchanged)"
                                              : " (was " + IntegerText(before.stop) + ")");
        out << '\n';
        if (!dry)
            WritePosFile(file, after);
    } catch (const PosFileError& e) {
        err << "kestrin-pos: " << e.what() << '\n';
        return ExitProblem;
    }
    return ExitOk;
}

std::vector<fs::path> posFilesIn(const fs::path& folder) {
    std::vector<fs::path> found;
    for (const auto& entry :
         fs::recursive_directory_iterator(folder, fs::directory_options::skip_permission_denied)) {
        std::string ext = entry.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (ext == ".pos" && entry.is_regular_file())
            found.push_back(entry.path());
    }
    std::sort(found.begin(), found.end());
    return found;
}

// The problems of one POS file, in the order a reader fixes them.
std::vector<std::string> checkOne(const fs::path& file, std::ostream& out) {
    std::vector<std::string> problems;
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    PosValues v;
    try {
        if (ec)
            throw PosFileError("read", file, ec);
        v = ReadPosFile(file);
    } catch (const PosFileError& e) {
        return {e.what()};
    }
    if (size != 8)
        problems.push_back("the file is " + std::to_string(size) +
                           " bytes long, not 8: players refuse it");
    if (v.start < 0)
        problems.push_back("start " + IntegerText(v.start) + " is negative: players drop the loop");
    if (v.stop <= v.start)
        problems.push_back("stop " + IntegerText(v.stop) + " is not after start " +
                           IntegerText(v.start));

    const auto companion = FindCompanionAudio(file);
    if (!companion) {
        problems.push_back("no audio file found beside it (looked for " +
                           ExpectedAudioName(file).filename().string() + " in any case)");
        return problems;
    }
    if (!companion->exactName)
        problems.push_back("the audio file " + companion->path.filename().string() +
                           " is found only by ignoring case: players look for " +
                           ExpectedAudioName(file).filename().string());
    try {
        const AudioInfo info = ReadAudioInfo(companion->path);
        out << "  audio " << companion->path.filename().string() << ": " << info.sampleRate
            << " Hz, " << info.frames << " samples, " << info.channels
            << (info.channels == 1 ? " channel\n" : " channels\n");
        if (info.sampleRate != SamplesPerSecond)
            problems.push_back("the sample rate is " + std::to_string(info.sampleRate) +
                               " Hz, not 44100: the positions count samples at 44,100 per second");
        if (v.stop > info.frames)
            problems.push_back("stop " + IntegerText(v.stop) +
                               " lies beyond the end of the audio (" + std::to_string(info.frames) +
                               " samples): players loop at the end instead");
    } catch (const AudioError& e) {
        problems.push_back(e.what());
    }
    return problems;
}

int cmdCheck(const Arguments& a, std::ostream& out, std::ostream& err) {
    if (a.files.empty())
        throw UsageError("check needs at least one POS file or folder");
    const bool recursive = a.flags.count("-r") > 0;
    std::vector<fs::path> files;
    int status = ExitOk;
    for (const std::string& arg : a.files) {
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            if (!recursive) {
                err << "kestrin-pos: " << arg
                    << " is a folder; use -r to check the POS files in it\n";
                status = ExitProblem;
                continue;
            }
            try {
                const auto found = posFilesIn(arg);
                files.insert(files.end(), found.begin(), found.end());
            } catch (const fs::filesystem_error& e) {
                err << "kestrin-pos: cannot read folder " << arg << ": " << e.code().message()
                    << '\n';
                status = ExitProblem;
            }
        } else {
            files.emplace_back(arg);
        }
    }
    for (const fs::path& file : files) {
        std::ostringstream details;
        const std::vector<std::string> problems = checkOne(file, details);
        out << file.string() << ": "
            << (problems.empty() ? std::string("ok")
                                 : std::to_string(problems.size()) +
                                       (problems.size() == 1 ? " problem" : " problems"))
            << '\n'
            << details.str();
        for (const std::string& p : problems)
            out << "  problem: " << p << '\n';
        if (!problems.empty())
            status = ExitProblem;
    }
    return status;
}

bool samePlace(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    if (fs::exists(a, ec) && fs::exists(b, ec))
        return fs::equivalent(a, b, ec);
    return fs::weakly_canonical(a, ec) == fs::weakly_canonical(b, ec);
}

int cmdSeam(const Arguments& a, std::ostream& out, std::ostream& err) {
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
        err << "kestrin-pos: " << e.what() << '\n';
        return ExitProblem;
    } catch (const AudioError& e) {
        err << "kestrin-pos: " << e.what() << '\n';
        return ExitProblem;
    }
    return ExitOk;
}

int cmdExport(const Arguments& a, std::ostream& out, std::ostream& err) {
    if (a.files.empty())
        throw UsageError("export needs at least one POS file");
    int status = ExitOk;
    for (const std::string& file : a.files) {
        try {
            const PosValues v = ReadPosFile(file);
            out << v.start << ' ' << v.stop << ' ' << fs::path(file).stem().string() << '\n';
        } catch (const PosFileError& e) {
            err << "kestrin-pos: " << e.what() << '\n';
            status = ExitProblem;
        }
    }
    return status;
}

struct Command {
    int (*run)(const Arguments&, std::ostream&, std::ostream&);
    std::set<std::string> valued;
    std::set<std::string> flags;
};

const std::map<std::string, Command>& commands() {
    static const std::map<std::string, Command> table = {
        {"show", {cmdShow, {}, {"--json"}}},
        {"set", {cmdSet, {"--start", "--stop"}, {"--dry-run"}}},
        {"check", {cmdCheck, {}, {"-r"}}},
        {"seam", {cmdSeam, {"-o", "--before", "--after"}, {}}},
        {"export", {cmdExport, {}, {}}},
    };
    return table;
}

} // namespace

int RunPosTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        err << kProgramHelp;
        return ExitUsage;
    }
    if (args[0] == "-h" || args[0] == "--help" || args[0] == "help") {
        out << kProgramHelp;
        return ExitOk;
    }
    const auto command = commands().find(args[0]);
    if (command == commands().end()) {
        err << "kestrin-pos: unknown command \"" << args[0] << "\"\n\n" << kProgramHelp;
        return ExitUsage;
    }
    try {
        const Arguments parsed =
            parseArguments(args, command->second.valued, command->second.flags);
        if (parsed.help) {
            out << kCommandHelp.at(args[0]);
            return ExitOk;
        }
        return command->second.run(parsed, out, err);
    } catch (const UsageError& e) {
        err << "kestrin-pos " << args[0] << ": " << e.what() << "\nTry \"kestrin-pos " << args[0]
            << " --help\".\n";
        return ExitUsage;
    }
}

} // namespace kestrin::cli
