// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos tag: the POS file's loop written into the audio's own metadata.
#include "audio/read/audio_files.h"
#include "audio/read/audio_reader.h"
#include "audio/read/in_place.h"
#include "audio/render/loop_interchange.h"
#include "cli/command.h"
#include "cli/loop_tags.h"
#include "cli/output.h"
#include "cli/pos_tool.h"
#include "cli/rate_option.h"
#include "core/pos_file.h"

#include <filesystem>

namespace kestrin::cli {

namespace fs = std::filesystem;
using namespace kestrin::audio;

namespace {

const char* const kHelp =
    R"(Usage: kestrin-pos tag FILE.POS [-o OUT | --in-place [--force]] [--audio FILE]
                           [--names NAMES] [--frames-of-audio]

Writes the loop of FILE.POS into the metadata of its audio, where samplers,
players and game engines look for it: into a WAVE file's smpl chunk (one
forward loop, through libsndfile; AIFF is refused, as libsndfile writes no
instrument loop into it), or into the
Vorbis comments of an Ogg, FLAC or Opus file (through TagLib). The audio
samples never change; other chunks libsndfile does not know (cue points,
ID3) are not carried into a WAVE copy.

  --audio FILE   the audio to tag, instead of the WAVE file beside FILE.POS
  -o OUT         the new file to write (never replaced: remove it first);
                 by default NAME-tagged.EXT beside the audio
  --in-place     replace the audio itself: a temporary file in its folder is
                 written, decoded and compared sample for sample with the
                 audio, and only then renamed over it; on any difference or
                 failure the audio is left as it was. A link is followed:
                 the file it names is tagged. The owner, group and
                 permissions stay; a read-only file is refused unless
                 --force, and a file that another program replaced or
                 changed meanwhile is left as that program wrote it
  --names LOOPSTART,LOOPLENGTH   (the default) or LOOP_START,LOOP_END: the
                 comments written into Ogg, FLAC and Opus files; the other
                 naming's comments are removed
  --frames-of-audio  tag audio at a rate other than 44,100 Hz with the POS
                 file's two numbers as its own frames, as players such as
                 vgmstream read them; the line says so

Positions count samples at 44,100 per second: audio at another rate is
refused with both rates named, unless --frames-of-audio is given.
)";

// Refuses options that do not go together, and reads --names; throws
// UsageError.
LoopTagNames namesOf(const Arguments& a) {
    if (a.files.size() != 1)
        throw UsageError("tag needs exactly one POS file");
    const bool inPlace = a.flag("--in-place");
    if (a.value("-o") && inPlace)
        throw UsageError("-o and --in-place exclude each other");
    if (a.flag("--force") && !inPlace)
        throw UsageError("--force goes with --in-place: -o never replaces a file");
    const std::string namesText = a.value("--names").value_or("LOOPSTART,LOOPLENGTH");
    if (namesText == "LOOP_START,LOOP_END")
        return LoopTagNames::StartEnd;
    if (namesText != "LOOPSTART,LOOPLENGTH")
        throw UsageError("--names: \"" + namesText +
                         "\" is not LOOPSTART,LOOPLENGTH or LOOP_START,LOOP_END");
    return LoopTagNames::StartLength;
}

// The audio to tag: --audio, else the audio beside `file`.
fs::path audioOf(const std::string& file, const Arguments& a) {
    if (const auto given = a.value("--audio"))
        return *given;
    if (const auto companion = FindCompanionAudio(file))
        return companion->path;
    throw std::runtime_error(file + ": no audio beside it (" +
                             ExpectedAudioName(file).filename().string() + ") to tag");
}

// The audio's format, once it is known to be whole, at a rate the loop
// counts in, and long enough to hold the loop.
AudioInfo checkedInfo(const std::string& file, const fs::path& audio, const PosValues& loop,
                      const Arguments& a) {
    AudioReader reader(audio);
    // A damaged file is not rewritten: its copy would hide the damage.
    if (const auto damage = reader.lengthProblem())
        throw std::runtime_error(*damage + ": not tagged");
    const AudioInfo info = reader.info();
    RequireRate(audio, info.sampleRate, RateChoiceOf(a), "not tagged");
    if (loop.start < 0 || loop.stop <= loop.start || loop.stop > info.frames)
        throw std::runtime_error(file + ": start " + std::to_string(loop.start) + " and stop " +
                                 std::to_string(loop.stop) + " are no loop within " +
                                 audio.string() + " (" + std::to_string(info.frames) +
                                 " samples): not tagged");
    return info;
}

// Where the loop goes: loop comments, or a WAVE file's instrument loop.
struct Placement {
    bool comments = false;
    LoopTagNames names = LoopTagNames::StartLength;

    const char* words() const {
        if (!comments)
            return "instrument loop (smpl)";
        return names == LoopTagNames::StartLength ? "LOOPSTART/LOOPLENGTH comments"
                                                  : "LOOP_START/LOOP_END comments";
    }
};

// Writes `from` with `loop` placed as `place` into `to`, and decodes and
// compares `to` with `from` before it takes its name: a tag library that ran
// out of disk space may report a truncated file as saved.
void writeTagged(const fs::path& from, const fs::path& to, const PosValues& loop,
                 const Placement& place, bool inPlace) {
    if (place.comments)
        WriteLoopTags(from, to, loop.start, loop.stop, place.names, true);
    else
        WriteWithInstrumentLoop(from, to, loop.start, loop.stop, true);
    if (const auto difference = AudioDifference(from, to))
        throw std::runtime_error("tagging " + from.string() + " would change its audio (" +
                                 *difference +
                                 "): " + (inPlace ? "left as it was" : "not written"));
}

int run(const Arguments& a, std::ostream& out, std::ostream& err) {
    const LoopTagNames names = namesOf(a);
    const auto output = a.value("-o");
    const bool inPlace = a.flag("--in-place");
    const std::string& file = a.files.front();
    try {
        const PosValues loop = ReadPosFile(file);
        const fs::path audio = audioOf(file, a);
        const AudioInfo info = checkedInfo(file, audio, loop, a);
        const Placement place{HoldsLoopTags(audio), names};
        const auto write = [&](const fs::path& from, const fs::path& to) {
            writeTagged(from, to, loop, place, inPlace);
        };
        fs::path target = output ? fs::path(*output)
                                 : audio.parent_path() / (audio.stem().string() + "-tagged" +
                                                          audio.extension().string());
        if (inPlace) {
            const fs::path replaced = ReplaceInPlace(audio, a.flag("--force"), write);
            // Through a link, name the file that changed.
            target = fs::is_symlink(audio) ? replaced : audio;
        } else {
            CreateChecked(target, false,
                          [&](const fs::path& temporary) { write(audio, temporary); });
        }
        out << VisibleText(target.string()) << ": loop " << loop.start << ".." << loop.stop
            << " in its " << place.words()
            << VisibleText(FramesNote(audio.filename(), info.sampleRate)) << '\n';
        return ExitOk;
    } catch (const std::exception& e) {
        ReportError(err, FailureText(file, e));
        return ExitProblem;
    }
}

} // namespace

const Command& TagCommand() {
    static const Command command{"tag",
                                 "FILE.POS",
                                 "write the loop into the audio's smpl chunk or loop comments",
                                 kHelp,
                                 {"-o", "--audio", "--names"},
                                 {"--in-place", "--force", FramesOfAudioFlag},
                                 run};
    return command;
}

} // namespace kestrin::cli
