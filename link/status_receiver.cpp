#include "link/status_receiver.h"

#include "core/controller_state.h"
#include "core/status_frame.h"
#include "link/serial_port.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcReceive, "matrix.receive", QtWarningMsg)

namespace {
int increaseRun(int run)
{
    return run < StatusReceiver::MaxFrameRun ? run + 1 : run;
}
} // namespace

StatusReceiver::StatusReceiver(SerialPort &port, ControllerState &state, Host &host)
    : m_port(port)
    , m_state(state)
    , m_host(host)
{
}

std::optional<int> StatusReceiver::bytesWaiting()
{
    if (m_port.commPort() != m_keptFrom)
        m_kept.clear();
    const std::optional<int> waiting = m_port.bytesWaiting();
    if (!waiting)
        return std::nullopt;
    return *waiting + int(m_kept.size());
}

void StatusReceiver::discardWaiting()
{
    m_kept.clear();
    m_port.readAll();
}

void StatusReceiver::ReadStatusFrame()
{
    const std::optional<int> waiting = bytesWaiting();
    if (!waiting || *waiting < StatusFrame::Length)
        return;
    const std::optional<QByteArray> input = m_port.readAll();
    if (!input)
        return; // a port that fails mid-read gives no frame
    QByteArray received = m_kept + *input;
    m_kept.clear();

    // A stray byte on the line (noise on a long cable) puts the frames out
    // of step with the reads: look for the first valid frame anywhere in what
    // came, and keep a frame that is still arriving for the next read.
    const int at = StatusFrame::findFrame(received);
    if (at < 0) {
        const int tail = StatusFrame::incompleteFrameStart(received);
        if (tail >= 0) {
            m_kept = received.mid(tail);
            m_keptFrom = m_port.commPort();
        }
        qCDebug(lcReceive).noquote()
            << "no valid frame in" << received.toHex(' ') << (tail >= 0 ? "keeping the tail" : "");
        return;
    }
    // Whatever came with the frame is dropped with it: the switcher repeats
    // its state in the next frame anyway.
    accept(received.mid(at, StatusFrame::Length));
}

void StatusReceiver::accept(const QByteArray &frame)
{
    m_frameText = frame;
    const StatusFrame::Kind kind = StatusFrame::markerKind(m_frameText);
    if (m_state.setupPending == ControllerState::NotDetermined) {
        if (kind == StatusFrame::Kind::FourOutput) {
            m_aFrameRun = increaseRun(m_aFrameRun);
            m_bFrameRun = 0;
        } else {
            m_bFrameRun = increaseRun(m_bFrameRun);
            m_aFrameRun = 0;
        }
        if (m_aFrameRun < FramesToSettle && m_bFrameRun < FramesToSettle)
            return;
        m_state.matrixModel = m_aFrameRun > m_bFrameRun ? 1 : 2;
        if (m_state.matrixModel == 2) {
            // The two-output switcher never reports outputs 3 and 4; what a
            // four-output switcher left there earlier in the run must not
            // light buttons that this switcher does not have.
            m_state.outputFlags[2] = 0;
            m_state.outputFlags[3] = 0;
        }
        qCDebug(lcReceive).noquote()
            << "switcher recognised:" << (m_state.matrixModel == 1 ? "4x4" : "4x2");
        m_host.bringUpPanel(m_state.matrixModel);
    }

    m_state.linkMark = ControllerState::LinkAlive;
    m_state.missedCycles = 0;
    m_state.setupPending = 0;
    if (m_state.matrixModel == 2)
        m_host.reduceToTwoOutputs();
    if (DecodeStatusFrame(m_frameText, m_state))
        m_host.stopMainTick();
}
