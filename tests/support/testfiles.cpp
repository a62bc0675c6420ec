#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool linkDevices(const QString &folder)
{
    const char *const links[][2] = {{"null", "/dev/null"}, {"null2", "null"}, {"zero", "/dev/zero"}};
    for (const auto &link : links) {
        const QString name = QDir(folder).filePath(QLatin1String(link[0]));
        if (!QFileInfo(name).isSymLink() && !QFile::link(QLatin1String(link[1]), name))
            return false;
    }
    return true;
}
