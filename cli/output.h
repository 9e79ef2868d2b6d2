// SPDX-License-Identifier: GPL-3.0-or-later
// Text that kestrin-pos prints: file names and messages reach a terminal, so
// none of their bytes may act as a control sequence there.
#pragma once

#include <array>
#include <exception>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

namespace kestrin::cli {

// `text` with every control character written visibly: "\n", "\t", "\r",
// "\xHH" for the other C0 controls, DEL and stray bytes 0x80-0x9F, "\u00HH"
// for the C1 controls in UTF-8 form, and "\\" for a backslash so that the
// escapes stay unambiguous. Everything else is kept byte for byte.
std::string VisibleText(std::string_view text);

// True when VisibleText would change more than backslashes in `text`.
bool HasControlCharacter(std::string_view text);

// The reason the handling of `file` stopped: what() for a runtime error,
// which names its file itself, else "FILE: <reason>", with "not enough
// memory" for a failed allocation. Not yet made visible.
std::string FailureText(std::string_view file, const std::exception& e);

// `value` to `decimals` places as the nearest double, which JSON then prints
// with no more digits than that ("0.946", never "0.9460000000000001").
double RoundedTo(double value, int decimals);

// Prints "kestrin-pos: <message>" on its own line, made visible. Every
// diagnostic of the tool starts so, and goes through here.
void ReportError(std::ostream& err, std::string_view message);

// Prints "kestrin-pos: <what()>" on its own line, made visible.
void ReportError(std::ostream& err, const std::exception& e);

// Prints "kestrin-pos: warning: <file>: <message>" on its own line, made
// visible: something was done, but players may not do what the user meant.
void ReportWarning(std::ostream& err, std::string_view file, std::string_view message);

// Prints "kestrin-pos COMMAND: <message>" and the hint to the command's help,
// for a command line that is wrong in itself.
void ReportUsageError(std::ostream& err, std::string_view command, std::string_view message);

// A file descriptor (standard output) as a stream buffer that keeps the
// reason of the first write that failed: output lost to a full disk or a
// closed file must end in an error, never in exit status 0. Line by line on
// a terminal, in large blocks otherwise.
class DescriptorOutput : public std::streambuf {
public:
    explicit DescriptorOutput(int fd);
    ~DescriptorOutput() override;
    DescriptorOutput(const DescriptorOutput&) = delete;
    DescriptorOutput& operator=(const DescriptorOutput&) = delete;

    // errno of the first failed write, 0 while every byte went out.
    int error() const { return m_error; }

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

private:
    void drain();

    int m_fd;
    bool m_terminal;
    int m_error = 0;
    std::array<char, 1 << 16> m_buffer{};
};

// Runs `args` with standard output through a DescriptorOutput and standard
// error on `err`; a failed write to standard output turns the status into
// ExitProblem (when it was not worse) with "cannot write standard output:
// REASON". What main() does.
int RunWithStandardOutput(const std::vector<std::string>& args, std::ostream& err);

} // namespace kestrin::cli
