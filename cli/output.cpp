// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/output.h"

#include "cli/pos_tool.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <system_error>

#include <unistd.h>

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

double RoundedTo(double value, int decimals) {
    // Divided rather than multiplied by the step: 946 / 1000 is the double
    // nearest 0.946, 946 * 0.001 is not.
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
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

DescriptorOutput::DescriptorOutput(int fd) : m_fd(fd), m_terminal(::isatty(fd) == 1) {
    setp(m_buffer.data(), m_buffer.data() + m_buffer.size());
}

DescriptorOutput::~DescriptorOutput() {
    drain();
}

void DescriptorOutput::drain() {
    const char* from = pbase();
    while (from < pptr() && m_error == 0) {
        const ssize_t n = ::write(m_fd, from, static_cast<std::size_t>(pptr() - from));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            m_error = n < 0 ? errno : ENOSPC;
        else
            from += n;
    }
    // What could not be written is dropped: the error is kept and reported.
    setp(m_buffer.data(), m_buffer.data() + m_buffer.size());
}

DescriptorOutput::int_type DescriptorOutput::overflow(int_type c) {
    drain();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return m_error == 0 ? traits_type::not_eof(c) : traits_type::eof();
}

std::streamsize DescriptorOutput::xsputn(const char* s, std::streamsize n) {
    for (std::streamsize done = 0; done < n;) {
        if (pptr() == epptr())
            drain();
        const auto room = std::min<std::streamsize>(epptr() - pptr(), n - done);
        std::memcpy(pptr(), s + done, static_cast<std::size_t>(room));
        pbump(static_cast<int>(room));
        done += room;
    }
    if (m_terminal && std::memchr(s, '\n', static_cast<std::size_t>(n)))
        drain();
    return m_error == 0 ? n : 0;
}

int DescriptorOutput::sync() {
    drain();
    return m_error == 0 ? 0 : -1;
}

int RunWithStandardOutput(const std::vector<std::string>& args, std::ostream& err) {
    DescriptorOutput buffer(STDOUT_FILENO);
    std::ostream out(&buffer);
    int status = RunPosTool(args, out, err);
    out.flush();
    if (buffer.error() != 0) {
        ReportError(err, "cannot write standard output: " +
                             std::error_code(buffer.error(), std::generic_category()).message());
        status = std::max(status, static_cast<int>(ExitProblem));
    }
    return status;
}

} // namespace kestrin::cli
