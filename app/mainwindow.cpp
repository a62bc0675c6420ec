#include "mainwindow.h"

#include "indicatorguard.h"
#include "mainwindowform.h"
#include "mydoublevalidator.h"
#include "myintvalidator.h"
#include "protocol.h"
#include "registers.h"
#include "spcomm.h"

#include <QTimer>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent),
      ui(nullptr),
      spComm(nullptr),
      protocol(nullptr),
      updateTimer(nullptr),
      pollTimer(nullptr),
      slaveAddress(1),
      moduleCount(12),
      commFailCount(0),
      commOk(false),
      ldEnableMask(0),
      ldSwitchMask(0),
      powerPermille(0),
      ldTemperature(0),
      supplyMillivolts(0),
      runSeconds(0),
      firmwareVersion(0),
      ldMaxDac(0),
      ldAlarmTemperature(0),
      ldLowPowerMask(0),
      ldCompensationSeconds(0)
{
    ui = new MainWindowForm;
    ui->buildForm(this);

    installValidators();
    // The controller's external analog input state: shown, never set by a click.
    IndicatorGuard::install(ui->radioButtonAdcEnableStat);

    spComm = new SPComm;
    protocol = new Protocol;

    updateTimer = new QTimer(this);
    connect(updateTimer, &QTimer::timeout, this, &MainWindow::timerUpdate);
    updateTimer->start(1000);

    pollTimer = new QTimer(this);
    connect(pollTimer, &QTimer::timeout, this, &MainWindow::queryDevInfo);
    pollTimer->start(500);

    on_checkSerial_clicked();
}

Q_NEVER_INLINE void MainWindow::installValidators()
{
    // The validators have no parent and live until the process ends.
    auto *alarmValidator = new MyDoubleValidator;
    alarmValidator->setNotation(QDoubleValidator::StandardNotation);
    alarmValidator->setRange(0.0, 100.0, 2);
    ui->lineEditAlarmTemperature->setValidator(alarmValidator);

    auto *maxDacValidator = new MyIntValidator(MaxPowerDacMin, MaxPowerDacMax);
    ui->lineLimitPower->setValidator(maxDacValidator);
    ui->lineEditMaxDac->setValidator(maxDacValidator);

    auto *hoursValidator = new MyIntValidator(0, 100000);
    ui->lineEditCompensationHours->setValidator(hoursValidator);
}

MainWindow::~MainWindow()
{
    delete ui;
    ui = nullptr;
    if (spComm) {
        delete spComm; // closes an open port
        spComm = nullptr;
    }
    if (protocol) {
        delete protocol;
        protocol = nullptr;
    }
    if (updateTimer) {
        delete updateTimer;
        updateTimer = nullptr;
    }
    if (pollTimer) {
        delete pollTimer;
        pollTimer = nullptr;
    }
}

void MainWindow::timerUpdate() { }

void MainWindow::on_tabWidget_currentChanged(int index)
{
    Q_UNUSED(index)
}

void MainWindow::on_tabWidget_destroyed() { }
