#ifndef CONTROLLERVALUES_H
#define CONTROLLERVALUES_H

#include <QVector>
#include <QtGlobal>

class SimController;

// The controller's status block as values, one member per register but the
// address (which is the controller's own). Default-constructed, it holds the
// controller's values after a reset, as the tests know them, written down
// independently of the virtual controller's register map.
struct StatusValues
{
    quint16 enableMask = 0x0FFF;
    quint16 switchMask = 0;
    quint16 adc = 0;
    quint16 power = 0;
    quint16 word6 = 0;
    qint16 temperature = 253; // 25.3 degrees
    quint16 word8 = 0;
    quint16 supply = 24000; // millivolts
    quint32 seconds = 0;
    quint16 version = 0x010A; // V1.10

    // Sets them in a controller.
    void applyTo(SimController &controller) const;
    // The twelve words a read of the status block gives from a controller at `address`.
    QVector<quint16> words(quint8 address = 1) const;
};

// The status block of a controller at address 1 after a reset.
QVector<quint16> factoryStatusWords();
// The factory configuration block: reserved, module mask, maximum DAC,
// compensation time (10000 h in seconds, high and low word), alarm
// temperature (30.0 degrees), low-power mask.
extern const QVector<quint16> factoryConfigWords;

#endif // CONTROLLERVALUES_H
