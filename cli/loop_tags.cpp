// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/loop_tags.h"

#include "audio/read/audio_files.h"
#include "audio/read/in_place.h"
#include "core/loop_formats.h"

#include <taglib/fileref.h>
#include <taglib/tfilestream.h>
#include <taglib/tpropertymap.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace kestrin::cli {

namespace fs = std::filesystem;

namespace {

std::string reasonOf(int error) {
    return std::error_code(error, std::generic_category()).message();
}

} // namespace

bool HoldsLoopTags(const fs::path& audio) {
    std::string ext = audio.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == ".ogg" || ext == ".oga" || ext == ".flac" || ext == ".opus";
}

std::optional<TagLoop> ReadLoopTags(const fs::path& audio) {
    // TagLib would open a FIFO and wait, or read a device without end.
    TagLib::FileStream stream(audio::OpenRegularFile(audio, "audio file"), true);
    TagLib::FileRef file(&stream, true, TagLib::AudioProperties::Fast);
    if (file.isNull() || !file.audioProperties())
        throw std::runtime_error("cannot read the tags of " + audio.string() +
                                 ": not a file TagLib knows");
    const TagLib::PropertyMap map = file.file()->properties();
    std::optional<CommentLoop> loop;
    try {
        loop = ParseLoopComments([&](const char* key) -> std::optional<std::string> {
            const auto it = map.find(key);
            if (it == map.end() || it->second.isEmpty())
                return std::nullopt;
            return it->second.front().to8Bit(true);
        });
    } catch (const LoopTextError& e) {
        throw std::runtime_error(audio.string() + ": " + e.what());
    }
    if (!loop)
        return std::nullopt;
    return TagLoop{loop->start, loop->stop, file.audioProperties()->sampleRate(),
                   loop->lengthNaming ? LoopTagNames::StartLength : LoopTagNames::StartEnd};
}

void WriteLoopTags(const fs::path& source, const fs::path& target, std::int64_t start,
                   std::int64_t stop, LoopTagNames names, bool replace) {
    if (start < 0 || stop <= start)
        throw std::runtime_error("cannot tag " + target.string() + " with the loop " +
                                 std::to_string(start) + ".." + std::to_string(stop) +
                                 ": it is no loop");
    // Tagged in a copy beside the target, which takes the target's place only
    // once written and synced.
    audio::CreateChecked(target, replace, [&](const fs::path& temporary) {
        std::error_code ec;
        fs::copy_file(source, temporary, fs::copy_options::overwrite_existing, ec);
        if (ec)
            throw std::runtime_error("cannot create " + target.string() + ": " + ec.message());
        {
            TagLib::FileRef file(temporary.c_str(), false);
            if (file.isNull())
                throw std::runtime_error("cannot tag " + source.string() +
                                         ": not a file TagLib knows");
            TagLib::PropertyMap map = file.file()->properties();
            for (const char* key : {"LOOPSTART", "LOOPLENGTH", "LOOP_START", "LOOP_END"})
                map.erase(key);
            const bool length = names == LoopTagNames::StartLength;
            map.insert(length ? "LOOPSTART" : "LOOP_START", TagLib::String(std::to_string(start)));
            map.insert(length ? "LOOPLENGTH" : "LOOP_END",
                       TagLib::String(std::to_string(length ? stop - start : stop)));
            file.file()->setProperties(map);
            if (!file.save())
                throw std::runtime_error("cannot write the tags of " + target.string());
        }
        const int fd = ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::fsync(fd) != 0) {
            const int error = errno;
            if (fd >= 0)
                ::close(fd);
            throw std::runtime_error("cannot write " + target.string() + ": " + reasonOf(error));
        }
        ::close(fd);
    });
}

} // namespace kestrin::cli
