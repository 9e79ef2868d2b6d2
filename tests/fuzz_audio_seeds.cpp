// SPDX-License-Identifier: GPL-3.0-or-later
// Writes the seed files of the audio fuzz target into the folder given: a
// few thousand frames, an intro then a repeated phrase, in each container and
// encoding this libsndfile can write, and some of them cut short.
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Seed {
    const char* name;
    int format;
    int rate;
    int channels;
};

constexpr Seed kSeeds[] = {
    {"pcm16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 2},
    {"pcm24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 8000, 1},
    {"float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 8000, 2},
    {"double.wav", SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 8000, 1},
    {"ulaw.wav", SF_FORMAT_WAV | SF_FORMAT_ULAW, 8000, 1},
    {"ima.wav", SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, 8000, 2},
    {"ms.wav", SF_FORMAT_WAV | SF_FORMAT_MS_ADPCM, 8000, 2},
    {"gsm.wav", SF_FORMAT_WAV | SF_FORMAT_GSM610, 8000, 1},
    {"pcm16.rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_16, 8000, 2},
    {"pcm16.w64", SF_FORMAT_W64 | SF_FORMAT_PCM_16, 8000, 1},
    {"ima.w64", SF_FORMAT_W64 | SF_FORMAT_IMA_ADPCM, 8000, 1},
    {"pcm16.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 8000, 2},
    {"float.aiff", SF_FORMAT_AIFF | SF_FORMAT_FLOAT, 8000, 1},
    {"pcm16.au", SF_FORMAT_AU | SF_FORMAT_PCM_16, 8000, 1},
    {"g721.au", SF_FORMAT_AU | SF_FORMAT_G721_32, 8000, 1},
    {"alac.caf", SF_FORMAT_CAF | SF_FORMAT_ALAC_16, 8000, 2},
    {"pcm24.caf", SF_FORMAT_CAF | SF_FORMAT_PCM_24, 8000, 1},
    {"pcm16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 8000, 2},
    {"pcm24.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 8000, 1},
    {"vorbis.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 8000, 1},
    {"opus.ogg", SF_FORMAT_OGG | SF_FORMAT_OPUS, 8000, 1},
    {"layer3.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 8000, 1},
    {"pcm16.wavex", SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, 8000, 2},
    {"pcm16.paf", SF_FORMAT_PAF | SF_FORMAT_PCM_16, 8000, 1},
    {"pcm16.svx", SF_FORMAT_SVX | SF_FORMAT_PCM_16, 8000, 1},
    {"pcm16.nist", SF_FORMAT_NIST | SF_FORMAT_PCM_16, 8000, 1},
    {"pcm16.voc", SF_FORMAT_VOC | SF_FORMAT_PCM_16, 8000, 1},
    {"float.ircam", SF_FORMAT_IRCAM | SF_FORMAT_FLOAT, 8000, 1},
    {"double.mat5", SF_FORMAT_MAT5 | SF_FORMAT_DOUBLE, 8000, 1},
    {"pcm16.mat4", SF_FORMAT_MAT4 | SF_FORMAT_PCM_16, 8000, 1},
    {"pcm16.pvf", SF_FORMAT_PVF | SF_FORMAT_PCM_16, 8000, 1},
    {"dpcm.xi", SF_FORMAT_XI | SF_FORMAT_DPCM_16, 8000, 1},
    {"pcm16.htk", SF_FORMAT_HTK | SF_FORMAT_PCM_16, 8000, 1},
    {"pcm16.sds", SF_FORMAT_SDS | SF_FORMAT_PCM_16, 8000, 1},
    {"pcm16.avr", SF_FORMAT_AVR | SF_FORMAT_PCM_16, 8000, 1},
    {"alaw.wve", SF_FORMAT_WVE | SF_FORMAT_ALAW, 8000, 1},
    {"pcm16.mpc2k", SF_FORMAT_MPC2K | SF_FORMAT_PCM_16, 44100, 1},
    {"nms.wav", SF_FORMAT_WAV | SF_FORMAT_NMS_ADPCM_32, 8000, 1},
};

constexpr int kFrames = 14000;

// A short noisy intro, then a phrase of 4400 frames played again and again,
// so that the search has a repeat to follow.
float sample(int n, int c) {
    if (n < 600)
        return 0.3f * static_cast<float>(((n * 7919 + c * 104729) % 2001) - 1000) / 1000.0f;
    const float t = static_cast<float>((n - 600) % 4400) * 6.2831853f / 4400.0f;
    return 0.3f * std::sin(37.0f * t) + 0.2f * std::sin(91.0f * t + static_cast<float>(c));
}

bool write(const fs::path& path, const Seed& seed) {
    SF_INFO info{};
    info.samplerate = seed.rate;
    info.channels = seed.channels;
    info.format = seed.format;
    if (!sf_format_check(&info))
        return false;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file)
        return false;
    std::vector<float> frames(static_cast<std::size_t>(kFrames * seed.channels));
    for (int n = 0; n < kFrames; ++n)
        for (int c = 0; c < seed.channels; ++c)
            frames[static_cast<std::size_t>(n * seed.channels + c)] = sample(n, c);
    const bool ok = sf_writef_float(file, frames.data(), kFrames) == kFrames;
    return sf_close(file) == 0 && ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_audio_seeds FOLDER\n");
        return 2;
    }
    const fs::path folder = argv[1];
    int written = 0;
    for (const Seed& seed : kSeeds) {
        const fs::path path = folder / seed.name;
        if (!write(path, seed)) {
            std::error_code ec;
            fs::remove(path, ec);
            std::printf("fuzz seeds: this libsndfile cannot write %s; left out\n", seed.name);
            continue;
        }
        ++written;
        // Cut short inside the audio, and inside the header.
        const auto size = fs::file_size(path);
        for (const auto kept : {size * 2 / 3, std::uintmax_t{60}}) {
            if (kept >= size)
                continue;
            const fs::path cut = folder / ("cut" + std::to_string(kept) + "-" + seed.name);
            fs::copy_file(path, cut, fs::copy_options::overwrite_existing);
            fs::resize_file(cut, kept);
        }
    }
    return written > 0 ? 0 : 1;
}
