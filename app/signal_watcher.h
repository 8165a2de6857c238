#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal, so that they end the
// program the way closing a window does: timers stopped, port closed, its lock
// file removed. The handler itself only writes to a socket that the event
// loop watches; all the work happens there.
class SignalWatcher : public QObject
{
    Q_OBJECT
public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

signals:
    void terminationRequested(int signal);

private:
    void readSignal();

    QSocketNotifier *m_notifier = nullptr;
};
