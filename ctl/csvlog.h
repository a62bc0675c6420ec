#ifndef CSVLOG_H
#define CSVLOG_H

#include <QJsonObject>
#include <QString>
#include <QStringList>

// The status readings as a CSV file: a header row, then one row a reading,
// each written whole with one write and handed to the system at once, so
// that a run that ends at any moment leaves whole rows. A row the system took
// only in part (a full disk) is cut back off the file. The columns are the
// status's JSON keys and "error"; a failed reading is a row with its time,
// the address asked and its error. An existing file of the same columns is
// appended to (a last row cut short in an earlier run is removed first, and
// said); any other file is left alone.
class CsvLog
{
public:
    CsvLog() = default;
    ~CsvLog();
    CsvLog(const CsvLog &) = delete;
    CsvLog &operator=(const CsvLog &) = delete;

    // False, with the reason in `error`, when the file cannot be used;
    // `notice` tells of a repair made to it (empty when none was needed).
    bool open(const QString &path, QString *error, QString *notice);
    // False when the row could not be written (a full disk, say).
    bool write(const QJsonObject &reading);
    // The system's reason for the last failure: "No space left on device".
    QString errorString() const { return reason; }

    static QStringList columns();
    // One row, line end included; RFC 4180 quoting where a field needs it.
    static QByteArray row(const QJsonObject &reading);

private:
    // Writes all of `bytes`, or cuts the file back to where it was.
    bool writeWhole(const QByteArray &bytes);

    int fd = -1;
    qint64 wholeSize = 0; // the file's size after its last whole row
    QString reason;
};

#endif // CSVLOG_H
