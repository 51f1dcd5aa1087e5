// Texts on the wire and in the data files are Windows-1252 octets. These
// convert them for display and back without losing a byte that has a
// character.
#pragma once

#include <QByteArray>
#include <QString>

namespace cp1252 {

// Every octet becomes one character; the five octets Windows-1252 leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the C1 controls of the same
// value, so decoding never loses an octet.
QString Decode(const QByteArray& bytes);
// The inverse; a character Windows-1252 cannot hold becomes '?'.
QByteArray Encode(const QString& text);
// Whether Encode keeps this character (every one Decode can produce).
bool CanEncode(QChar ch);
// For a terminal or a single-line label: control characters shown as
// U+FFFD, so text from the network cannot steer the display.
QString ForDisplay(const QString& text);

// For a multi-line log: control characters shown as blanks, as the data
// files store line breaks, so a text cannot start a line of its own.
QString ControlsAsBlanks(const QString& text);

} // namespace cp1252
