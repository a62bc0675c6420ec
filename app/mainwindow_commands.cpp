// The operator's single-register commands: laser switching, power, the
// external analog input, the module enable mask, the power limit and the
// RS-485 address.

#include "mainwindow.h"

#include "mainwindowform.h"
#include "modulewidgets.h"
#include "numbertext.h"
#include "powerscale.h"
#include "registers.h"
#include "replydecoder.h"
#include "spcomm.h"

#include <QMessageBox>

namespace {

const QString switchBoxPrefix = QStringLiteral("checkBoxLdSwitch_");
const QString enableBoxPrefix = QStringLiteral("checkBoxLd_");

} // namespace

quint16 MainWindow::permilleFromMillivolts(quint16 millivolts)
{
    return ::permilleFromMillivolts(millivolts);
}

void MainWindow::on_ldOnOffAll_clicked(bool checked)
{
    ModuleWidgets::setAllChecked(this, switchBoxPrefix, checked, moduleCount);
}

void MainWindow::on_btnLdOn_clicked()
{
    // Modules whose box is not checked are switched off.
    const quint16 mask = ModuleWidgets::checkedMask(this, switchBoxPrefix, moduleCount);
    if (writeRegister(RegLdSwitchMask, mask) == 0)
        ldSwitchMask = mask;
}

void MainWindow::on_powerSet_clicked()
{
    const QString text = ui->lineEditPower->text();
    if (text.isEmpty())
        return;
    quint16 value = NumberText::toWord(text);
    if (value > PowerPermilleMax)
        value = PowerPermilleMax;
    if (writeRegister(RegPowerPermille, value) == 0)
        powerPermille = value;
}

void MainWindow::on_analogPowerSet_clicked()
{
    const QString text = ui->lineEditAnalogPower->text();
    if (text.isEmpty())
        return;
    const quint16 value = permilleFromMillivolts(NumberText::toWord(text));
    if (writeRegister(RegPowerPermille, value) == 0)
        powerPermille = value;
}

void MainWindow::on_ldAdcOff_clicked()
{
    if (writeRegister(RegAdcEnable, 0) == 0)
        ui->radioButtonAdcEnableStat->setChecked(false);
}

void MainWindow::on_ldAdcOn_clicked()
{
    if (writeRegister(RegAdcEnable, 1) == 0)
        ui->radioButtonAdcEnableStat->setChecked(true);
}

void MainWindow::on_checkBoxLdEn_clicked(bool checked)
{
    ModuleWidgets::setAllChecked(this, enableBoxPrefix, checked, moduleCount);
}

void MainWindow::showLdEnableMask(quint16 mask)
{
    ModuleWidgets::setChecked(this, enableBoxPrefix, mask, moduleCount);
}

void MainWindow::setLdEnableMask(quint16 mask)
{
    if (writeRegister(RegLdEnableMask, mask) == 0) {
        ldEnableMask = mask;
        QMessageBox::information(this, QStringLiteral("设置"), QStringLiteral("设置成功！"));
    } else {
        QMessageBox::information(this, QStringLiteral("设置"), QStringLiteral("设置失败！"));
    }
}

void MainWindow::on_btnSaveLdEn_clicked()
{
    setLdEnableMask(ModuleWidgets::checkedMask(this, enableBoxPrefix, moduleCount));
}

void MainWindow::on_btnGetLdEn_clicked()
{
    if (spComm->isOpen())
        showLdEnableMask(ldEnableMask);
    else
        warnPortNotOpen();
}

void MainWindow::on_saveLimitPower_clicked()
{
    const QString text = ui->lineLimitPower->text();
    if (text.isEmpty())
        return;
    quint16 value = NumberText::toWord(text);
    if (value > MaxPowerDacMax)
        value = MaxPowerDacMax;
    if (value < MaxPowerDacMin)
        value = MaxPowerDacMin;
    if (writeRegister(RegMaxPowerDac, value) == 0)
        ldMaxDac = value;
}

void MainWindow::on_getLimitPower_clicked()
{
    if (!spComm->isOpen())
        return;
    quint8 reply[readReplyLength(1)] = {};
    quint16 received = 0;
    if (readRegisters(RegMaxPowerDac, 1, reply, received) != 0)
        return;
    // An exception reply passes the CRC check but holds no register word.
    quint16 value = 0;
    if (!decodeMaxDacReply(reply, received, &value))
        return;
    ldMaxDac = value;
    ui->lineLimitPower->setText(QString::number(value));
}

void MainWindow::on_set485Id_clicked()
{
    const QString text = ui->lineSet485_ID->text();
    if (text.isEmpty())
        return;
    const quint16 address = NumberText::toWord(text);
    if (address < Rs485AddressMin || address > Rs485AddressMax)
        return;
    // Broadcasts are never answered, so a closed link must not be reported as "sent".
    if (!spComm->isOpen()) {
        warnPortNotOpen();
        return;
    }
    broadcastWriteRegister(0, RegRs485Address, address);
    broadcastWriteRegister(0, RegRs485Address, address);
    broadcastWriteRegister(0, RegCommandWord, 1);
    QMessageBox::information(
        nullptr, QStringLiteral("设置485地址"), QStringLiteral("命令已发送，请用新地址尝试连接！"));
}
