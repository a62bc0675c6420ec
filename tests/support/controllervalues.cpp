#include "controllervalues.h"

#include "registers.h"
#include "simcontroller.h"

const QVector<quint16> factoryConfigWords = {0, 0x0FFF, 3980, 0x0225, 0x5100, 300, 0x0FFF};

void StatusValues::applyTo(SimController &controller) const
{
    controller.setEnableMask(enableMask);
    controller.setSwitchMask(switchMask);
    controller.setAdcEnable(adc);
    controller.setPowerPermille(power);
    controller.setHoldingRegister(RegStatusWord6, word6);
    controller.setTemperature(temperature);
    controller.setHoldingRegister(RegStatusWord8, word8);
    controller.setSupplyMillivolts(supply);
    controller.setRunSeconds(seconds);
    controller.setFirmwareVersion(version);
}

QVector<quint16> StatusValues::words(quint8 address) const
{
    return {enableMask, switchMask, adc, power, address, word6, quint16(temperature), word8, supply,
        quint16(seconds >> 16), quint16(seconds & 0xFFFF), version};
}

QVector<quint16> factoryStatusWords()
{
    return StatusValues().words();
}
