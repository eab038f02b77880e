#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Settings files are a few hundred bytes. Anything larger is not one of ours.
inline constexpr qint64 largestSettingsFileBytes = 64 * 1024;

// The whole content of a small settings file. Nothing when the file is absent,
// is not a regular file (a FIFO or a device would block the reader or never
// end), or holds more than maxBytes. Never blocks.
std::optional<QByteArray> readSmallFile(const QString &path,
                                        qint64 maxBytes = largestSettingsFileBytes);
