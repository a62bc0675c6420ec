#include "hubrig.h"

#include "linejob.h"

// A line driven from the test's thread: what its engine reports reaches the hub at once.
class HubRig::Driver : public LineDriver, public LineEngine::Sink
{
public:
    Driver(quint64 key, LineHub &hub, Line &line) : key(key), hub(hub), line(line) { }

    bool start(QString *error) override
    {
        if (line.engine->ensurePort() || line.engine->portMissing())
            return true;
        *error = line.engine->portText();
        return false;
    }
    void post(const LineJob &job) override { line.engine->post(job); }
    void cancel(quint64 id) override { line.engine->cancel(id); }
    QVector<LineJob> stop() override { return line.engine->takeWaiting(); }

    void jobDone(const JobDone &done) override { hub.jobDone(key, done); }
    void polled(const PollDone &done) override { hub.polled(key, done); }
    void portChanged(bool open, const QString &text) override { hub.portChanged(key, open, text); }

private:
    const quint64 key;
    LineHub &hub;
    Line &line;
};

LineConfig HubRig::line(const QString &name, const QList<int> &addresses)
{
    LineConfig config;
    config.name = name;
    config.port = QStringLiteral("fake:") + name;
    for (int address : addresses)
        config.controllers.append(ControllerConfig{QStringLiteral("%1-%2").arg(name).arg(address), quint8(address)});
    return config;
}

BridgeConfig HubRig::config(const QList<LineConfig> &lines, int pollIntervalMs)
{
    BridgeConfig config;
    config.lines = lines;
    config.pollIntervalMs = pollIntervalMs;
    return config;
}

HubRig::HubRig(const BridgeConfig &config)
{
    lineHub = std::make_unique<LineHub>(
        config,
        [this](quint64 key, const LineConfig &lineConfig, LineHub &hub) -> std::unique_ptr<LineDriver> {
            auto line = std::make_unique<Line>();
            QList<int> addresses;
            for (const ControllerConfig &controller : lineConfig.controllers)
                addresses << controller.address;
            auto fake = std::make_unique<FakeLine>(addresses, &clock, lineConfig.baud);
            line->fake = fake.get();
            auto driver = std::make_unique<Driver>(key, hub, *line);
            LineEngine::Settings settings;
            settings.line = lineConfig;
            settings.pollIntervalMs = hub.config().pollIntervalMs;
            settings.offlinePollMs = settings.line.offlinePollMs;
            settings.verify = settings.line.verify;
            line->engine = std::make_unique<LineEngine>(settings, std::move(fake), *driver, [this] { return clock; });
            lines.push_back(std::move(line));
            return driver;
        },
        [this] { return clock; });
    QString error;
    lineHub->start(&error);
}

HubRig::~HubRig()
{
    lineHub.reset();
}

void HubRig::run()
{
    // Until no line has anything due; a line that never rests is a fault of the test.
    for (int round = 0; round < 100000; ++round) {
        bool ran = false;
        for (const auto &line : lines)
            ran = line->engine->step(clock) == 0 || ran;
        if (!ran)
            return;
    }
    qFatal("HubRig::run: the lines never rest");
}

void HubRig::advance(qint64 ms)
{
    // Each line works off what is due; when none has anything, the clock
    // jumps to the next poll that falls due, up to `end`. The exchanges move
    // the clock too, by their time on the line.
    const qint64 end = clock + ms;
    for (;;) {
        bool ran = false;
        qint64 next = end;
        for (const auto &line : lines) {
            const qint64 wait = line->engine->step(clock);
            if (wait == 0)
                ran = true;
            else
                next = qMin(next, clock + wait);
        }
        if (ran && clock <= end)
            continue;
        if (ran || clock >= end)
            break;
        clock = next;
    }
}
