#ifndef PANELLINK_H
#define PANELLINK_H

#include "link.h"

class SPComm;

// The panel's way of holding the port: it is closed and reopened before
// every exchange, which drops whatever an earlier reply left behind. A reopen
// that fails is tried again for a moment: another program probing serial
// ports (a second panel's scan, a modem manager) may hold the port just then.
class PanelLink : public Link
{
public:
    explicit PanelLink(SPComm &comm);

    bool prepare() override;
    const char *prepareName() const override { return "reopen"; }
    bool send(const quint8 *data, int length) override;
    int receive(quint8 *buffer, int count, int waitMs) override;

private:
    SPComm &comm;
};

#endif // PANELLINK_H
