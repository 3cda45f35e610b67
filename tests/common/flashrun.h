#pragma once

// iap-flash (the path from the IAP_FLASH_PATH compile definition) run as a process to its
// end while the test's event loop runs, with its JSON events.
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QSignalSpy>
#include <QStringList>

namespace flashrun {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    QList<QJsonObject> json;
};

// iap-flash to its end, with the event loop running (the test's own server answers from it).
inline Run flash(const QStringList &args, int timeoutMs = 60000)
{
    QProcess p;
    QSignalSpy finished(&p, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    p.start(QStringLiteral(IAP_FLASH_PATH), args);
    Run run;
    if (!finished.wait(timeoutMs)) {
        p.kill();
        p.waitForFinished(5000);
        return run;
    }
    run.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    run.out = p.readAllStandardOutput();
    run.err = p.readAllStandardError();
    for (const QByteArray &line : run.out.split('\n')) {
        if (!line.isEmpty())
            run.json << QJsonDocument::fromJson(line).object();
    }
    return run;
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
