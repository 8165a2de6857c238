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

void StatusReceiver::discardWaiting()
{
    m_port.readAll();
}

void StatusReceiver::ReadStatusFrame()
{
    const std::optional<int> waiting = m_port.bytesWaiting();
    if (!waiting || *waiting < StatusFrame::Length)
        return;
    std::optional<QByteArray> input = m_port.readAll();
    if (!input || input->size() < StatusFrame::Length)
        return; // a port that fails mid-read gives no frame
    // Whatever came after the first 14 bytes is dropped with them: the
    // switcher repeats its state in the next frame anyway.
    m_frameText = *input;

    const StatusFrame::Kind kind = StatusFrame::markerKind(m_frameText);
    if (kind == StatusFrame::Kind::Invalid) {
        qCDebug(lcReceive) << "bad markers, discarding" << m_frameText.toHex(' ');
        discardWaiting();
        return;
    }
    if (StatusFrame::byteAt(m_frameText, 14) != StatusFrame::checksum(m_frameText)) {
        qCDebug(lcReceive) << "bad checksum, discarding" << m_frameText.toHex(' ');
        discardWaiting();
        return;
    }

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
        qCDebug(lcReceive) << "switcher model" << m_state.matrixModel;
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
