#include "metricspage.h"

#include "exposition.h"
#include "frontend.h"
#include "linehub.h"
#include "registermap.h"
#include "registers.h"

#include <functional>

namespace {

const char *const sensorStates[] = {"ok", "open", "short"};
const char *const commandResultLabels[] = {"ok", "failed", "refused"};

QString hexCode(int code)
{
    return QStringLiteral("%1").arg(code, 2, 16, QLatin1Char('0')).toUpper();
}

bool sensorFails(qint16 tenths)
{
    return tenths == TemperatureOpenCircuit || tenths == TemperatureShortCircuit;
}

} // namespace

MetricsPage::MetricsPage(const LineHub &hub, const QList<const FrontEnd *> &frontEnds) : hub(hub), frontEnds(frontEnds)
{
    for (int index = 0; index < hub.lineCount(); ++index)
        lines.push_back(Exposition::labels({{"line", hub.line(index).config.name}}));
    for (int index = 0; index < hub.controllerCount(); ++index) {
        const ControllerState &controller = hub.controller(index);
        Labels labels;
        labels.labels = Exposition::labels({{"line", hub.line(controller.line).config.name},
            {"address", QString::number(controller.config.address)}, {"id", controller.config.id}});
        for (int module = 1; module <= ModuleCount; ++module)
            labels.modules.push_back(Exposition::withLabel(labels.labels, "module", QString::number(module)));
        for (int kind = 0; kind < Outcome::KindCount; ++kind)
            labels.outcomes.push_back(Exposition::withLabel(
                labels.labels, "outcome", QString::fromLatin1(Outcome::row(Outcome::Kind(kind)).label)));
        for (const char *state : sensorStates)
            labels.sensorStates.push_back(Exposition::withLabel(labels.labels, "state", QString::fromLatin1(state)));
        controllers.push_back(labels);
    }
}

QByteArray MetricsPage::exposition() const
{
    Exposition out(std::move(memory));
    out.reserve(lastSize + lastSize / 8);
    writeReadings(out);
    writeCounters(out);
    for (const FrontEnd *frontEnd : frontEnds)
        frontEnd->writeMetrics(out);
    lastSize = out.text().size();
    memory = out.take();
    return memory;
}

void MetricsPage::writeReadings(Exposition &out) const
{
    out.family("vortanix_controller_online", Exposition::Gauge,
        "1 while the controller answers its polls; 0 after 5 failed polls in a row, or before its first answer.");
    for (int index = 0; index < hub.controllerCount(); ++index)
        out.sample("vortanix_controller_online", controllers.at(size_t(index)).labels,
            quint64(hub.controller(index).online() ? 1 : 0));

    out.family("vortanix_last_good_poll_timestamp_seconds", Exposition::Gauge,
        "When the controller last answered a poll, in seconds since 1970 (UTC).");
    for (int index = 0; index < hub.controllerCount(); ++index) {
        const ControllerState &controller = hub.controller(index);
        if (controller.haveStatus)
            out.sample("vortanix_last_good_poll_timestamp_seconds", controllers.at(size_t(index)).labels,
                double(controller.statusTime.toMSecsSinceEpoch()) / 1000.0);
    }

    out.family("vortanix_reading_age_seconds", Exposition::Gauge,
        "How old the controller's latest reading is (what the bridge holds and serves from), in seconds.");
    for (int index = 0; index < hub.controllerCount(); ++index) {
        const ControllerState &controller = hub.controller(index);
        if (controller.haveStatus)
            out.sample("vortanix_reading_age_seconds", controllers.at(size_t(index)).labels,
                double(hub.nowMs() - controller.statusAtMs) / 1000.0);
    }

    // The readings of controllers that are online, a family for each register the table gives one.
    std::vector<int> live;
    for (int index = 0; index < hub.controllerCount(); ++index) {
        if (hub.controller(index).online() && hub.controller(index).haveStatus)
            live.push_back(index);
    }
    const auto each = [this, &live](const std::function<void(const Labels &, const StatusBlock &)> &write) {
        for (int index : live)
            write(controllers.at(size_t(index)), hub.controller(index).status);
    };
    for (const RegisterMap::Row &row : RegisterMap::rows()) {
        const char *name = row.metricName;
        const quint16 reg = row.reg;
        const double scale = row.scale;
        switch (row.metric) {
        case RegisterMap::Metric::None:
            continue;
        case RegisterMap::Metric::Gauge:
            // A register of the status block, or one the hub holds (the configuration's).
            out.family(name, Exposition::Gauge, row.metricHelp);
            for (int index : live) {
                quint16 word = 0;
                if (hub.controller(index).word(reg, &word))
                    out.sample(name, controllers.at(size_t(index)).labels, word * scale);
            }
            break;
        case RegisterMap::Metric::Temperature:
            out.family(name, Exposition::Gauge, row.metricHelp);
            each([&](const Labels &l, const StatusBlock &s) {
                if (!sensorFails(qint16(s.word(reg))))
                    out.sample(name, l.labels, qint16(s.word(reg)) * scale);
            });
            out.family("vortanix_temperature_sensor_state", Exposition::Gauge,
                "The temperature sensor: 1 for the state it is in (ok, open or short), 0 for the others.");
            each([&](const Labels &l, const StatusBlock &s) {
                const qint16 t = qint16(s.word(reg));
                const size_t state = t == TemperatureOpenCircuit ? 1 : t == TemperatureShortCircuit ? 2 : 0;
                for (size_t i = 0; i < l.sensorStates.size(); ++i)
                    out.sample("vortanix_temperature_sensor_state", l.sensorStates.at(i), quint64(i == state ? 1 : 0));
            });
            break;
        case RegisterMap::Metric::Counter32:
            out.family(name, Exposition::Gauge, row.metricHelp);
            each([&](const Labels &l, const StatusBlock &s) {
                out.sample(name, l.labels, quint64((quint32(s.word(reg)) << 16) | s.word(quint16(reg + 1))));
            });
            break;
        case RegisterMap::Metric::Flag:
            out.family(name, Exposition::Gauge, row.metricHelp);
            each([&](const Labels &l, const StatusBlock &s) {
                out.sample(name, l.labels, quint64((s.word(reg) & 0xFF) == 1 ? 1 : 0));
            });
            break;
        case RegisterMap::Metric::Modules:
            if (reg == RegLdSwitchMask) {
                out.family("vortanix_modules_on", Exposition::Gauge,
                    "How many of the twelve laser-diode modules are switched on.");
                each([&](const Labels &l, const StatusBlock &s) {
                    out.sample("vortanix_modules_on", l.labels,
                        quint64(qPopulationCount(quint16(s.word(reg) & AllModulesMask))));
                });
            }
            out.family(name, Exposition::Gauge, row.metricHelp);
            each([&](const Labels &l, const StatusBlock &s) {
                for (int module = 1; module <= ModuleCount; ++module)
                    out.sample(name, l.modules.at(size_t(module - 1)), quint64((s.word(reg) >> (module - 1)) & 1));
            });
            break;
        case RegisterMap::Metric::Firmware:
            out.family(name, Exposition::Gauge, row.metricHelp);
            each([&](const Labels &l, const StatusBlock &s) {
                out.sample(name,
                    Exposition::withLabel(
                        l.labels, "firmware", QStringLiteral("%1.%2").arg(s.word(reg) >> 8).arg(s.word(reg) & 0xFF)),
                    quint64(1));
            });
            break;
        }
    }
}

void MetricsPage::writeCounters(Exposition &out) const
{
    static const QByteArray exchangesHelp = [] {
        QByteArrayList labels;
        for (int kind = 0; kind < Outcome::KindCount; ++kind) {
            if (kind != Outcome::Sent) // a broadcast is never a request to one controller
                labels << Outcome::row(Outcome::Kind(kind)).label;
        }
        return "Requests to the controller (polls and commands) by outcome: " + labels.join(", ") + '.';
    }();
    out.family("vortanix_exchanges_total", Exposition::Counter, exchangesHelp.constData());
    for (int index = 0; index < hub.controllerCount(); ++index) {
        const ControllerState &controller = hub.controller(index);
        for (int kind = 0; kind < Outcome::KindCount; ++kind) {
            if (kind != Outcome::Sent)
                out.sample("vortanix_exchanges_total", controllers.at(size_t(index)).outcomes.at(size_t(kind)),
                    controller.outcomes.at(size_t(kind)));
        }
    }
    out.family("vortanix_exchange_exceptions_total", Exposition::Counter,
        "Requests the controller refused with a Modbus exception, by exception code (hex).");
    for (int index = 0; index < hub.controllerCount(); ++index) {
        const ControllerState &controller = hub.controller(index);
        for (auto it = controller.exceptions.cbegin(); it != controller.exceptions.cend(); ++it)
            out.sample("vortanix_exchange_exceptions_total",
                Exposition::withLabel(controllers.at(size_t(index)).labels, "code", hexCode(it.key())), it.value());
    }
    out.family("vortanix_exchange_duration_seconds", Exposition::Histogram,
        "How long a request took on the line, from sending it to the end of the reply or the time-out, in seconds.");
    for (int index = 0; index < hub.lineCount(); ++index) {
        const LineState &line = hub.line(index);
        const QByteArray &labels = lines.at(size_t(index));
        quint64 cumulative = 0;
        for (size_t i = 0; i < LineState::DurationBuckets.size(); ++i) {
            cumulative += line.buckets.at(i);
            out.sample("vortanix_exchange_duration_seconds_bucket",
                Exposition::withLabel(
                    labels, "le", QString::fromLatin1(Exposition::number(LineState::DurationBuckets.at(i)))),
                cumulative);
        }
        out.sample("vortanix_exchange_duration_seconds_bucket",
            Exposition::withLabel(labels, "le", QStringLiteral("+Inf")), line.count);
        out.sample("vortanix_exchange_duration_seconds_sum", labels, line.sumSeconds);
        out.sample("vortanix_exchange_duration_seconds_count", labels, line.count);
    }

    bool anySource = false;
    for (int source = 0; source < SourceCount; ++source)
        anySource = anySource || hub.sourceEnabled(Source(source));
    if (anySource) {
        out.family("vortanix_commands_total", Exposition::Counter,
            "Commands by source (mqtt, modbus_tcp) and result: ok, failed (the controller did not take it) or "
            "refused (not sent: a bad payload, a retained message, a full queue).");
        for (int source = 0; source < SourceCount; ++source) {
            for (int result = 0; hub.sourceEnabled(Source(source)) && result < 3; ++result)
                out.sample("vortanix_commands_total",
                    Exposition::labels({{"source", QString::fromLatin1(sourceRow(Source(source)).label)},
                        {"result", QString::fromLatin1(commandResultLabels[result])}}),
                    hub.commandCount(Source(source), LineHub::CommandResult(result)));
        }
    }
}
