// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/loop_formats.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <regex>
#include <sstream>

namespace kestrin {

namespace {

constexpr std::int64_t kRate = 44100;
// std::regex matches by recursion, one level per character: every text is
// cut to this length before it reaches a pattern. No time value needs more.
constexpr std::size_t kLongestValue = 40;

std::string_view trimmed(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

// A finite number of seconds in plain decimal notation, as labels carry it.
std::optional<double> secondsValue(std::string_view text) {
    static const std::regex kDecimal(R"(-?([0-9]+\.?[0-9]*|\.[0-9]+))");
    const std::string s(trimmed(text));
    // A comma is a decimal separator in some locales' label files.
    std::string dotted = s;
    for (char& c : dotted)
        if (c == ',')
            c = '.';
    if (dotted.size() > kLongestValue || !std::regex_match(dotted, kDecimal))
        return std::nullopt;
    return std::strtod(dotted.c_str(), nullptr);
}

std::int32_t samplesOfSeconds(double seconds, std::string_view text, int rate) {
    const double samples = std::round(seconds * rate);
    if (!(samples >= std::numeric_limits<std::int32_t>::min() &&
          samples <= std::numeric_limits<std::int32_t>::max()))
        throw LoopTextError(QuotedExcerpt(text) + " seconds lie outside what a POS file can hold");
    return static_cast<std::int32_t>(samples);
}

// One vgmstream time value: samples (decimal or 0x hex), or seconds as S.n or M:S(.n).
struct TxtpTime {
    std::int64_t value = 0;
    bool inSamples = true;
};

TxtpTime txtpTime(const std::string& s, int rate) {
    static const std::regex kSamples(R"([0-9]+)");
    static const std::regex kHex(R"(0[xX][0-9a-fA-F]+)");
    static const std::regex kSeconds(R"([0-9]+\.[0-9]*)");
    static const std::regex kClock(R"(([0-9]+):([0-9]+(\.[0-9]*)?))");
    std::smatch m;
    if (s.size() > kLongestValue)
        throw LoopTextError("playlist time " + QuotedExcerpt(s) + " is too long");
    const auto integer = [&](std::string_view digits, int base) {
        std::int64_t v = 0;
        const auto [end, ec] =
            std::from_chars(digits.data(), digits.data() + digits.size(), v, base);
        if (ec != std::errc() || end != digits.data() + digits.size())
            throw LoopTextError("playlist time " + QuotedExcerpt(s) + " is too large");
        return v;
    };
    if (std::regex_match(s, kSamples))
        return {integer(s, 10), true};
    if (std::regex_match(s, kHex))
        return {integer(std::string_view(s).substr(2), 16), true};
    double seconds = 0;
    if (std::regex_match(s, kSeconds))
        seconds = std::strtod(s.c_str(), nullptr);
    else if (std::regex_match(s, m, kClock)) {
        const double inMinute = std::strtod(m[2].str().c_str(), nullptr);
        if (inMinute >= 60)
            throw LoopTextError("playlist time " + QuotedExcerpt(s) +
                                ": the seconds after ':' must be below 60");
        seconds = std::strtod(m[1].str().c_str(), nullptr) * 60.0 + inMinute;
    } else
        throw LoopTextError("playlist time " + QuotedExcerpt(s) +
                            " is not samples (1000, 0x3E8), seconds (1.5) or minutes:seconds "
                            "(1:30)");
    return {samplesOfSeconds(seconds, s, rate), false};
}

} // namespace

std::string LabelSeconds(std::int32_t samples, int rate) {
    // Integer arithmetic: the digits never depend on the locale or on rounding
    // of binary fractions.
    const std::int64_t scaled = static_cast<std::int64_t>(samples) * 1000000;
    const std::int64_t magnitude = std::llabs(scaled);
    const std::int64_t micro = (magnitude + rate / 2) / rate;
    char text[32];
    std::snprintf(text, sizeof text, "%s%lld.%06lld", samples < 0 && micro != 0 ? "-" : "",
                  static_cast<long long>(micro / 1000000), static_cast<long long>(micro % 1000000));
    return text;
}

std::string TxtpText(const std::string& audio, const PosValues& loop) {
    return audio + " #I " + std::to_string(loop.start) + " " + std::to_string(loop.stop) + "\n";
}

std::string LabelText(const PosValues& loop, int rate) {
    return LabelSeconds(loop.start, rate) + "\t" + LabelSeconds(loop.stop, rate) + "\tloop\n";
}

std::string QuotedExcerpt(std::string_view text) {
    constexpr std::size_t kShown = 80; // a line's worth, as a terminal shows it
    std::string out = "\"";
    for (const char c : text.substr(0, kShown)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    return out + (text.size() > kShown ? "...\"" : "\"");
}

TxtpLoop ParseTxtp(std::string_view text, int rate) {
    std::istringstream lines{std::string(text)};
    for (std::string line; std::getline(lines, line);) {
        const std::string_view entry = trimmed(line);
        // A line starting with '#' is a comment; commands follow a file name.
        if (entry.empty() || entry.front() == '#')
            continue;
        const auto command = entry.find("#I");
        if (command == std::string_view::npos)
            continue;
        TxtpLoop loop;
        loop.audio = std::string(trimmed(entry.substr(0, entry.find('#'))));
        std::istringstream words{std::string(entry.substr(command + 2))};
        std::string first;
        std::string second;
        words >> first >> second;
        // The next command or a comment ends the values.
        if (first.empty() || first.front() == '#')
            throw LoopTextError("\"#I\" without a loop start");
        const TxtpTime start = txtpTime(first, rate);
        loop.start = start.value;
        loop.inSamples = start.inSamples;
        if (!second.empty() && second.front() != '#' && second != "~") {
            const TxtpTime stop = txtpTime(second, rate);
            if (stop.inSamples != start.inSamples)
                throw LoopTextError(QuotedExcerpt("#I " + first + " " + second) +
                                    " mixes samples and seconds, whose rates may differ");
            loop.stop = stop.value;
        }
        return loop;
    }
    throw LoopTextError("no loop (\"FILE #I START END\") in the playlist");
}

PosValues ParseLabels(std::string_view text, int rate) {
    std::istringstream lines{std::string(text)};
    for (std::string line; std::getline(lines, line);) {
        if (trimmed(line).empty())
            continue;
        const auto tab = line.find('\t');
        const auto start = secondsValue(line.substr(0, tab));
        if (tab == std::string::npos || !start)
            throw LoopTextError("label " + QuotedExcerpt(line) +
                                " is not \"START<tab>STOP<tab>NAME\" in seconds");
        const std::string rest = line.substr(tab + 1);
        const std::string stopText = rest.substr(0, rest.find('\t'));
        const auto stop = secondsValue(stopText);
        if (!stop)
            throw LoopTextError("label " + QuotedExcerpt(line) +
                                " is not \"START<tab>STOP<tab>NAME\" in seconds");
        const PosValues loop{samplesOfSeconds(*start, line, rate),
                             samplesOfSeconds(*stop, stopText, rate)};
        if (loop.start == loop.stop)
            throw LoopTextError("label " + QuotedExcerpt(line) + " marks one point, not a region");
        return loop;
    }
    throw LoopTextError("the label file holds no label");
}

std::optional<CommentLoop>
ParseLoopComments(const std::function<std::optional<std::string>(const char* key)>& value) {
    const auto number = [&](const char* key) -> std::optional<std::int64_t> {
        const auto text = value(key);
        if (!text)
            return std::nullopt;
        std::int64_t n = -1;
        const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), n);
        if (ec != std::errc() || end != text->data() + text->size() || n < 0)
            throw LoopTextError(std::string("its ") + key + " comment " + QuotedExcerpt(*text) +
                                " is not a sample count");
        return n;
    };
    if (const auto start = number("LOOPSTART")) {
        const auto length = number("LOOPLENGTH");
        if (!length || *length == 0)
            throw LoopTextError("LOOPSTART without a LOOPLENGTH");
        std::int64_t stop = 0;
        if (__builtin_add_overflow(*start, *length, &stop))
            throw LoopTextError("LOOPSTART " + std::to_string(*start) + " plus LOOPLENGTH " +
                                std::to_string(*length) + " lies beyond any audio");
        return CommentLoop{*start, stop, true};
    }
    if (const auto start = number("LOOP_START")) {
        const auto end = number("LOOP_END");
        if (!end || *end <= *start)
            throw LoopTextError("LOOP_START without a LOOP_END after it");
        return CommentLoop{*start, *end, false};
    }
    return std::nullopt;
}

PosValues ImportedLoop(std::int64_t start, std::int64_t stop, int rate) {
    if (rate != kRate)
        throw LoopTextError("counts its loop in samples at " + std::to_string(rate) +
                            " Hz; a POS file counts samples at 44100 Hz: not imported");
    const std::string loop =
        "holds the loop " + std::to_string(start) + ".." + std::to_string(stop);
    if (stop <= start)
        throw LoopTextError(loop + ", whose stop is not after its start: no loop (reversed or "
                                   "damaged); not imported");
    constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    if (start < kMin || stop > kMax)
        throw LoopTextError(loop + ", which lies beyond what a POS file can hold");
    return {static_cast<std::int32_t>(start), static_cast<std::int32_t>(stop)};
}

} // namespace kestrin
