#ifndef MAINWINDOWTESTACCESS_H
#define MAINWINDOWTESTACCESS_H

#include "mainwindow.h"

class MainWindowForm;
class Protocol;
class SPComm;
class QTimer;

// The tests' view of the window's members and operations.
class MainWindowTestAccess
{
public:
    static MainWindowForm *ui(MainWindow &w) { return w.ui; }
    static SPComm *spComm(MainWindow &w) { return w.spComm; }
    static Protocol *protocol(MainWindow &w) { return w.protocol; }
    static QTimer *updateTimer(MainWindow &w) { return w.updateTimer; }
    static QTimer *pollTimer(MainWindow &w) { return w.pollTimer; }

    static quint8 &slaveAddress(MainWindow &w) { return w.slaveAddress; }
    static quint8 &moduleCount(MainWindow &w) { return w.moduleCount; }
    static quint32 &commFailCount(MainWindow &w) { return w.commFailCount; }
    static bool &commOk(MainWindow &w) { return w.commOk; }
    static quint16 &ldEnableMask(MainWindow &w) { return w.ldEnableMask; }
    static quint16 &ldSwitchMask(MainWindow &w) { return w.ldSwitchMask; }
    static quint16 &powerPermille(MainWindow &w) { return w.powerPermille; }
    static qint16 &ldTemperature(MainWindow &w) { return w.ldTemperature; }
    static quint16 &supplyMillivolts(MainWindow &w) { return w.supplyMillivolts; }
    static quint32 &runSeconds(MainWindow &w) { return w.runSeconds; }
    static quint16 &firmwareVersion(MainWindow &w) { return w.firmwareVersion; }
    static quint16 &ldMaxDac(MainWindow &w) { return w.ldMaxDac; }
    static quint16 &ldAlarmTemperature(MainWindow &w) { return w.ldAlarmTemperature; }
    static quint16 &ldLowPowerMask(MainWindow &w) { return w.ldLowPowerMask; }
    static quint32 &ldCompensationSeconds(MainWindow &w) { return w.ldCompensationSeconds; }

    static int writeRegister(MainWindow &w, quint16 reg, quint16 value) { return w.writeRegister(reg, value); }
    static int readRegisters(MainWindow &w, quint16 first, quint16 count, quint8 *reply, quint16 &received)
    {
        return w.readRegisters(first, count, reply, received);
    }
    static void broadcastWriteRegister(MainWindow &w, quint8 slave, quint16 reg, quint16 value)
    {
        w.broadcastWriteRegister(slave, reg, value);
    }
    static void showLdSwitchState(MainWindow &w, quint16 mask) { w.showLdSwitchState(mask); }
    static void showLdEnableMask(MainWindow &w, quint16 mask) { w.showLdEnableMask(mask); }
    static void setLdEnableMask(MainWindow &w, quint16 mask) { w.setLdEnableMask(mask); }
    static void showConfig(MainWindow &w, const QString &name, quint16 ldMask, quint16 lowPowerMask, quint16 maxDac,
                           quint16 alarmTenths, quint32 hours)
    {
        w.showConfig(name, ldMask, lowPowerMask, maxDac, alarmTenths, hours);
    }
    static bool collectConfig(MainWindow &w, QString &name, quint16 &ldMask, quint16 &lowPowerMask,
                              quint16 &maxDac, quint16 &alarmTenths, quint32 &hours)
    {
        return w.collectConfig(name, ldMask, lowPowerMask, maxDac, alarmTenths, hours);
    }
    static quint16 permilleFromMillivolts(quint16 millivolts) { return MainWindow::permilleFromMillivolts(millivolts); }
    static void queryDevInfo(MainWindow &w) { w.queryDevInfo(); }
};

#endif // MAINWINDOWTESTACCESS_H
