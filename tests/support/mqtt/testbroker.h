#ifndef TESTBROKER_H
#define TESTBROKER_H

#include "childprocess.h"
#include <QString>

// Debian's mosquitto broker for a test: its own configuration file in the
// test's folder, a free loopback port chosen at run time, started as a
// process and stopped by its process id. start() returns once the broker
// says it runs and takes a TCP connection; a restart keeps the port.
class TestBroker
{
public:
    struct Options
    {
        QString caFile; // TLS listener when set, with certFile and keyFile
        QString certFile;
        QString keyFile;
        QString passwordFile; // a mosquitto_passwd file; no anonymous clients then
        bool packetLog = true; // every packet in the log (long runs leave it off)
        QString more; // appended to the configuration: a bridge's connection section, which must come last
    };

    explicit TestBroker(const QString &folder);
    ~TestBroker();
    TestBroker(const TestBroker &) = delete;
    TestBroker &operator=(const TestBroker &) = delete;

    bool start() { return start(Options()); }
    bool start(const Options &options);
    // SIGKILL: the broker vanishes without a word, as after a crash.
    void kill();
    // SIGTERM, and waits for it to end.
    void stop();
    bool isRunning() const { return process.state() != QProcess::NotRunning; }
    int port() const { return listenPort; }
    // The broker's log (every packet: log_type all) on its unbuffered standard
    // error, kept in a file of the folder so that a busy broker never waits
    // for the test to read it.
    QString output() const;
    // Waits until the log holds `text` after `from` characters.
    bool waitForLog(const QString &text, int from = 0, int timeoutMs = 30000) const;

    // A password file for the broker, made by mosquitto_passwd.
    static bool makePasswordFile(const QString &path, const QString &user, const QString &password);

private:
    bool launch(const Options &options);

    QString folder;
    ChildProcess process;
    int listenPort = 0;
    QString logPath;
};

#endif // TESTBROKER_H
