#ifndef TESTFILES_H
#define TESTFILES_H

#include <QByteArray>
#include <QString>

// Writes `bytes` as the whole file at `path`; false when it could not.
bool writeFile(const QString &path, const QByteArray &bytes);
// The whole file at `path`, or "<unreadable>" (which no test writes) when it cannot be read.
QByteArray fileBytes(const QString &path);
// Two names of one device and a name of another, as symbolic links in
// `folder`: null → /dev/null, null2 → null (relative), zero → /dev/zero.
// Links already there are kept. False when one could not be made.
bool linkDevices(const QString &folder);

#endif // TESTFILES_H
