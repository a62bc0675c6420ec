#ifndef MYDOUBLEVALIDATOR_H
#define MYDOUBLEVALIDATOR_H

#include <QDoubleValidator>

// Decimal entry validator: a text is empty (Intermediate), a number within
// range with no more than the allowed decimals (Acceptable), or Invalid.
// There is no intermediate state for partial or out-of-range numbers. The
// text is read as the conversions read it (NumberText); nan and inf are refused.
class MyDoubleValidator : public QDoubleValidator
{
    Q_OBJECT

public:
    explicit MyDoubleValidator(QObject *parent = nullptr);
    ~MyDoubleValidator() override;

    QValidator::State validate(QString &input, int &pos) const override;
};

#endif // MYDOUBLEVALIDATOR_H
