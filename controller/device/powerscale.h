#ifndef POWERSCALE_H
#define POWERSCALE_H

#include <QtGlobal>

// The power setting from an analog millivolt figure: the line from 300 mV to
// 3200 mV onto 0..1000 ‰, truncated; 300 mV and below give 0, above 3200 mV 999.
quint16 permilleFromMillivolts(quint16 millivolts);
// The analog figure a command may give: 0..3200 mV.
constexpr quint16 AnalogMillivoltsMax = 3200;
// At and below this figure the power is 0.
constexpr quint16 AnalogMillivoltsFloor = 300;

#endif // POWERSCALE_H
