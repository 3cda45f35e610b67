// The host's upgrade engine and the device core wired together in one process, no serial
// line between them: packages from the engine go into the core (sometimes lost, cut short,
// damaged or preceded by noise), the core's replies come back as one burst per tick
// (sometimes lost, damaged or preceded by noise) and are stored when they pass the reply
// framing's test. Over many seeds, every run must end with the image on the device, each
// package written exactly once.
#include "coreport.h"
#include "iapcontext.h"
#include "replyframer.h"
#include "upgradeengine.h"

#include <QRandomGenerator>
#include <QtTest>

using iap::Action;
using iap::IapError;
using iap::UpgradeEngine;

namespace {

struct Faults
{
    double rate = 0.0; // chance of a fault on each frame, each way
    double writeFailure = 0.0;
    bool idle = false; // the port tells the core when the line goes quiet
};

struct Outcome
{
    bool finished = false;
    int ticks = 0;
    int resends = 0; // packages the engine sent again (data error or timeout)
    QString problem;
};

QByteArray noise(QRandomGenerator &random)
{
    QByteArray b(1 + int(random.bounded(20)), '\0');
    for (char &c : b)
        c = char(random.bounded(256));
    return b;
}

QByteArray damage(QByteArray bytes, QRandomGenerator &random)
{
    if (bytes.isEmpty())
        return bytes;
    switch (random.bounded(4)) {
    case 0:
        return QByteArray(); // lost
    case 1:
        return bytes.left(int(random.bounded(bytes.size()))); // cut short
    case 2: {
        const int at = int(random.bounded(bytes.size()));
        bytes[at] = char(bytes.at(at) ^ (1 << random.bounded(8))); // one bit flipped
        return bytes;
    }
    default:
        return noise(random) + bytes;
    }
}

Outcome run(const QByteArray &image, const Faults &faults, quint32 seed, CorePort &device)
{
    QRandomGenerator random(seed);
    device.failWrite = [&](quint32) { return random.generateDouble() < faults.writeFailure; };

    IapContext context;
    context.setImage(image);
    UpgradeEngine engine(&context);
    Outcome out;
    if (engine.start() != IapError::None) {
        out.problem = QStringLiteral("start refused");
        return out;
    }
    for (out.ticks = 1; out.ticks <= 200000; ++out.ticks) {
        const iap::Step step = engine.tick();
        QByteArray burst;
        for (const Action &action : step.actions) {
            if (action.event == Action::Event::DataErrorResend ||
                action.event == Action::Event::TimeoutResend)
                ++out.resends;
            if (action.kind != Action::Kind::Send)
                continue;
            QByteArray bytes = action.bytes;
            if (random.generateDouble() < faults.rate)
                bytes = damage(bytes, random);
            burst += device.feed(bytes);
        }
        if (faults.idle)
            burst += device.idle();
        if (!burst.isEmpty() && random.generateDouble() < faults.rate)
            burst = damage(burst, random);
        if (links::ReplyFramer::isValidFrame(burst))
            context.response = burst;
        if (!step.running) {
            out.finished = context.state == IapContext::Finished;
            if (!out.finished)
                out.problem = QStringLiteral("the run stopped in state %1").arg(context.state);
            return out;
        }
    }
    out.problem = QStringLiteral("no end after %1 ticks").arg(out.ticks);
    return out;
}

} // namespace

class TestEngineCore : public QObject
{
    Q_OBJECT

private slots:
    void agree_data();
    void agree();
};

void TestEngineCore::agree_data()
{
    QTest::addColumn<double>("rate");
    QTest::addColumn<double>("writeFailure");
    QTest::addColumn<bool>("idle");
    QTest::addColumn<int>("seeds");
    QTest::newRow("clean line") << 0.0 << 0.0 << false << 100;
    QTest::newRow("5% faults") << 0.05 << 0.0 << false << 400;
    QTest::newRow("20% faults") << 0.2 << 0.0 << false << 400;
    QTest::newRow("20% faults, idle line reported") << 0.2 << 0.0 << true << 400;
    QTest::newRow("failing writes") << 0.0 << 0.2 << false << 200;
    QTest::newRow("everything at once") << 0.15 << 0.1 << true << 300;
}

void TestEngineCore::agree()
{
    QFETCH(double, rate);
    QFETCH(double, writeFailure);
    QFETCH(bool, idle);
    QFETCH(int, seeds);
    const Faults faults{rate, writeFailure, idle};
    int resends = 0;
    for (int seed = 1; seed <= seeds; ++seed) {
        QRandomGenerator random(quint32(seed) * 7919u);
        // Small images, exact multiples of 1024 and images with a remainder alike.
        const int size = random.bounded(4) == 0 ? 1024 * (1 + int(random.bounded(8)))
                                                : 1 + int(random.bounded(9000));
        QByteArray image(size, '\0');
        for (char &c : image)
            c = char(random.bounded(256));

        CorePort device;
        const Outcome out = run(image, faults, quint32(seed), device);
        resends += out.resends;
        const QString where = QStringLiteral("seed %1, %2 bytes: ").arg(seed).arg(size);
        QVERIFY2(out.finished, qPrintable(where + out.problem));
        QVERIFY2(device.flash == image, qPrintable(where + QStringLiteral("image differs")));
        QVERIFY2(device.finishes.size() == 1, qPrintable(where + QStringLiteral("finish count")));
        // Each package written successfully exactly once, in order (a failed write is
        // retried; a write that succeeded never is).
        QVector<quint32> offsets;
        for (const CorePort::Write &w : device.writes) {
            if (w.ok)
                offsets.append(w.offset);
        }
        QVector<quint32> expected;
        for (int i = 0; i * 1024 < size; ++i)
            expected.append(quint32(i) * 1024);
        QVERIFY2(offsets == expected, qPrintable(where + QStringLiteral("write order")));
        if (writeFailure == 0.0)
            QVERIFY2(device.writes.size() == expected.size(),
                     qPrintable(where + QStringLiteral("%1 writes").arg(device.writes.size())));
    }
    // The faults did happen: a clean line needs no resend, a faulty one many.
    if (rate == 0.0 && writeFailure == 0.0)
        QCOMPARE(resends, 0);
    else
        QVERIFY2(resends >= seeds / 4, qPrintable(QString::number(resends)));
    qInfo("%d seeds, %d resends", seeds, resends);
}

QTEST_APPLESS_MAIN(TestEngineCore)
#include "tst_enginecore.moc"
