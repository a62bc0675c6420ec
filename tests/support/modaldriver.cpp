#include "modaldriver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Qt's file dialog keeps the last folder and its history in the user's
// settings (QtProject.conf), shared by every later process. Qt 6's dialog
// reads each file it lists to learn its type: once a test had tried a name
// under /proc, every later dialog read /proc/kmsg and blocked for good. Each
// process that drives dialogs starts with settings of its own.
void useOwnSettingsHome()
{
    static QTemporaryDir home;
    if (home.isValid())
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
}
Q_CONSTRUCTOR_FUNCTION(useOwnSettingsHome)

} // namespace

ModalDriver::ModalDriver(QObject *parent) : QObject(parent)
{
    connect(&m_timer, &QTimer::timeout, this, &ModalDriver::poll);
    m_timer.start(5);
}

void ModalDriver::clear()
{
    m_boxes.clear();
    m_fileDialogs.clear();
}

void ModalDriver::answerNextFileDialog(const QString &path)
{
    m_plannedPaths.enqueue(path);
}

void ModalDriver::cancelNextFileDialog()
{
    m_plannedPaths.enqueue(QString());
}

bool ModalDriver::waitForBoxes(int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_boxes.size() < count && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return m_boxes.size() >= count;
}

void ModalDriver::poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal)
        return;
    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        answerBox(box);
        return;
    }
    if (auto *dialog = qobject_cast<QFileDialog *>(modal))
        answerFileDialog(dialog);
}

void ModalDriver::answerBox(QMessageBox *box)
{
    if (m_pending != box) {
        m_pending = box;
        m_pendingSince.start();
        RecordedBox record;
        record.icon = box->icon();
        record.parent = box->parentWidget();
        record.title = box->windowTitle();
        record.text = box->text();
        record.buttons = box->standardButtons();
        m_boxes.append(record);
    }
    if (m_pendingSince.elapsed() < m_holdMs)
        return;
    if (m_release && m_pendingSince.elapsed() < m_releaseTimeoutMs && !m_release())
        return;
    m_pending = nullptr;
    if (QAbstractButton *ok = box->button(QMessageBox::Ok))
        ok->click();
    else
        box->done(0);
}

void ModalDriver::answerFileDialog(QFileDialog *dialog)
{
    RecordedFileDialog record;
    record.caption = dialog->windowTitle();
    record.directory = dialog->directory().absolutePath();
    record.nameFilters = dialog->nameFilters();
    record.saving = dialog->acceptMode() == QFileDialog::AcceptSave;
    record.parent = dialog->parentWidget();

    const QString path = m_plannedPaths.isEmpty() ? QString() : m_plannedPaths.dequeue();
    if (path.isEmpty()) {
        m_fileDialogs.append(record);
        dialog->reject();
        return;
    }
    record.accepted = true;
    m_fileDialogs.append(record);
    dialog->setOption(QFileDialog::DontConfirmOverwrite, true);
    dialog->selectFile(path);
    // selectFile() leaves the name field alone while that field has the
    // focus, and whether it has it yet depends on when the window manager
    // activated the dialog: under load the dialog would then be accepted with
    // an empty name. Type the path into the field as the operator would.
    if (auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
        name->setText(path);
    else
        qWarning("ModalDriver: the file dialog has no name field");
    QMetaObject::invokeMethod(dialog, "accept", Qt::DirectConnection);
}

void verifyBox(
    const RecordedBox &box, QMessageBox::Icon icon, QWidget *parent, const QString &title, const QString &text)
{
    QCOMPARE(box.title, title);
    QCOMPARE(box.text, text);
    QCOMPARE(int(box.icon), int(icon));
    QCOMPARE(box.parent, parent);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
}
