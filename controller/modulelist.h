#ifndef MODULELIST_H
#define MODULELIST_H

#include <QString>

class QJsonValue;

// Sets of modules as people write them: module numbers 1..12 and ranges,
// separated by commas ("1,2,5-8"), or the words "all" and "none".
class ModuleList
{
public:
    // The module mask of `text` (bit i for module i + 1). False, with a
    // sentence in `error` that names the offending item, for anything else:
    // an empty text, a number outside 1..12, a descending range, a stray sign.
    static bool parse(const QString &text, quint16 *mask, QString *error);
    // The mask as parse() reads it back: "1,2,5-8", "none" for no module.
    static QString text(quint16 mask);
    // The same from JSON: an array of module numbers ([1, 2, 5]; [] is none).
    static bool fromJson(const QJsonValue &value, quint16 *mask, QString *error);
};

#endif // MODULELIST_H
