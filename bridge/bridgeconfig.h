#ifndef BRIDGECONFIG_H
#define BRIDGECONFIG_H

#include "linefacts.h"
#include "netallow.h"
#include "rs485.h"

#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>

// What the bridge runs with, as read from its configuration file and command
// line (ConfigLoader) and checked there: every value here is in range.

struct ControllerConfig
{
    QString id; // stable name in the topics: "<line>-<address>" unless the file names it
    quint8 address = 0; // LineFacts::AddressMin..AddressMax (1..254)
};

struct LineConfig
{
    QString name; // [line.NAME]
    QString port; // a /dev/serial/by-id path is best: it survives replugging
    int baud = LineFacts::bauds().first();
    int timeoutMs = 50; // per-byte wait for a reply
    bool echo = false; // the adapter hands each request back: check and drop it
    Rs485::Mode rs485 = Rs485::None; // who switches the transceiver's direction
    int rtsDelayUs = 0; // with rs485 kernel or rts: RTS up this long before and after a request
    // A read is answered from what the bridge holds when it is younger than
    // this; -1: the poll interval; 0: always on the line.
    int maxAgeMs = -1;
    bool verify = true; // writes are read back (one more exchange each)
    int offlinePollMs = 10000; // the longest wait between polls of an offline controller
    QList<ControllerConfig> controllers;
};

struct BrokerConfig
{
    QString host = QStringLiteral("localhost");
    int port = 0; // 0: 1883, or 8883 with TLS
    QString clientId;
    QString username;
    QString passwordFile;
    QString caFile; // TLS when set
    QString certFile; // client certificate, with keyFile
    QString keyFile;

    bool tls() const { return !caFile.isEmpty(); }
    int effectivePort() const { return port != 0 ? port : (tls() ? 8883 : 1883); }
};

// An address a front-end listens on ([modbus_tcp] and [http]: listen=,
// allow=); the front-end is off while no address is set.
struct ListenConfig
{
    QHostAddress address; // listen=[::] is Any: IPv6 and IPv4 both

    int port = 0; // 0: any free port (the log tells which)
    NetAllow allow; // loopback unless allow= says otherwise

    bool enabled() const { return !address.isNull(); }
    // The address as written: "::" for Any, which Qt would name 0.0.0.0.
    QString host() const
    {
        return address == QHostAddress(QHostAddress::Any) ? QStringLiteral("::") : address.toString();
    }
    // 127.0.0.1:9848, [::1]:9848, [::]:9848
    QString hostPort(int actualPort) const
    {
        const QString text = host().contains(QLatin1Char(':')) ? QLatin1Char('[') + host() + QLatin1Char(']') : host();
        return QStringLiteral("%1:%2").arg(text).arg(actualPort);
    }
};

// The HTTP listener ([http], once named [metrics]): the status page at /, the
// state as JSON at /api/state, Prometheus metrics at /metrics.
struct HttpConfig : ListenConfig
{
    // http://127.0.0.1:9848/metrics, http://[::1]:9848/ for `path` "/metrics" and "/"
    QString url(int actualPort, const char *path) const
    {
        return QStringLiteral("http://%1%2").arg(hostPort(actualPort), QLatin1String(path));
    }
};

// The Modbus TCP gateway.
struct ModbusTcpConfig : ListenConfig
{
    int idleTimeoutS = 60;
    // Unit id → (line, controller), both indexes into BridgeConfig::lines.
    QMap<int, QPair<int, int>> units;
};

struct BridgeConfig
{
    bool mqtt = true; // [mqtt] enabled
    ModbusTcpConfig modbusTcp;
    BrokerConfig broker;
    QString password; // read from broker.passwordFile; never printed
    QString topicPrefix = QStringLiteral("vortanix");
    bool discovery = true;
    QString discoveryPrefix = QStringLiteral("homeassistant");
    int pollIntervalMs = 500;
    bool readOnly = false;
    HttpConfig http;
    QList<LineConfig> lines;

    // The front-ends configured: what the bridge serves the lines to. One
    // at least; a new front-end is one more line here.
    QStringList frontEnds() const
    {
        QStringList names;
        if (mqtt)
            names.append(QStringLiteral("MQTT"));
        if (modbusTcp.enabled())
            names.append(QStringLiteral("Modbus TCP"));
        if (http.enabled())
            names.append(QStringLiteral("HTTP"));
        return names;
    }
};

#endif // BRIDGECONFIG_H
