// vortanix-screenshots: pictures of the four pages of the panel, taken while
// it talks to a live virtual controller set up as in vortanix-demo.
//
// Usage: vortanix-screenshots [output folder]   (default docs/screenshots)
//
// Run it on a real display server (scripts/screenshots.sh uses Xvfb) so the
// pictures show the platform's fonts. It sets up the controller and the port
// list as vortanix-demo does, opens the link with the default settings,
// switches modules 1 to 6 on at power 650, reads the configuration pages from
// the controller, and checks that the values it pictures came from the
// controller and that no widget or caption is cut off. It prints the screen's
// DPI and scale factor as Qt sees them and the window's size. It exits with
// status 1 when a check fails or a message box pops up (the pictures are
// saved anyway).

#include "demosetup.h"
#include "fitcheck.h"
#include "highdpi.h"
#include "mainwindow.h"
#include "registers.h"
#include "virtualcontroller.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QStringList>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <functional>

namespace {

constexpr quint16 switchedOnMask = 0x003F; // modules 1 to 6
const QString powerSetting = QStringLiteral("650");

int failures = 0;

void fail(const QString &what)
{
    ++failures;
    std::fprintf(stderr, "vortanix-screenshots: %s\n", qPrintable(what));
}

void check(bool ok, const QString &what)
{
    if (!ok)
        fail(what);
}

void waitMs(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        waitMs(50);
    }
    return true;
}

template <typename T>
T *widget(QWidget &window, const char *name)
{
    T *found = window.findChild<T *>(QString::fromLatin1(name));
    if (!found)
        fail(QStringLiteral("the window has no widget named %1").arg(QString::fromLatin1(name)));
    return found;
}

QString labelText(QWidget &window, const char *name)
{
    const QLabel *label = widget<QLabel>(window, name);
    return label ? label->text() : QString();
}

void click(QWidget &window, const char *name)
{
    if (QAbstractButton *button = widget<QAbstractButton>(window, name))
        button->click();
}

// What Qt made of the screen, for the high-DPI test: the screen in device
// pixels and millimetres, the DPI Qt took the scale from (the desktop's
// Xft.dpi, or with Qt 5.15.8 the screen's size when that is not set: the
// logical DPI before scaling), the scale factor it chose, the DPI it lays
// fonts out at, and the window's size in logical pixels.
void reportScreen(const QWidget &window)
{
    const QWindow *handle = window.windowHandle();
    const QScreen *screen = handle ? handle->screen() : nullptr;
    if (!screen || screen->physicalSize().width() <= 0) {
        fail(QStringLiteral("the window has no screen of known size"));
        return;
    }
    const qreal ratio = handle->devicePixelRatio();
    const int deviceWidth = qRound(screen->size().width() * ratio);
    const qreal millimetres = screen->physicalSize().width();
    std::printf("screen: %d px over %g mm, Qt's DPI %.1f, device pixel ratio %g, logical DPI %g\n", deviceWidth,
                millimetres, screen->logicalDotsPerInchX() * ratio, ratio, screen->logicalDotsPerInchX());
    std::printf("window: %d x %d\n", window.width(), window.height());
    std::fflush(stdout);
}

bool savePage(QWidget &window, QTabWidget *tabs, int index, const QString &path)
{
    tabs->setCurrentIndex(index);
    waitMs(700); // one poll refreshes the page
    for (const QString &clip : FitCheck::clippedWidgets(window))
        fail(QStringLiteral("page %1: %2").arg(index + 1).arg(clip));
    const QPixmap picture = window.grab();
    if (picture.isNull() || !picture.save(path)) {
        fail(QStringLiteral("cannot save %1").arg(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

int takeScreenshots(VirtualController &controller, const QString &outDir)
{
    MainWindow window;
    window.show();

    // No message box belongs on the pictured road: note any and close it.
    QTimer modalGuard;
    QObject::connect(&modalGuard, &QTimer::timeout, [] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            const auto *box = qobject_cast<QMessageBox *>(modal);
            fail(QStringLiteral("unexpected dialog: %1 %2")
                     .arg(modal->windowTitle(), box ? box->text() : QString()));
            modal->close();
        }
    });
    modalGuard.start(100);

    auto *tabs = widget<QTabWidget>(window, "tabWidget");
    auto *serialName = widget<QComboBox>(window, "serialName");
    auto *switchSerial = widget<QPushButton>(window, "switchSerial");
    auto *lineEditPower = widget<QLineEdit>(window, "lineEditPower");
    if (!tabs || !serialName || !switchSerial || !lineEditPower)
        return 1;
    waitMs(500);
    reportScreen(window);

    // Open the link with the default address and baud rate, as a newcomer would.
    const QString port = Demo::listedPort(controller);
    if (!Demo::listPortFirst(window, port))
        return 1;
    check(serialName->currentText() == port, QStringLiteral("the port list does not start with %1").arg(port));
    switchSerial->click();
    if (switchSerial->text() != QStringLiteral("关闭串口")) {
        fail(QStringLiteral("the link to %1 did not open").arg(port));
        return 1;
    }

    // Modules 1 to 6 on, power 650.
    tabs->setCurrentIndex(1);
    for (int module = 1; module <= 6; ++module) {
        const QByteArray name = "checkBoxLdSwitch_" + QByteArray::number(module);
        if (auto *box = widget<QCheckBox>(window, name.constData()); box && !box->isChecked())
            box->click();
    }
    click(window, "btnLdOn");
    lineEditPower->setText(powerSetting);
    click(window, "powerSet");

    const bool live = waitFor(
        [&] {
            return labelText(window, "labelCommStat") == QStringLiteral("正常")
                   && labelText(window, "labelPowerPercent") == powerSetting
                   && labelText(window, "ldStatLd_6") == QStringLiteral("开")
                   && labelText(window, "ldStatLd_7") == QStringLiteral("关");
        },
        20000);
    check(live, QStringLiteral("the device page never showed the link up with modules 1-6 on at power 650"));
    check(controller.holdingRegister(RegLdSwitchMask) == switchedOnMask,
          QStringLiteral("the controller's switch mask is 0x%1")
              .arg(controller.holdingRegister(RegLdSwitchMask), 4, 16, QLatin1Char('0')));
    // A few more polls, so the drifting values have moved.
    waitMs(2500);

    bool saved = savePage(window, tabs, 0, outDir + QStringLiteral("/1-serial.png"));

    tabs->setCurrentIndex(1);
    waitMs(700);
    const QString temperature = labelText(window, "labelLdTemperature");
    QString degrees = temperature;
    degrees.chop(1);
    const double celsius = degrees.toDouble();
    check(temperature.endsWith(QStringLiteral("℃")) && celsius >= 23.0 && celsius <= 27.0,
          QStringLiteral("temperature shows \"%1\"").arg(temperature));
    const double volts = labelText(window, "labelSupplyVoltage").toDouble();
    check(volts >= 23.0 && volts <= 25.0,
          QStringLiteral("supply shows \"%1\"").arg(labelText(window, "labelSupplyVoltage")));
    check(labelText(window, "labelWorkHours") == QStringLiteral("%1H").arg(Demo::runSeconds / 3600),
          QStringLiteral("running time shows \"%1\"").arg(labelText(window, "labelWorkHours")));
    check(labelText(window, "labelVersion") == QStringLiteral("V1.10"),
          QStringLiteral("version shows \"%1\"").arg(labelText(window, "labelVersion")));
    saved = savePage(window, tabs, 1, outDir + QStringLiteral("/2-device.png")) && saved;

    // The light-source page filled from the controller.
    tabs->setCurrentIndex(2);
    click(window, "btnGetLdEn");
    click(window, "getLimitPower");
    if (auto *limit = widget<QLineEdit>(window, "lineLimitPower")) {
        // A read that a controller late under load answered after the panel
        // gave up leaves the field as it was: it is asked again.
        const QString maxDac = QString::number(controller.holdingRegister(RegMaxPowerDac));
        for (int attempt = 1; attempt < 5 && limit->text() != maxDac; ++attempt)
            click(window, "getLimitPower");
        check(limit->text() == maxDac, QStringLiteral("power limit shows \"%1\"").arg(limit->text()));
    }
    saved = savePage(window, tabs, 2, outDir + QStringLiteral("/3-light.png")) && saved;

    // The factory page filled from the controller's configuration block.
    tabs->setCurrentIndex(3);
    click(window, "btnGetAllConfig");
    if (auto *maxDac = widget<QLineEdit>(window, "lineEditMaxDac"))
        check(maxDac->text() == QString::number(controller.holdingRegister(RegCfgLdMaxDac)),
              QStringLiteral("configuration max DAC shows \"%1\"").arg(maxDac->text()));
    saved = savePage(window, tabs, 3, outDir + QStringLiteral("/4-factory.png")) && saved;

    switchSerial->click();
    return saved && failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    enableHighDpiScaling();
    QApplication application(argc, argv);
    const QString outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/screenshots");
    if (!QDir().mkpath(outDir)) {
        std::fprintf(stderr, "vortanix-screenshots: cannot create %s\n", qPrintable(outDir));
        return 1;
    }

    QTemporaryDir runtimeDir(QDir::tempPath() + QStringLiteral("/vortanix-demo-XXXXXX"));
    VirtualController controller;
    Demo::prepareController(controller);
    if (!runtimeDir.isValid() || !controller.start(runtimeDir.filePath(Demo::linkName()))) {
        std::fprintf(stderr, "vortanix-screenshots: cannot start the virtual controller\n");
        return 1;
    }
    const int status = takeScreenshots(controller, outDir);
    controller.stop();
    return status;
}
