// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos find: seamless loop positions found in the audio itself.
#include "audio/exact/loop_finder.h"
#include "audio/musical/musical_loops.h"
#include "audio/read/audio_files.h"
#include "audio/read/audio_reader.h"
#include "audio/search/loop_search.h"
#include "cli/batch.h"
#include "cli/command.h"
#include "cli/output.h"
#include "cli/pos_files.h"
#include "cli/pos_tool.h"
#include "cli/position_argument.h"
#include "cli/rate_option.h"
#include "core/clock_text.h"
#include "core/loop_problems.h"
#include "core/pos_file.h"
#include "core/positions.h"
#include "core/seam_figures.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

namespace kestrin::cli {

namespace fs = std::filesystem;
using namespace kestrin::audio;

namespace {

const char* const kHelp =
    R"(Usage: kestrin-pos find [--json] [-q] [-j N] [-n N] [--min-loop T] [--near START STOP] [--write [--frames-of-audio]] FILE|FOLDER...

Finds where each track repeats itself and proposes loop positions at which
the jump from stop back to start cannot be heard. The loop length is the
period of the repetition to the sample; the start is the earliest sample
from which the audio plays again unchanged one loop later, so an intro plays
once and the loop holds the whole repeated part. FILE is a POS file, whose
audio is found as check finds it (same base name, any case of .wav), or an
audio file libsndfile reads (WAVE, AIFF, FLAC, Ogg Vorbis, ...). A FOLDER
stands for the POS files in it and its subfolders (any case of .pos), as
check -r finds them; a folder without any is reported as such.

For each file the candidates are listed best first: start and stop in
samples and as minutes:seconds, the loop length, the match and the seam
verdict as check gives it ("seamless, seam score 0"), the kind and the
share of the track the loop plays each time round. Only loops the seam
judge calls seamless are offered, so check passes every one, with one
exception below. Where the track does not play a loop twice, the loop of
the whole track (0 to the end) is offered before sections that repeat
inside it: where its end flows into its start, and where the music plays on
at the song's level to the last frame, as a game ships its track, one pass
ending where the music jumps back. That loop is what the game plays, and
its verdict says how its jump sounds, seamless or not. Where the track ends
on a copy of what an exact loop plays, that loop is also offered moved to
end at the end of the file. A file cut a few
seconds into a second pass shows no more of its loop than those seconds:
its loop is not ranked down for that.

Music that was played or rendered once holds no exact repeat: where nothing
repeats exactly inside a track, find looks for musical loops, from a place
in one rendition of a passage (a chorus, a verse and chorus) to the same
musical place in a later one. It follows the beats, compares the harmony,
timbre and loudness of the bars after each, keeps loops at least 30 % of
the track long (the one seen to play the most of the song first), places
the jump to the sample just before an attack, and offers it only when the
seam judge, listening as to music (no step, no kink, the spectra alike
across the jump), calls it seamless, and only when its length keeps the beat grid going
across the jump. It looks wherever no exact loop holds most of the song
(one whose repeat is seen over what follows a start in the first half of
the track); its loops then come before the exact ones. Each candidate says
its kind, "exact", "musical" or "whole track". Music that never repeats (through-composed)
gets one line saying it has no natural loop, never a guess.

The match, from 0 to 1 (higher is better), is the share of the audio from
the start to one loop length before the end that is heard again unchanged
one loop later (silence and a fade-out do not count against it), times how
exact the repetition is: 1 for bit-exact copies, a little less through a
lossy codec or noise, and scaled down where the repeat is seen over less
than a sixth of the loop while another loop is seen repeating for longer (a
passage that plays again just before the file ends says little of a loop a
minute long). A candidate needs at least 0.9 s
of repeating audio, over at least half of what follows its start. Loops are
ranked by how much of the song they are seen to play seamlessly (the
repeat, up to one loop length, times the match): the loop that holds the
repeated part of the song comes before a short repeat inside it. Whole
multiples of a listed loop length are not listed again.

  -q              print only the files without a seamless loop or that
                  failed (also with --json), and the summary only when
                  there are any
)" KESTRIN_JOBS_HELP R"(  -n N            list at most N candidates per file (default 5)
  --min-loop T    the shortest loop considered (default 2s); T as for set:
                  a sample count (88200), seconds (2s) or minutes:seconds
  --near START STOP
                  search only within 2 s of START and of STOP (each as for
                  set) and return the best seamless pairs there, exact or
                  musical: "I know roughly where; make it seamless". A
                  seamless loop given comes back first, unchanged; from
                  points off it, the nearest seamless pair of the track's
                  exact loop comes first
  --json          one JSON object per line and file, for scripts: "file",
                  "audio", "sample_rate" and "candidates", a list of
                  {"kind" ("exact", "musical" or "whole track"), "start", "stop",
                  "length" (samples), "match" (3 decimals),
                  "score" (the old name of "match", same value),
                  "repeated_seconds", "track_share" (the loop's length over
                  the track's), "seam", "verdict"}, best first and empty when
                  nothing repeats, "reason" then saying why (the error, or
                  "no seamless loop, no natural loop"); "written" names the POS file --write
                  wrote (with "written_as_frames_of_audio": true for
                  audio at another rate and --frames-of-audio), "error"
                  says why a file could not be handled
  --write         store the best candidate in place as set does: into FILE,
                  or for an audio file into the POS file beside it that
                  players look for (BASE.POS for BASE.WAV, base.pos for
                  base.wav), created when missing. Nothing is written for a
                  file without a loop, nor for audio at a rate other than
                  44,100 Hz: a POS file counts at 44,100 per second
  --frames-of-audio  with --write, writes into the POS file of audio at
                  another rate the candidate's frames of that audio, as
                  players such as vgmstream read a POS file's numbers; the
                  line says so

The last line sums up: "3 files, 2 with a seamless loop", with ", 1 failed"
when files could not be read or written (the reasons are on standard
error). There is no summary with --json.

"seam" is the seam score of the jump itself, as check reports it: the
energy of the difference between what plays after the jump and what would
have played, over the energy of both; 0 is inaudible, 1 is as different as
unrelated audio. Unlike the match, lower is better.

Positions count the audio file's own frames: samples at 44,100 per second
when it has that rate (check reports any other, and --write refuses it
unless --frames-of-audio is given). Only the audio that
decodes is searched, however long its header says it is. A file that cannot
be read, such as one that is not a regular file or holds a float sample that
is not a number, is reported with the reason, and the files after it are
searched all the same.

Exit status: 0 when every file got a candidate, 1 when any got none or could
not be read or written.
)";

// What a file without a candidate gets, in the text and as the JSON reason.
const char* const kNoLoop = "no seamless loop, no natural loop";

std::string secondsOf(std::int64_t frames, int rate) {
    char text[48];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(frames) / rate);
    return text;
}

// START and STOP of --near in samples at 44,100 per second.
struct NearPoints {
    std::int64_t start = 0;
    std::int64_t stop = 0;
};

std::int64_t parseNearPoint(const std::string& text) {
    try {
        return ParsePositionArgument(text);
    } catch (const ArgumentError& e) {
        throw UsageError(std::string("--near: ") + e.what());
    } catch (const OverflowError&) {
        throw UsageError("--near: \"" + text + "\" is too far for a POS file");
    }
}

std::size_t parseCount(const std::string& text) {
    const bool digits =
        !text.empty() && text.size() <= 6 &&
        std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
    if (!digits || std::stoul(text) == 0)
        throw UsageError("-n: \"" + text + "\" is not a whole number from 1 to 999999");
    return std::stoul(text);
}

std::int64_t parseMinLoop(const std::string& text) {
    std::int32_t samples = 0;
    try {
        samples = ParsePositionArgument(text);
    } catch (const ArgumentError& e) {
        throw UsageError(std::string("--min-loop: ") + e.what());
    } catch (const OverflowError&) {
        throw UsageError("--min-loop: \"" + text + "\" is too long a duration");
    }
    if (samples <= 0)
        throw UsageError("--min-loop: \"" + text + "\" is not a positive duration");
    return samples;
}

// What find learnt about one FILE.
struct Report {
    std::optional<fs::path> audio;
    int sampleRate = 0;
    std::int64_t frames = 0;
    std::vector<LoopCandidate> candidates;
    std::optional<fs::path> written;
    std::string error;
};

Report findOne(const fs::path& file, std::size_t count, std::int64_t minLoopSamples, bool write,
               AudioRate rate, const std::optional<NearPoints>& nearSamples,
               CompanionIndex& companions, std::mutex& companionsInUse) {
    Report report;
    const bool pos = HasPosExtension(file);
    if (pos) {
        std::unique_lock lock(companionsInUse);
        const auto companion = companions.find(file);
        lock.unlock();
        if (!companion) {
            // A POS file that is not there is named as missing, not as lacking its audio.
            std::error_code ec;
            report.error =
                fs::exists(file, ec) || ec
                    ? NoAudioProblem(file, file.string())
                    : "cannot open file " + file.string() + ": " +
                          std::make_error_code(std::errc::no_such_file_or_directory).message();
            return report;
        }
        report.audio = companion->path;
    } else {
        report.audio = file;
    }
    try {
        // Read through once and then in windows: memory stays bounded for
        // any length.
        AudioReader reader(*report.audio);
        report.sampleRate = reader.info().sampleRate;
        report.frames = reader.info().frames;
        LoopSearchOptions options;
        options.maxCandidates = count;
        // The duration was read at 44,100 samples per second.
        options.minLoopFrames =
            std::max<std::int64_t>(1, std::llround(static_cast<double>(minLoopSamples) *
                                                   report.sampleRate / SamplesPerSecond));
        std::optional<LoopPoints> near;
        if (nearSamples) {
            const double scale = static_cast<double>(report.sampleRate) / SamplesPerSecond;
            near = LoopPoints{std::llround(static_cast<double>(nearSamples->start) * scale),
                              std::llround(static_cast<double>(nearSamples->stop) * scale)};
        }
        report.candidates = FindAnyLoops(reader, options, near).candidates;
    } catch (const AudioError& e) {
        report.error = e.what();
        return report;
    }
    if (write && !report.candidates.empty()) {
        const LoopCandidate& best = report.candidates.front();
        const fs::path target = pos ? file : PosFileBeside(file);
        if (best.stop > std::numeric_limits<std::int32_t>::max()) {
            report.error = "cannot write " + target.string() + ": stop " +
                           std::to_string(best.stop) + " is beyond what a POS file can hold";
            return report;
        }
        try {
            // Candidates are frames of the audio; a POS file counts at 44,100.
            RequireRate(*report.audio, report.sampleRate, rate,
                        "not written into " + target.string());
            UpdatePosFile(target, static_cast<std::int32_t>(best.start),
                          static_cast<std::int32_t>(best.stop));
            report.written = target;
        } catch (const std::runtime_error& e) {
            report.error = e.what();
        }
    }
    return report;
}

// The files a command line names: each file as given, and for a folder the
// POS files under it, as check -r finds them.
std::vector<PosFileItem> filesToSearch(const std::vector<std::string>& args) {
    std::vector<PosFileItem> items;
    for (const std::string& arg : args) {
        std::error_code ec;
        if (!fs::is_directory(arg, ec)) {
            items.push_back({arg, {}});
            continue;
        }
        std::vector<PosFileItem> found = PosFilesUnder(arg);
        if (found.empty())
            found.push_back({arg, arg +
                                      " is a folder without POS files: find searches the POS "
                                      "files in a folder; name audio files themselves (find "
                                      "--write " +
                                      arg +
                                      "/*.wav) to search each and write "
                                      "the POS file beside it"});
        items.insert(items.end(), found.begin(), found.end());
    }
    return items;
}

// The counts of the summary line.
struct FindTally {
    std::size_t files = 0;
    std::size_t withLoop = 0;
    std::size_t failed = 0;

    void add(const Report& r) {
        ++files;
        withLoop += std::any_of(r.candidates.begin(), r.candidates.end(),
                                [](const LoopCandidate& c) { return IsSeamless(c.judged); })
                        ? 1
                        : 0;
        failed += r.error.empty() ? 0 : 1;
    }
    // "3 files, 2 with a seamless loop" (a candidate the judge passes), then
    // ", 1 failed" when any could
    // not be read or written.
    std::string text() const {
        std::string line = std::to_string(files) + (files == 1 ? " file, " : " files, ") +
                           (withLoop == 0 ? std::string("none") : std::to_string(withLoop)) +
                           " with a seamless loop";
        if (failed > 0)
            line += ", " + std::to_string(failed) + " failed";
        return line;
    }
};

void printText(std::ostream& out, const std::string& file, const Report& r) {
    if (!r.audio || r.sampleRate == 0)
        return; // the error alone says it
    const std::string audioName = VisibleText(r.audio->filename().string());
    if (r.candidates.empty()) {
        out << VisibleText(file) << ": " << kNoLoop << " (audio " << audioName << ")\n";
        return;
    }
    out << VisibleText(file) << ": audio " << audioName << ", " << r.sampleRate << " Hz\n";
    int rank = 1;
    for (const LoopCandidate& c : r.candidates) {
        char match[16];
        std::snprintf(match, sizeof match, "%.3f", c.score);
        out << "  " << rank++ << ". start " << c.start << " (" << ClockText(c.start, r.sampleRate)
            << "), stop " << c.stop << " (" << ClockText(c.stop, r.sampleRate) << "), loop "
            << c.stop - c.start << " samples (" << secondsOf(c.stop - c.start, r.sampleRate)
            << " s), match " << match << ", " << SeamVerdict(c.judged) << ", "
            << LoopKindWord(c.kind) << ", " << PercentOfTrack(c, r.frames) << " % of the track\n";
    }
    if (r.written) {
        out << "  wrote start " << r.candidates.front().start << ", stop "
            << r.candidates.front().stop << " into " << VisibleText(r.written->string())
            << FramesNote(r.audio->filename(), r.sampleRate) << '\n';
    }
}

void printJson(std::ostream& out, const std::string& file, const Report& r) {
    nlohmann::ordered_json candidates = nlohmann::ordered_json::array();
    for (const LoopCandidate& c : r.candidates) {
        candidates.push_back({{"kind", LoopKindWord(c.kind)},
                              {"start", c.start},
                              {"stop", c.stop},
                              {"length", c.stop - c.start},
                              {"match", RoundedTo(c.score, 3)},
                              // Read by scripts written before "match".
                              {"score", RoundedTo(c.score, 3)},
                              {"repeated_seconds", RoundedTo(c.repeatedSeconds, 6)},
                              {"track_share", RoundedTo(ShareOfTrack(c, r.frames), 3)},
                              {"seam", RoundedTo(c.seam, 6)},
                              {"verdict", SeamSoundWord(c.judged.sound)}});
    }
    nlohmann::ordered_json line{{"file", file}};
    line["audio"] = r.audio ? nlohmann::ordered_json(r.audio->string()) : nullptr;
    line["sample_rate"] = r.sampleRate;
    line["candidates"] = std::move(candidates);
    if (r.candidates.empty())
        line["reason"] = r.error.empty() ? kNoLoop : r.error;
    if (r.written) {
        line["written"] = r.written->string();
        // The positions count the audio's own frames, asked for by --frames-of-audio.
        if (r.sampleRate != SamplesPerSecond)
            line["written_as_frames_of_audio"] = true;
    }
    if (!r.error.empty())
        line["error"] = r.error;
    out << line.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace) << '\n';
}

int run(const Arguments& a, std::ostream& out, std::ostream& err) {
    if (a.files.empty())
        throw UsageError("find needs at least one POS or audio file");
    const std::size_t count = a.value("-n") ? parseCount(*a.value("-n")) : 5;
    const std::int64_t minLoop =
        a.value("--min-loop") ? parseMinLoop(*a.value("--min-loop")) : 2 * SamplesPerSecond;
    const bool json = a.flag("--json");
    const bool quiet = a.flag("-q");
    std::vector<std::string> files = a.files;
    std::optional<NearPoints> near;
    if (a.value("--near")) {
        // STOP, the value after START, is read as the first file.
        if (files.size() < 2)
            throw UsageError("--near needs START and STOP before the files");
        near = NearPoints{parseNearPoint(*a.value("--near")), parseNearPoint(files.front())};
        files.erase(files.begin());
        if (near->stop <= near->start)
            throw UsageError("--near: STOP must lie after START");
    }
    const std::vector<PosFileItem> items = filesToSearch(files);
    CompanionIndex companions;
    std::mutex companionsInUse;
    int status = ExitOk;
    FindTally tally;
    std::vector<Report> reports(items.size());
    const auto search = [&](std::size_t i) {
        const std::string file = items[i].path.string();
        Report& report = reports[i];
        report.error = items[i].folderProblem;
        // Whatever stops one file is reported, and the next is searched all the same.
        try {
            if (report.error.empty())
                report = findOne(file, count, minLoop, a.flag("--write"), RateChoiceOf(a), near,
                                 companions, companionsInUse);
        } catch (const std::exception& e) {
            report = {};
            report.error = FailureText(file, e);
        }
    };
    const auto print = [&](std::size_t i, std::ostream& lines) {
        const std::string file = items[i].path.string();
        const Report report = std::move(reports[i]);
        // -q keeps only the files that need a look.
        const bool wentWell = !report.candidates.empty() && report.error.empty();
        if (json && (!quiet || !wentWell))
            printJson(lines, file, report);
        else if (!json && (!quiet || !wentWell))
            printText(lines, file, report);
        if (!report.error.empty())
            ReportError(err, report.error);
        if (report.candidates.empty() || !report.error.empty())
            status = ExitProblem;
        tally.add(report);
    };
    BatchPlan plan{items.size(), JobsOf(a, items.size()), {}, ProgressStream(err)};
    for (const PosFileItem& item : items)
        plan.memory.push_back(plan.jobs > 1 ? SearchMemoryOf(item.path.string()) : 0);
    // Files side by side already use the cores: each search keeps to one thread.
    LimitSearchThreads(plan.jobs > 1 ? 1 : 2);
    RunBatch(plan, search, print, out);
    if (!json && (!quiet || status != ExitOk))
        out << tally.text() << '\n';
    return status;
}

} // namespace

const Command& FindCommand() {
    static const Command command{"find",
                                 "FILE|FOLDER...",
                                 "find seamless loop positions in the audio",
                                 kHelp,
                                 {"-n", "--min-loop", "--near", "-j"},
                                 {"--json", "--write", "-q", FramesOfAudioFlag},
                                 run};
    return command;
}

} // namespace kestrin::cli
