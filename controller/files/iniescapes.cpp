#include "iniescapes.h"

#include "inireader.h"

#include <QString>

namespace {

bool isHexDigit(char16_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

void appendEscape(QByteArray &out, char16_t c)
{
    out += "\\x";
    out += QByteArray::number(uint(c), 16);
}

} // namespace

QByteArray IniEscapes::fromUtf8(const QByteArray &utf8)
{
    // Bytes that are not UTF-8 were not written by QSettings.
    if (!IniReader::isUtf8(utf8))
        return utf8;
    const QString text = QString::fromUtf8(utf8);
    QByteArray out;
    out.reserve(utf8.size() * 2);
    bool escapeNextIfHexDigit = false;
    for (const QChar ch : text) {
        const char16_t c = ch.unicode();
        if (c >= 0x7F) {
            // Surrogate pairs become two escapes, one per UTF-16 code, as Qt 5 writes them.
            appendEscape(out, c);
            escapeNextIfHexDigit = true;
        } else if (escapeNextIfHexDigit && isHexDigit(c)) {
            appendEscape(out, c);
        } else {
            out += char(c);
            escapeNextIfHexDigit = false;
        }
    }
    return out;
}
