#pragma once

// Debian's ser2net as a child process: a real network serial-port server in front of the
// simulator's pseudo-terminal. Its configuration lives in a temporary folder, it listens on
// free loopback ports, and it dies with the test: killed when the object goes, and by the
// kernel if the test process itself dies (setpriv --pdeathsig).
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
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
        return !QStandardPaths::findExecutable(QStringLiteral("ser2net"), {"/usr/sbin", "/usr/bin"})
                    .isEmpty() &&
               !QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty();
    }

    // Free ports are found by binding to port 0; another process may take one before ser2net
    // does, so a start that does not listen is tried again with new ports.
    explicit Ser2NetProcess(const QVector<Entry> &entries)
    {
        for (int attempt = 0; attempt < 3 && m_ports.isEmpty(); ++attempt)
            start(entries);
    }
    ~Ser2NetProcess() { stop(); }

    bool isListening() const { return !m_ports.isEmpty(); }
    QString url(const QString &scheme, int entry) const
    {
        return QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(m_ports.value(entry));
    }
    QByteArray log() { return m_log += m_proc.readAll(); }

private:
    void stop()
    {
        m_proc.kill();
        m_proc.waitForFinished(5000);
    }

    // Whether something listens on the loopback port, from the kernel's socket table: a test
    // connection would make ser2net open the device.
    static bool listening(quint16 port)
    {
        QFile table(QStringLiteral("/proc/net/tcp"));
        const QByteArray local =
            "0100007F:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
        for (const QByteArray &line :
             table.open(QIODevice::ReadOnly) ? table.readAll().split('\n') : QList<QByteArray>()) {
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
            QTcpServer probe;
            if (!probe.listen(QHostAddress::LocalHost, 0))
                return;
            ports << probe.serverPort();
            // A raw port is the bare "tcp" accepter; telnet ones stack on it.
            const QString accepter = entries.at(i).accepter;
            yaml += QStringLiteral("connection: &port%1\n  accepter: %2,127.0.0.1,%3\n"
                                   "  connector: serialdev,%4,115200n81,local\n")
                        .arg(i)
                        .arg(accepter == QLatin1String("tcp") ? accepter : accepter + ",tcp")
                        .arg(ports.last())
                        .arg(entries.at(i).device)
                        .toUtf8();
        }
        QFile config(m_dir.filePath(QStringLiteral("ser2net.yaml")));
        if (!config.open(QIODevice::WriteOnly) || config.write(yaml) != yaml.size())
            return;
        config.close();
        m_proc.setProcessChannelMode(QProcess::MergedChannels);
        // -n: in the foreground; -u: no UUCP lock files (the port is the test's own); -P: the
        // pid file in the temporary folder, not in /run.
        m_proc.start(QStringLiteral("setpriv"),
                     {"--pdeathsig", "KILL", "--", "ser2net", "-n", "-u", "-P",
                      m_dir.filePath(QStringLiteral("ser2net.pid")), "-c", config.fileName()});
        const auto all = [&] {
            for (const quint16 port : qAsConst(ports))
                if (!listening(port))
                    return m_proc.state() != QProcess::Running; // gone: stop waiting
            m_ports = ports;
            return true;
        };
        if (!m_proc.waitForStarted(5000) || !QTest::qWaitFor(all, 5000) || m_ports.isEmpty()) {
            m_log += m_proc.readAll();
            stop();
        }
    }

    QTemporaryDir m_dir;
    QProcess m_proc;
    QVector<quint16> m_ports;
    QByteArray m_log;
};
