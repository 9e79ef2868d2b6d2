// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/command_line.h"

#include <string_view>

namespace kestrin::app {

namespace {

constexpr std::string_view kHelp = R"(Usage: kestrin [FILE.POS]

Edits the loop start and stop positions of a POS file. FILE.POS, when given,
is opened at start as File > Open POS File opens a chosen file.

  -h, --help     show this help and exit
  -v, --version  show the version and exit
  --             end of options: what follows is a file name

Qt's own options (-platform, -style, ...) are accepted as well.
)";

} // namespace

std::optional<int> AnswerInformationOptions(int argc, const char* const* argv, std::ostream& out) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--")
            break;
        if (arg == "-h" || arg == "--help") {
            out << kHelp;
            return 0;
        }
        if (arg == "-v" || arg == "--version") {
            out << "kestrin " KESTRIN_VERSION "\n";
            return 0;
        }
    }
    return std::nullopt;
}

StartRequest ParseStartArguments(const QStringList& arguments) {
    StartRequest request;
    QStringList files;
    bool optionsEnded = false;
    for (const QString& arg : arguments) {
        if (!optionsEnded && arg == QLatin1String("--")) {
            optionsEnded = true;
        } else if (!optionsEnded && arg.size() > 1 && arg.startsWith(u'-')) {
            request.error = QStringLiteral("unknown option %1").arg(arg);
            return request;
        } else {
            files << arg;
        }
    }
    if (files.size() > 1) {
        request.error = QStringLiteral("one POS file at a time, not %1").arg(files.size());
        return request;
    }
    if (!files.isEmpty() && files.front().isEmpty()) {
        request.error = QStringLiteral("the file name is empty");
        return request;
    }
    request.file = files.value(0);
    return request;
}

} // namespace kestrin::app
