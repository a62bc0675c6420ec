// Export of the configuration tab to an INI file and import back into it.

#include "mainwindow.h"

#include "configfile.h"
#include "mainwindowform.h"

#include <QFileDialog>
#include <QMessageBox>

namespace {

void warnEmptyFileName(QWidget *parent)
{
    QMessageBox::warning(parent, QStringLiteral("警告"), QStringLiteral("文件名为空，请选择正确的文件"));
}

} // namespace

bool MainWindow::collectConfig(
    QString &name, quint16 &ldMask, quint16 &lowPowerMask, quint16 &maxDac, quint16 &alarmTenths, quint32 &hours)
{
    if (!readConfigTab(ldMask, lowPowerMask, maxDac, alarmTenths, hours))
        return false;
    name = ui->lineEditConfigName->text();
    if (name.isEmpty())
        name = ConfigFile::defaultName();
    return true;
}

void MainWindow::on_btnExportConfig_clicked()
{
    ConfigValues values;
    if (!collectConfig(
            values.name, values.ldMask, values.lowPowerMask, values.maxDac, values.alarmTenths, values.hours))
        return;

    const QString fileName = QFileDialog::getSaveFileName(
        this, tr("选择导出文件路径"), QStringLiteral("./"), tr("Config files(*.ini);;All files (*.*)"));
    if (fileName.isEmpty()) {
        warnEmptyFileName(this);
        return;
    }

    if (!ConfigFile::write(fileName, values)) {
        QMessageBox::warning(this, QStringLiteral("警告"), QStringLiteral("配置文件导出失败！"));
        return;
    }
    QMessageBox::information(this, QStringLiteral("提示"), QStringLiteral("配置文件已导出"));
}

void MainWindow::on_btnExportConfig_2_clicked()
{
    const QString fileName = QFileDialog::getOpenFileName(
        this, tr("选择配置文件路径"), QStringLiteral("./"), tr("Config files(*.ini);;All files (*.*)"));
    if (fileName.isEmpty()) {
        warnEmptyFileName(this);
        return;
    }

    ConfigValues values;
    if (ConfigFile::read(fileName, &values) != ConfigFile::ReadOk) {
        // Not readable, or not a configuration file: the tab stays as it was.
        QMessageBox::warning(this, QStringLiteral("警告"), QStringLiteral("配置文件读取失败！"));
        return;
    }
    showConfig(values.name, values.ldMask, values.lowPowerMask, values.maxDac, values.alarmTenths, values.hours);
    QMessageBox::information(this, QStringLiteral("提示"), QStringLiteral("配置文件已导入，点击保存配置下发命令！"));
}
