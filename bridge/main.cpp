// vortanix-bridge: the light sources of RS-485 lines on an MQTT broker, with
// Home Assistant discovery. See packaging/man/vortanix-bridge.1 and
// vortanix-bridge.ini.5, and docs/plant-guide.md.

#include "bridge.h"
#include "configloader.h"
#include "exitstatus.h"
#include "log.h"
#include "stoprequest.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <mosquitto.h>

#include <cstdio>
#include <cstdlib>

#include <unistd.h>

namespace {

const QString defaultConfig = QStringLiteral("/etc/vortanix/bridge.ini");

// Options that set one key of the file, and the key.
const QList<QPair<QCommandLineOption, QString>> &keyOptions()
{
    static const QList<QPair<QCommandLineOption, QString>> options = {
        {{QStringLiteral("host"), QStringLiteral("Broker host name or address (mqtt/host)."), QStringLiteral("HOST")},
            QStringLiteral("mqtt/host")},
        {{QStringLiteral("port"), QStringLiteral("Broker port (mqtt/port)."), QStringLiteral("PORT")},
            QStringLiteral("mqtt/port")},
        {{QStringLiteral("client-id"), QStringLiteral("MQTT client id (mqtt/client_id)."), QStringLiteral("ID")},
            QStringLiteral("mqtt/client_id")},
        {{QStringLiteral("username"), QStringLiteral("Broker user name (mqtt/username)."), QStringLiteral("NAME")},
            QStringLiteral("mqtt/username")},
        {{QStringLiteral("password-file"),
             QStringLiteral("File whose first line is the password (mqtt/password_file)."), QStringLiteral("FILE")},
            QStringLiteral("mqtt/password_file")},
        {{QStringLiteral("ca-file"),
             QStringLiteral("TLS: the authority that signed the broker's certificate (mqtt/ca_file)."),
             QStringLiteral("FILE")},
            QStringLiteral("mqtt/ca_file")},
        {{QStringLiteral("cert-file"), QStringLiteral("TLS client certificate (mqtt/cert_file)."),
             QStringLiteral("FILE")},
            QStringLiteral("mqtt/cert_file")},
        {{QStringLiteral("key-file"), QStringLiteral("TLS client key (mqtt/key_file)."), QStringLiteral("FILE")},
            QStringLiteral("mqtt/key_file")},
        {{QStringLiteral("topic-prefix"), QStringLiteral("Topic prefix (mqtt/topic_prefix)."),
             QStringLiteral("PREFIX")},
            QStringLiteral("mqtt/topic_prefix")},
        {{QStringLiteral("discovery-prefix"),
             QStringLiteral("Home Assistant discovery prefix (mqtt/discovery_prefix)."), QStringLiteral("PREFIX")},
            QStringLiteral("mqtt/discovery_prefix")},
        {{QStringLiteral("poll-interval"), QStringLiteral("Poll interval per controller (bridge/poll_interval_ms)."),
             QStringLiteral("MS")},
            QStringLiteral("bridge/poll_interval_ms")},
        {{QStringLiteral("modbus-tcp"),
             QStringLiteral("Serve Modbus TCP on ADDRESS:PORT, e.g. 127.0.0.1:1502 (modbus_tcp/listen)."),
             QStringLiteral("ADDRESS:PORT")},
            QStringLiteral("modbus_tcp/listen")},
        {{QStringLiteral("http"),
             QStringLiteral("Serve the status page at http://ADDRESS:PORT/, the state at /api/state and Prometheus "
                            "metrics at /metrics (http/listen)."),
             QStringLiteral("ADDRESS:PORT")},
            QStringLiteral("http/listen")},
        // The option's old name, from when the listener served the metrics alone.
        {{QStringLiteral("metrics"), QStringLiteral("The same as --http."), QStringLiteral("ADDRESS:PORT")},
            QStringLiteral("http/listen")},
    };
    return options;
}

void printSummary(const BridgeConfig &config)
{
    if (config.mqtt) {
        std::printf("broker %s:%d%s as %s\n", qPrintable(config.broker.host), config.broker.effectivePort(),
            config.broker.tls() ? " (TLS)" : "", qPrintable(config.broker.clientId));
        std::printf("topics %s/<id>/..., discovery %s\n", qPrintable(config.topicPrefix),
            config.discovery ? qPrintable(config.discoveryPrefix) : "off");
    } else {
        std::printf("MQTT off\n");
    }
    const ModbusTcpConfig &gateway = config.modbusTcp;
    if (gateway.enabled()) {
        std::printf("Modbus TCP on %s port %d, clients from %s, idle connections close after %d s\n",
            qPrintable(gateway.host()), gateway.port, qPrintable(gateway.allow.text()), gateway.idleTimeoutS);
        for (auto it = gateway.units.cbegin(); it != gateway.units.cend(); ++it)
            std::printf("  unit %d: %s\n", it.key(),
                qPrintable(config.lines.at(it.value().first).controllers.at(it.value().second).id));
    }
    const HttpConfig &http = config.http;
    if (http.enabled()) {
        std::printf("status page %s, metrics %s for clients from %s\n", qPrintable(http.url(http.port, "/")),
            qPrintable(http.url(http.port, "/metrics")), qPrintable(http.allow.text()));
    }
    std::printf("poll every %d ms%s\n", config.pollIntervalMs, config.readOnly ? ", read-only" : "");
    for (const LineConfig &line : config.lines) {
        std::printf("line %s: %s at %d baud\n", qPrintable(line.name), qPrintable(line.port), line.baud);
        // What differs from the defaults of agent mode, read-back and back-off.
        if (line.maxAgeMs >= 0 || !line.verify || line.offlinePollMs != LineConfig().offlinePollMs)
            std::printf("  reads answered from memory up to %d ms old, writes %s, offline polls %d s apart at most\n",
                line.maxAgeMs >= 0 ? line.maxAgeMs : config.pollIntervalMs, line.verify ? "read back" : "not read back",
                line.offlinePollMs / 1000);
        if (line.echo || line.rs485 != Rs485::None)
            std::printf("  echo %s, rs485 %s, RTS delay %d us\n", line.echo ? "checked and dropped" : "none",
                qPrintable(Rs485::modeName(line.rs485)), line.rtsDelayUs);
        for (const ControllerConfig &controller : line.controllers)
            std::printf("  %s: address %d\n", qPrintable(controller.id), controller.address);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vortanix-bridge"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VORTANIX_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral(
            "Polls the light-source controllers of RS-485 lines and publishes them on an MQTT broker, "
            "with Home Assistant discovery; takes commands from the broker. Serves them to Modbus TCP "
            "clients (SCADA, PLCs, vortanix-ctl), on a status page and as Prometheus metrics when asked to.\n\n"
            "Exit status:\n")
        + ExitStatusTable::help(ExitStatusTable::Bridge));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption configOption({QStringLiteral("c"), QStringLiteral("config")},
        QStringLiteral("Configuration file (default %1, when it exists).").arg(defaultConfig), QStringLiteral("FILE"));
    const QCommandLineOption checkOption(
        QStringLiteral("check"), QStringLiteral("Check the configuration, print what it says and exit."));
    const QCommandLineOption lineOption(QStringLiteral("line"),
        QStringLiteral("A line, instead of the file's: NAME:BAUD:ADDRESSES:PORT (repeatable)."),
        QStringLiteral("LINE"));
    const QCommandLineOption noDiscoveryOption(
        QStringLiteral("no-discovery"), QStringLiteral("No Home Assistant discovery (mqtt/discovery=false)."));
    const QCommandLineOption readOnlyOption(
        QStringLiteral("read-only"), QStringLiteral("Take no commands (bridge/read_only=true)."));
    const QCommandLineOption noMqttOption(QStringLiteral("no-mqtt"),
        QStringLiteral("No MQTT: serve the lines through Modbus TCP or HTTP only (mqtt/enabled=false)."));
    const QCommandLineOption traceOption(
        QStringLiteral("trace"), QStringLiteral("Print every exchange on the lines to standard error."));
    parser.addOptions(
        {configOption, checkOption, lineOption, noDiscoveryOption, readOnlyOption, noMqttOption, traceOption});
    for (const auto &option : keyOptions())
        parser.addOption(option.first);
    // parse(), not process(): a wrong option exits with ExitUsage, as every other wrong input does.
    if (!parser.parse(QCoreApplication::arguments())) {
        logLine(parser.errorText() + QStringLiteral(" See --help."));
        return ExitUsage;
    }
    if (parser.isSet(QStringLiteral("help-all")))
        parser.process(application); // prints Qt's options too, and exits 0
    if (parser.isSet(helpOption))
        parser.showHelp(ExitOk);
    if (parser.isSet(versionOption))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty()) {
        logLine(QStringLiteral("unexpected argument '%1' (see --help)").arg(parser.positionalArguments().first()));
        return ExitUsage;
    }

    // The file and the options on top, as at the start, also when SIGHUP reads them again.
    const auto load = [&](ConfigLoader &loader) {
        const QString file = parser.isSet(configOption) ? parser.value(configOption) : defaultConfig;
        bool ok = (!parser.isSet(configOption) && !QFileInfo::exists(file)) || loader.readFile(file);
        for (const auto &option : keyOptions()) {
            if (ok && parser.isSet(option.first)) {
                const QString name = QStringLiteral("--") + option.first.names().first();
                ok = loader.set(option.second, parser.value(option.first), name);
            }
        }
        if (ok && parser.isSet(noDiscoveryOption))
            ok = loader.set(
                QStringLiteral("mqtt/discovery"), QStringLiteral("false"), QStringLiteral("--no-discovery"));
        if (ok && parser.isSet(readOnlyOption))
            ok = loader.set(QStringLiteral("bridge/read_only"), QStringLiteral("true"), QStringLiteral("--read-only"));
        if (ok && parser.isSet(noMqttOption))
            ok = loader.set(QStringLiteral("mqtt/enabled"), QStringLiteral("false"), QStringLiteral("--no-mqtt"));
        for (const QString &text : parser.values(lineOption))
            ok = ok && loader.addLine(text);
        return ok && loader.finish();
    };
    ConfigLoader loader;
    if (!load(loader)) {
        logLine(loader.error());
        return loader.fileUnreadable() ? ExitFile : ExitUsage;
    }
    for (const QString &warning : loader.warnings())
        logLine(warning);
    if (parser.isSet(checkOption)) {
        printSummary(loader.config());
        return ExitOk;
    }

    // SIGINT and SIGTERM end the event loop, SIGHUP reads the configuration
    // again; taken before the lines' threads start.
    StopRequest stop(true);
    if (!stop.isValid()) {
        logLine(QStringLiteral("cannot take the stop signals"));
        return ExitFile;
    }
    mosquitto_lib_init();
    int status = ExitOk;
    bool clean = true;
    {
        Bridge bridge(loader.config(), parser.isSet(traceOption));
        stop.onHangUp([&] {
            ConfigLoader again;
            if (!load(again)) {
                logLine(QStringLiteral("SIGHUP: the configuration is refused, the running one stays: %1")
                            .arg(again.error()));
                return;
            }
            for (const QString &warning : again.warnings())
                logLine(warning);
            logLine(QStringLiteral("SIGHUP: reading the configuration again"));
            bridge.reload(again.config());
        });
        stop.onRequest(&application, [&application, &stop] {
            logLine(QStringLiteral("stopping on %1").arg(stop.signalName()));
            application.quit();
        });
        QString error;
        status = bridge.start(&error);
        if (status == ExitOk)
            application.exec();
        else
            logLine(error);
        clean = bridge.stop();
    }
    if (!clean) {
        // The MQTT thread is stuck in a connection attempt and still uses the client.
        std::fflush(nullptr);
        std::_Exit(status);
    }
    mosquitto_lib_cleanup();
    return status;
}
