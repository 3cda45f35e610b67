#pragma once

// iap-flash (the path from the IAP_FLASH_PATH compile definition) run as a process while the
// test's event loop runs (the test's own server answers from it), with its JSON events. The
// system's reasons come in English (LC_ALL=C.UTF-8).
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QSignalSpy>
#include <QStringList>
#include <QTest>

#include <functional>

namespace flashrun {

// The JSON objects of a text of JSON lines.
inline QList<QJsonObject> jsonLines(const QByteArray &text)
{
    QList<QJsonObject> objects;
    for (const QByteArray &line : text.split('\n'))
        if (!line.isEmpty())
            objects << QJsonDocument::fromJson(line).object();
    return objects;
}

// The records of a log: every line a JSON object, the last line ended; otherwise none.
inline QList<QJsonObject> logRecords(const QByteArray &text)
{
    const QList<QJsonObject> records = jsonLines(text);
    const bool whole = text.endsWith('\n') && records.size() == text.count('\n') &&
                       !records.contains(QJsonObject());
    return whole ? records : QList<QJsonObject>();
}

struct Run
{
    int exitCode = -1; // -1: it crashed or did not end in time
    QByteArray out;
    QByteArray err;
    QList<QJsonObject> json;
};

// iap-flash, started by `prefix` (e.g. prlimit with its options) when there is one; killed if
// it is still running when the object goes.
class Flasher
{
public:
    explicit Flasher(const QStringList &args, const QStringList &prefix = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        m_proc.setProcessEnvironment(env);
        const QStringList all = prefix + QStringList{QStringLiteral(IAP_FLASH_PATH)} + args;
        m_proc.start(all.first(), all.mid(1));
    }
    ~Flasher()
    {
        m_proc.kill();
        m_proc.waitForFinished(5000);
    }
    qint64 pid() const { return m_proc.processId(); }

    // Whether an event of that name (that passes `test`, if given) has come before iap-flash
    // ended.
    bool waitFor(const QString &event, const std::function<bool(const QJsonObject &)> &test = {})
    {
        return QTest::qWaitFor(
                   [&] {
                       m_out += m_proc.readAllStandardOutput();
                       for (const QJsonObject &o : jsonLines(m_out))
                           if (o.value("event").toString() == event && (!test || test(o)))
                               return true;
                       return m_proc.state() == QProcess::NotRunning;
                   },
                   30000) &&
               m_proc.state() != QProcess::NotRunning;
    }

    Run finish(int timeoutMs = 60000)
    {
        QSignalSpy finished(&m_proc, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
        Run run;
        if ((m_proc.state() != QProcess::NotRunning && !finished.wait(timeoutMs)) ||
            m_proc.error() == QProcess::FailedToStart)
            return run;
        run.exitCode = m_proc.exitStatus() == QProcess::NormalExit ? m_proc.exitCode() : -1;
        run.out = m_out + m_proc.readAllStandardOutput();
        run.err = m_proc.readAllStandardError();
        run.json = jsonLines(run.out);
        return run;
    }

private:
    QProcess m_proc;
    QByteArray m_out;
};

// iap-flash to its end.
inline Run flash(const QStringList &args, int timeoutMs = 60000)
{
    return Flasher(args).finish(timeoutMs);
}

inline QList<QJsonObject> events(const Run &run, const QString &name)
{
    QList<QJsonObject> list;
    for (const QJsonObject &o : run.json)
        if (o.value(QStringLiteral("event")).toString() == name)
            list << o;
    return list;
}

inline QStringList eventNames(const Run &run)
{
    QStringList names;
    for (const QJsonObject &o : run.json)
        names << o.value(QStringLiteral("event")).toString();
    return names;
}

} // namespace flashrun
