#ifndef GATEWAYCONNECTION_H
#define GATEWAYCONNECTION_H

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QTimer>

class LineHub;
class QTcpSocket;
struct HubResult;

// One client of the Modbus TCP gateway, on the main thread's event loop:
// whole frames are cut from what it sends by their MBAP header (checked
// before anything is dispatched), judged, and carried to the hub one at a
// time, in order, each answered before the next is taken. A client that
// sends faster than its line answers is held back by TCP itself: its bytes
// stay unread. A malformed header closes the connection; so does a frame
// whose parts pause longer than PartTimeoutMs, and IdleTimeout without a
// request. When the client goes, its request that waits goes with it.
class GatewayConnection : public QObject
{
    Q_OBJECT

public:
    static constexpr int PartTimeoutMs = 500;

    struct Settings
    {
        bool readOnly = false;
        int idleTimeoutS = 60;
        QHash<int, QString> units; // unit id → its controller's id
    };

    // `settings` are the gateway's, which may change while the connection lives.
    GatewayConnection(QTcpSocket *socket, LineHub &hub, const Settings &settings, QObject *parent = nullptr);
    ~GatewayConnection() override;

    // Takes no more requests: the one in flight is still answered.
    void quiesce();
    // Sends what is still to go (waiting up to `waitMs`) and closes.
    void close(int waitMs);

signals:
    // A request answered: its function, the exception sent (0 for a good
    // answer), and whether it reached the hub (false: refused by the gateway).
    void served(int function, int exception, bool forwarded);
    void closed();

private:
    void process();
    void takeFrames();
    void take(const QByteArray &adu);
    void answered(const QByteArray &adu, const HubResult &result);
    void identify(const QByteArray &adu, const struct GatewayRequest &judged);
    void reply(const QByteArray &adu, const QByteArray &pdu);
    void drop();

    QTcpSocket *socket;
    LineHub &hub;
    const Settings &settings;
    const quint64 client;
    bool inFlight = false;
    bool taking = true;
    bool processing = false; // in process(): an answer given at once lets its loop go on
    QTimer idle;
    QTimer partTimer;
};

#endif // GATEWAYCONNECTION_H
