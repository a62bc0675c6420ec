#include "mydoublevalidator.h"

#include "numbertext.h"

#include <cmath>

MyDoubleValidator::MyDoubleValidator(QObject *parent) : QDoubleValidator(parent) { }

MyDoubleValidator::~MyDoubleValidator() = default;

QValidator::State MyDoubleValidator::validate(QString &input, int &pos) const
{
    Q_UNUSED(pos)
    if (input.isEmpty())
        return QValidator::Intermediate;

    // Judged as the conversion reads it: full-width digits and points count
    // as ASCII, and only a C-locale number is one.
    const QString plain = NumberText::normalized(input);
    bool ok = false;
    const double value = plain.toDouble(&ok);
    // "nan" and "inf" convert, but stand for no temperature at all.
    if (!ok || !std::isfinite(value))
        return QValidator::Invalid;

    const int point = plain.indexOf(QLatin1Char('.'));
    // Without setRange: 1000 decimals in Qt 5, -1 (no limit) in Qt 6.
    if (point >= 0 && decimals() >= 0) {
        const int decimalsTyped = plain.length() - point - 1;
        if (decimalsTyped > decimals())
            return QValidator::Invalid;
    }

    if (value < bottom() || value > top())
        return QValidator::Invalid;

    return QValidator::Acceptable;
}
