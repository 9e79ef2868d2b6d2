// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos check: POS files against their audio files.
#include "audio/judge/seam_measure.h"
#include "audio/read/audio_files.h"
#include "audio/read/audio_reader.h"
#include "cli/batch.h"
#include "cli/command.h"
#include "cli/output.h"
#include "cli/pos_files.h"
#include "cli/pos_tool.h"
#include "core/clock_text.h"
#include "core/loop_problems.h"
#include "core/pos_file.h"
#include "core/positions.h"
#include "core/seam_figures.h"

#include <cmath>
#include <filesystem>
#include <mutex>
#include <optional>
#include <system_error>

#include <nlohmann/json.hpp>

namespace kestrin::cli {

namespace fs = std::filesystem;
using namespace kestrin::audio;

namespace {

const char* const kHelp = R"(Usage: kestrin-pos check [-r] [-q] [-j N] [--json] FILE.POS|FOLDER...

Finds the WAVE file beside each POS file (same base name, any case of .wav),
reads its header and reports its sample rate and length, then every problem:
no audio file, a sample rate other than 44,100, a negative start, a stop not
after the start, a stop beyond the end of the audio, a file not 8 bytes long,
an audio file found only by ignoring case (players look for BASE.WAV when
the POS extension is upper case and BASE.wav otherwise), audio that holds
fewer samples than its header claims (a file cut short: the length reported
and checked against is what decodes), audio that cannot be read (anything
but a regular file, or a float sample that is not a number, infinite or
over 60 dB above full scale, named by its position), and a seam that a
listener hears.

The seam is judged from the audio around the two positions and a few
windows inside the loop, in one of three words: "seamless", "soft" (no
click, but not what the track plays on) or "click". A seam is seamless when
what plays after the jump is what the track itself plays there (the frames
after the start match those after the stop, or those before the stop match
those before the start, to within the noise the loop's own repeat carries,
as through Vorbis or MP3, and no stop within 8 samples matches better);
where nothing follows the stop to compare, as for the loop of the whole
track, when the frames after the jump go on as the frames before it were
heading and the music does not restart at another level (a fade to
silence, then the loud beginning: soft, "the music restarts"). A stop in the
digital silence after a song has ended is soft wherever in it the stop lies:
"the music ends and restarts after 0.52 s of silence". Steps below
-60 dB of full scale are not heard; a loop whose jump comes back 20 times a
second or more buzzes, a click. The seam score (0 identical, about 1 for unrelated audio) and the
step (the largest difference in 16-bit sample values, 32,768 being full
scale, and in dB of full scale) come with it, e.g.

  seam at 01:20.000 jumps by 23,594 (-2.9 dB of full scale), seam score 0.84:
  a listener hears it; a seamless seam nearby: stop 3527999

The nearby stop, when one is given, is the nearest within a second of the
stored one at which the audio goes on as it does after the start. A seam a
listener hears is reported once, as that problem; any other gets a line of
its own ("seam at 00:02.268: seamless, seam score 0").

Audio whose codec cannot seek to the sample (Vorbis, MP3, ADPCM, GSM, ...)
is decoded from its start up to the stop, into a scratch file rather than
memory: a loop deep in a long track of it takes a second or more to check,
where one in PCM takes a few hundredths.

  A FOLDER stands for the *.pos files (any case) in it and its subfolders,
  as in find; symbolic links to folders are not followed, and a folder that
  cannot be read, or holds no POS file, is a problem.
  -r   accepted for older command lines: folders are always walked
  -q   print only the files with problems, and the summary only when there
       are any
)" KESTRIN_JOBS_HELP R"(  --json  one JSON object per line and file, for scripts: "file", "start"
       and "stop" (null where the file lacks their bytes), "audio",
       "sample_rate", "frames" and "channels" (null without readable
       audio), "seam" ({"at" (the stop at 44,100 per second, as show
       gives it), "audio_at" (the stop as frames of the audio, where the
       seam is judged; the same at 44,100 Hz), "verdict", "score" (null when nothing could
       be compared), "step" (16-bit values), "seamless_stop" (or null)},
       null when there is no loop to judge) and "problems", the list of the
       problems' texts, empty for a clean file. No summary line; with -q,
       only the files with problems. Names as show --json gives them.

The last line sums up: "12 files, 2 with problems" (not with --json).

A file that begins like an audio or other container file is reported as not
being a POS file. Of a file shorter than 8 bytes only the positions whose
bytes are there are checked. Names are printed with control characters made
visible (\n, \t, \x1b; a backslash as \\).

Exit status: 0 when every file is clean, 1 when any has a problem.
)";

// What check learnt about one POS file, or about a folder it could not read.
struct Finding {
    std::vector<std::string> problems;
    std::optional<PosFileInfo> pos; // the file's bytes, when it could be read
    std::optional<fs::path> audio;
    std::optional<AudioInfo> info; // the audio's, when it could be opened
    std::optional<SeamFigures> seam;
    bool seamHeard = false; // a problem tells of the seam, with its figures
};

// Where the stop lies by the POS file's clock, as show says it; for audio at
// another rate also where the seam was judged, the stop being taken as
// frames of the audio as players read it.
std::string seamPlace(const Finding& f, const fs::path& audioName) {
    const std::int32_t stop = f.pos->values.stop;
    std::string place = ClockText(stop, SamplesPerSecond);
    const int rate = f.info->sampleRate;
    if (rate != SamplesPerSecond)
        place += " (at 44,100 per second; judged " + FramesOfAudioNote(audioName.string(), rate) +
                 ": " + ClockText(stop, rate) + ")";
    return place;
}

// The problems of one POS file, in the order a reader fixes them. Only the
// bytes that are there count: a start needs 4, a stop 8.
Finding checkOne(const fs::path& file, CompanionIndex& companions, std::mutex& companionsInUse) {
    Finding found;
    try {
        found.pos = InspectPosFile(file);
    } catch (const PosFileError& e) {
        found.problems = {e.what()};
        return found;
    }
    if (!found.pos->kind.empty()) {
        // A device reads as endless zeros: its bytes are no positions.
        found.problems = {file.string() + " is " + found.pos->kind +
                          ", not a regular file: players cannot read it as a POS file"};
        found.pos.reset();
        return found;
    }
    const PosValues& v = found.pos->values;
    const bool hasStop = found.pos->size >= 8;
    std::vector<std::string>& problems = found.problems;
    if (found.pos->size != 8)
        problems.push_back("the file is " + std::to_string(found.pos->size) +
                           " bytes long, not 8: players refuse it");
    for (std::string& p : PositionProblems(v, found.pos->size >= 4, hasStop))
        problems.push_back(std::move(p));

    std::unique_lock lock(companionsInUse);
    const auto companion = companions.find(file);
    lock.unlock();
    if (!companion) {
        problems.push_back(NoAudioProblem(file, "it"));
        return found;
    }
    found.audio = companion->path;
    if (!companion->exactName)
        problems.push_back(CaseOnlyNameProblem(companion->path.filename().string(),
                                               ExpectedAudioName(file).filename().string()));
    try {
        AudioReader reader(companion->path);
        found.info = reader.info();
        if (const auto length = reader.lengthProblem())
            problems.push_back(*length);
        if (const auto rate = SampleRateProblem(found.info->sampleRate))
            problems.push_back(*rate);
        if (const auto beyond = StopBeyondAudioProblem(v.stop, found.info->frames);
            hasStop && beyond)
            problems.push_back(*beyond);
        // Only a loop players keep has a seam to hear.
        found.seam = hasStop ? MeasureSeam(reader, v.start, v.stop) : std::nullopt;
        if (found.seam) {
            if (auto heard = SeamProblem(*found.seam, v.stop, SamplesPerSecond)) {
                const std::string at = "seam at " + ClockText(v.stop, SamplesPerSecond);
                heard->replace(0, at.size(),
                               "seam at " + seamPlace(found, companion->path.filename()));
                problems.push_back(std::move(*heard));
                found.seamHeard = true;
            }
        }
    } catch (const AudioError& e) {
        problems.push_back(e.what());
    }
    return found;
}

// The report of one file; `details` adds the audio's figures and a seam
// that no problem tells of already.
void printText(std::ostream& out, const fs::path& path, const Finding& f, bool details) {
    const std::vector<std::string>& problems = f.problems;
    out << VisibleText(path.string()) << ": "
        << (problems.empty() ? std::string("ok")
                             : std::to_string(problems.size()) +
                                   (problems.size() == 1 ? " problem" : " problems"))
        << '\n';
    if (details && f.info) {
        out << "  audio " << VisibleText(f.audio->filename().string()) << ": " << f.info->sampleRate
            << " Hz, " << f.info->frames << " samples, " << f.info->channels
            << (f.info->channels == 1 ? " channel\n" : " channels\n");
    }
    if (details && f.seam && !f.seamHeard) {
        out << "  seam at " << VisibleText(seamPlace(f, f.audio->filename())) << ": "
            << SeamVerdict(*f.seam) << '\n';
    }
    for (const std::string& p : problems)
        out << "  problem: " << VisibleText(p) << '\n';
}

// The report of one file as one line of JSON, every figure of the text and
// the seam's even when a problem tells of it.
void printJson(std::ostream& out, const fs::path& path, const Finding& f) {
    using Json = nlohmann::ordered_json;
    const bool hasStart = f.pos && f.pos->size >= 4;
    const bool hasStop = f.pos && f.pos->size >= 8;
    Json line{{"file", path.string()}};
    line["start"] = hasStart ? Json(f.pos->values.start) : Json(nullptr);
    line["stop"] = hasStop ? Json(f.pos->values.stop) : Json(nullptr);
    line["audio"] = f.audio ? Json(f.audio->string()) : Json(nullptr);
    line["sample_rate"] = f.info ? Json(f.info->sampleRate) : Json(nullptr);
    line["frames"] = f.info ? Json(f.info->frames) : Json(nullptr);
    line["channels"] = f.info ? Json(f.info->channels) : Json(nullptr);
    if (f.seam) {
        line["seam"] = {
            {"at", ClockText(f.pos->values.stop, SamplesPerSecond)},
            {"audio_at", ClockText(f.pos->values.stop, f.info->sampleRate)},
            {"verdict", SeamSoundWord(f.seam->sound)},
            {"score", f.seam->compared ? Json(RoundedTo(f.seam->score, 6)) : Json(nullptr)},
            {"step", std::llround(f.seam->jump * 32768.0)},
            {"seamless_stop", f.seam->seamlessStop ? Json(*f.seam->seamlessStop) : Json(nullptr)}};
    } else {
        line["seam"] = nullptr;
    }
    line["problems"] = f.problems;
    out << line.dump(-1, ' ', true, Json::error_handler_t::replace) << '\n';
}

int run(const Arguments& a, std::ostream& out, std::ostream& err) {
    if (a.files.empty())
        throw UsageError("check needs at least one POS file or folder");
    std::vector<PosFileItem> items;
    int status = ExitOk;
    // A folder stands for the POS files under it, as in find; -r is kept for
    // the command lines written when it was needed.
    for (const std::string& arg : a.files) {
        std::error_code ec;
        if (!fs::is_directory(arg, ec)) {
            items.push_back({arg, {}}); // whatever is wrong with it, its check says
            continue;
        }
        std::vector<PosFileItem> found = PosFilesUnder(arg);
        if (found.empty())
            found.push_back({arg, arg + " is a folder without POS files"});
        items.insert(items.end(), found.begin(), found.end());
    }
    const bool quiet = a.flag("-q");
    const bool json = a.flag("--json");
    CompanionIndex companions;
    std::mutex companionsInUse;
    std::size_t withProblems = 0;
    std::vector<Finding> findings(items.size());
    const auto checkItem = [&](std::size_t i) {
        const PosFileItem& item = items[i];
        Finding& found = findings[i];
        found.problems = {item.folderProblem};
        if (item.folderProblem.empty()) {
            // Whatever stops one file is its problem; the next is checked all the same.
            try {
                found = checkOne(item.path, companions, companionsInUse);
            } catch (const std::exception& e) {
                found = {};
                found.problems = {FailureText(item.path.string(), e)};
            }
        }
    };
    const auto print = [&](std::size_t i, std::ostream& lines) {
        const Finding found = std::move(findings[i]);
        if (!found.problems.empty())
            ++withProblems;
        if (quiet && found.problems.empty())
            return;
        if (json)
            printJson(lines, items[i].path, found);
        else
            printText(lines, items[i].path, found, !quiet);
    };
    const unsigned jobs = JobsOf(a, items.size());
    RunBatch({items.size(), jobs, {}, ProgressStream(err)}, checkItem, print, out);
    if (withProblems > 0)
        status = ExitProblem;
    if (!json && (!quiet || withProblems > 0)) {
        out << items.size() << (items.size() == 1 ? " file, " : " files, ")
            << (withProblems == 0   ? std::string("none with problems")
                : withProblems == 1 ? std::string("1 with a problem")
                                    : std::to_string(withProblems) + " with problems");
        out << '\n';
    }
    return status;
}

} // namespace

const Command& CheckCommand() {
    static const Command command{"check", "FILE.POS...", "check POS files against their WAVE files",
                                 kHelp,   {"-j"},        {"-r", "-q", "--json"},
                                 run};
    return command;
}

} // namespace kestrin::cli
