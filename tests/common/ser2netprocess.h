#pragma once

// Debian's ser2net as a child process: a real network serial-port server in front of the
// simulator's pseudo-terminal. Its configuration lives in a temporary folder, it listens on
// free loopback ports, and it dies with the test: killed when the object goes, and by the
// kernel if the test process itself dies (setpriv --pdeathsig).
#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QVector>

class Ser2NetProcess
{
public:
    // One listening port per entry. accepter: "telnet(rfc2217)" (RFC 2217), "telnet" (telnet
    // without the COM-PORT option) or "tcp" (raw).
    struct Entry
    {
        QString accepter;
        QString device;
    };

    static bool available()
    {
        return !QStandardPaths::findExecutable(
                    QStringLiteral("ser2net"),
                    {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")})
                    .isEmpty() &&
               !QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty();
    }

    explicit Ser2NetProcess(const QVector<Entry> &entries)
    {
        // Free ports are found by binding to port 0; another process may take one before
        // ser2net does, so a start that does not listen is tried again with new ports.
        for (int attempt = 0; attempt < 3 && m_ports.isEmpty(); ++attempt)
            start(entries);
    }
    ~Ser2NetProcess() { stop(); }
    Ser2NetProcess(const Ser2NetProcess &) = delete;
    Ser2NetProcess &operator=(const Ser2NetProcess &) = delete;

    bool isListening() const { return !m_ports.isEmpty(); }
    quint16 port(int entry) const { return m_ports.value(entry); }
    QString url(const QString &scheme, int entry) const
    {
        return QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(port(entry));
    }
    QByteArray log() { return m_log += m_proc.readAll(); }

    void stop()
    {
        if (m_proc.state() != QProcess::NotRunning) {
            m_proc.kill();
            m_proc.waitForFinished(5000);
        }
    }

private:
    static quint16 freePort()
    {
        QTcpServer probe;
        return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
    }

    // Whether something listens on the loopback port, from the kernel's socket table: a test
    // connection would make ser2net open the device.
    static bool listening(quint16 port)
    {
        QFile table(QStringLiteral("/proc/net/tcp"));
        if (!table.open(QIODevice::ReadOnly))
            return false;
        const QByteArray local =
            QByteArray("0100007F:") + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
        for (const QByteArray &line : table.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 3 && fields.at(1) == local && fields.at(3) == "0A")
                return true;
        }
        return false;
    }

    void start(const QVector<Entry> &entries)
    {
        stop();
        QVector<quint16> ports;
        QByteArray yaml;
        for (int i = 0; i < entries.size(); ++i) {
            const quint16 port = freePort();
            if (port == 0)
                return;
            ports << port;
            // A raw port is the bare "tcp" accepter; telnet ones stack on it.
            const QString accepter = entries.at(i).accepter == QLatin1String("tcp")
                                         ? QStringLiteral("tcp")
                                         : entries.at(i).accepter + QStringLiteral(",tcp");
            yaml += QStringLiteral("connection: &port%1\n"
                                   "  accepter: %2,127.0.0.1,%3\n"
                                   "  connector: serialdev,%4,115200n81,local\n")
                        .arg(i)
                        .arg(accepter)
                        .arg(port)
                        .arg(entries.at(i).device)
                        .toUtf8();
        }
        const QString config = m_dir.filePath(QStringLiteral("ser2net.yaml"));
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly) || file.write(yaml) != yaml.size())
            return;
        file.close();
        m_proc.setProcessChannelMode(QProcess::MergedChannels);
        // -n: in the foreground; -u: no UUCP lock files (the port is the test's own); -P: the
        // pid file in the temporary folder, not in /run.
        m_proc.start(QStringLiteral("setpriv"),
                     {QStringLiteral("--pdeathsig"), QStringLiteral("KILL"), QStringLiteral("--"),
                      QStringLiteral("ser2net"), QStringLiteral("-n"), QStringLiteral("-u"),
                      QStringLiteral("-P"), m_dir.filePath(QStringLiteral("ser2net.pid")),
                      QStringLiteral("-c"), config});
        if (!m_proc.waitForStarted(5000))
            return;
        QDeadlineTimer deadline(5000);
        for (;;) {
            bool all = true;
            for (const quint16 port : qAsConst(ports))
                all = all && listening(port);
            if (all) {
                m_ports = ports;
                return;
            }
            if (deadline.hasExpired() || m_proc.state() != QProcess::Running)
                break;
            QTest::qWait(20);
        }
        m_log += m_proc.readAll();
        stop();
    }

    QTemporaryDir m_dir;
    QProcess m_proc;
    QVector<quint16> m_ports;
    QByteArray m_log;
};
