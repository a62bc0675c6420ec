#ifndef CSVLOG_H
#define CSVLOG_H

#include <QFile>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// The status readings as a CSV file: a header row, then one row a reading,
// each written whole with one write and handed to the system at once, so
// that a run that ends at any moment leaves whole rows. The columns are the
// status's JSON keys and "error"; a failed reading is a row with its time,
// the address asked and its error. An existing file of the same columns is
// appended to; any other file is left alone.
class CsvLog
{
public:
    // False, with the reason in `error`, when the file cannot be used.
    bool open(const QString &path, QString *error);
    // False when the row could not be written (a full disk, say).
    bool write(const QJsonObject &reading);
    QString errorString() const { return file.errorString(); }

    static QStringList columns();
    // One row, line end included; RFC 4180 quoting where a field needs it.
    static QByteArray row(const QJsonObject &reading);

private:
    QFile file;
};

#endif // CSVLOG_H
