#include "panelrig.h"

#include "mainwindowform.h"
#include "spcomm.h"

#include <QTimer>

PanelRig::PanelRig() = default;

PanelRig::~PanelRig()
{
    window.reset();
    sim.stop();
}

bool PanelRig::start()
{
    if (!dir.isValid())
        return false;
    if (!sim.start(dir.filePath(QStringLiteral("ttyVIRT0"))))
        return false;
    window = std::make_unique<MainWindow>();
    MainWindowTestAccess::pollTimer(*window)->stop();
    return true;
}

bool PanelRig::openLink(const QString &address, const QString &baud)
{
    ui()->lineEditRs485Id->setText(address);
    ui()->serialName->insertItem(0, sim.portPath());
    ui()->serialName->setCurrentIndex(0);
    ui()->baudRate->setCurrentIndex(ui()->baudRate->findText(baud));
    ui()->switchSerial->click();
    return MainWindowTestAccess::spComm(*window)->isOpen()
           && ui()->switchSerial->text() == QStringLiteral("关闭串口");
}

void PanelRig::closeLink()
{
    ui()->switchSerial->click();
}

void PanelRig::poll()
{
    MainWindowTestAccess::queryDevInfo(*window);
}

QList<QByteArray> PanelRig::frames() const
{
    QList<QByteArray> result;
    for (const VirtualController::Request &request : sim.requests())
        result.append(request.frame);
    return result;
}

QString hexFrame(const QByteArray &frame)
{
    return QString::fromLatin1(frame.toHex(' ').toUpper());
}

QByteArray frameFromHex(const QString &hex)
{
    QString compact = hex;
    compact.remove(QLatin1Char(' '));
    return QByteArray::fromHex(compact.toLatin1());
}
