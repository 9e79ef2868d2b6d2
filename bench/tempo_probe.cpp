// SPDX-License-Identifier: GPL-3.0-or-later
// The tempo the musical search finds in each sound file named, for a table of
// tempi before and after a change to the beat tracker: the step-2 tempo, the
// tempo of a straight line through the beats found (the chain's own), and
// the beats found.
#include "audio/musical/musical_loops.h"

#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    using namespace kestrin::audio;
    std::printf("%-44s %8s %9s %9s %6s\n", "file", "audio s", "tempo", "chain", "beats");
    for (int i = 1; i < argc; ++i) {
        try {
            const std::optional<AudioSamples> audio = ReadAudioSamples(argv[i]);
            if (!audio)
                continue;
            MusicalSearchOptions options;
            options.maxCandidates = 0; // the tempo only, no loop refined
            const MusicalSearch found = FindMusicalLoops(*audio, options);
            const std::vector<std::int64_t> beats = FindBeats(*audio);
            // Least squares of beat position against beat number: the slope
            // is the chain's period in frames.
            double chainBpm = 0;
            const auto n = static_cast<double>(beats.size());
            if (beats.size() > 2) {
                double sx = 0, sy = 0, sxx = 0, sxy = 0;
                for (std::size_t k = 0; k < beats.size(); ++k) {
                    const auto x = static_cast<double>(k);
                    const auto y = static_cast<double>(beats[k]);
                    sx += x;
                    sy += y;
                    sxx += x * x;
                    sxy += x * y;
                }
                const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
                chainBpm = 60.0 * audio->sampleRate / slope;
            }
            const char* name = argv[i];
            for (const char* c = argv[i]; *c; ++c)
                if (*c == '/')
                    name = c + 1;
            std::printf("%-44.44s %8.1f %9.3f %9.3f %6zu\n", name,
                        static_cast<double>(audio->frames()) / audio->sampleRate,
                        found.beatsPerMinute, chainBpm, beats.size());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", argv[i], e.what());
        }
    }
    return 0;
}
