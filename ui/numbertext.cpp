#include "numbertext.h"

#include <cmath>
#include <limits>

QString NumberText::normalized(const QString &text)
{
    return text.normalized(QString::NormalizationForm_KC);
}

qint32 NumberText::toInt(const QString &text, bool *ok)
{
    return normalized(text).toInt(ok, 10);
}

quint32 NumberText::toUInt(const QString &text, bool *ok)
{
    return normalized(text).toUInt(ok, 10);
}

quint16 NumberText::toWord(const QString &text)
{
    const qint32 value = toInt(text);
    return value < 0 ? quint16(0) : quint16(value & 0xFFFF);
}

NumberText::TenthsResult NumberText::toTenths(const QString &text, qint32 *tenths)
{
    *tenths = 0;
    const QString plain = normalized(text).trimmed();

    // A decimal number: [sign] digits [. digits] [e|E [sign] digits], with a
    // digit before or after the point. Its digits are read as they stand, so
    // no binary rounding (25.3 lies just below 25.3 in binary) and no overflow.
    int i = 0;
    auto sign = [&]() {
        if (i < plain.size() && (plain.at(i) == QLatin1Char('-') || plain.at(i) == QLatin1Char('+')))
            return plain.at(i++) == QLatin1Char('-');
        return false;
    };
    auto isDigit
        = [&]() { return i < plain.size() && plain.at(i) >= QLatin1Char('0') && plain.at(i) <= QLatin1Char('9'); };
    const bool negative = sign();
    QString digits;
    qint64 pointAt = -1;
    for (; isDigit() || (i < plain.size() && plain.at(i) == QLatin1Char('.') && pointAt < 0); ++i) {
        if (plain.at(i) == QLatin1Char('.'))
            pointAt = digits.size();
        else
            digits += plain.at(i);
    }
    if (pointAt < 0)
        pointAt = digits.size();
    bool isNumber = !digits.isEmpty();
    if (isNumber && i < plain.size() && (plain.at(i) == QLatin1Char('e') || plain.at(i) == QLatin1Char('E'))) {
        ++i;
        const bool exponentNegative = sign();
        isNumber = isDigit();
        qint64 exponent = 0;
        for (; isDigit(); ++i)
            exponent = qMin<qint64>(exponent * 10 + plain.at(i).digitValue(), 1000000000);
        pointAt += exponentNegative ? -exponent : exponent;
    }
    if (!isNumber || i != plain.size()) {
        // Not a decimal number: nan and inf stand for no value at all, the rest reads as 0.
        bool ok = false;
        const double value = plain.toDouble(&ok);
        return ok && !std::isfinite(value) ? TenthsNotFinite : TenthsNotANumber;
    }

    // The tenths are the digits up to one place after the point.
    const qint64 limit = negative ? -qint64(std::numeric_limits<qint32>::min()) : std::numeric_limits<qint32>::max();
    qint64 magnitude = 0;
    for (qint64 k = 0; k <= pointAt && magnitude <= limit; ++k) {
        if (k >= digits.size() && magnitude == 0)
            break; // only zeros are left
        magnitude = magnitude * 10 + (k < digits.size() ? digits.at(int(k)).digitValue() : 0);
    }
    magnitude = qMin(magnitude, limit);
    *tenths = qint32(negative ? -magnitude : magnitude);
    return TenthsOk;
}
