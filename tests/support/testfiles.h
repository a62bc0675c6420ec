#ifndef TESTFILES_H
#define TESTFILES_H

#include <QByteArray>
#include <QString>

// Writes `bytes` as the whole file at `path`; false when it could not.
bool writeFile(const QString &path, const QByteArray &bytes);

#endif // TESTFILES_H
