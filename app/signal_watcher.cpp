#include "app/signal_watcher.h"

#include <QLoggingCategory>
#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

Q_LOGGING_CATEGORY(lcSignal, "matrix.signal", QtWarningMsg)

#ifdef Q_OS_UNIX
namespace {

int signalSockets[2] = { -1, -1 };
constexpr int Watched[] = { SIGTERM, SIGINT, SIGHUP };

extern "C" void onSignal(int signal)
{
    // Only async-signal-safe calls here: one byte to the event loop.
    const int saved = errno;
    const char number = char(signal);
    [[maybe_unused]] const ssize_t written = ::write(signalSockets[1], &number, 1);
    errno = saved;
}

} // namespace
#endif

SignalWatcher::SignalWatcher(QObject *parent)
    : QObject(parent)
{
#ifdef Q_OS_UNIX
    if (signalSockets[0] >= 0
        || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalSockets) != 0)
        return;
    ::fcntl(signalSockets[1], F_SETFL, O_NONBLOCK);
    m_notifier = new QSocketNotifier(signalSockets[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalWatcher::readSignal);

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : Watched)
        ::sigaction(signal, &action, nullptr);
#endif
}

SignalWatcher::~SignalWatcher()
{
#ifdef Q_OS_UNIX
    if (!m_notifier)
        return;
    for (const int signal : Watched)
        ::signal(signal, SIG_DFL);
    delete m_notifier;
    m_notifier = nullptr;
    ::close(signalSockets[0]);
    ::close(signalSockets[1]);
    signalSockets[0] = signalSockets[1] = -1;
#endif
}

void SignalWatcher::readSignal()
{
#ifdef Q_OS_UNIX
    char number = 0;
    if (::read(signalSockets[0], &number, 1) == 1) {
        qCDebug(lcSignal) << "signal" << int(number) << "received, ending";
        emit terminationRequested(int(number));
    }
#endif
}
