#include "configtab.h"

#include "mainwindowform.h"
#include "panelrig.h"

#include <QCheckBox>
#include <QtTest>

namespace {
const QString enableBoxes = QStringLiteral("configAllLdEn_");
const QString lowPowerBoxes = QStringLiteral("configAllLowPower_");
} // namespace

QCheckBox *moduleBox(MainWindow &w, const QString &prefix, int module)
{
    return w.findChild<QCheckBox *>(prefix + QString::number(module));
}

void tickBoxes(MainWindow &w, const QString &prefix, quint16 mask)
{
    for (int module = 1; module <= 12; ++module) {
        QCheckBox *box = moduleBox(w, prefix, module);
        QVERIFY2(box, qPrintable(prefix + QString::number(module)));
        box->setChecked(mask & (1u << (module - 1)));
    }
}

quint16 tickedMask(MainWindow &w, const QString &prefix)
{
    quint16 mask = 0;
    for (int module = 1; module <= 12; ++module) {
        QCheckBox *box = moduleBox(w, prefix, module);
        if (box && box->isChecked())
            mask |= quint16(1u << (module - 1));
    }
    return mask;
}

QStringList tabState(PanelRig &rig)
{
    MainWindowForm *ui = rig.ui();
    return {QStringLiteral("name=") + ui->lineEditConfigName->text(),
            QStringLiteral("enable=0x") + QString::number(tickedMask(rig.w(), enableBoxes), 16),
            QStringLiteral("lowPower=0x") + QString::number(tickedMask(rig.w(), lowPowerBoxes), 16),
            QStringLiteral("dac=") + ui->lineEditMaxDac->text(),
            QStringLiteral("alarm=") + ui->lineEditAlarmTemperature->text(),
            QStringLiteral("hours=") + ui->lineEditCompensationHours->text()};
}

QStringList expectedTab(const QString &name, quint16 enable, quint16 lowPower, const QString &dac,
                        const QString &alarm, const QString &hours)
{
    return {QStringLiteral("name=") + name,
            QStringLiteral("enable=0x") + QString::number(enable, 16),
            QStringLiteral("lowPower=0x") + QString::number(lowPower, 16),
            QStringLiteral("dac=") + dac,
            QStringLiteral("alarm=") + alarm,
            QStringLiteral("hours=") + hours};
}

void fillTab(PanelRig &rig, const QString &name, quint16 enable, quint16 lowPower, const QString &dac,
             const QString &alarm, const QString &hours)
{
    MainWindowForm *ui = rig.ui();
    ui->lineEditConfigName->setText(name);
    tickBoxes(rig.w(), enableBoxes, enable);
    tickBoxes(rig.w(), lowPowerBoxes, lowPower);
    ui->lineEditMaxDac->setText(dac);
    ui->lineEditAlarmTemperature->setText(alarm);
    ui->lineEditCompensationHours->setText(hours);
}

void addEmptyFieldRows(bool allEmptyToo)
{
    QTest::addColumn<QString>("dac");
    QTest::addColumn<QString>("alarm");
    QTest::addColumn<QString>("hours");
    QTest::newRow("dac empty") << "" << "30" << "10";
    QTest::newRow("alarm empty") << "100" << "" << "10";
    QTest::newRow("hours empty") << "100" << "30" << "";
    if (allEmptyToo)
        QTest::newRow("all empty") << "" << "" << "";
}
