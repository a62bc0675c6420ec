#include "myintvalidator.h"

#include "numbertext.h"

MyIntValidator::MyIntValidator(int bottom, int top, QObject *parent) : QIntValidator(bottom, top, parent)
{
    QLocale plain = QLocale::c();
    plain.setNumberOptions(QLocale::RejectGroupSeparator);
    setLocale(plain);
}

MyIntValidator::~MyIntValidator() = default;

QValidator::State MyIntValidator::validate(QString &input, int &pos) const
{
    // The operator's text stays as typed; only its reading is normalised.
    QString plain = NumberText::normalized(input);
    int plainPos = pos;
    return QIntValidator::validate(plain, plainPos);
}
