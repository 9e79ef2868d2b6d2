// SPDX-License-Identifier: GPL-3.0-or-later
#include "output.h"

#include <cstdio>

namespace kestrin::cli {

std::string JsonString(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + '"';
}

void ReportError(std::ostream& err, const std::exception& e) {
    err << "kestrin-pos: " << e.what() << '\n';
}

} // namespace kestrin::cli
