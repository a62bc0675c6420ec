#ifndef VIRTUALCONTROLLER_H
#define VIRTUALCONTROLLER_H

#include "simcontroller.h"
#include "virtualline.h"

// One virtual controller on a line of its own, at address 1 unless set: the
// line's operations (start, stop, unplug, replug, pacing, trace) and the
// controller's (registers, faults, request log) on one object. For a line
// with several controllers, use VirtualLine and addController().
class VirtualController : public VirtualLine, public SimController
{
public:
    VirtualController();
};

#endif // VIRTUALCONTROLLER_H
