#include "powerscale.h"

quint16 permilleFromMillivolts(quint16 millivolts)
{
    if (millivolts > AnalogMillivoltsMax)
        return 999;
    if (millivolts > AnalogMillivoltsFloor) {
        // The two constants in single precision, the arithmetic in double:
        // 735 mV gives 149 (in float it would be 150).
        const double slope = double(0.34482759f);
        const double offset = double(103.448296f);
        return quint16(int(millivolts * slope - offset));
    }
    return 0;
}
