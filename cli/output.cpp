// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/output.h"

#include <cstdio>
#include <new>
#include <stdexcept>

namespace kestrin::cli {

namespace {

// The length of the well-formed UTF-8 sequence at `i`, 0 when there is none.
std::size_t utf8Length(std::string_view s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t length = c < 0xC2 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF5 ? 4 : 0;
    if (length == 0 || i + length > s.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
            return 0;
    }
    return length;
}

std::string hexEscape(const char* prefix, unsigned char c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%s%02x", prefix, c);
    return buf;
}

// Appends the visible form of the character at `i` to `out` and returns its
// length in bytes; `changed` tells whether it had to be escaped.
std::size_t visibleCharacter(std::string_view s, std::size_t i, std::string& out, bool& changed) {
    const auto c = static_cast<unsigned char>(s[i]);
    changed = true;
    switch (c) {
    case '\n':
        out += "\\n";
        return 1;
    case '\t':
        out += "\\t";
        return 1;
    case '\r':
        out += "\\r";
        return 1;
    default:
        break;
    }
    if (c < 0x20 || c == 0x7F) {
        out += hexEscape("\\x", c);
        return 1;
    }
    if (c >= 0x80) {
        const std::size_t length = utf8Length(s, i);
        if (length == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0) {
            out += hexEscape("\\u00", static_cast<unsigned char>(s[i + 1]));
            return 2;
        }
        if (length == 0 && c < 0xA0) {
            out += hexEscape("\\x", c);
            return 1;
        }
        changed = false;
        out.append(s.substr(i, length == 0 ? 1 : length));
        return length == 0 ? 1 : length;
    }
    changed = false;
    out += static_cast<char>(c);
    return 1;
}

} // namespace

std::string VisibleText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool changed = false;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '\\') {
            out += "\\\\";
            ++i;
        } else {
            i += visibleCharacter(text, i, out, changed);
        }
    }
    return out;
}

bool HasControlCharacter(std::string_view text) {
    std::string scratch;
    bool changed = false;
    for (std::size_t i = 0; i < text.size();) {
        i += visibleCharacter(text, i, scratch, changed);
        if (changed)
            return true;
    }
    return false;
}

std::string FailureText(std::string_view file, const std::exception& e) {
    // The program's own errors, all runtime errors, name their file already.
    if (dynamic_cast<const std::runtime_error*>(&e))
        return e.what();
    const std::string reason =
        dynamic_cast<const std::bad_alloc*>(&e) ? "not enough memory" : e.what();
    return std::string(file) + ": " + reason;
}

void ReportError(std::ostream& err, std::string_view message) {
    err << "kestrin-pos: " << VisibleText(message) << '\n';
}

void ReportError(std::ostream& err, const std::exception& e) {
    ReportError(err, e.what());
}

void ReportWarning(std::ostream& err, std::string_view file, std::string_view message) {
    ReportError(err, "warning: " + std::string(file) + ": " + std::string(message));
}

void ReportUsageError(std::ostream& err, std::string_view command, std::string_view message) {
    const std::string name(VisibleText(command));
    err << "kestrin-pos " << name << ": " << VisibleText(message) << "\nTry \"kestrin-pos " << name
        << " --help\".\n";
}

} // namespace kestrin::cli
