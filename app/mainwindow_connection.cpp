// Port discovery and opening/closing the link.

#include "mainwindow.h"

#include "mainwindowform.h"
#include "numbertext.h"
#include "spcomm.h"

#include <QDebug>
#include <QMessageBox>
#include <QSerialPort>
#include <QSerialPortInfo>

namespace {
const char *const captionOpen = "打开串口";
const char *const captionClose = "关闭串口";
} // namespace

void MainWindow::on_checkSerial_clicked()
{
    ui->serialName->clear();
    // Only ports that can be opened are listed; nothing is sent on the line.
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        QSerialPort probe;
        probe.setPort(info);
        if (probe.open(QIODevice::ReadWrite)) {
            ui->serialName->addItem(info.portName());
            probe.close();
        }
    }
}

void MainWindow::on_switchSerial_clicked()
{
    if (ui->switchSerial->text() != QString::fromUtf8(captionOpen)) {
        spComm->closePort();
        showLinkDown();
        unlockConnectionSettings();
        qDebug().noquote() << QStringLiteral("关闭串口成功");
        return;
    }

    if (spComm->isOpen())
        return;

    spComm->setBaudRate(ui->baudRate->currentText().toInt(nullptr, 10));
    spComm->setPortName(ui->serialName->currentText());
    // Only the low 8 bits count: 300 addresses slave 44, a non-number or a negative number slave 0.
    slaveAddress = quint8(NumberText::toWord(ui->lineEditRs485Id->text()) & 0xFF);

    if (!spComm->openPort()) {
        QMessageBox::warning(this, QStringLiteral("警告"), QStringLiteral("串口打开失败"));
        return;
    }

    qDebug().noquote() << QStringLiteral("打开串口成功");
    // The previous link's health says nothing about this one.
    showLinkDown();
    ui->switchSerial->setText(QString::fromUtf8(captionClose));
    ui->checkSerial->setEnabled(false);
    ui->serialName->setEnabled(false);
    ui->baudRate->setEnabled(false);
    ui->stopBits->setEnabled(false);
    ui->paritySelect->setEnabled(false);
    ui->lineEditRs485Id->setEnabled(false);
}

void MainWindow::showLinkDown()
{
    commOk = false;
    commFailCount = 0;
    ui->labelCommStat->setText(QStringLiteral("故障"));
}

void MainWindow::unlockConnectionSettings()
{
    ui->switchSerial->setText(QString::fromUtf8(captionOpen));
    ui->checkSerial->setEnabled(true);
    ui->serialName->setEnabled(true);
    ui->baudRate->setEnabled(true);
    ui->stopBits->setEnabled(true);
    ui->paritySelect->setEnabled(true);
    ui->lineEditRs485Id->setEnabled(true);
}
