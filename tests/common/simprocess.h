#pragma once

// The device simulator as a child process on a real pseudo-terminal. The path of the
// program comes from the IAP_SIM_PATH compile definition.
#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

// One iap-device-sim process. It is killed when the object goes, and it dies on its own if
// the test process does (the simulator asks the kernel for that).
class SimProcess
{
public:
    explicit SimProcess(const QStringList &args)
    {
        m_proc.setProgram(QStringLiteral(IAP_SIM_PATH));
        m_proc.setArguments(args);
        m_proc.setProcessChannelMode(QProcess::SeparateChannels);
        m_proc.start();
        if (!m_proc.waitForStarted(5000))
            return;
        // The first line is the path of the port to open.
        while (!m_proc.canReadLine() && m_proc.state() == QProcess::Running)
            m_proc.waitForReadyRead(5000);
        m_path = QString::fromLocal8Bit(m_proc.readLine()).trimmed();
    }
    ~SimProcess()
    {
        if (m_proc.state() != QProcess::NotRunning) {
            m_proc.kill();
            m_proc.waitForFinished(5000);
        }
    }
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    QString path() const { return m_path; }
    // The simulator has ended by itself with exit code 0, by now or within `timeoutMs`. (An
    // event loop run since, as while a flasher is awaited, may already have seen it end:
    // QProcess::waitForFinished() is false then.)
    bool exitedCleanly(int timeoutMs)
    {
        if (m_proc.state() != QProcess::NotRunning && !m_proc.waitForFinished(timeoutMs))
            return false;
        return m_proc.error() != QProcess::FailedToStart &&
               m_proc.exitStatus() == QProcess::NormalExit && m_proc.exitCode() == 0;
    }
    QProcess &process() { return m_proc; }
    QByteArray stderrText() { return m_proc.readAllStandardError(); }

    // Every JSON event printed so far.
    QList<QJsonObject> events()
    {
        m_out += m_proc.readAllStandardOutput();
        QList<QJsonObject> result;
        for (const QByteArray &line : m_out.split('\n')) {
            if (!line.trimmed().isEmpty())
                result << QJsonDocument::fromJson(line).object();
        }
        return result;
    }
    // The events of one kind ("complete", "hangup").
    QList<QJsonObject> events(const QString &name)
    {
        QList<QJsonObject> result;
        for (const QJsonObject &o : events()) {
            if (o.value(QStringLiteral("event")).toString() == name)
                result << o;
        }
        return result;
    }

private:
    QProcess m_proc;
    QString m_path;
    QByteArray m_out;
};
