#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>

struct ConfigBlock;
class MainWindowForm;
class SPComm;
class Protocol;
class QTimer;

// The panel's one window: owns the form, the serial link, the frame builder
// and the two timers; its slots are the operator's commands and the poll.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private slots:
    void on_checkSerial_clicked();
    void on_switchSerial_clicked();
    void timerUpdate();
    void on_tabWidget_currentChanged(int index);
    void on_tabWidget_destroyed();
    void on_ldOnOffAll_clicked(bool checked);
    void on_checkBoxLdEn_clicked(bool checked);
    void on_btnLdOn_clicked();
    void on_powerSet_clicked();
    void on_ldAdcOff_clicked();
    void on_ldAdcOn_clicked();
    void on_btnSaveLdEn_clicked();
    void queryDevInfo();
    void on_btnGetLdEn_clicked();
    void on_analogPowerSet_clicked();
    void on_saveLimitPower_clicked();
    void on_getLimitPower_clicked();
    void on_set485Id_clicked();
    void on_btnSaveAllConfig_clicked();
    void on_btnGetAllConfig_clicked();
    void on_btnResetFactory_clicked();
    void on_btnExportConfig_clicked();
    void on_btnExportConfig_2_clicked();

private:
    // Creates the parentless input validators of the configuration fields.
    void installValidators();

    // Register transactions (0 = success, -1 = failure).
    int writeRegister(quint16 reg, quint16 value);
    int readRegisters(quint16 first, quint16 count, quint8 *reply, quint16 &received);
    void broadcastWriteRegister(quint8 slave, quint16 reg, quint16 value);

    // Whether the link is open; warns the operator when it is not.
    bool linkIsOpen();
    // Writes the configuration block with the link's mutex try; shared by
    // the save and the factory reset. 0 = acknowledged, 1 = link busy, -1 = no valid acknowledgement.
    int writeConfigBlock(const ConfigBlock &block);

    // Power per mille from an analog millivolt figure (300..3200 mV onto 0..1000).
    static quint16 permilleFromMillivolts(quint16 millivolts);

    void showLdSwitchState(quint16 mask);
    void setLdEnableMask(quint16 mask);
    void showLdEnableMask(quint16 mask);
    void showConfig(
        const QString &name, quint16 ldMask, quint16 lowPowerMask, quint16 maxDac, quint16 alarmTenths, quint32 hours);
    bool collectConfig(
        QString &name, quint16 &ldMask, quint16 &lowPowerMask, quint16 &maxDac, quint16 &alarmTenths, quint32 &hours);
    // The tab-reading rules shared by the save and the export.
    bool readConfigTab(quint16 &ldMask, quint16 &lowPowerMask, quint16 &maxDac, quint16 &alarmTenths, quint32 &hours);
    // Counts one failed status or configuration read in the shared health rule.
    void countReadFailure();
    // The link's health belongs to the open link: a link just opened or
    // closed is "故障" with no failures counted, until a good read on it.
    void showLinkDown();
    // Returns the connection controls to the closed state.
    void unlockConnectionSettings();
    void warnPortNotOpen();

    MainWindowForm *ui;
    SPComm *spComm;
    Protocol *protocol;
    QTimer *updateTimer;
    QTimer *pollTimer;
    quint8 slaveAddress;
    quint8 moduleCount;
    quint32 commFailCount;
    bool commOk;
    quint16 ldEnableMask;
    quint16 ldSwitchMask;
    quint16 powerPermille;
    qint16 ldTemperature;
    quint16 supplyMillivolts;
    quint32 runSeconds;
    quint16 firmwareVersion;
    quint16 ldMaxDac;
    quint16 ldAlarmTemperature;
    quint16 ldLowPowerMask;
    quint32 ldCompensationSeconds;

    friend class MainWindowTestAccess;
};

#endif // MAINWINDOW_H
