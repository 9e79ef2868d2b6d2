// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/pos_file.h"
#include "tests/file_bytes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kestrin;
namespace fs = std::filesystem;

namespace {

using testing_support::Bytes;

class PosFileTest : public testing::Test {
protected:
    fs::path file(const char* name) const { return m_dir / name; }
    static void put(const fs::path& path, const Bytes& bytes) {
        testing_support::writeFileBytes(path, bytes);
    }
    static Bytes get(const fs::path& path) { return testing_support::readFileBytes(path); }

    testing_support::ScratchFolder m_scratch{"kestrin-posfile"};
    const fs::path& m_dir = m_scratch.path();
};

struct ReadRow {
    const char* name;
    Bytes bytes;
    PosValues expected;
};

void PrintTo(const ReadRow& row, std::ostream* os) {
    *os << row.name;
}

class ReadPosFileRows : public PosFileTest, public testing::WithParamInterface<ReadRow> {};

TEST_P(ReadPosFileRows, DecodesLittleEndianStartThenStop) {
    const auto path = file("in.POS");
    put(path, GetParam().bytes);
    EXPECT_EQ(ReadPosFile(path), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    ReadPosFile, ReadPosFileRows,
    testing::Values(
        ReadRow{
            "reference_bytes", {0x44, 0xAC, 0x00, 0x00, 0x88, 0x58, 0x01, 0x00}, {44100, 88200}},
        ReadRow{"negative_one", {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x80}, {-1, INT32_MIN}},
        ReadRow{"longer_file_reads_first_eight",
                {0x01, 0, 0, 0, 0x02, 0, 0, 0, 0xDE, 0xAD, 0xBE, 0xEF},
                {1, 2}},
        ReadRow{"ShortFileReadsMissingBytesAsZero_empty", {}, {0, 0}},
        ReadRow{"ShortFileReadsMissingBytesAsZero_four", {0x44, 0xAC, 0x00, 0x00}, {44100, 0}},
        ReadRow{"ShortFileReadsMissingBytesAsZero_six",
                {0x44, 0xAC, 0x00, 0x00, 0x34, 0x12},
                {44100, 0x1234}},
        ReadRow{"ShortFileReadsMissingBytesAsZero_three", {0xFF, 0xFF, 0xFF}, {0x00FFFFFF, 0}}),
    [](const testing::TestParamInfo<ReadRow>& info) { return std::string(info.param.name); });

struct WriteRow {
    const char* name;
    PosValues values;
    Bytes expected;
};

void PrintTo(const WriteRow& row, std::ostream* os) {
    *os << row.name;
}

class WritePosFileRows : public PosFileTest, public testing::WithParamInterface<WriteRow> {};

TEST_P(WritePosFileRows, CreatesEightByteFile) {
    const auto path = file("new.POS");
    WritePosFile(path, GetParam().values);
    EXPECT_EQ(get(path), GetParam().expected);
    EXPECT_EQ(ReadPosFile(path), GetParam().values);
}

INSTANTIATE_TEST_SUITE_P(
    WritePosFile, WritePosFileRows,
    testing::Values(
        WriteRow{
            "reference_bytes", {0, 26460000}, {0x00, 0x00, 0x00, 0x00, 0x60, 0xBF, 0x93, 0x01}},
        WriteRow{"negative_start", {-1, 5}, {0xFF, 0xFF, 0xFF, 0xFF, 0x05, 0x00, 0x00, 0x00}},
        WriteRow{"extremes", {INT32_MIN, INT32_MAX}, {0, 0, 0, 0x80, 0xFF, 0xFF, 0xFF, 0x7F}},
        WriteRow{"stop_below_start", {88200, 44100}, {0x88, 0x58, 0x01, 0x00, 0x44, 0xAC, 0, 0}}),
    [](const testing::TestParamInfo<WriteRow>& info) { return std::string(info.param.name); });

TEST_F(PosFileTest, WriteKeepsTailOfLongerFile) {
    const auto path = file("long.POS");
    put(path, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    WritePosFile(path, {44100, 88200});
    EXPECT_EQ(get(path), (Bytes{0x44, 0xAC, 0, 0, 0x88, 0x58, 0x01, 0, 9, 10, 11, 12}));
}

TEST_F(PosFileTest, WriteExtendsShortFileToEightBytes) {
    const auto path = file("short.POS");
    put(path, {9, 9, 9});
    WritePosFile(path, {1, 2});
    EXPECT_EQ(get(path), (Bytes{1, 0, 0, 0, 2, 0, 0, 0}));
}

struct ContainerRow {
    const char* name;
    Bytes head; // padded to 44 bytes, as a real header would be
    const char* format;
};

void PrintTo(const ContainerRow& row, std::ostream* os) {
    *os << row.name;
}

class ContainerFiles : public PosFileTest, public testing::WithParamInterface<ContainerRow> {};

TEST_P(ContainerFiles, AreNeverReadOrWrittenAsPositions) {
    const auto path = file("VICTIM.WAV");
    Bytes bytes = GetParam().head;
    bytes.resize(44, 0x11);
    put(path, bytes);
    for (const auto& attempt : std::vector<std::function<void()>>{
             [&] { (void)ReadPosFile(path); },
             [&] {
                 WritePosFile(path, {88200, 882000});
             },
             [&] { (void)UpdatePosFile(path, std::nullopt, 5); },
         }) {
        try {
            attempt();
            ADD_FAILURE() << "accepted " << GetParam().format;
        } catch (const NotAPosFileError& e) {
            EXPECT_EQ(e.format(), GetParam().format);
            EXPECT_EQ(e.posFile(), file("VICTIM.POS"));
            EXPECT_NE(std::string(e.what()).find("not a POS file"), std::string::npos);
        }
    }
    EXPECT_EQ(get(path), bytes);
}

INSTANTIATE_TEST_SUITE_P(
    PosFile, ContainerFiles,
    testing::Values(
        ContainerRow{"wave", {'R', 'I', 'F', 'F', 36, 0, 0, 0, 'W', 'A', 'V', 'E'}, "WAVE"},
        ContainerRow{"rf64", {'R', 'F', '6', '4'}, "RF64 WAVE"},
        ContainerRow{"aiff", {'F', 'O', 'R', 'M', 0, 0, 0, 36, 'A', 'I', 'F', 'C'}, "AIFF"},
        ContainerRow{"flac", {'f', 'L', 'a', 'C'}, "FLAC"},
        ContainerRow{"ogg", {'O', 'g', 'g', 'S'}, "Ogg"},
        ContainerRow{"mp3_id3", {'I', 'D', '3', 4}, "MP3"},
        ContainerRow{"mp4", {0, 0, 0, 0x20, 'f', 't', 'y', 'p'}, "MP4"}),
    [](const testing::TestParamInfo<ContainerRow>& info) { return std::string(info.param.name); });

TEST_F(PosFileTest, EightByteFileIsAPosFileWhateverItsBytes) {
    // "RIFF" as a start position is 7.4 hours: unusual, but a saved file must
    // stay editable.
    const auto path = file("odd.POS");
    put(path, {'R', 'I', 'F', 'F', 1, 0, 0, 0});
    EXPECT_EQ(ReadPosFile(path), (PosValues{0x46464952, 1}));
    WritePosFile(path, {1, 2});
    EXPECT_EQ(get(path), (Bytes{1, 0, 0, 0, 2, 0, 0, 0}));
}

struct UpdateRow {
    const char* name;
    std::optional<std::int32_t> start;
    std::optional<std::int32_t> stop;
    Bytes expected;
};

void PrintTo(const UpdateRow& row, std::ostream* os) {
    *os << row.name;
}

class UpdateFields : public PosFileTest, public testing::WithParamInterface<UpdateRow> {};

TEST_P(UpdateFields, WriteOnlyTheFieldsAsked) {
    const auto path = file("in.POS");
    put(path, {1, 0, 0, 0, 2, 0, 0, 0, 0xEE});
    const PosUpdate update = UpdatePosFile(path, GetParam().start, GetParam().stop);
    EXPECT_EQ(update.before, (PosValues{1, 2}));
    EXPECT_FALSE(update.created);
    EXPECT_EQ(get(path), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    PosFile, UpdateFields,
    testing::Values(
        UpdateRow{"start_only", -1, std::nullopt, {0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 0xEE}},
        UpdateRow{"stop_only", std::nullopt, 256, {1, 0, 0, 0, 0, 1, 0, 0, 0xEE}},
        UpdateRow{"both", 3, 4, {3, 0, 0, 0, 4, 0, 0, 0, 0xEE}}),
    [](const testing::TestParamInfo<UpdateRow>& info) { return std::string(info.param.name); });

TEST_F(PosFileTest, UpdateCreatesAFileOnlyWithAStop) {
    const auto path = file("new.POS");
    EXPECT_THROW((void)UpdatePosFile(path, 5, std::nullopt), PosFileError);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(UpdatePosFile(path, std::nullopt, 6).created);
    EXPECT_EQ(get(path), (Bytes{0, 0, 0, 0, 6, 0, 0, 0}));
}

TEST_F(PosFileTest, RacingUpdatesOfDifferentFieldsBothLand) {
    const auto path = file("race.POS");
    put(path, {0, 0, 0, 0, 0, 0, 0, 0});
    constexpr int kRounds = 100;
    pid_t children[2];
    for (int which = 0; which < 2; ++which) {
        children[which] = ::fork();
        if (children[which] == 0) {
            for (int i = 1; i <= kRounds; ++i) {
                if (which == 0)
                    (void)UpdatePosFile(path, i, std::nullopt);
                else
                    (void)UpdatePosFile(path, std::nullopt, -i);
            }
            ::_exit(0);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(ReadPosFile(path), (PosValues{kRounds, -kRounds}));
}

TEST(PosFileBeside, TakesTheCaseOfTheExtension) {
    for (auto [in, out] :
         {std::pair{"/m/VICTIM.WAV", "/m/VICTIM.POS"}, std::pair{"/m/victim.WAV", "/m/victim.POS"},
          std::pair{"/m/bgm.wav", "/m/bgm.pos"}, std::pair{"/m/bgm.Wav", "/m/bgm.pos"},
          std::pair{"/m/bgm", "/m/bgm.pos"}})
        EXPECT_EQ(PosFileBeside(in), fs::path(out)) << in;
}

struct FailureRow {
    const char* name;
    const char* path; // relative to the test folder; "/" starts an absolute one
    bool write;
    int expectedErrno;
    const char* messageStart;
};

void PrintTo(const FailureRow& row, std::ostream* os) {
    *os << row.name;
}

class PosFileFailures : public PosFileTest, public testing::WithParamInterface<FailureRow> {};

TEST_P(PosFileFailures, CarryPathAndReason) {
    const auto& row = GetParam();
    fs::create_directories(m_dir / "folder.POS");
    const fs::path path = row.path[0] == '/' ? fs::path(row.path) : m_dir / row.path;
    try {
        if (row.write)
            WritePosFile(path, {1, 2});
        else
            (void)ReadPosFile(path);
        FAIL() << "no error for " << path;
    } catch (const PosFileError& e) {
        EXPECT_EQ(e.code().value(), row.expectedErrno) << e.what();
        EXPECT_EQ(e.path(), path);
        const std::string what = e.what();
        EXPECT_EQ(what.rfind(row.messageStart, 0), 0u) << what;
        EXPECT_NE(what.find(path.string()), std::string::npos) << what;
        EXPECT_NE(what.find(std::error_code(row.expectedErrno, std::generic_category()).message()),
                  std::string::npos)
            << what;
    }
}

INSTANTIATE_TEST_SUITE_P(
    PosFile, PosFileFailures,
    testing::Values(FailureRow{"read_missing", "missing.POS", false, ENOENT, "cannot open file "},
                    FailureRow{"read_directory", "folder.POS", false, EISDIR, "cannot read file "},
                    FailureRow{"write_directory", "folder.POS", true, EISDIR, "cannot open file "},
                    FailureRow{"write_missing_folder", "nowhere/x.POS", true, ENOENT,
                               "cannot open file "}),
    [](const testing::TestParamInfo<FailureRow>& info) { return std::string(info.param.name); });

TEST_F(PosFileTest, PositionsGoOnlyIntoRegularFilesThroughAnyLink) {
    put(file("real"), {});
    for (const char* target : {"/dev/null", "/dev/full", "real"}) {
        fs::remove(file("dev.POS"));
        fs::create_symlink(target, file("dev.POS"));
        if (target[0] == '/')
            EXPECT_THROW(WritePosFile(file("dev.POS"), {5, 10}), NotARegularFileError) << target;
        else
            WritePosFile(file("dev.POS"), {5, 10});
    }
    EXPECT_EQ(ReadPosFile(file("real")), (PosValues{5, 10}));
}

TEST_F(PosFileTest, FifoNeverBlocks) {
    const auto path = file("pipe.POS");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    // No writer to wait for: refused at once, the reason named.
    EXPECT_THROW((void)ReadPosFile(path), PosFileError);
    // Positions go into regular files only.
    EXPECT_THROW(WritePosFile(path, {1, 2}), NotARegularFileError);
}

// Runs `body` with the permissions of an unprivileged user: in a child
// process that drops root first, since root ignores file permissions. The
// child's exit status is body's result.
int asUnprivilegedUser(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(99);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

TEST_F(PosFileTest, PermissionDeniedLeavesFileUntouched) {
    const auto path = file("locked.POS");
    put(path, {1, 2, 3, 4, 5, 6, 7, 8});
    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const int writeResult = asUnprivilegedUser([&] {
        try {
            WritePosFile(path, {9, 9});
            return 1;
        } catch (const PosFileError& e) {
            return e.code().value() == EACCES ? 0 : 2;
        }
    });
    ASSERT_NE(writeResult, 99) << "could not drop privileges";
    EXPECT_EQ(writeResult, 0);
    EXPECT_EQ(get(path), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));

    fs::permissions(path, fs::perms::none);
    const int readResult = asUnprivilegedUser([&] {
        try {
            (void)ReadPosFile(path);
            return 1;
        } catch (const PosFileError& e) {
            return e.code().value() == EACCES ? 0 : 2;
        }
    });
    EXPECT_EQ(readResult, 0);
}

} // namespace
