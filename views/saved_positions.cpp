// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/saved_positions.h"

#include "core/positions.h"

#include <QDir>
#include <QFile>
#include <QObject>

namespace kestrin::views {

std::optional<PosValues> readSavedPositions(const QString& path, QString* error) {
    try {
        return ReadPosFile(std::filesystem::path(QFile::encodeName(path).toStdString()));
    } catch (const PosFileError& e) {
        *error = QObject::tr("Could not read %1: %2")
                     .arg(QDir::toNativeSeparators(path), QString::fromStdString(e.reason()));
        if (dynamic_cast<const NotAPosFileError*>(&e))
            *error = QString::fromStdString(e.what());
        return std::nullopt;
    }
}

QString groupedNumber(std::int64_t n) {
    const auto magnitude = static_cast<qulonglong>(n);
    QString digits = QString::number(n < 0 ? 0ULL - magnitude : magnitude);
    for (qsizetype i = digits.size() - 3; i > 0; i -= 3)
        digits.insert(i, u',');
    return n < 0 ? u'-' + digits : digits;
}

} // namespace kestrin::views
