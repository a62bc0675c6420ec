// How every program takes SIGINT, SIGTERM and SIGHUP: as a request to stop
// that a loop and an event loop see, from whichever thread the signal is
// sent, and without the signal's own effect afterwards. (Each program's clean
// stop is checked in its own suite: ctl's status log, the bridge, the demo and
// vortanix-sim.)

#include "stoprequest.h"

#include <QtTest>

#include <csignal>

#include <pthread.h>
#include <thread>

class TestStopRequest : public QObject
{
    Q_OBJECT

private slots:
    void aSignalIsARequest_data();
    void aSignalIsARequest();
    void aWaitEndsWhenAnotherThreadSignals();
    void theEventLoopHearsIt();
    void hangUpCanReloadInstead();
    void aSignalThatCameIsNotDeliveredAgain();
};

namespace {

volatile sig_atomic_t handled = 0;
void countSignal(int)
{
    handled = handled + 1;
}

} // namespace

void TestStopRequest::aSignalIsARequest_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<bool>("hangUpToo");
    QTest::addColumn<QString>("name");
    QTest::newRow("SIGINT (Ctrl-C)") << int(SIGINT) << false << "SIGINT";
    QTest::newRow("SIGTERM") << int(SIGTERM) << false << "SIGTERM";
    QTest::newRow("SIGHUP, when asked") << int(SIGHUP) << true << "SIGHUP";
}

void TestStopRequest::aSignalIsARequest()
{
    QFETCH(int, number);
    QFETCH(bool, hangUpToo);
    QFETCH(QString, name);
    StopRequest stop(hangUpToo);
    QVERIFY(stop.isValid());
    QVERIFY(!stop.requested());
    QVERIFY(!stop.wait(0));
    QCOMPARE(stop.signalName(), QString());
    QCOMPARE(::raise(number), 0);
    QVERIFY(stop.requested());
    QVERIFY(stop.wait(60000)); // at once
    QCOMPARE(stop.signalName(), name);
    QCOMPARE(::raise(SIGTERM), 0); // a later one does not rename the first
    QCOMPARE(stop.signalName(), name);
}

// A signal that comes while the loop waits ends the wait. (Sent to this
// thread: QtTest's watchdog thread, started before the request, would take
// one sent to the process; the programs take theirs before any thread starts.)
void TestStopRequest::aWaitEndsWhenAnotherThreadSignals()
{
    StopRequest stop;
    const pthread_t waiting = ::pthread_self();
    std::thread sender([waiting] { ::pthread_kill(waiting, SIGTERM); });
    const bool stopped = stop.wait(60000);
    sender.join();
    QVERIFY(stopped);
    QCOMPARE(stop.signalName(), QStringLiteral("SIGTERM"));
}

void TestStopRequest::theEventLoopHearsIt()
{
    StopRequest stop(true);
    QObject context;
    int calls = 0;
    stop.onRequest(&context, [&calls] { ++calls; });
    QCOMPARE(::raise(SIGHUP), 0);
    QTRY_COMPARE(calls, 1);
    QCOMPARE(::raise(SIGINT), 0); // stopping already: once is enough
    QCoreApplication::processEvents(); // whatever the loop would do with it
    QCOMPARE(calls, 1);

    // One that came before the loop was asked is heard too.
    StopRequest early;
    QCOMPARE(::raise(SIGTERM), 0);
    QObject later;
    int lateCalls = 0;
    early.onRequest(&later, [&lateCalls] { ++lateCalls; });
    QTRY_COMPARE(lateCalls, 1);
}

void TestStopRequest::hangUpCanReloadInstead()
{
    // With a hang-up handler SIGHUP is no stop: the handler runs each time, a stop still stops.
    StopRequest stop(true);
    QObject context;
    int reloads = 0;
    int stops = 0;
    stop.onHangUp([&reloads] { ++reloads; });
    stop.onRequest(&context, [&stops] { ++stops; });
    QCOMPARE(::raise(SIGHUP), 0);
    QTRY_COMPARE(reloads, 1);
    QCOMPARE(::raise(SIGHUP), 0);
    QTRY_COMPARE(reloads, 2);
    QVERIFY(!stop.requested());
    QCOMPARE(stops, 0);
    QCOMPARE(::raise(SIGTERM), 0);
    QTRY_COMPARE(stops, 1);
    QCOMPARE(reloads, 2);
    QCOMPARE(stop.signalName(), QStringLiteral("SIGTERM"));
}

// Once the request is gone the program's own handling is back, and the
// signal it took is not delivered a second time (SIGINT's default would end
// this test).
void TestStopRequest::aSignalThatCameIsNotDeliveredAgain()
{
    struct sigaction counting = {};
    counting.sa_handler = countSignal;
    sigemptyset(&counting.sa_mask);
    struct sigaction previous = {};
    QCOMPARE(::sigaction(SIGINT, &counting, &previous), 0);
    handled = 0;
    {
        StopRequest stop;
        QCOMPARE(::raise(SIGINT), 0);
        QVERIFY(stop.requested());
    }
    QCOMPARE(int(handled), 0);
    QCOMPARE(::raise(SIGINT), 0);
    QCOMPARE(int(handled), 1);
    ::sigaction(SIGINT, &previous, nullptr);
}

QTEST_GUILESS_MAIN(TestStopRequest)
#include "tst_stoprequest.moc"
