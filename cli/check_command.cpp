// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos check: POS files against their audio files.
#include "audio_files.h"
#include "command.h"
#include "output.h"
#include "pos_file.h"
#include "pos_tool.h"
#include "positions.h"

#include <algorithm>
#include <filesystem>
#include <sstream>

namespace kestrin::cli {

namespace fs = std::filesystem;
using namespace kestrin::audio;

namespace {

const char* const kHelp = R"(Usage: kestrin-pos check [-r] FILE.POS|FOLDER...

Finds the WAVE file beside each POS file (same base name, any case of .wav),
reads its header and reports its sample rate and length, then every problem:
no audio file, a sample rate other than 44,100, a negative start, a stop not
after the start, a stop beyond the end of the audio, a file not 8 bytes long,
and an audio file found only by ignoring case (players look for BASE.WAV when
the POS extension is upper case and BASE.wav otherwise).

  -r   walk folders for *.pos files (any case)

Exit status: 0 when every file is clean, 1 when any has a problem.
)";

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

int run(const Arguments& a, std::ostream& out, std::ostream& err) {
    if (a.files.empty())
        throw UsageError("check needs at least one POS file or folder");
    const bool recursive = a.flag("-r");
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

} // namespace

const Command& CheckCommand() {
    static const Command command{
        "check", "FILE.POS...", "check POS files against their WAVE files", kHelp, {}, {"-r"}, run};
    return command;
}

} // namespace kestrin::cli
