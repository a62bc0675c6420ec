#include "requestframer.h"

#include "modbuscrc.h"
#include "registers.h"

namespace {

// An incomplete request is given up after this much silence on the line.
constexpr std::chrono::milliseconds frameSilence(20);

// Bytes a request needs, judged from what has arrived so far.
int requestLength(const QByteArray &buffer)
{
    if (buffer.size() < 2)
        return 2;
    if (quint8(buffer.at(1)) == FuncWriteMultipleRegisters)
        return buffer.size() < 7 ? 7 : 9 + quint8(buffer.at(6));
    return 8;
}

} // namespace

void RequestFramer::append(const char *data, int size, Clock::time_point at)
{
    m_buffer.append(data, size);
    m_lastByteAt = at;
}

RequestFramer::Clock::time_point RequestFramer::giveUpAt() const
{
    return m_buffer.isEmpty() ? Clock::time_point::max() : m_lastByteAt + frameSilence;
}

QList<RequestFramer::Piece> RequestFramer::take(Clock::time_point now)
{
    const bool quiet = now - m_lastByteAt >= frameSilence;
    QList<Piece> pieces;
    auto drop = [&pieces, this] {
        if (pieces.isEmpty() || pieces.last().isFrame)
            pieces.append(Piece());
        pieces.last().bytes.append(m_buffer.at(0));
        m_buffer.remove(0, 1);
    };
    while (!m_buffer.isEmpty()) {
        const int need = requestLength(m_buffer);
        if (m_buffer.size() < need) {
            if (!quiet)
                break;
            drop(); // the line went quiet in the middle: look for a frame further on
            continue;
        }
        if (!crcOk(m_buffer.left(need))) {
            drop();
            continue;
        }
        pieces.append(Piece{true, m_buffer.left(need)});
        m_buffer.remove(0, need);
    }
    return pieces;
}
