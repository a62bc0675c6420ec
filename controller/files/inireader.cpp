#include "inireader.h"

#include <QHash>
#include <QTextCodec>

namespace {

const QByteArray byteOrderMark = QByteArrayLiteral("\xEF\xBB\xBF");

// The number of the line that holds byte `at`.
int lineAt(const QByteArray &bytes, int at)
{
    return bytes.left(at).count('\n') + 1;
}

// The value before a comment that follows it: ';' or '#' after a blank.
QString withoutComment(const QString &raw)
{
    for (int i = 1; i < raw.size(); ++i) {
        if ((raw.at(i) == QLatin1Char(';') || raw.at(i) == QLatin1Char('#')) && raw.at(i - 1).isSpace())
            return raw.left(i);
    }
    return raw;
}

bool isComment(const QString &text)
{
    return text.isEmpty() || text.startsWith(QLatin1Char(';')) || text.startsWith(QLatin1Char('#'));
}

const QString typedValue = QStringLiteral(
    "a value starting with '@' (@Variant(...), @ByteArray(...)) is QSettings' typed value and not read here; "
    "write the value itself");
const QString continued
    = QStringLiteral("a line continued by a trailing backslash is not read here; write the value on one line");

// A value of a key that is not QSettings-written: plain text, or all of it in quotes.
bool plainValue(const QString &raw, QString *value, QString *why)
{
    QString text = raw.trimmed();
    if (text.startsWith(QLatin1Char('"'))) {
        const int close = text.indexOf(QLatin1Char('"'), 1);
        if (close < 0 || !isComment(text.mid(close + 1).trimmed())) {
            *why = QStringLiteral("a quoted value must end with its closing '\"' (a comment may follow)");
            return false;
        }
        text = text.mid(1, close - 1);
        if (text.contains(QLatin1Char('\\'))) {
            *why = QStringLiteral("a backslash (\\x31, \\n, \\\\) is an escape, and escapes are not read here; "
                                  "write the characters themselves");
            return false;
        }
        *value = text;
        return true;
    }
    text = withoutComment(text).trimmed();
    if (text.endsWith(QLatin1Char('\\')))
        *why = continued;
    else if (text.startsWith(QLatin1Char('@')))
        *why = typedValue;
    else if (text.contains(QLatin1Char('\\')))
        *why = QStringLiteral("'%1': a backslash (\\x31, \\n, \\\\) is an escape, and escapes are not read here; "
                              "write the characters themselves")
                   .arg(text);
    else if (text.contains(QLatin1Char('"')))
        *why = QStringLiteral("'%1': a '\"' inside a value; put the whole value in quotes, or none of it").arg(text);
    else {
        *value = text;
        return true;
    }
    return false;
}

// A value as QSettings writes it.
bool escapedValue(const QString &raw, QString *value, QString *why)
{
    const QString text = raw.trimmed();
    QString decoded;
    if (text.endsWith(QLatin1Char('\\'))) {
        *why = continued;
        return false;
    }
    if (!IniReader::decodeEscapes(text, &decoded)) {
        *why = QStringLiteral("'%1' is not a value as QSettings writes it (quotes around it, \\xNNNN escapes)")
                   .arg(text);
        return false;
    }
    if (decoded.startsWith(QLatin1String("@@"))) {
        decoded.remove(0, 1); // QSettings' way of writing a leading '@'
    } else if (decoded.startsWith(QLatin1Char('@'))) {
        *why = typedValue;
        return false;
    }
    *value = decoded;
    return true;
}

QString sectionName(const QString &section)
{
    return section.isEmpty() ? QString() : QStringLiteral("[%1] ").arg(section);
}

} // namespace

bool IniReader::parse(const QByteArray &bytes, const Options &options, QList<Entry> *entries, QString *error)
{
    QByteArray data = bytes;
    if (data.startsWith(byteOrderMark))
        data.remove(0, byteOrderMark.size());
    const int nul = data.indexOf('\0');
    if (nul >= 0) {
        *error = QStringLiteral("line %1: a NUL byte; this is not a text file").arg(lineAt(data, nul));
        return false;
    }
    QString text;
    if (!IniReader::isUtf8(data, &text)) {
        if (options.gb18030) {
            text = QTextCodec::codecForName("GB18030")->toUnicode(data);
        } else {
            const QList<QByteArray> lines = data.split('\n');
            int number = 1;
            while (number < lines.size() && IniReader::isUtf8(lines.at(number - 1)))
                ++number;
            *error = QStringLiteral("line %1: not UTF-8 text; save the file as UTF-8").arg(number);
            return false;
        }
    }

    QList<Entry> result;
    QHash<QString, int> sectionLines;
    QHash<QString, int> keyLines; // "section\nkey"
    QString section = options.topLevel;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int index = 0; index < lines.size(); ++index) {
        const int number = index + 1;
        QString line = lines.at(index);
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        const QString trimmed = line.trimmed();
        const auto fail = [&](const QString &why) {
            *error = QStringLiteral("line %1: %2").arg(number).arg(why);
            return false;
        };
        if (isComment(trimmed))
            continue;
        if (trimmed.startsWith(QLatin1Char('['))) {
            const int close = trimmed.indexOf(QLatin1Char(']'));
            if (close < 0)
                return fail(QStringLiteral("'%1' opens a section without closing it with ']'").arg(trimmed));
            const QString name = trimmed.mid(1, close - 1).trimmed();
            if (!isComment(trimmed.mid(close + 1).trimmed()))
                return fail(QStringLiteral("text after the section header [%1]").arg(name));
            if (name.isEmpty())
                return fail(QStringLiteral("a section header without a name"));
            if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
                return fail(QStringLiteral("[%1]: '/' and '\\' in a section name are QSettings' subsections and "
                                           "not read here")
                                .arg(name));
            if (sectionLines.contains(name))
                return fail(QStringLiteral("[%1] is given twice (first on line %2); one section holds all its keys")
                                .arg(name)
                                .arg(sectionLines.value(name)));
            sectionLines.insert(name, number);
            section = name;
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            return fail(QStringLiteral("'%1' is neither [section], key=value nor a comment").arg(trimmed));
        const QString key = line.left(equals).trimmed();
        if (key.isEmpty())
            return fail(QStringLiteral("%1a value without a key").arg(sectionName(section)));
        if (key.contains(QLatin1Char('/')) || key.contains(QLatin1Char('\\')))
            return fail(QStringLiteral("%1%2: '/' and '\\' in a key name are QSettings' syntax and not read here")
                            .arg(sectionName(section), key));
        QString value;
        QString why;
        const bool ok = options.escapedKeys.contains(key) ? escapedValue(line.mid(equals + 1), &value, &why)
                                                          : plainValue(line.mid(equals + 1), &value, &why);
        if (!ok)
            return fail(QStringLiteral("%1%2: %3").arg(sectionName(section), key, why));
        const QString id = section + QLatin1Char('\n') + key;
        if (keyLines.contains(id))
            return fail(QStringLiteral("%1%2 is given twice (first on line %3); keep one")
                            .arg(sectionName(section), key)
                            .arg(keyLines.value(id)));
        keyLines.insert(id, number);
        result.append(Entry{section, key, value, number});
    }
    *entries = result;
    return true;
}

bool IniReader::isUtf8(const QByteArray &bytes, QString *text)
{
    QTextCodec::ConverterState state;
    const QString decoded = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    if (text)
        *text = decoded;
    return state.invalidChars == 0 && state.remainingChars == 0;
}

bool IniReader::decodeEscapes(const QString &raw, QString *value)
{
    static const QString escapes = QStringLiteral("abfnrtv\"'?\\;,=");
    static const QString meanings = QStringLiteral("\a\b\f\n\r\t\v\"'?\\;,=");
    QString out;
    bool quoted = false;
    for (int i = 0; i < raw.size(); ++i) {
        const QChar c = raw.at(i);
        if (c == QLatin1Char('"')) {
            quoted = !quoted;
            continue;
        }
        if (c == QLatin1Char(';') && !quoted)
            break; // a comment
        if (c != QLatin1Char('\\')) {
            out += c;
            continue;
        }
        if (++i == raw.size())
            return false;
        const QChar escape = raw.at(i);
        if (escapes.contains(escape)) {
            out += meanings.at(escapes.indexOf(escape));
            continue;
        }
        const bool hex = escape == QLatin1Char('x');
        const int base = hex ? 16 : 8;
        if (!hex && (escape < QLatin1Char('0') || escape > QLatin1Char('7')))
            return false;
        uint code = hex ? 0 : uint(escape.digitValue());
        int digits = hex ? 0 : 1;
        bool ok = true;
        while (i + 1 < raw.size() && (hex || digits < 3)) {
            const uint digit = QString(raw.at(i + 1)).toUInt(&ok, base);
            if (!ok)
                break;
            code = code * uint(base) + digit;
            ++digits;
            ++i;
            if (code > 0xFFFF)
                return false;
        }
        if (digits == 0)
            return false;
        out += QChar(ushort(code));
    }
    if (quoted)
        return false;
    *value = out.trimmed();
    return true;
}
