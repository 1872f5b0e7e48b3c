#pragma once
// What the list's text and its check against a folder share (manifest.cpp,
// manifestfolder.cpp); not for other users.

#include "manifest.h"

#include <QByteArray>
#include <QString>

#include <array>

namespace corvane::update::detail {

inline constexpr qsizetype maxComponentBytes = 255;
inline constexpr qsizetype maxPathBytes = 4095;
inline constexpr qsizetype sha256Bytes = 32;

// Both top folders ("Corvane", "System"), in the list's order.
const std::array<QByteArray, 2> &roots();
// Byte order of paths, bytes compared as unsigned.
bool pathLess(const QByteArray &a, const QByteArray &b);
// Why a relative path cannot be listed; empty when it can.
QString pathProblem(const QByteArray &path);
// A mode as the list writes it: four octal digits.
QByteArray modeText(quint32 mode);
const char *typeName(ManifestEntry::Type type);

} // namespace corvane::update::detail
