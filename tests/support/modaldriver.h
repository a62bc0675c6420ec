#ifndef MODALDRIVER_H
#define MODALDRIVER_H

#include <QElapsedTimer>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QStringList>
#include <QTimer>

#include <functional>

class QFileDialog;

// One message box the panel showed, as the operator saw it.
struct RecordedBox
{
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QWidget *parent = nullptr; // the box's parent window, or null
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;

    bool isWarning() const { return icon == QMessageBox::Warning; }
    bool isInformation() const { return icon == QMessageBox::Information; }
};

// Checks one recorded box: its icon, parent, title and text, and the single
// OK button every box of the panel has.
void verifyBox(
    const RecordedBox &box, QMessageBox::Icon icon, QWidget *parent, const QString &title, const QString &text);

// One file dialog the panel opened.
struct RecordedFileDialog
{
    QString caption;
    QString directory;
    QStringList nameFilters;
    bool saving = false;
    bool accepted = false;
    QWidget *parent = nullptr;
};

// Answers the panel's modal dialogs while a test drives it headless: every
// message box is recorded and closed with OK; every file dialog is answered
// with the next planned path, or cancelled when nothing is planned.
class ModalDriver : public QObject
{
    Q_OBJECT

public:
    explicit ModalDriver(QObject *parent = nullptr);

    QList<RecordedBox> boxes() const { return m_boxes; }
    int boxCount() const { return m_boxes.size(); }
    RecordedBox lastBox() const { return m_boxes.isEmpty() ? RecordedBox() : m_boxes.last(); }
    QList<RecordedFileDialog> fileDialogs() const { return m_fileDialogs; }
    void clear();

    // The next file dialog gets this path typed in and accepted. Qt's own
    // save dialog hands back an absolute path whose folder does not exist as a
    // path relative to the current folder, so point it at existing folders.
    void answerNextFileDialog(const QString &path);
    // The next file dialog is cancelled.
    void cancelNextFileDialog();

    // Keeps each message box open at least this long before pressing OK, so
    // that timers can fire inside its nested event loop.
    void setHoldMs(int ms) { m_holdMs = ms; }
    // Keeps each message box open until `release` (asked from inside the
    // box's event loop) gives true, at most `timeoutMs`; an empty function ends it.
    void holdUntil(std::function<bool()> release, int timeoutMs = 30000)
    {
        m_release = std::move(release);
        m_releaseTimeoutMs = timeoutMs;
    }

    // Processes events until at least `count` boxes have been recorded.
    bool waitForBoxes(int count, int timeoutMs);

private slots:
    void poll();

private:
    void answerBox(QMessageBox *box);
    void answerFileDialog(QFileDialog *dialog);

    QTimer m_timer;
    QList<RecordedBox> m_boxes;
    QList<RecordedFileDialog> m_fileDialogs;
    QQueue<QString> m_plannedPaths; // an empty string stands for cancel
    int m_holdMs = 0;
    std::function<bool()> m_release;
    int m_releaseTimeoutMs = 0;
    QPointer<QMessageBox> m_pending;
    QElapsedTimer m_pendingSince;
};

#endif // MODALDRIVER_H
