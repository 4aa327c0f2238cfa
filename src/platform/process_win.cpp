#include "platform/process.h"

#include <QProcess>

#include <windows.h>

namespace platform {

void prepareProcess()
{
    // The free space is asked at every keystroke in the path box: a drive without a disk in it must
    // answer with an error, not with the system's "no disk" box.
    SetErrorMode(SetErrorMode(0) | SEM_FAILCRITICALERRORS);
}

CommandGroup::~CommandGroup()
{
    endGroup();
}

std::error_code CommandGroup::start(const QString& path, const QString& program, const QStringList& arguments,
                                    const QProcessEnvironment& environment)
{
    Q_UNUSED(program);
    m_process = std::make_unique<QProcess>();
    m_process->setProgram(path);
    m_process->setArguments(arguments);
    m_process->setProcessChannelMode(QProcess::ForwardedChannels);
    m_process->setInputChannelMode(QProcess::ForwardedInputChannel);
    QProcessEnvironment all = QProcessEnvironment::systemEnvironment();
    all.insert(environment);
    m_process->setProcessEnvironment(all);
    m_process->start();
    if (!m_process->waitForStarted(-1)) {
        m_process.reset();
        return std::make_error_code(std::errc::permission_denied);
    }
    m_running = true;
    return {};
}

bool CommandGroup::waitForEnd(int milliseconds)
{
    // A console's Ctrl-C reaches the command too, and its end ends the wait.
    if (m_running && m_process->state() != QProcess::NotRunning && !m_process->waitForFinished(milliseconds)) {
        return false;
    }
    if (m_running) {
        m_running = false;
        m_exitCode
            = m_process->exitStatus() == QProcess::NormalExit ? m_process->exitCode() : 128 + m_process->exitCode();
    }
    return true;
}

void CommandGroup::signal(int signal)
{
    // A console's Ctrl-C reaches every process attached to it, the command's too.
    Q_UNUSED(signal);
}

bool CommandGroup::endGroup(int grace)
{
    if (!m_process || !m_running) {
        return false;
    }
    m_process->kill();
    m_process->waitForFinished(grace);
    waitForEnd(0);
    return true;
}

} // namespace platform
