#include "faults.h"

#include "modbuscrc.h"
#include "registers.h"

#include <algorithm>

using Kind = ControllerFaults::FaultKind;

namespace {

enum ParamUse { NoParam, Required, Optional };
enum Scope { Answered, Reads, Writes, WritesIgnored, Taken };

struct FaultRow
{
    Kind kind;
    const char *name;
    ParamUse param;
    const char *placeholder;
    int maxParam;
    Scope scope;
    const char *help;
};

const FaultRow faultRows[] = {
#define VIRTUAL_CONTROLLER_FAULT_ROW(id, name, param, placeholder, maxParam, scope, help)                              \
    {ControllerFaults::Fault##id, name, param, placeholder, maxParam, scope, help},
    VIRTUAL_CONTROLLER_FAULTS(VIRTUAL_CONTROLLER_FAULT_ROW)
#undef VIRTUAL_CONTROLLER_FAULT_ROW
};

// The exception code of an exception fault without a parameter: device failure.
constexpr quint8 defaultExceptionCode = 0x04;

const FaultRow *rowOf(Kind kind)
{
    const auto row = std::find_if(
        std::begin(faultRows), std::end(faultRows), [kind](const FaultRow &s) { return s.kind == kind; });
    return row == std::end(faultRows) ? nullptr : row;
}

QString withPlaceholder(const FaultRow &row)
{
    const QString name = QLatin1String(row.name);
    const QString placeholder = QLatin1String(row.placeholder);
    switch (row.param) {
    case Required:
        return name + QLatin1Char(':') + placeholder;
    case Optional:
        return name + QStringLiteral("[:") + placeholder + QLatin1Char(']');
    default:
        return name;
    }
}

QByteArray garbage(int count, quint32 *seed)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i) {
        *seed = *seed * 1103515245u + 12345u;
        bytes.append(char(*seed >> 16));
    }
    return bytes;
}

} // namespace

bool Faults::strikes(Kind kind, const QByteArray &request, const QByteArray &reply)
{
    const FaultRow *row = rowOf(kind);
    if (!row || request.size() < 2)
        return false;
    const quint8 function = quint8(request.at(1));
    switch (row->scope) {
    case Answered:
        return !reply.isEmpty();
    case Reads:
        return !reply.isEmpty() && function == FuncReadHoldingRegisters;
    case Writes:
    case WritesIgnored:
        return reply.size() >= 2 && quint8(reply.at(1)) == function
            && (function == FuncWriteSingleRegister || function == FuncWriteMultipleRegisters);
    case Taken:
        return true;
    }
    return false;
}

bool Faults::preempts(Kind kind)
{
    const FaultRow *row = rowOf(kind);
    return row && row->scope == Taken;
}

bool Faults::ignoresWrites(Kind kind)
{
    const FaultRow *row = rowOf(kind);
    return row && row->scope == WritesIgnored;
}

Response Faults::apply(
    const ControllerFaults::Fault &fault, const QByteArray &request, const QByteArray &reply, quint32 *seed)
{
    Response out;
    out.bytes = reply;
    const int param = std::max(0, fault.param);
    switch (fault.kind) {
    case ControllerFaults::FaultNone:
    case ControllerFaults::FaultKindCount:
        return out;
    case ControllerFaults::FaultNoReply:
        out.bytes.clear();
        out.note = QStringLiteral("no reply");
        break;
    case ControllerFaults::FaultBadCrc:
        if (!out.bytes.isEmpty())
            out.bytes[out.bytes.size() - 1] = char(~quint8(out.bytes.at(out.bytes.size() - 1)));
        out.note = QStringLiteral("bad CRC");
        break;
    case ControllerFaults::FaultTruncate:
        out.bytes.truncate(param);
        out.note = QStringLiteral("cut to %1 bytes").arg(out.bytes.size());
        break;
    case ControllerFaults::FaultDelay:
        out.delayMs = param;
        out.note = QStringLiteral("delayed %1 ms").arg(param);
        break;
    case ControllerFaults::FaultGapPace:
        out.gapMs = param;
        out.note = QStringLiteral("%1 ms between bytes").arg(param);
        break;
    case ControllerFaults::FaultEcho8:
        // Function 6 echoes the request; function 16 answers with its first six bytes.
        out.bytes = quint8(request.at(1)) == FuncWriteSingleRegister ? request.left(8) : withCrc(request.left(6));
        out.note = QStringLiteral("standard 8-byte echo");
        break;
    case ControllerFaults::FaultException:
        out.bytes = withCrc(QByteArray(1, request.at(0)) + char(quint8(request.at(1)) | 0x80)
            + char(param ? param : defaultExceptionCode));
        out.note = QStringLiteral("exception reply");
        break;
    case ControllerFaults::FaultGarbageBefore:
        out.bytes.prepend(garbage(param, seed));
        out.note = QStringLiteral("%1 garbage bytes first").arg(param);
        break;
    case ControllerFaults::FaultWrongAddress:
        if (out.bytes.size() >= 4)
            out.bytes = withCrc(char(fault.param) + out.bytes.mid(1, out.bytes.size() - 3));
        out.note = QStringLiteral("reply from address %1").arg(quint8(fault.param));
        break;
    case ControllerFaults::FaultWrongFunction:
        if (out.bytes.size() >= 4)
            out.bytes = withCrc(out.bytes.left(1) + char(fault.param) + out.bytes.mid(2, out.bytes.size() - 4));
        out.note = QStringLiteral("reply with function %1").arg(quint8(fault.param));
        break;
    case ControllerFaults::FaultEndlessStream:
        out.bytes.clear();
        out.startsStream = true;
        out.note = QStringLiteral("endless stream starts");
        break;
    case ControllerFaults::FaultUnplugOnRequest:
        out.bytes.clear();
        out.unplugs = true;
        out.note = QStringLiteral("unplugged");
        break;
    case ControllerFaults::FaultWrongRegister:
        // What another master's write, or an earlier one of ours, would have got back.
        out.bytes = withCrc(request.left(2) + char(quint8(param >> 8)) + char(quint8(param)));
        out.note = QStringLiteral("acknowledges register %1").arg(param);
        break;
    case ControllerFaults::FaultNotApplied:
        out.note = QStringLiteral("acknowledged, not carried out");
        break;
    }
    out.note.prepend(QStringLiteral("fault: "));
    return out;
}

bool Faults::parse(const QString &text, ControllerFaults::Fault *fault, QString *error)
{
    const int colon = text.indexOf(QLatin1Char(':'));
    const QString name = text.left(colon);
    const bool hasParam = colon >= 0;
    *fault = ControllerFaults::Fault();
    if (name == QLatin1String("none") && !hasParam)
        return true;
    const auto row = std::find_if(std::begin(faultRows), std::end(faultRows),
        [&name](const FaultRow &s) { return name == QLatin1String(s.name); });
    if (row == std::end(faultRows)) {
        *error = QStringLiteral("unknown fault '%1'").arg(name);
        return false;
    }
    if (row->param == Required && !hasParam) {
        *error = QStringLiteral("fault '%1' needs a parameter (%2)").arg(name, withPlaceholder(*row));
        return false;
    }
    if (hasParam && row->param == NoParam) {
        *error = QStringLiteral("fault '%1' takes no parameter").arg(name);
        return false;
    }
    fault->kind = row->kind;
    if (hasParam) {
        bool ok = false;
        const int param = text.mid(colon + 1).toInt(&ok, 0);
        if (!ok || param < 0 || param > row->maxParam) {
            *error = QStringLiteral("bad parameter in '%1' (0..%2)").arg(text).arg(row->maxParam);
            return false;
        }
        fault->param = param;
    }
    return true;
}

QStringList Faults::usageLines()
{
    QStringList lines;
    for (const FaultRow &row : faultRows)
        lines << QStringLiteral("  %1 %2").arg(withPlaceholder(row), -19).arg(QLatin1String(row.help));
    return lines;
}

QString Faults::name(Kind kind)
{
    const FaultRow *row = rowOf(kind);
    return row ? QLatin1String(row->name) : QStringLiteral("none");
}
