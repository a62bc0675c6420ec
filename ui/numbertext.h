#ifndef NUMBERTEXT_H
#define NUMBERTEXT_H

#include <QString>

// How the panel reads a number that an operator typed or a file put into a
// field. One set of rules for the validators and for the conversions, so a
// field accepts exactly what its command reads:
// - the text is first brought to its Unicode compatibility form (NFKC), so
//   the full-width digits, signs and points of a Chinese input method count
//   as their ASCII forms;
// - then it is read as a plain C-locale number: decimal digits, an optional
//   sign, a point as the decimal sign, no group separators, blanks around it
//   ignored.
class NumberText
{
public:
    // The text in its compatibility form (NFKC).
    static QString normalized(const QString &text);

    // A decimal integer; 0 and ok false when the text is not one (or does
    // not fit 32 bits).
    static qint32 toInt(const QString &text, bool *ok = nullptr);
    static quint32 toUInt(const QString &text, bool *ok = nullptr);

    // A command's word: a decimal integer where a negative number counts as
    // 0 and a text that is not a number counts as 0, reduced to its low 16 bits.
    static quint16 toWord(const QString &text);

    enum TenthsResult {
        TenthsOk,
        TenthsNotANumber, // read as 0
        TenthsNotFinite, // nan, inf and the like: no value at all
    };
    // Tenths of a decimal number, taken from the decimal digits themselves
    // (not from a binary floating-point value) and truncated toward zero
    // beyond the first decimal: "25.3" gives 253, "25.35" 253, "0.7" 7,
    // "1e2" 1000. Saturates at the 32-bit limits.
    static TenthsResult toTenths(const QString &text, qint32 *tenths);
};

#endif // NUMBERTEXT_H
