#ifndef FUZZFILE_H
#define FUZZFILE_H

#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// For the readers that take a path: their files live in one folder per
// process, under TMPDIR (memory, /dev/shm, in the bounded runs).
inline QString fuzzFilePath(const QString &name)
{
    static QTemporaryDir dir;
    return dir.filePath(name);
}

// The input as the whole of the file `name`. One that cannot be written stops
// the run: the reader would be judged on the last input's bytes.
inline QString writeFuzzFile(const QString &name, const uint8_t *data, size_t size)
{
    const QString path = fuzzFilePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
        abort();
    return path;
}

#endif // FUZZFILE_H
