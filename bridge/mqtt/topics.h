#ifndef TOPICS_H
#define TOPICS_H

#include <QString>

// The bridge's MQTT topics, in one place:
//   <prefix>/<id>/state          retained JSON status after each good poll
//   <prefix>/<id>/availability   retained "online" / "offline"
//   <prefix>/<id>/link           retained outcome of the latest poll ("ok", "time-out", "port lost", ...)
//   <prefix>/<id>/set/<command>  commands to the controller
//   <prefix>/<id>/result         each command's result (JSON)
//   <prefix>/<id>/error          a refused command (JSON)
//   <prefix>/<id>/config         retained configuration block, after "config read"
//   <prefix>/bridge/<client id>/availability    the bridge itself (its will: "offline")
//   <discovery>/<component>/<client id>/<id>_<entity>/config   Home Assistant discovery
class Topics
{
public:
    Topics(const QString &prefix, const QString &discoveryPrefix, const QString &clientId);

    QString state(const QString &id) const { return controller(id, QStringLiteral("state")); }
    QString availability(const QString &id) const { return controller(id, QStringLiteral("availability")); }
    QString link(const QString &id) const { return controller(id, QStringLiteral("link")); }
    QString result(const QString &id) const { return controller(id, QStringLiteral("result")); }
    QString error(const QString &id) const { return controller(id, QStringLiteral("error")); }
    QString config(const QString &id) const { return controller(id, QStringLiteral("config")); }
    QString command(const QString &id, const QString &name) const;
    QString commandFilter(const QString &id) const { return command(id, QStringLiteral("+")); }
    QString bridgeAvailability() const;
    // What Home Assistant knows a controller by (its device, and its entities'
    // unique ids with "_<entity>"): the prefix with '/' as '_', then the id.
    // The default prefix gives vortanix_<id>; bridges whose controllers share
    // ids under prefixes of their own (several boards on one central broker)
    // stay apart, as their topics do.
    QString uniqueId(const QString &id) const;

    QString discovery(const QString &component, const QString &objectId) const;
    // Every discovery topic this bridge may have announced.
    QString discoveryFilter() const { return discovery(QStringLiteral("+"), QStringLiteral("+")); }
    bool isDiscovery(const QString &topic) const;

    // The controller id and command name of a command topic; false for any other topic.
    bool parseCommand(const QString &topic, QString *id, QString *name) const;

private:
    QString controller(const QString &id, const QString &leaf) const;

    QString prefix;
    QString discoveryPrefix;
    QString clientId;
};

#endif // TOPICS_H
