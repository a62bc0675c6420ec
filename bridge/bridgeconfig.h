#ifndef BRIDGECONFIG_H
#define BRIDGECONFIG_H

#include "rs485.h"

#include <QList>
#include <QString>

// What the bridge runs with, as read from its configuration file and command
// line (ConfigLoader) and checked there: every value here is in range.

struct ControllerConfig
{
    QString id; // stable name in the topics: "<line>-<address>" unless the file names it
    quint8 address = 0; // 1..247
};

struct LineConfig
{
    QString name; // [line.NAME]
    QString port; // a /dev/serial/by-id path is best: it survives replugging
    int baud = 115200;
    int timeoutMs = 50; // per-byte wait for a reply
    bool echo = false; // the adapter hands each request back: check and drop it
    Rs485::Mode rs485 = Rs485::None; // who switches the transceiver's direction
    int rtsDelayUs = 0; // with rs485 kernel or rts: RTS up this long before and after a request
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

struct BridgeConfig
{
    BrokerConfig broker;
    QString password; // read from broker.passwordFile; never printed
    QString topicPrefix = QStringLiteral("vortanix");
    bool discovery = true;
    QString discoveryPrefix = QStringLiteral("homeassistant");
    int pollIntervalMs = 500;
    bool readOnly = false;
    QList<LineConfig> lines;
};

#endif // BRIDGECONFIG_H
