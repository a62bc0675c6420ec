#ifndef BRIDGEPROCESS_H
#define BRIDGEPROCESS_H

#include "childprocess.h"
#include <QString>
#include <QStringList>

// The real vortanix-bridge as a process of the test, with a configuration
// file the test writes. Its standard error (the log) is collected.
class BridgeProcess
{
public:
    explicit BridgeProcess(const QString &folder);
    ~BridgeProcess();
    BridgeProcess(const BridgeProcess &) = delete;
    BridgeProcess &operator=(const BridgeProcess &) = delete;

    static QString program();
    // The commented sample configuration the package installs in /etc/vortanix.
    static QString sampleConfig();

    // Writes <folder>/bridge.ini and returns its path.
    QString writeConfig(const QString &text);
    // Starts the bridge with --config <folder>/bridge.ini and these arguments.
    bool start(const QStringList &arguments = QStringList());
    // Waits until the log holds `text` after its first `from` characters.
    bool waitForLog(const QString &text, int timeoutMs = 20000, int from = 0);
    // The port its Modbus TCP gateway or its metrics listen on, as the log
    // names it once listening; 0 when it does not come.
    int gatewayPort(int timeoutMs = 20000);
    int metricsPort(int timeoutMs = 20000);
    // Waits for the process to end on its own; its exit code, or -1.
    int waitForExit(int timeoutMs = 20000);
    // SIGTERM, then waits: the exit code, or -1 when it did not end normally.
    int terminate(int timeoutMs = 20000);
    // SIGKILL: the bridge vanishes without a word.
    void kill();
    QString log();
    qint64 pid() const { return process.processId(); }

private:
    int listenPort(const QString &marker, int timeoutMs);

    QString folder;
    ChildProcess process;
    QString collected;
};

#endif // BRIDGEPROCESS_H
