#pragma once

#include <QProcess>
#include <QStringList>

// matrix-sim in a child process, serving a pseudo-terminal through a link at
// `link`, with frames every 50 ms; control lines go to its stdin.
class SimProcess
{
public:
    bool start(const QString &link, const QStringList &extra = {})
    {
        m_process.setProgram(QStringLiteral(MATRIX_SIM_PATH));
        m_process.setArguments(QStringList { "--link", link, "--period", "50" } + extra);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
        return m_process.waitForStarted(5000) && m_process.waitForReadyRead(5000);
    }
    void say(const char *line) { m_process.write(QByteArray(line) + "\n"); }
    void kill()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    ~SimProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.closeWriteChannel();
            if (!m_process.waitForFinished(3000))
                kill();
        }
    }

private:
    QProcess m_process;
};
