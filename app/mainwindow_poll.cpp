// The 500 ms status poll, its display and the link-health rule.

#include "mainwindow.h"

#include "linefacts.h"
#include "mainwindowform.h"
#include "modulewidgets.h"
#include "registers.h"
#include "replydecoder.h"
#include "spcomm.h"

#include <QLabel>

namespace {

const char *const styleAlarm = "color:red;font:仿宋;font-size:14px;";
const char *const styleReading = "color:black;font:仿宋;font-size:14px;";

// Style first, then text. Re-applying an unchanged style sheet only costs a
// re-polish of the label on every poll, so it is set when it changes.
void showTemperature(QLabel *label, const char *style, const QString &text)
{
    const QString sheet = QString::fromUtf8(style);
    if (label->styleSheet() != sheet)
        label->setStyleSheet(sheet);
    label->setText(text);
}

} // namespace

void MainWindow::countReadFailure()
{
    ++commFailCount;
    if (commFailCount >= LineFacts::FailuresForOffline)
        commOk = false;
    if (!commOk)
        ui->labelCommStat->setText(QStringLiteral("故障"));
}

void MainWindow::queryDevInfo()
{
    if (!spComm->isOpen()) {
        // An exchange failed to reopen the port (the adapter was pulled): the
        // link is gone although the operator never closed it. Show that, and
        // give the operator back the controls to rescan and reopen.
        if (ui->switchSerial->text() == QStringLiteral("关闭串口")) {
            showLinkDown();
            unlockConnectionSettings();
        }
        return;
    }

    quint8 reply[readReplyLength(StatusBlockCount)] = {};
    quint16 received = 0;
    StatusBlock status;
    // A reply that passes the CRC check but is shorter than the full status
    // reply (an exception reply) carries no status words: a failed read.
    if (readRegisters(StatusBlockFirst, StatusBlockCount, reply, received) != 0
        || !decodeStatusReply(reply, received, &status)) {
        countReadFailure();
        return;
    }

    commOk = true;
    commFailCount = 0;
    ui->labelCommStat->setText(QStringLiteral("正常"));

    ldEnableMask = status.ldEnableMask();
    ldSwitchMask = status.ldSwitchMask();
    powerPermille = status.powerPermille();
    slaveAddress = quint8(status.rs485Address() & 0xFF);
    ldTemperature = status.ldTemperature();
    supplyMillivolts = status.supplyMillivolts();
    runSeconds = status.runSeconds();
    firmwareVersion = status.firmwareVersion();

    ui->radioButtonAdcEnableStat->setChecked((status.adcEnable() & 0xFF) == 1);

    if (ldTemperature == TemperatureOpenCircuit)
        showTemperature(ui->labelLdTemperature, styleAlarm, QStringLiteral("开路"));
    else if (ldTemperature == TemperatureShortCircuit)
        showTemperature(ui->labelLdTemperature, styleAlarm, QStringLiteral("短路"));
    else
        showTemperature(
            ui->labelLdTemperature, styleReading, QString::number(ldTemperature / 10.0, 'g', 6) + QStringLiteral("℃"));

    ui->labelPowerPercent->setText(QString::number(powerPermille));
    ui->labelSupplyVoltage->setText(QString::number(supplyMillivolts / 1000.0, 'g', 6));
    ui->labelWorkHours->setText(QString::number(runSeconds / 3600) + QStringLiteral("H"));
    showLdSwitchState(ldSwitchMask);
    ui->labelVersion->setText(QStringLiteral("V") + QString::number(firmwareVersion >> 8) + QStringLiteral(".")
        + QString::number(firmwareVersion & 0xFF));
}

void MainWindow::showLdSwitchState(quint16 mask)
{
    ModuleWidgets::setLabels(
        this, QStringLiteral("ldStatLd_"), mask, moduleCount, QStringLiteral("开"), QStringLiteral("关"));
}
