#ifndef INIESCAPES_H
#define INIESCAPES_H

#include <QByteArray>

// The configuration files the panel writes keep one byte form whichever Qt
// builds it: ASCII, with every character from U+007F up written as a \x
// escape of its UTF-16 code, and a hex digit right after such an escape
// escaped as well, so that readers cannot take it for part of the code.
// Qt 5's QSettings writes INI files so; Qt 6's writes those characters as
// raw UTF-8 instead. IniEscapes turns the latter into the former.
namespace IniEscapes {

// `utf8` as a whole INI file. Bytes that are not valid UTF-8 are left as
// they are; an ASCII file comes back unchanged.
QByteArray fromUtf8(const QByteArray &utf8);

} // namespace IniEscapes

#endif // INIESCAPES_H
