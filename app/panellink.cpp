#include "panellink.h"

#include "spcomm.h"

#include <QElapsedTimer>
#include <QThread>

namespace {

// How long a failed reopen is tried again before the port counts as lost,
// and how often.
constexpr int reopenRetryMs = 50;
constexpr int reopenRetryStepMs = 5;

} // namespace

PanelLink::PanelLink(SPComm &comm) : comm(comm) { }

bool PanelLink::prepare()
{
    if (comm.reopenPort())
        return true;
    // The failed reopen has closed the port; an adapter that is really gone
    // leaves it closed, and the next poll shows that.
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < reopenRetryMs) {
        QThread::msleep(reopenRetryStepMs);
        if (comm.openPort())
            return true;
    }
    return false;
}

bool PanelLink::send(const quint8 *data, int length)
{
    return comm.writeData(reinterpret_cast<const char *>(data), length) == length;
}

int PanelLink::receive(quint8 *buffer, int count, int waitMs)
{
    return comm.readData(reinterpret_cast<char *>(buffer), count, waitMs);
}
