// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos check: POS files against their audio files.
#include "audio/audio_files.h"
#include "audio/audio_reader.h"
#include "audio/seam_measure.h"
#include "cli/command.h"
#include "cli/output.h"
#include "cli/pos_tool.h"
#include "core/loop_problems.h"
#include "core/pos_file.h"
#include "core/positions.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <sstream>

namespace kestrin::cli {

namespace fs = std::filesystem;
using namespace kestrin::audio;

namespace {

const char* const kHelp = R"(Usage: kestrin-pos check [-r] [-q] FILE.POS|FOLDER...

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
heading. The seam score (0 identical, about 1 for unrelated audio) and the
step (the largest difference in 16-bit sample values, 32,768 being full
scale, and in dB of full scale) come with it, e.g.

  seam at 01:20.000 jumps by 23,594 (-2.9 dB of full scale), seam score 0.84:
  a listener hears it; a seamless seam nearby: stop 3527999

The nearby stop, when one is given, is the nearest within a second of the
stored one at which the audio goes on as it does after the start.

  -r   walk folders for *.pos files (any case); symbolic links to folders
       are not followed, and a folder that cannot be read is a problem
  -q   print only the files with problems, and the summary only when there
       are any

The last line sums up: "12 files, 2 with problems".

A file that begins like an audio or other container file is reported as not
being a POS file. Of a file shorter than 8 bytes only the positions whose
bytes are there are checked. Names are printed with control characters made
visible (\n, \t, \x1b; a backslash as \\).

Exit status: 0 when every file is clean, 1 when any has a problem.
)";

std::string lowerExtension(const fs::path& path) {
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

// What check reports on: a POS file, or a folder it could not read.
struct Item {
    fs::path path;
    std::string folderProblem; // empty for a POS file
};

// Adds the POS files under `top` to `items`, and each folder below it that
// cannot be read together with its reason. Symbolic links to folders are not
// followed; an entry that cannot even be looked at is skipped, except a *.pos
// one, whose own check then names the reason.
void walk(const fs::path& top, std::vector<Item>& items) {
    std::vector<fs::path> folders{top};
    while (!folders.empty()) {
        const fs::path folder = std::move(folders.back());
        folders.pop_back();
        std::error_code ec;
        fs::directory_iterator it(folder, ec);
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            std::error_code typeError;
            if (it->symlink_status(typeError).type() == fs::file_type::directory) {
                folders.push_back(it->path());
            } else if (lowerExtension(it->path()) == ".pos") {
                const fs::file_status target = it->status(typeError);
                if (typeError || fs::is_regular_file(target))
                    items.push_back({it->path(), {}});
            }
        }
        if (ec)
            items.push_back(
                {folder, "cannot read folder " + folder.string() + ": " + ec.message()});
    }
}

// The problems of one POS file, in the order a reader fixes them. Only the
// bytes that are there count: a start needs 4, a stop 8.
std::vector<std::string> checkOne(const fs::path& file, CompanionIndex& audio, std::ostream& out) {
    PosFileInfo pos;
    try {
        pos = InspectPosFile(file);
    } catch (const PosFileError& e) {
        return {e.what()};
    }
    const PosValues& v = pos.values;
    const bool hasStart = pos.size >= 4;
    const bool hasStop = pos.size >= 8;
    std::vector<std::string> problems;
    if (pos.size != 8)
        problems.push_back("the file is " + std::to_string(pos.size) +
                           " bytes long, not 8: players refuse it");
    for (std::string& p : PositionProblems(v, hasStart, hasStop))
        problems.push_back(std::move(p));

    const auto companion = audio.find(file);
    if (!companion) {
        problems.push_back(NoAudioProblem("it", ExpectedAudioName(file).filename().string()));
        return problems;
    }
    if (!companion->exactName)
        problems.push_back(CaseOnlyNameProblem(companion->path.filename().string(),
                                               ExpectedAudioName(file).filename().string()));
    try {
        AudioReader reader(companion->path);
        const AudioInfo& info = reader.info();
        out << "  audio " << VisibleText(companion->path.filename().string()) << ": "
            << info.sampleRate << " Hz, " << info.frames << " samples, " << info.channels
            << (info.channels == 1 ? " channel\n" : " channels\n");
        if (const auto length = reader.lengthProblem())
            problems.push_back(*length);
        if (const auto rate = SampleRateProblem(info.sampleRate))
            problems.push_back(*rate);
        if (const auto beyond = StopBeyondAudioProblem(v.stop, info.frames); hasStop && beyond)
            problems.push_back(*beyond);
        // Only a loop players keep has a seam to hear.
        const auto seam = hasStop ? MeasureSeam(reader, v.start, v.stop) : std::nullopt;
        if (seam) {
            out << "  seam at " << ClockText(v.stop, info.sampleRate) << ": " << SeamVerdict(*seam)
                << '\n';
            if (const auto heard = SeamProblem(*seam, v.stop, info.sampleRate))
                problems.push_back(*heard);
        }
    } catch (const AudioError& e) {
        problems.push_back(e.what());
    }
    return problems;
}

void printReport(std::ostream& out, const fs::path& path, const std::vector<std::string>& problems,
                 const std::string& details) {
    out << VisibleText(path.string()) << ": "
        << (problems.empty() ? std::string("ok")
                             : std::to_string(problems.size()) +
                                   (problems.size() == 1 ? " problem" : " problems"))
        << '\n'
        << details;
    for (const std::string& p : problems)
        out << "  problem: " << VisibleText(p) << '\n';
}

int run(const Arguments& a, std::ostream& out, std::ostream& err) {
    if (a.files.empty())
        throw UsageError("check needs at least one POS file or folder");
    const bool recursive = a.flag("-r");
    std::vector<Item> items;
    int status = ExitOk;
    for (const std::string& arg : a.files) {
        std::error_code ec;
        if (!fs::is_directory(arg, ec)) {
            items.push_back({arg, {}}); // whatever is wrong with it, its check says
        } else if (recursive) {
            std::vector<Item> found;
            walk(arg, found);
            std::sort(found.begin(), found.end(),
                      [](const Item& x, const Item& y) { return x.path < y.path; });
            items.insert(items.end(), found.begin(), found.end());
        } else {
            err << "kestrin-pos: " << VisibleText(arg)
                << " is a folder; use -r to check the POS files in it\n";
            status = ExitProblem;
        }
    }
    const bool quiet = a.flag("-q");
    CompanionIndex audio;
    std::size_t withProblems = 0;
    for (const Item& item : items) {
        std::ostringstream details;
        std::vector<std::string> problems{item.folderProblem};
        if (item.folderProblem.empty()) {
            // Whatever stops one file is its problem; the next is checked all the same.
            try {
                problems = checkOne(item.path, audio, details);
            } catch (const std::exception& e) {
                problems = {FailureText(item.path.string(), e)};
            }
        }
        if (!problems.empty())
            ++withProblems;
        if (!quiet)
            printReport(out, item.path, problems, details.str());
        else if (!problems.empty())
            printReport(out, item.path, problems, {});
    }
    if (withProblems > 0)
        status = ExitProblem;
    if (!quiet || withProblems > 0) {
        out << items.size() << (items.size() == 1 ? " file, " : " files, ")
            << (withProblems == 0   ? std::string("none with problems")
                : withProblems == 1 ? std::string("1 with a problem")
                                    : std::to_string(withProblems) + " with problems")
            << '\n';
    }
    return status;
}

} // namespace

const Command& CheckCommand() {
    static const Command command{
        "check", "FILE.POS...", "check POS files against their WAVE files", kHelp, {}, {"-r", "-q"},
        run};
    return command;
}

} // namespace kestrin::cli
