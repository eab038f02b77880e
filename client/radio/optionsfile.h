#pragma once

// The options file's text as the reader takes it, and where a stored window
// position may put the window. Kept apart from the window so that the rules
// can be checked against any bytes.

#include <QByteArray>
#include <QString>

#include <array>

namespace optionsfile {

constexpr int lineCount = 7;
// A line of the options file is a few characters; anything longer is not ours.
// It is cut here, and the next line still starts after its line end.
constexpr int longestLine = 4096;

// The first seven lines, line ends (LF, CR LF) and surrounding blanks removed;
// missing lines are empty.
std::array<QString, lineCount> lines(const QByteArray &content);

// A line's numeric value, blanks around it ignored. False when the text is not
// a finite number.
bool numberFromText(const QString &text, double *value);
// A whole number as a 16-bit signed value, rounding halves to even.
bool wholeNumber(const QString &text, qint16 *value);
// A window coordinate in twips, over the whole range that the options writer
// stores: a window on a second screen lies far beyond 16 bits.
bool coordinateTwips(const QString &text, int *value);
// Line 6 names the serial port: a port number, or a device path taken as it is.
bool isDevicePath(const QString &text);

} // namespace optionsfile
