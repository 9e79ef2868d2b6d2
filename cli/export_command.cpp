// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos export: the loop in the forms other tools read.
#include "audio/read/audio_files.h"
#include "cli/batch.h"
#include "cli/command.h"
#include "cli/output.h"
#include "cli/pos_tool.h"
#include "cli/rate_option.h"
#include "core/loop_formats.h"
#include "core/loop_problems.h"
#include "core/pos_file.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

namespace kestrin::cli {

namespace fs = std::filesystem;

namespace {

const char* const kHelp =
    R"(Usage: kestrin-pos export [--format pos|txtp|labels|json|csv] [--force] [--frames-of-audio]
                          [-j N] FILE.POS...

Exports each file's loop in a form another tool reads.

  --format pos     (the default) prints one line per file, "START STOP NAME",
                   NAME being the POS file's name without folder and
                   extension: the plain loop list that batch audio
                   converters read
  --format txtp    writes NAME.txtp beside each POS file, a vgmstream
                   playlist that plays the WAVE file beside it with this
                   loop: "NAME.WAV #I START STOP", in samples
  --format labels  writes NAME.txt beside each POS file, a label track an
                   audio editor imports as one region: "START\tSTOP\tloop",
                   in seconds with 6 decimals (enough to give back every
                   sample at 44,100 per second)
  --format json    prints one JSON array, an object per file: "file",
                   "start", "stop" (samples at 44,100 per second),
                   "start_seconds", "stop_seconds" (text, 6 decimals),
                   "start_seconds_number", "stop_seconds_number" (numbers,
                   6 decimals), and "frames_of_audio_rate" when
                   --frames-of-audio counted them at the audio's rate; the
                   names of earlier releases ("startSeconds",
                   "startSecondsNumber", "framesOfAudioRate", ...) follow
                   with the same values for one more release
  --format csv     prints a header and a row per file: file,start,stop,
                   start_seconds,stop_seconds (RFC 4180 quoting)
  --force          replace a .txtp or label file that exists already; without
                   it such a file is left as it is and reported
)" KESTRIN_JOBS_HELP R"(  --frames-of-audio  export the loop of a POS file whose audio is not at
                   44,100 Hz as frames of that audio, as players such as
                   vgmstream read a POS file's numbers (seconds at the
                   audio's rate); the line, or for pos and csv a note on
                   standard error, says so

Positions count samples at 44,100 per second: a POS file whose audio beside
it has another rate is refused in every format, naming both rates, unless
--frames-of-audio is given. A playlist cannot carry a negative start: such a
loop is refused with a message. A playlist or label track of a loop players
drop (no audio beside the POS file, a stop not after the start) is written
all the same, with a warning on standard error. The line, playlist and label formats cannot carry a control character (a
line break, a tab, ESC, ...) in a name: such a file is refused with a
message, and the other files are still exported.
)";

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + '"';
}

// Writes `text` into `target`, a new file unless `force`; throws naming it.
void writeBeside(const fs::path& target, const std::string& text, bool force,
                 const std::string& posFile) {
    std::error_code ec;
    // A POS file named NAME.txtp or NAME.txt would be overwritten by its own export.
    if (fs::equivalent(target, posFile, ec))
        throw std::runtime_error(target.string() + " is the POS file itself: not replaced");
    if (!force && fs::exists(fs::symlink_status(target, ec)))
        throw std::runtime_error(target.string() +
                                 " exists already: not replaced (--force replaces it)");
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    if (out)
        out << text;
    if (out)
        out.close(); // a full disk may show only here
    if (!out)
        throw std::runtime_error("cannot write " + target.string() + ": " +
                                 std::error_code(errno, std::generic_category()).message());
}

// --format, checked; throws UsageError.
std::string formatOf(const Arguments& a) {
    const std::string format = a.value("--format").value_or("pos");
    if (format != "pos" && format != "txtp" && format != "labels" && format != "json" &&
        format != "csv")
        throw UsageError("--format: \"" + format + "\" is not pos, txtp, labels, json or csv");
    return format;
}

// The rate a POS file's numbers are counted at: a POS file's, or with
// --frames-of-audio that of the audio they are frames of, which `note` then
// names.
struct Counting {
    int rate = SamplesPerSecond;
    std::string note;
};

// How the numbers beside `companion` count; an audio file that cannot be
// read adds a warning and leaves them counting as a POS file's.
Counting countingOf(const std::optional<audio::Companion>& companion, const Arguments& a,
                    std::vector<std::string>& warnings) {
    Counting counting;
    if (!companion)
        return counting;
    try {
        const int audioRate = audio::ReadAudioInfo(companion->path).sampleRate;
        RequireRate(companion->path, audioRate, RateChoiceOf(a), "not exported");
        counting = {audioRate, FramesNote(companion->path.filename(), audioRate)};
    } catch (const audio::AudioError& e) {
        warnings.push_back(std::string(e.what()) +
                           ": its rate is unknown; exported at 44,100 per second");
    }
    return counting;
}

// Where the exports go: standard output, the JSON list printed at the end,
// or files beside the POS files.
struct ExportTo {
    std::string format;
    bool force = false;
    std::ostream& out;
    nlohmann::json& list;
};

// The vgmstream playlist beside `file`, naming its audio.
void exportPlaylist(const std::string& file, const PosValues& v,
                    const std::optional<audio::Companion>& companion, const Counting& counting,
                    const ExportTo& to) {
    // vgmstream reads no negative sample count.
    if (v.start < 0)
        throw std::runtime_error(file + ": the loop " + std::to_string(v.start) + ".." +
                                 std::to_string(v.stop) +
                                 " is no loop a playlist can hold: not exported");
    const fs::path audio =
        companion ? companion->path.filename() : audio::ExpectedAudioName(file).filename();
    // vgmstream reads a '#' as the start of a command.
    if (audio.string().find('#') != std::string::npos)
        throw std::runtime_error(audio.string() + ": a playlist cannot name a file holding '#'");
    const fs::path target = fs::path(file).replace_extension(".txtp");
    writeBeside(target, TxtpText(audio.string(), v), to.force, file);
    to.out << VisibleText(target.string() + counting.note) << '\n';
}

// One POS file's loop in the chosen format.
void exportLoop(const std::string& file, const PosValues& v,
                const std::optional<audio::Companion>& companion, const Counting& counting,
                const ExportTo& to) {
    const int rate = counting.rate;
    if (to.format == "pos") {
        to.out << v.start << ' ' << v.stop << ' ' << fs::path(file).stem().string() << '\n';
    } else if (to.format == "json") {
        const double startSeconds = RoundedTo(static_cast<double>(v.start) / rate, 6);
        const double stopSeconds = RoundedTo(static_cast<double>(v.stop) / rate, 6);
        to.list.push_back({{"file", file},
                           {"start", v.start},
                           {"stop", v.stop},
                           {"start_seconds", LabelSeconds(v.start, rate)},
                           {"stop_seconds", LabelSeconds(v.stop, rate)},
                           {"start_seconds_number", startSeconds},
                           {"stop_seconds_number", stopSeconds}});
        if (rate != SamplesPerSecond)
            to.list.back()["frames_of_audio_rate"] = rate;
        // The names of earlier releases, for scripts and stored lists that read them.
        to.list.back()["startSeconds"] = LabelSeconds(v.start, rate);
        to.list.back()["stopSeconds"] = LabelSeconds(v.stop, rate);
        to.list.back()["startSecondsNumber"] = startSeconds;
        to.list.back()["stopSecondsNumber"] = stopSeconds;
        if (rate != SamplesPerSecond)
            to.list.back()["framesOfAudioRate"] = rate;
    } else if (to.format == "csv") {
        to.out << csvField(file) << ',' << v.start << ',' << v.stop << ','
               << LabelSeconds(v.start, rate) << ',' << LabelSeconds(v.stop, rate) << "\r\n";
    } else if (to.format == "txtp") {
        exportPlaylist(file, v, companion, counting, to);
    } else {
        const fs::path target = fs::path(file).replace_extension(".txt");
        writeBeside(target, LabelText(v, rate), to.force, file);
        to.out << VisibleText(target.string() + counting.note) << '\n';
    }
}

int run(const Arguments& a, std::ostream& out, std::ostream& err) {
    if (a.files.empty())
        throw UsageError("export needs at least one POS file");
    nlohmann::json list = nlohmann::json::array();
    const std::string format = formatOf(a);
    if (format == "csv")
        out << "file,start,stop,start_seconds,stop_seconds\r\n";
    int status = ExitOk;
    audio::CompanionIndex companions;
    std::mutex companionsInUse;
    // What each file gave, kept until its turn to be printed.
    struct Exported {
        std::ostringstream out;
        std::ostringstream err;
        nlohmann::json list = nlohmann::json::array();
        bool failed = false;
    };
    std::vector<Exported> exported(a.files.size());
    const auto exportItem = [&](std::size_t i) {
        const std::string& file = a.files[i];
        Exported& into = exported[i];
        const ExportTo to{format, a.flag("--force"), into.out, into.list};
        // Names go out as they are, for other tools to find the files; a
        // line break in one would start a forged record.
        const std::string name = fs::path(file).stem().string();
        if (format != "json" && format != "csv" && HasControlCharacter(name)) {
            ReportError(into.err, "refusing to export " + file +
                                      ": its name holds a control character, which the " + format +
                                      " format cannot carry");
            into.failed = true;
            return;
        }
        try {
            const PosValues v = ReadPosFile(file);
            std::unique_lock lock(companionsInUse);
            const auto companion = companions.find(file);
            lock.unlock();
            std::vector<std::string> warnings;
            const Counting counting = countingOf(companion, a, warnings);
            const bool forPlayers = format == "txtp" || format == "labels";
            if (forPlayers && !companion)
                warnings.push_back(NoAudioProblem(file, "it") + ": players drop the loop");
            if (forPlayers)
                for (std::string& problem : PositionProblems(v))
                    warnings.push_back(std::move(problem));
            exportLoop(file, v, companion, counting, to);
            if (!forPlayers && !counting.note.empty())
                warnings.push_back("exported " + counting.note.substr(2, counting.note.size() - 3));
            for (const std::string& w : warnings)
                ReportWarning(into.err, file, w);
        } catch (const std::exception& e) {
            ReportError(into.err, FailureText(file, e));
            into.failed = true;
        }
    };
    const auto print = [&](std::size_t i, std::ostream& lines) {
        Exported& done = exported[i];
        lines << done.out.str();
        err << done.err.str();
        for (nlohmann::json& entry : done.list)
            list.push_back(std::move(entry));
        if (done.failed)
            status = ExitProblem;
        done = {};
    };
    const unsigned jobs = JobsOf(a, a.files.size());
    RunBatch({a.files.size(), jobs, {}, ProgressStream(err)}, exportItem, print, out);
    // A name that is no UTF-8 gets U+FFFD for its stray bytes, as in check.
    if (format == "json")
        out << list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    return status;
}

} // namespace

const Command& ExportCommand() {
    static const Command command{"export",
                                 "FILE.POS...",
                                 "export loops as lines, vgmstream playlists, labels, JSON or CSV",
                                 kHelp,
                                 {"--format", "-j"},
                                 {"--force", FramesOfAudioFlag},
                                 run};
    return command;
}

} // namespace kestrin::cli
