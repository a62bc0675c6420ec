#ifndef MYINTVALIDATOR_H
#define MYINTVALIDATOR_H

#include <QIntValidator>

// Whole-number entry validator of the configuration fields. A plain
// QIntValidator follows the system locale and so accepts group separators
// ("3,500", or "10.000" in German) that the panel's conversions do not read;
// this one judges the text as the conversions read it (NumberText): C-locale
// digits without group separators, after compatibility normalisation, in
// every system locale.
class MyIntValidator : public QIntValidator
{
    Q_OBJECT

public:
    MyIntValidator(int bottom, int top, QObject *parent = nullptr);
    ~MyIntValidator() override;

    QValidator::State validate(QString &input, int &pos) const override;
};

#endif // MYINTVALIDATOR_H
