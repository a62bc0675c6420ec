#include "simcontroller.h"

#include "linecore.h"
#include "registers.h"

#include <algorithm>

SimController::SimController(LineCore *core, ControllerState *state) : m_core(core), m_state(state) { }

quint8 SimController::address() const
{
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_state->bank.address();
}

void SimController::setAddress(quint8 address)
{
    std::lock_guard<std::mutex> lock(m_core->mutex);
    m_state->bank.setAddress(address);
}

quint16 SimController::holdingRegister(quint16 reg) const
{
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_state->bank.value(reg);
}

void SimController::setHoldingRegister(quint16 reg, quint16 value)
{
    std::lock_guard<std::mutex> lock(m_core->mutex);
    m_state->bank.setValue(reg, value);
}

void SimController::resetRegisters()
{
    std::lock_guard<std::mutex> lock(m_core->mutex);
    const quint8 address = m_state->bank.address();
    m_state->bank.reset();
    m_state->bank.setAddress(address);
}

void SimController::setTemperature(qint16 tenths)
{
    setHoldingRegister(RegLdTemperature, quint16(tenths));
}

void SimController::setSupplyMillivolts(quint16 millivolts)
{
    setHoldingRegister(RegSupplyVoltage, millivolts);
}

void SimController::setRunSeconds(quint32 seconds)
{
    std::lock_guard<std::mutex> lock(m_core->mutex);
    m_state->bank.setRunSeconds(seconds);
}

void SimController::setFirmwareVersion(quint16 version)
{
    setHoldingRegister(RegFirmwareVersion, version);
}

void SimController::setSwitchMask(quint16 mask)
{
    setHoldingRegister(RegLdSwitchMask, mask);
}

void SimController::setEnableMask(quint16 mask)
{
    setHoldingRegister(RegLdEnableMask, mask);
}

void SimController::setAdcEnable(quint16 value)
{
    setHoldingRegister(RegAdcEnable, value);
}

void SimController::setPowerPermille(quint16 value)
{
    setHoldingRegister(RegPowerPermille, value);
}

void SimController::setFault(const Fault &fault)
{
    std::lock_guard<std::mutex> lock(m_core->mutex);
    m_state->setFault(fault);
    m_core->wake();
}

void SimController::setFault(FaultKind kind, int param, int count)
{
    Fault fault;
    fault.kind = kind;
    fault.param = param;
    fault.count = count;
    setFault(fault);
}

void SimController::clearFault()
{
    std::lock_guard<std::mutex> lock(m_core->mutex);
    m_state->setFault(Fault());
    m_state->streaming = false; // written under the lock: no stream byte follows
    m_core->wake();
}

void SimController::setTurnaroundUs(int microseconds)
{
    std::lock_guard<std::mutex> lock(m_core->mutex);
    m_state->turnaroundUs = std::max(0, microseconds);
}

void SimController::setDrift(bool on)
{
    std::lock_guard<std::mutex> lock(m_core->mutex);
    m_state->setDrift(on, LineCore::Clock::now());
    m_core->wake();
}

QList<SimController::Request> SimController::requests() const
{
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_state->log;
}

void SimController::clearRequests()
{
    std::lock_guard<std::mutex> lock(m_core->mutex);
    m_state->log.clear();
    m_state->loggedSinceClear = 0;
    m_state->replies = 0;
    m_state->finishedReplies = 0;
}

bool SimController::waitForRequests(int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_core->mutex);
    return m_core->changed.wait_for(lock, std::chrono::milliseconds(std::max(0, timeoutMs)),
        [this, count] { return m_state->loggedSinceClear >= count; });
}

int SimController::replyCount() const
{
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_state->replies;
}

int SimController::finishedReplyCount() const
{
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_state->finishedReplies;
}
