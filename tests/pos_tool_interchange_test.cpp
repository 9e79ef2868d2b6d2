// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/read/audio_files.h"
#include "audio/render/loop_interchange.h"
#include "cli/pos_tool.h"
#include "core/audio_extensions.h"
#include "core/loop_formats.h"
#include "core/pos_file.h"
#include "tests/file_bytes.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <taglib/fileref.h>
#include <taglib/tpropertymap.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>

#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kestrin;
using namespace kestrin::cli;
namespace fs = std::filesystem;

namespace {

using testing_support::Bytes;

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

ToolRun run(const std::vector<std::string>& args) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = RunPosTool(args, out, err);
    return {status, out.str(), err.str()};
}

// The exit status of the tool run in a child after `setup` (dropping root,
// limiting file sizes).
int runInChild(const std::vector<std::string>& args, const std::function<void()>& setup) {
    const pid_t child = ::fork();
    if (child == 0) {
        setup();
        ::_exit(run(args).status);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Interleaved integer samples of a file, with its header.
std::vector<int> samplesOf(const fs::path& path, SF_INFO& info) {
    info = {};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(f, nullptr) << path << ": " << sf_strerror(nullptr);
    if (!f)
        return {};
    std::vector<int> data(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_int(f, data.data(), info.frames);
    sf_close(f);
    return data;
}

class Interchange : public testing::Test {
protected:
    fs::path at(const std::string& name) const { return m_dir / name; }
    // A track of noise, different in every frame and channel.
    void track(const std::string& name, int rate, int channels, int format, int frames) {
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = format;
        SNDFILE* f = sf_open(at(name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
        std::mt19937 noise(7);
        std::uniform_real_distribution<double> value(-0.9, 0.9);
        std::vector<double> data(static_cast<std::size_t>(frames * channels));
        for (double& d : data)
            d = value(noise);
        ASSERT_EQ(sf_writef_double(f, data.data(), frames), frames);
        sf_close(f);
    }
    // A WAVE file made by sox with a smpl chunk appended by hand: one forward
    // loop whose dwEnd is the last frame looped, as the RIFF format says.
    void wavWithSmpl(const std::string& name, int rate, std::uint32_t start, std::uint32_t last,
                     int seconds = 1) {
        const std::string command = "sox -n -r " + std::to_string(rate) + " -c 1 -b 16 '" +
                                    at(name).string() + "' synth " + std::to_string(seconds) +
                                    " sine 440 2>/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        Bytes bytes = testing_support::readFileBytes(at(name));
        auto le32 = [&](std::uint32_t v) {
            for (int i = 0; i < 4; ++i)
                bytes.push_back(static_cast<unsigned char>(v >> (8 * i)));
        };
        for (char c : std::string("smpl"))
            bytes.push_back(static_cast<unsigned char>(c));
        le32(36 + 24);
        const std::uint32_t header[9] = {
            0, 0, 1000000000u / static_cast<std::uint32_t>(rate), 60, 0, 0, 0, 1, 0};
        for (std::uint32_t v : header)
            le32(v);
        for (std::uint32_t v : {0u, 0u, start, last, 0u, 0u})
            le32(v);
        const std::uint32_t riff = static_cast<std::uint32_t>(bytes.size() - 8);
        for (int i = 0; i < 4; ++i)
            bytes[4 + i] = static_cast<unsigned char>(riff >> (8 * i));
        testing_support::writeFileBytes(at(name), bytes);
    }

    testing_support::ScratchFolder m_scratch{"kestrin-interchange"};
    const fs::path& m_dir = m_scratch.path();
};

// ---- text formats ------------------------------------------------------------

TEST(LoopFormats, LabelSecondsGiveBackEverySample) {
    for (std::int32_t s :
         {0, 1, 22050, 44099, 44100, 2646001, 2147483647, -1, -44101, -2147483647 - 1}) {
        const PosValues back =
            ParseLabels(LabelSeconds(s) + "\t" + LabelSeconds(s / 2 + 7) + "\tx");
        EXPECT_EQ(back.start, s) << LabelSeconds(s);
    }
    EXPECT_EQ(LabelSeconds(-1), "-0.000023");
    EXPECT_EQ(LabelSeconds(66150), "1.500000");
}

TEST(LoopFormats, PlaylistTimesFollowVgmstreamsRules) {
    struct Row {
        const char* text;
        std::int64_t start;
        std::optional<std::int64_t> stop;
        bool inSamples;
    };
    const Row rows[] = {
        {"music.adx #I 0 1000000\n", 0, 1000000, true},
        {"# a comment #I 1 2\nmusic.adx #I 32.5 60.1", 1433250, 2650410, false},
        {"music.adx #I 0:10 1:30", 441000, 3969000, false},
        {"music.adx #I 10", 10, std::nullopt, true},
        {"music.adx #I 0x10 0x20 #l 2.0", 16, 32, true},
        {"music.adx #I 5 ~", 5, std::nullopt, true},
    };
    for (const Row& row : rows) {
        const TxtpLoop loop = ParseTxtp(row.text);
        EXPECT_EQ(loop.audio, "music.adx") << row.text;
        EXPECT_EQ(loop.start, row.start) << row.text;
        EXPECT_EQ(loop.stop, row.stop) << row.text;
        EXPECT_EQ(loop.inSamples, row.inSamples) << row.text;
    }
    for (const char* bad : {"", "music.adx\n", "music.adx #I", "music.adx #I abc", "a #I 1 2.5",
                            "a #I 99999999999999999999"})
        EXPECT_THROW(ParseTxtp(bad), LoopTextError) << bad;
    for (const char* bad : {"", "1.0\n", "x\t2\tl", "1\t1\tpoint"})
        EXPECT_THROW(ParseLabels(bad), LoopTextError) << bad;
    EXPECT_THROW(ParseLoopComments([](const char* key) { // LOOPSTART 1, LOOPLENGTH 2^63 - 1
                     return std::optional<std::string>(key[4] == 'L' ? "9223372036854775807" : "1");
                 }),
                 LoopTextError);
}

TEST_F(Interchange, ExportedPlaylistsAndLabelsImportTheSameLoop) {
    const PosValues loops[] = {{0, 1}, {44100, 2646000}, {12345, 67891}, {1, 2147483647}};
    for (const char* format : {"txtp", "labels"}) {
        for (const PosValues& loop : loops) {
            WritePosFile(at("A.POS"), loop);
            const ToolRun out = run({"export", "--format", format, "--force", at("A.POS")});
            ASSERT_EQ(out.status, ExitOk) << out.err;
            const ToolRun in = run({"import", at("B.POS"), "--from", format,
                                    at(std::string("A.") + (format[0] == 't' ? "txtp" : "txt"))});
            ASSERT_EQ(in.status, ExitOk) << in.err;
            EXPECT_EQ(ReadPosFile(at("B.POS")), loop) << format << " " << loop.stop;
        }
    }
    EXPECT_EQ(testing_support::readFileBytes(at("A.txtp")),
              (Bytes{'A', '.', 'W', 'A', 'V', ' ', '#', 'I', ' ', '1', ' ',
                     '2', '1', '4', '7', '4', '8', '3', '6', '4', '7', '\n'}));
}

TEST_F(Interchange, JsonAndCsvListEveryFile) {
    WritePosFile(at("a,b.POS"), {1, 44100});
    const ToolRun csv = run({"export", "--format", "csv", at("a,b.POS")});
    EXPECT_EQ(csv.out, "file,start,stop,start_seconds,stop_seconds\r\n\"" + at("a,b.POS").string() +
                           "\",1,44100,0.000023,1.000000\r\n");
    const ToolRun json = run({"export", "--format=json", at("a,b.POS"), at("none.POS")});
    EXPECT_EQ(json.status, ExitProblem);
    EXPECT_NE(json.out.find("\"start\":1,"), std::string::npos) << json.out;
}

TEST_F(Interchange, ExistingFilesAreNotReplacedWithoutForce) {
    WritePosFile(at("A.POS"), {1, 2});
    track("A.WAV", 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 100);
    testing_support::writeFileBytes(at("A.txtp"), {'k', 'e', 'e', 'p'});
    testing_support::writeFileBytes(at("A-tagged.WAV"), {'k', 'e', 'e', 'p'});
    fs::create_directory(at("parts"));
    testing_support::writeFileBytes(at("parts/A-loop.WAV"), {'k', 'e', 'e', 'p'});
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"export", "--format", "txtp", at("A.POS")},
          {"tag", at("A.POS")},
          {"render", at("A.POS"), "--split", "-o", at("parts")}}) {
        const ToolRun r = run(args);
        EXPECT_EQ(r.status, ExitProblem) << args[0];
        EXPECT_NE(r.err.find("xists"), std::string::npos) << r.err;
    }
    for (const char* name : {"A.txtp", "A-tagged.WAV", "parts/A-loop.WAV"})
        EXPECT_EQ(testing_support::readFileBytes(at(name)), (Bytes{'k', 'e', 'e', 'p'})) << name;
    EXPECT_EQ(run({"export", "--format", "txtp", "--force", at("A.POS")}).status, ExitOk);
}

// ---- smpl chunks -------------------------------------------------------------

TEST_F(Interchange, SmplChunkImportsAndTagWritesOneTheConsumerReads) {
    wavWithSmpl("S.WAV", 44100, 1000, 29999);
    const ToolRun in = run({"import", at("S.POS")});
    ASSERT_EQ(in.status, ExitOk) << in.err;
    EXPECT_NE(in.out.find("from the smpl chunk of"), std::string::npos) << in.out;
    EXPECT_EQ(ReadPosFile(at("S.POS")), (PosValues{1000, 30000}));

    WritePosFile(at("S.POS"), {4410, 22050});
    const ToolRun out = run({"tag", at("S.POS"), "-o", at("T.WAV")});
    ASSERT_EQ(out.status, ExitOk) << out.err;
    SF_INFO tagged{};
    SNDFILE* f = sf_open(at("T.WAV").c_str(), SFM_READ, &tagged);
    SF_INSTRUMENT instrument{};
    ASSERT_EQ(sf_command(f, SFC_GET_INSTRUMENT, &instrument, sizeof instrument), SF_TRUE);
    sf_close(f);
    EXPECT_EQ(instrument.loop_count, 1);
    EXPECT_EQ(instrument.loops[0].mode, SF_LOOP_FORWARD);
    EXPECT_EQ(instrument.loops[0].start, 4410u);
    EXPECT_EQ(instrument.loops[0].end, 22050u);
    // On disk, dwEnd is the last frame looped.
    const Bytes bytes = testing_support::readFileBytes(at("T.WAV"));
    const std::string text(bytes.begin(), bytes.end());
    const auto smpl = text.find("smpl");
    ASSERT_NE(smpl, std::string::npos);
    const std::size_t end = smpl + 8 + 36 + 12;
    EXPECT_EQ(bytes[end] | bytes[end + 1] << 8 | bytes[end + 2] << 16, 22049);
    SF_INFO a{};
    SF_INFO b{};
    EXPECT_EQ(samplesOf(at("S.WAV"), a), samplesOf(at("T.WAV"), b));
}

TEST_F(Interchange, LoopsInAnotherRatesSamplesAreRefused) {
    wavWithSmpl("R.wav", 48000, 100, 4799);
    WritePosFile(at("R.pos"), {1, 2});
    const ToolRun r = run({"import", at("R.pos")});
    EXPECT_EQ(r.status, ExitProblem);
    EXPECT_NE(r.err.find("48,000 Hz"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("44,100 per second"), std::string::npos) << r.err;
    EXPECT_EQ(ReadPosFile(at("R.pos")), (PosValues{1, 2}));
    const ToolRun t = run({"tag", at("R.pos")});
    EXPECT_EQ(t.status, ExitProblem);
    EXPECT_NE(t.err.find("48,000 Hz"), std::string::npos) << t.err;
}

// One rule for every writer of positions: beside 48 kHz audio each refuses,
// naming the file and both rates, and writes nothing; with --frames-of-audio
// each writes the audio's own frames, as vgmstream reads them, and says so.
TEST_F(Interchange, EveryWriterRefusesAnotherRateUnlessAskedForItsFrames) {
    wavWithSmpl("R.wav", 48000, 9600, 47999, 3);
    const PosValues held{4800, 96000};
    std::ofstream(at("P.txtp")) << "R.wav #I 12000 24000";
    std::ofstream(at("L.txt")) << "0.5\t1\tx";
    const struct {
        std::vector<std::string> args;
        std::string made;                 // the file the writer makes, if any
        std::optional<PosValues> written; // what --frames-of-audio puts into R.pos
    } rows[] = {
        {{"find", "--write", "-n1", "R.wav"}, "", std::nullopt},
        {{"set", "R.pos", "--stop", "end"}, "", PosValues{4800, 144000}},
        {{"set", "R.pos", "--stop", "seamless"}, "", std::nullopt},
        {{"export", "R.pos"}, "", held},
        {{"export", "--format", "csv", "R.pos"}, "", held},
        {{"export", "--format", "json", "R.pos"}, "", held},
        {{"export", "--format", "txtp", "R.pos"}, "R.txtp", held},
        {{"export", "--format", "labels", "R.pos"}, "R.txt", held},
        {{"import", "R.pos"}, "", PosValues{9600, 48000}},
        {{"import", "R.pos", "--from", "txtp", "P.txtp"}, "", PosValues{12000, 24000}},
        {{"import", "R.pos", "--from", "labels", "L.txt"}, "", PosValues{24000, 48000}},
        {{"tag", "R.pos"}, "R-tagged.wav", held},
        {{"render", "R.pos", "--split", "-o", "parts.d"}, "parts.d/R-loop.wav", held},
        {{"render", "R.pos", "--extend", "4", "-o", "long.wav"}, "long.wav", held},
        {{"render", "R.pos", "--crossfade", "5ms", "-o", "cf.wav"}, "cf.wav", held},
    };
    for (const auto& row : rows) {
        for (const bool frames : {false, true}) {
            std::vector<std::string> args = row.args;
            for (std::string& a : args)
                a = a.find('.') != std::string::npos ? at(a).string() : a;
            if (frames)
                args.push_back("--frames-of-audio");
            SCOPED_TRACE(args.front() + " " + args[1] + (frames ? " --frames-of-audio" : ""));
            WritePosFile(at("R.pos"), held);
            fs::remove_all(at("parts.d"));
            const ToolRun r = run(args);
            if (!frames) {
                EXPECT_EQ(r.status, ExitProblem);
                EXPECT_NE(r.err.find("R.wav is 48,000 Hz; a POS file counts at 44,100 per second"),
                          std::string::npos)
                    << r.err;
                EXPECT_EQ(ReadPosFile(at("R.pos")), held);
            } else if (row.written || row.args[0] == "find") {
                EXPECT_EQ(r.status, ExitOk) << r.err;
                EXPECT_NE((r.out + r.err).find("as frames of R.wav at 48,000 Hz"),
                          std::string::npos)
                    << r.out << r.err;
                if (row.written) {
                    EXPECT_EQ(ReadPosFile(at("R.pos")), *row.written);
                }
            }
            EXPECT_EQ(!row.made.empty() && fs::exists(at(row.made)), frames && !row.made.empty());
            if (!row.made.empty())
                fs::remove(at(row.made));
        }
    }
}

TEST_F(Interchange, AiffIsRefusedRatherThanLosingTheLoop) {
    // libsndfile takes an AIFF instrument but writes no chunk for it.
    track("A.aiff", 44100, 1, SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 1000);
    WritePosFile(at("A.pos"), {10, 900});
    const ToolRun r = run({"tag", at("A.pos"), "--audio", at("A.aiff"), "-o", at("B.aiff")});
    EXPECT_EQ(r.status, ExitProblem);
    EXPECT_NE(r.err.find("only WAVE files"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(at("B.aiff")));
}

// ---- Vorbis comments ---------------------------------------------------------

TEST_F(Interchange, CommentsRoundTripThroughTagLibInEitherNaming) {
    struct Row {
        const char* file;
        int format;
        const char* names;
        const char* startKey;
        const char* secondKey;
        std::int64_t second;
    };
    const Row rows[] = {
        {"v.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, "LOOPSTART,LOOPLENGTH", "LOOPSTART",
         "LOOPLENGTH", 20000},
        {"f.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, "LOOP_START,LOOP_END", "LOOP_START",
         "LOOP_END", 30000},
    };
    for (const Row& row : rows) {
        track(row.file, 44100, 2, row.format, 44100);
        WritePosFile(at("P.POS"), {10000, 30000});
        const ToolRun t =
            run({"tag", at("P.POS"), "--audio", at(row.file), "--in-place", "--names", row.names});
        ASSERT_EQ(t.status, ExitOk) << t.err;
        {
            TagLib::FileRef file(at(row.file).c_str());
            const TagLib::PropertyMap map = file.file()->properties();
            EXPECT_EQ(map[row.startKey].toString().toInt(), 10000) << row.file;
            EXPECT_EQ(map[row.secondKey].toString().toInt(), row.second) << row.file;
            // The other naming is set by hand, to be read back by import.
            TagLib::PropertyMap other;
            other.insert("LOOPSTART", TagLib::String("441"));
            other.insert("LOOPLENGTH", TagLib::String("882"));
            file.file()->setProperties(other);
            ASSERT_TRUE(file.save());
        }
        const ToolRun in = run({"import", at("Q.POS"), "--from", "tags", at(row.file)});
        ASSERT_EQ(in.status, ExitOk) << in.err;
        EXPECT_EQ(ReadPosFile(at("Q.POS")), (PosValues{441, 1323})) << row.file;
    }
}

// ---- in place ----------------------------------------------------------------

TEST_F(Interchange, InPlaceFailuresLeaveTheAudioUntouched) {
    track("I.WAV", 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 5000);
    WritePosFile(at("I.POS"), {100, 4000});
    const Bytes before = testing_support::readFileBytes(at("I.WAV"));
    const auto dropRoot = [] {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(99);
    };
    const auto fullDisk = [] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit none{0, 0};
        ::setrlimit(RLIMIT_FSIZE, &none);
    };
    ::chmod(m_dir.c_str(), 0555);
    EXPECT_EQ(runInChild({"tag", at("I.POS").string(), "--in-place"}, dropRoot), ExitProblem);
    ::chmod(m_dir.c_str(), 0777);
    EXPECT_EQ(runInChild({"tag", at("I.POS").string(), "--in-place"}, fullDisk), ExitProblem);
    EXPECT_EQ(testing_support::readFileBytes(at("I.WAV")), before);
    // A damaged source (a float sample that is not a number) is refused.
    track("I.WAV", 44100, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 5000);
    Bytes damaged = testing_support::readFileBytes(at("I.WAV"));
    for (std::size_t i = damaged.size() - 400; i < damaged.size() - 396; ++i)
        damaged[i] = 0xFF;
    testing_support::writeFileBytes(at("I.WAV"), damaged);
    EXPECT_EQ(run({"tag", at("I.POS"), "--in-place"}).status, ExitProblem);
    EXPECT_EQ(testing_support::readFileBytes(at("I.WAV")), damaged);
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_dir))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names.size(), 2u) << "a temporary file was left";
}

TEST_F(Interchange, TagOnAFullDiskWritesNothing) {
    // The tag library reports a save cut short by the disk as done.
    track("A.flac", 44100, 2, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 441000);
    WritePosFile(at("A.POS"), {100, 400000});
    const auto size = static_cast<rlim_t>(fs::file_size(at("A.flac")));
    const auto nearlyFull = [size] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit room{size + 2000, size + 2000};
        ::setrlimit(RLIMIT_FSIZE, &room);
    };
    EXPECT_EQ(
        runInChild({"tag", at("A.POS"), "--audio", at("A.flac"), "-o", at("B.flac")}, nearlyFull),
        ExitProblem);
    EXPECT_FALSE(fs::exists(at("B.flac")));
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), 2);
}

TEST_F(Interchange, TagInPlaceKeepsOwnerModeAndLinks) {
    track("A.WAV", 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 5000);
    WritePosFile(at("A.POS"), {100, 4000});
    const auto tag = [&](const char* audio, bool force) {
        std::vector<std::string> args{"tag", at("A.POS"), "--audio", at(audio), "--in-place"};
        if (force)
            args.push_back("--force");
        return run(args).status;
    };
    const uid_t owner = ::geteuid() == 0 ? 65534 : ::geteuid();
    ASSERT_EQ(::chown(at("A.WAV").c_str(), owner, ::geteuid() == 0 ? 65534 : ::getegid()), 0);
    ::chmod(at("A.WAV").c_str(), 0444);
    EXPECT_EQ(tag("A.WAV", false), ExitProblem);
    EXPECT_FALSE(audio::ReadInstrumentLoop(at("A.WAV")));
    EXPECT_EQ(tag("A.WAV", true), ExitOk);
    struct stat after {};
    ::stat(at("A.WAV").c_str(), &after);
    EXPECT_EQ(after.st_uid, owner);
    EXPECT_EQ(after.st_mode & 07777, 0444u);
    // Through a link the file it names is tagged; the link stays.
    track("B.WAV", 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 5000);
    fs::create_symlink("B.WAV", at("L.WAV"));
    EXPECT_EQ(tag("L.WAV", false), ExitOk);
    EXPECT_TRUE(fs::is_symlink(at("L.WAV")));
    EXPECT_TRUE(audio::ReadInstrumentLoop(at("B.WAV")));
}

TEST_F(Interchange, TagInPlaceLeavesAFileReplacedWhileItRan) {
    track("A.WAV", 44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 441000);
    track("new.WAV", 44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 441000);
    WritePosFile(at("A.POS"), {100, 400000});
    const Bytes newer = testing_support::readFileBytes(at("new.WAV"));
    const int watch = ::inotify_init1(IN_CLOEXEC);
    ASSERT_GE(::inotify_add_watch(watch, m_dir.c_str(), IN_CREATE), 0);
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(run({"tag", at("A.POS").string(), "--in-place"}).status);
    // The tool's first temporary file: it has read the audio's identity.
    alignas(inotify_event) char event[sizeof(inotify_event) + 256];
    ASSERT_GT(::read(watch, event, sizeof event), 0);
    ::kill(child, SIGSTOP);
    ASSERT_EQ(::rename(at("new.WAV").c_str(), at("A.WAV").c_str()), 0);
    ::kill(child, SIGCONT);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(watch);
    EXPECT_EQ(WEXITSTATUS(status), ExitProblem);
    EXPECT_EQ(testing_support::readFileBytes(at("A.WAV")), newer);
}

// ---- render ------------------------------------------------------------------

TEST_F(Interchange, RenderRefusesItsSourceFifosAndFadesLongerThanTheRender) {
    track("E.WAV", 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 30000);
    WritePosFile(at("E.POS"), {5000, 5001});
    ASSERT_EQ(::mkfifo(at("f.wav").c_str(), 0644), 0);
    const Bytes source = testing_support::readFileBytes(at("E.WAV"));
    struct Row {
        const char* fade;
        const char* out;
        int status;
    };
    const Row rows[] = {{"3", "o.wav", ExitUsage},
                        {"99999999999999999999", "o.wav", ExitUsage},
                        {"1", "E.WAV", ExitProblem},
                        {"1", "f.wav", ExitProblem}};
    for (const Row& row : rows)
        EXPECT_EQ(run({"render", at("E.POS"), "--extend", "2", "--fade", row.fade, "--force", "-o",
                       at(row.out)})
                      .status,
                  row.status)
            << row.out << row.fade;
    EXPECT_EQ(testing_support::readFileBytes(at("E.WAV")), source);
    EXPECT_TRUE(fs::is_fifo(at("f.wav")));
    EXPECT_FALSE(fs::exists(at("o.wav")));
    // A loop of one frame repeats it to the end, before the fade.
    ASSERT_EQ(
        run({"render", at("E.POS"), "--extend", "2", "--fade", "0", "-o", at("o.wav")}).status,
        ExitOk);
    SF_INFO info{};
    const std::vector<int> out = samplesOf(at("o.wav"), info);
    const std::vector<int> in = samplesOf(at("E.WAV"), info);
    EXPECT_EQ(std::count(out.begin() + 5000, out.end(), in[5000]), 88200 - 5000);
}

TEST_F(Interchange, WavesPast4GbBecomeRf64AndAiffIsRefused) {
    track("E.WAV", 44100, 2, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1000);
    // 3:30:00 of float stereo: the 4.4 GB render that wrapped its sizes.
    const std::int64_t large = 210LL * 60 * 44100;
    EXPECT_EQ(audio::RenderFormatFor(at("o.wav"), at("E.WAV"), large),
              SF_FORMAT_RF64 | SF_FORMAT_FLOAT);
    EXPECT_EQ(audio::RenderFormatFor(at("o.wav"), at("E.WAV"), large / 2),
              SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    EXPECT_EQ(audio::RenderFormatFor(at("o.flac"), at("E.WAV"), large),
              SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    EXPECT_THROW(audio::RenderFormatFor(at("o.aiff"), at("E.WAV"), large), audio::AudioError);
    // Every extension the messages and the Save dialog offer is written, in
    // either case, as are the upper-case ones the dialog's patterns name.
    for (const std::string_view ext : WrittenAudioExtensions) {
        std::string upper(ext);
        for (char& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_TRUE(audio::RenderFormatFor(at("o" + std::string(ext)), at("E.WAV"), 1000)) << ext;
        EXPECT_TRUE(audio::RenderFormatFor(at("o" + upper), at("E.WAV"), 1000)) << upper;
    }
    EXPECT_TRUE(audio::FitsIn32BitContainer(536862719, 2, 4));
    EXPECT_FALSE(audio::FitsIn32BitContainer(536862720, 2, 4));
    // A write the disk cannot hold fails and leaves nothing.
    WritePosFile(at("E.POS"), {10, 900});
    const auto small = [] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit room{100000, 100000};
        ::setrlimit(RLIMIT_FSIZE, &room);
    };
    EXPECT_EQ(runInChild({"render", at("E.POS"), "--extend", "60", "-o", at("o.wav")}, small),
              ExitProblem);
    EXPECT_FALSE(fs::exists(at("o.wav")));
}

TEST_F(Interchange, SplitPartsConcatenateToTheSource) {
    struct Row {
        int format;
        std::int32_t start, stop;
    };
    const Row rows[] = {{SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1234, 5678},
                        {SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 7000},
                        {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 6999}};
    for (const Row& row : rows) {
        track("C.WAV", 44100, 2, row.format, 7000);
        WritePosFile(at("C.POS"), {row.start, row.stop});
        const ToolRun r = run({"render", at("C.POS"), "--split", "-o", m_dir.string(), "--force"});
        ASSERT_EQ(r.status, ExitOk) << r.err;
        SF_INFO info{};
        std::vector<int> joined;
        for (const char* part : {"C-intro.WAV", "C-loop.WAV", "C-outro.WAV"}) {
            const std::vector<int> samples = samplesOf(at(part), info);
            EXPECT_EQ(info.format, row.format) << part;
            joined.insert(joined.end(), samples.begin(), samples.end());
        }
        EXPECT_EQ(joined, samplesOf(at("C.WAV"), info)) << row.start;
    }
}

TEST_F(Interchange, ExtendedRendersHaveTheAskedLengthAndRepeatTheLoopExactly) {
    track("E.WAV", 44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 30000);
    const std::int64_t start = 5000;
    const std::int64_t stop = 25000;
    WritePosFile(at("E.POS"), {5000, 25000});
    SF_INFO info{};
    const std::vector<int> source = samplesOf(at("E.WAV"), info);
    struct Row {
        const char* duration;
        const char* ending;
        const char* out;
        std::int64_t frames;
    };
    const Row rows[] = {{"2", "--fade=0", "e.wav", 88200},
                        {"0:03.5", "--outro", "o.wav", 154350},
                        {"1.00001s", "--fade=0.5", "f.flac", 44100},
                        {"2", "--fade=1", "v.ogg", 88200}};
    for (const Row& row : rows) {
        const ToolRun r =
            run({"render", at("E.POS"), "--extend", row.duration, row.ending, "-o", at(row.out)});
        ASSERT_EQ(r.status, ExitOk) << r.err;
        const std::vector<int> out = samplesOf(at(row.out), info);
        EXPECT_EQ(info.frames, row.frames) << row.out;
        if (std::string(row.out) == "e.wav") {
            for (std::int64_t n = 0; n < row.frames; ++n) {
                const std::int64_t from = n < stop ? n : start + (n - start) % (stop - start);
                ASSERT_EQ(out[2 * n], source[2 * from]) << n;
                ASSERT_EQ(out[2 * n + 1], source[2 * from + 1]) << n;
            }
        }
        if (std::string(row.out) == "o.wav") {
            // 7 passes fit; the outro follows, then silence.
            const std::int64_t outroAt = start + 7 * (stop - start);
            for (std::int64_t n = 0; n < 5000; ++n)
                ASSERT_EQ(out[2 * (outroAt + n)], source[2 * (stop + n)]) << n;
            EXPECT_EQ(out[2 * (outroAt + 5000)], 0);
            EXPECT_EQ(out.back(), 0);
        }
    }
    const ToolRun tooShort = run({"render", at("E.POS"), "--extend", "0.1", "-o", at("s.wav")});
    EXPECT_EQ(tooShort.status, ExitProblem);
    EXPECT_FALSE(fs::exists(at("s.wav")));
}

} // namespace

// ---- hostile sources ---------------------------------------------------------

TEST_F(Interchange, ImportReadsOnlyRegularBoundedSourcesAndWritesOnlyPosFiles) {
    for (const auto& [name, bytes] : std::map<std::string, std::string>{
             {"L.txt", "1.0\t2.0\tloop\n"},
             {"T.txtp", "T.wav #I 0 " + std::string(50000, '7')},
             {"rev.txt", "5.0\t2.0\tloop\n"},
             {"neg.txt", "-1.0\t2.0\tloop\n"},
             {"clock.txtp", "a.wav #I 0:99 1:00\n"},
             {"long.txt", "x" + std::string(1, '\0') + std::string(1000000, 'y')}})
        testing_support::writeFileBytes(at(name), Bytes(bytes.begin(), bytes.end()));
    ASSERT_EQ(::mkfifo(at("fifo.txt").c_str(), 0600), 0);
    fs::create_symlink(at("fifo.txt"), at("fifo.ogg"));
    fs::create_symlink("/dev/zero", at("zero.txt"));
    fs::create_symlink("/dev/zero", at("zero.flac"));
    WritePosFile(at("S.POS"), {1, 2});
    fs::create_symlink(at("S.POS"), at("S.txt"));
    wavWithSmpl("W1.WAV", 44100, 60000, 20000);
    wavWithSmpl("W2.WAV", 44100, 100, 0xFFFFFFFFu);
    wavWithSmpl("W3.WAV", 44100, 100, 49999);
    std::vector<std::pair<fs::path, Bytes>> sources;
    for (const auto& entry : fs::directory_iterator(m_dir))
        if (entry.is_regular_file() && !entry.is_symlink())
            sources.emplace_back(entry.path(), testing_support::readFileBytes(entry.path()));
    const std::tuple<std::vector<std::string>, int, const char*> rows[] = {
        {{"T.POS", "--from", "txtp", "T.txtp"}, ExitProblem, "is too long"},
        {{"L.txt", "--from", "labels"}, ExitUsage, "needs at least one POS file"},
        {{"T.txtp", "--from", "txtp"}, ExitUsage, "needs at least one POS file"},
        {{"A.POS", "B.POS", "--from", "labels", "L.txt"}, ExitOk, "B.POS: wrote: start 44100"},
        {{"x.bin", "--from", "labels", "L.txt"}, ExitUsage, "import writes only those"},
        {{"R.POS", "--from", "labels", "rev.txt"}, ExitProblem, "is not after its start"},
        {{"N.POS", "--from", "labels", "neg.txt"}, ExitOk, "N.POS: start -44100 is negative"},
        {{"C.POS", "--from", "txtp", "clock.txtp"}, ExitProblem, "must be below 60"},
        {{"M.POS", "--from", "labels", "long.txt"}, ExitProblem, "\"x\\\\x00yyyy"},
        {{"F.POS", "--from", "labels", "fifo.txt"}, ExitProblem, "it is a FIFO, not a regular"},
        {{"F.POS", "--from", "tags", "fifo.ogg"}, ExitProblem, "it is a FIFO, not a regular"},
        {{"Z.POS", "--from", "labels", "zero.txt"}, ExitProblem, "it is a device, not a regular"},
        {{"Z.POS", "--from", "tags", "zero.flac"}, ExitProblem, "it is a device, not a regular"},
        {{"S.POS", "--from", "labels"}, ExitProblem, "is the file the loop is read from"},
        {{"W1.POS"}, ExitProblem, "60000..20001, whose stop is not after its start"},
        {{"W2.POS"}, ExitProblem, "100..0, whose stop is not after its start"},
        {{"W3.POS"}, ExitOk, "stop 50000 lies beyond the end of the audio (44100 samples)"},
    };
    for (const auto& [given, status, said] : rows) {
        std::vector<std::string> args{"import"};
        for (const std::string& arg : given)
            args.push_back(arg.find('.') == std::string::npos ? arg : at(arg).string());
        const ToolRun r = run(args);
        EXPECT_EQ(r.status, status) << r.err;
        EXPECT_NE((r.out + r.err).find(said), std::string::npos) << r.out << r.err;
        EXPECT_LT(r.err.size(), 600u) << given[0]; // a long line is cut short
    }
    for (const auto& [path, bytes] : sources)
        EXPECT_EQ(testing_support::readFileBytes(path), bytes) << path;
    EXPECT_FALSE(fs::exists(at("R.POS")) || fs::exists(at("x.bin")) || fs::exists(at("W1.POS")));
}
