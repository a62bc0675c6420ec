// The controller's configuration block (seven registers from 0x2001): read
// it into the configuration tab, write the tab to it, reset it to factory.

#include "mainwindow.h"

#include "configfile.h"
#include "mainwindowform.h"
#include "modulewidgets.h"
#include "numbertext.h"
#include "registers.h"
#include "replydecoder.h"
#include "spcomm.h"

#include <QMessageBox>

#include <limits>

namespace {

const QString ldEnablePrefix = QStringLiteral("configAllLdEn_");
const QString lowPowerPrefix = QStringLiteral("configAllLowPower_");

void showBadEntry()
{
    QMessageBox::information(nullptr, QStringLiteral("警告"), QStringLiteral("数据填写不正确"));
}

} // namespace

bool MainWindow::readConfigTab(
    quint16 &ldMask, quint16 &lowPowerMask, quint16 &maxDac, quint16 &alarmTenths, quint32 &hours)
{
    // An alarm temperature of nan or inf is no temperature: it counts as an empty field.
    qint32 tenths = 0;
    const bool alarmGiven = !ui->lineEditAlarmTemperature->text().isEmpty()
        && NumberText::toTenths(ui->lineEditAlarmTemperature->text(), &tenths) != NumberText::TenthsNotFinite;
    if (ui->lineEditMaxDac->text().isEmpty() || !alarmGiven || ui->lineEditCompensationHours->text().isEmpty()) {
        showBadEntry();
        return false;
    }

    ldMask = ModuleWidgets::checkedMask(this, ldEnablePrefix, moduleCount);
    lowPowerMask = ModuleWidgets::checkedMask(this, lowPowerPrefix, moduleCount);

    // The power limit always goes out within 2800..3980, and the field shows what goes out.
    maxDac = quint16(NumberText::toUInt(ui->lineEditMaxDac->text()) & 0xFFFF);
    if (maxDac < MaxPowerDacMin) {
        maxDac = MaxPowerDacMin;
        ui->lineEditMaxDac->setText(QString::number(MaxPowerDacMin));
    } else if (maxDac > MaxPowerDacMax) {
        maxDac = MaxPowerDacMax;
        ui->lineEditMaxDac->setText(QString::number(MaxPowerDacMax));
    }

    // Tenths from the decimal text itself, so "25.3" read from the controller
    // goes back as 253; a negative entry counts as 0.
    alarmTenths = quint16(quint32(qMax(tenths, 0)) & 0xFFFF);
    hours = NumberText::toUInt(ui->lineEditCompensationHours->text());
    return true;
}

void MainWindow::showConfig(
    const QString &name, quint16 ldMask, quint16 lowPowerMask, quint16 maxDac, quint16 alarmTenths, quint32 hours)
{
    ui->lineEditConfigName->setText(name);
    ModuleWidgets::setChecked(this, ldEnablePrefix, ldMask, moduleCount);
    ModuleWidgets::setChecked(this, lowPowerPrefix, lowPowerMask, moduleCount);
    ui->lineEditMaxDac->setText(QString::number(maxDac));
    ui->lineEditAlarmTemperature->setText(QString::number(alarmTenths / 10.0, 'g', 6));
    ui->lineEditCompensationHours->setText(QString::number(hours));
}

void MainWindow::on_btnSaveAllConfig_clicked()
{
    quint16 ldMask = 0;
    quint16 lowPowerMask = 0;
    quint16 maxDac = 0;
    quint16 alarmTenths = 0;
    quint32 hours = 0;
    if (!readConfigTab(ldMask, lowPowerMask, maxDac, alarmTenths, hours))
        return;

    // The controller holds the duration in 32-bit seconds; a duration that
    // does not fit is refused rather than sent wrapped.
    const quint64 seconds = quint64(hours) * ConfigBlock::SecondsPerHour;
    if (seconds > std::numeric_limits<quint32>::max()) {
        showBadEntry();
        return;
    }

    if (!spComm->isOpen()) {
        warnPortNotOpen();
        return;
    }

    ConfigBlock block;
    block.ldMask = ldMask;
    block.ldMaxDac = maxDac;
    block.compensationSeconds = quint32(seconds);
    block.alarmTenths = alarmTenths;
    block.lowPowerMask = lowPowerMask;
    const int result = writeConfigBlock(block);
    if (result == 1) {
        QMessageBox::warning(this, QStringLiteral("警告"), QStringLiteral("串口工作忙！"));
    } else if (result == 0) {
        QMessageBox::information(this, QStringLiteral("保存配置"), QStringLiteral("配置保存成功"));
    } else {
        QMessageBox::warning(this, QStringLiteral("保存配置"), QStringLiteral("配置保存失败！"));
    }
}

void MainWindow::on_btnGetAllConfig_clicked()
{
    if (!spComm->isOpen()) {
        warnPortNotOpen();
        return;
    }

    quint8 reply[readReplyLength(ConfigBlockCount)] = {};
    quint16 received = 0;
    ConfigBlock block;
    // A reply shorter than the full block (an exception reply) is a failed read.
    if (readRegisters(ConfigBlockFirst, ConfigBlockCount, reply, received) != 0
        || !decodeConfigReply(reply, received, &block)) {
        countReadFailure();
        QMessageBox::warning(this, QStringLiteral("警告"), QStringLiteral("读取配置失败！"));
        return;
    }

    commOk = true;
    commFailCount = 0;
    ldEnableMask = block.ldMask;
    ldMaxDac = block.ldMaxDac;
    ldCompensationSeconds = block.compensationSeconds;
    ldAlarmTemperature = block.alarmTenths;
    ldLowPowerMask = block.lowPowerMask;
    showConfig(ConfigFile::defaultName(), ldEnableMask, ldLowPowerMask, ldMaxDac, ldAlarmTemperature,
        ldCompensationSeconds / ConfigBlock::SecondsPerHour);
}

void MainWindow::on_btnResetFactory_clicked()
{
    if (!spComm->isOpen()) {
        warnPortNotOpen();
        return;
    }

    const ConfigBlock factory = ConfigBlock::factory();
    const int result = writeConfigBlock(factory);
    if (result == 1) {
        QMessageBox::warning(this, QStringLiteral("警告"), QStringLiteral("串口工作忙！"));
    } else if (result == 0) {
        showConfig(ConfigFile::defaultName(), factory.ldMask, factory.lowPowerMask, factory.ldMaxDac,
            factory.alarmTenths, factory.compensationSeconds / ConfigBlock::SecondsPerHour);
        QMessageBox::information(this, QStringLiteral("恢复出厂设置"), QStringLiteral("恢复出厂设置成功！"));
    } else {
        QMessageBox::warning(this, QStringLiteral("恢复出厂设置"), QStringLiteral("恢复出厂设置失败！"));
    }
}
