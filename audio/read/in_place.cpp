// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/read/in_place.h"

#include "audio/read/audio_files.h"
#include "core/temporary_files.h"

#include <cerrno>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrin::audio {

namespace fs = std::filesystem;

namespace {

std::string reasonOf(int error) {
    return std::error_code(error, std::generic_category()).message();
}

std::string octal(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777);
    return text;
}

// A temporary path in `folder`, removed again unless kept.
class Temporary {
public:
    explicit Temporary(const fs::path& beside)
        : m_path(TemporaryBeside(beside, "-new" + beside.extension().string())) {}
    ~Temporary() {
        if (!m_kept)
            ::unlink(m_path.c_str());
    }
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;
    const fs::path& path() const { return m_path; }
    void keep() { m_kept = true; }

private:
    fs::path m_path;
    RegisteredTemporary m_registered{m_path};
    bool m_kept = false;
};

// Runs `write`, whose failures name the temporary file it was given, and
// passes them on naming `target`, the file the user named, instead.
template <typename Write>
void namingTarget(const fs::path& temporary, const fs::path& target, Write&& write) {
    const auto named = [&](std::string text) {
        const std::string hidden = temporary.string();
        for (auto at = text.find(hidden); at != std::string::npos;
             at = text.find(hidden, at + target.string().size()))
            text.replace(at, hidden.size(), target.string());
        return text;
    };
    try {
        write();
    } catch (const AudioError& e) {
        throw AudioError(named(e.what()));
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(named(e.what()));
    }
}

// Whether `a` and `b` are the same version of one file.
bool sameVersion(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

} // namespace

fs::path ReplaceInPlace(const fs::path& file, bool force,
                        const std::function<void(const fs::path&, const fs::path&)>& write) {
    std::error_code ec;
    const fs::path real = fs::canonical(file, ec);
    if (ec)
        throw AudioError("cannot replace " + file.string() + ": " + ec.message());
    struct stat before {};
    if (::stat(real.c_str(), &before) != 0)
        throw AudioError("cannot replace " + real.string() + ": " + reasonOf(errno));
    if (!S_ISREG(before.st_mode))
        throw AudioError("cannot replace " + real.string() + ": it is not a regular file");
    // No --force can write there: said as it is, not as a read-only file.
    if (::access(real.c_str(), W_OK) != 0 && errno == EROFS)
        throw AudioError("cannot replace " + real.string() +
                         ": it is on a read-only file system: left as it was");
    // Root may write anything; a file nobody may write is still meant to stay.
    if (!force && (::access(real.c_str(), W_OK) != 0 || (before.st_mode & 0222) == 0))
        throw AudioError(real.string() + " is read-only (mode " + octal(before.st_mode) +
                         "): left as it was (--force replaces it)");
    Temporary temporary(real);
    namingTarget(temporary.path(), real, [&] { write(real, temporary.path()); });
    struct stat made {};
    if (::stat(temporary.path().c_str(), &made) != 0)
        throw AudioError("cannot replace " + real.string() + ": " + reasonOf(errno));
    if ((made.st_uid != before.st_uid || made.st_gid != before.st_gid) &&
        ::chown(temporary.path().c_str(), before.st_uid, before.st_gid) != 0)
        throw AudioError("cannot keep the owner " + std::to_string(before.st_uid) + ":" +
                         std::to_string(before.st_gid) + " of " + real.string() + " (" +
                         reasonOf(errno) + "): left as it was");
    // After chown, which clears the set-user-ID bits.
    if (::chmod(temporary.path().c_str(), before.st_mode & 07777) != 0)
        throw AudioError("cannot keep the permissions of " + real.string() + " (" +
                         reasonOf(errno) + "): left as it was");
    struct stat now {};
    if (::stat(real.c_str(), &now) != 0 || !sameVersion(before, now))
        throw AudioError(real.string() +
                         " changed while it was being rewritten: the newer file is left as it is");
    if (const int error = MoveIntoPlace(temporary.path(), real, true); error != 0)
        throw AudioError("cannot replace " + real.string() + ": " + reasonOf(error));
    temporary.keep();
    return real;
}

fs::path KeptOriginalName(const fs::path& file) {
    fs::path kept = file;
    kept += ".orig";
    return kept;
}

void KeepOriginal(const fs::path& file, const fs::path& kept) {
    std::error_code ec;
    fs::create_hard_link(file, kept, ec);
    if (ec && ec != std::errc::file_exists)
        fs::copy_file(file, kept, ec);
    if (ec == std::errc::file_exists)
        throw AudioError(kept.string() + " exists: the original could not be kept beside it, so " +
                         file.string() + " is left as it is");
    if (ec)
        throw AudioError("cannot keep " + file.string() + " as " + kept.string() + ": " +
                         ec.message());
}

void CreateChecked(const fs::path& target, bool replace,
                   const std::function<void(const fs::path&)>& write) {
    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists && !replace)
        throw AudioError("cannot create " + target.string() + ": " + reasonOf(EEXIST));
    if (exists && !S_ISREG(old.st_mode))
        throw AudioError("cannot replace " + target.string() + ": it is not a regular file");
    Temporary temporary(target);
    namingTarget(temporary.path(), target, [&] { write(temporary.path()); });
    if (exists)
        (void)::chmod(temporary.path().c_str(), old.st_mode & 07777);
    if (const int error = MoveIntoPlace(temporary.path(), target, replace); error != 0)
        throw AudioError("cannot create " + target.string() + ": " + reasonOf(error));
    temporary.keep();
}

int MoveIntoPlace(const fs::path& temporary, const fs::path& target, bool replace) {
    if (replace)
        return ::rename(temporary.c_str(), target.c_str()) == 0 ? 0 : errno;
    if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    if (::link(temporary.c_str(), target.c_str()) != 0)
        return errno;
    ::unlink(temporary.c_str());
    return 0;
}

} // namespace kestrin::audio
