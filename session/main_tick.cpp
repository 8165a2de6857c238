// The 10 ms main tick.
#include "session/switcher_session.h"

#include "core/command_frame.h"
#include "core/status_frame.h"
#include "link/serial_port.h"
#include "session/session_view.h"

#include <QLoggingCategory>
#include <QScopedValueRollback>

Q_DECLARE_LOGGING_CATEGORY(lcLink)

void SwitcherSession::Timer1_Timer()
{
    // The port search lets events run, and with them this timer: a tick that
    // starts inside another would act on a half-done state.
    if (m_ending)
        return;
    if (m_inMainTick) {
        // Inside the port search: clients still hear of what they changed.
        m_router.afterTick(true);
        return;
    }
    {
        const QScopedValueRollback<bool> guard(m_inMainTick, true);
        mainTick();
    }
    if (m_ending)
        return;
    m_router.afterTick();
    emit ticked();
}

void SwitcherSession::mainTick()
{
    if (++m_superviseTicks >= SuperviseEveryTicks) {
        m_superviseTicks = 0;
        m_supervisor.SuperviseLink();
        if (m_ending)
            return;
        m_state.missedCycles = saturatingIncrement(m_state.missedCycles);
        if (m_state.missedCycles > MissedCyclesForLoss && m_state.linkUp()) {
            qCDebug(lcLink).noquote()
                << QStringLiteral("link lost: no valid status frame for about %1 seconds")
                       .arg(m_state.missedCycles * SuperviseEveryTicks * Timer1IntervalMs / 1000.0);
            m_state.linkMark = 0;
            // What clients asked of this link is not carried to the next.
            m_transmitter.dropQueued("the link is lost");
        }
    }

    m_receiver.ReadStatusFrame();
    m_shown = shownStateOf(m_state, m_shown);

    if (m_state.linkUp()) {
        if (m_view)
            m_view->refresh(m_shown);
        m_state.selectionAge = saturatingIncrement(m_state.selectionAge);
        const bool expired = m_state.selectionAge > SelectionExpiryTicks
            || (m_state.selectedInput == 0 && m_state.selectedOutput == 0);
        if (expired) {
            m_state.selectedInput = 0;
            m_state.selectedOutput = 0;
            m_state.selectionAge = 0;
            showPicked();
        }
        if (m_state.selectedOutput != 0 && m_state.selectedInput != 0) {
            if (m_state.selectedOutput >= 1 && m_state.selectedOutput <= 4)
                m_transmitter.send(
                    CommandFrame::route(m_state.selectedInput, m_state.selectedOutput));
            m_state.selectedInput = 0;
            m_state.selectedOutput = 0;
        } else if (!expired) {
            // After an expiry nothing is picked, and the labels already
            // show exactly that: colouring them again is wasted work.
            showPicked();
        }
    }

    // Bytes of a frame that never completes are dropped once they have sat
    // unchanged for ten ticks. The count starts again whenever nothing
    // incomplete is waiting, or more bytes have come: at 9600 baud a frame
    // takes 15 ms to arrive, so most frames are seen half-received by a tick,
    // and a frame still arriving, behind a stray byte or not, must not be
    // dropped with what lingered in front of it.
    const std::optional<int> waiting = m_receiver.bytesWaiting();
    if (!waiting)
        return;
    const bool arriving = *waiting != m_lastWaiting;
    m_lastWaiting = *waiting;
    if (*waiting == 0 || *waiting >= StatusFrame::Length) {
        m_partialTicks = 0;
        return;
    }
    if (arriving)
        m_partialTicks = 0;
    if (++m_partialTicks >= StaleInputTicks) {
        m_partialTicks = 0;
        if (m_state.linkUp())
            m_receiver.discardWaiting();
    }
}

void SwitcherSession::showPicked()
{
    if (m_view)
        m_view->showPicked(m_state.selectedInput, m_state.selectedOutput);
}
