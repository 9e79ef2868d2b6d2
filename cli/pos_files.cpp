// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/pos_files.h"

#include <algorithm>
#include <cctype>
#include <system_error>
#include <utility>

namespace kestrin::cli {

namespace fs = std::filesystem;

bool HasPosExtension(const fs::path& path) {
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == ".pos";
}

std::vector<PosFileItem> PosFilesUnder(const fs::path& top) {
    std::vector<PosFileItem> items;
    std::vector<fs::path> folders{top};
    while (!folders.empty()) {
        const fs::path folder = std::move(folders.back());
        folders.pop_back();
        std::error_code ec;
        fs::directory_iterator it(folder, ec);
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            std::error_code typeError;
            if (it->symlink_status(typeError).type() == fs::file_type::directory) {
                folders.push_back(it->path());
            } else if (HasPosExtension(it->path())) {
                const fs::file_status target = it->status(typeError);
                if (typeError || fs::is_regular_file(target))
                    items.push_back({it->path(), {}});
            }
        }
        if (ec)
            items.push_back(
                {folder, "cannot read folder " + folder.string() + ": " + ec.message()});
    }
    std::sort(items.begin(), items.end(),
              [](const PosFileItem& x, const PosFileItem& y) { return x.path < y.path; });
    return items;
}

} // namespace kestrin::cli
