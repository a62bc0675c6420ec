#include "virtualcontroller.h"

#include "registers.h"

VirtualController::VirtualController() : SimController(addController(Rs485AddressMin)) { }
