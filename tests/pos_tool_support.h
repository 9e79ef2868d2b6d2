// SPDX-License-Identifier: GPL-3.0-or-later
// What the kestrin-pos tests share: a fixture that runs the tool in-process
// or in a child on files in a scratch folder, and generated test audio.
#pragma once

#include "cli/pos_tool.h"
#include "core/pos_file.h"
#include "tests/file_bytes.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrin::testing_support {

namespace fs = std::filesystem;
using cli::RunPosTool;

// What one run of the tool returned and printed.
struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

// Runs kestrin-pos on real files in a scratch folder of its own.
class PosToolTest : public testing::Test {
protected:
    std::string at(const std::string& name) const { return (m_dir / name).string(); }

    static ToolRun run(std::vector<std::string> args) {
        std::ostringstream out;
        std::ostringstream err;
        const int status = RunPosTool(args, out, err);
        return {status, out.str(), err.str()};
    }
    // Runs the tool in a child process, after `setup` there (dropping root,
    // limiting file sizes), and returns what it printed.
    static ToolRun runInChild(std::vector<std::string> args,
                              const std::function<void()>& setup = {}) {
        int pipeEnds[2];
        if (::pipe(pipeEnds) != 0)
            return {-1, "", "no pipe"};
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(pipeEnds[0]);
            if (setup)
                setup();
            std::ostringstream out;
            std::ostringstream err;
            const int status = RunPosTool(args, out, err);
            const std::string blob =
                std::to_string(out.str().size()) + '\n' + out.str() + err.str();
            for (std::size_t done = 0; done < blob.size();) {
                const ssize_t n = ::write(pipeEnds[1], blob.data() + done, blob.size() - done);
                if (n <= 0)
                    ::_exit(97);
                done += static_cast<std::size_t>(n);
            }
            ::_exit(status);
        }
        ::close(pipeEnds[1]);
        std::string blob;
        char buffer[4096];
        for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
            blob.append(buffer, static_cast<std::size_t>(n));
        ::close(pipeEnds[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        const std::size_t newline = blob.find('\n');
        if (newline == std::string::npos)
            return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, "", "the child printed nothing"};
        const std::size_t outSize = std::stoul(blob.substr(0, newline));
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, blob.substr(newline + 1, outSize),
                blob.substr(newline + 1 + outSize)};
    }
    // Root ignores file permissions: the child becomes nobody.
    static void dropPrivileges() {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(99);
    }
    // Every write past offset 0 fails with EFBIG.
    static void forbidWrites() {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit none{0, 0};
        ::setrlimit(RLIMIT_FSIZE, &none);
    }
    std::vector<std::string> filesIn(const fs::path& folder) const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    static void put(const std::string& path, const Bytes& bytes) {
        testing_support::writeFileBytes(path, bytes);
    }
    static Bytes get(const std::string& path) { return testing_support::readFileBytes(path); }
    void pos(const std::string& name, std::int32_t start, std::int32_t stop) {
        WritePosFile(at(name), {start, stop});
    }
    // A WAVE file, or of the container `subtype` names, whose sample n of
    // channel c is `value(n, c)`.
    void wav(const std::string& name, int rate, int channels, int subtype, int frames,
             const std::function<double(int, int)>& value = {}) {
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        // A whole format (Ogg, MPEG) as it is, an encoding alone in WAVE.
        info.format = (subtype & SF_FORMAT_TYPEMASK ? 0 : SF_FORMAT_WAV) | subtype;
        SNDFILE* f = sf_open(at(name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
        std::vector<double> data(static_cast<std::size_t>(frames * channels));
        for (int n = 0; n < frames; ++n)
            for (int c = 0; c < channels; ++c)
                data[static_cast<std::size_t>(n * channels + c)] = value ? value(n, c) : 0.0;
        ASSERT_EQ(sf_writef_double(f, data.data(), frames), frames);
        sf_close(f);
    }
    static std::vector<int> readInts(const std::string& path, SF_INFO& info) {
        info = {};
        SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
        EXPECT_NE(f, nullptr) << path;
        std::vector<int> data(static_cast<std::size_t>(info.frames * info.channels));
        sf_readf_int(f, data.data(), info.frames);
        sf_close(f);
        return data;
    }

    testing_support::ScratchFolder m_scratch{"kestrin-postool"};
    const fs::path& m_dir = m_scratch.path();
};

// A whole 16-bit value as wav() takes it: libsndfile writes doubles times 32,767.
inline double pcm(int value) {
    return value / 32767.0;
}

// Noise in whole 16-bit values, different in each channel.
inline double noise(int n, int channel) {
    std::uint32_t x = static_cast<std::uint32_t>(n) * 2654435761u + channel * 40503u;
    x ^= x >> 13;
    x *= 0x5bd1e995u;
    x ^= x >> 15;
    return pcm(static_cast<int>(x % 13001) - 6500);
}

// The same noise repeating every kPeriod frames.
inline constexpr int kPeriod = 3000;
inline double periodicNoise(int n, int channel) {
    return noise(n % kPeriod, channel);
}

inline constexpr double kTau = 2 * std::numbers::pi;

} // namespace kestrin::testing_support
