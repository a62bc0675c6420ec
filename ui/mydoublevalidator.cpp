#include "mydoublevalidator.h"

MyDoubleValidator::MyDoubleValidator(QObject *parent) : QDoubleValidator(parent) {}

MyDoubleValidator::~MyDoubleValidator() = default;

QValidator::State MyDoubleValidator::validate(QString &input, int &pos) const
{
    Q_UNUSED(pos)
    if (input.isEmpty())
        return QValidator::Intermediate;

    bool ok = false;
    const double value = input.toDouble(&ok);
    if (!ok)
        return QValidator::Invalid;

    const int point = input.indexOf(QLatin1Char('.'));
    if (point >= 0) {
        const int decimalsTyped = input.length() - point - 1;
        if (decimalsTyped > decimals())
            return QValidator::Invalid;
    }

    if (value < bottom() || value > top())
        return QValidator::Invalid;

    return QValidator::Acceptable;
}
