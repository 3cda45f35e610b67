// The run policy shared by the window and iap-flash, driven tick by tick, where the programs'
// suites cannot steer the device: an acceptance before the first request, a line lost right
// after the last acknowledgement, and the verification exchange. (Early acknowledgements, the
// reply kept for its tick, the resend cap, the request timeout and the summary are shown at
// iap-flash's boundary, in tst_outcomes and tst_flash.)
#include "iapcontext.h"
#include "testfiles.h"
#include "upgraderun.h"
#include "verification.h"
#include "wireframes.h"

#include <QtTest>

using iap::Action;
using iap::Step;
using iap::UpgradeRun;
using iap::Verification;

namespace {

int sends(const Step &s)
{
    int n = 0;
    for (const Action &a : s.actions)
        n += a.kind == Action::Kind::Send;
    return n;
}

QStringList messages(const Step &s)
{
    QStringList out;
    for (const Action &a : s.actions)
        if (a.kind == Action::Kind::Message)
            out << a.render(iap::Language::English);
    return out;
}

// A run of an image of `bytes`, with a byte count standing in for the line's stream: what
// the device sends is offered at the position it arrived at.
struct Line
{
    IapContext ctx;
    UpgradeRun run;
    qint64 received = 0;
    explicit Line(int bytes) : run(&ctx, 0) { ctx.setImage(patternImage(bytes)); }
    UpgradeRun::Offer arrive(const QByteArray &frame)
    {
        const qint64 at = received;
        received += frame.size();
        return run.offer(frame, at);
    }
    Step tick() { return run.tick(received); }
    // Download pressed, one request, accepted: package 0 is out.
    void enterTransfer()
    {
        QVERIFY(run.start() == iap::IapError::None);
        QCOMPARE(sends(tick()), 1); // the request
        QCOMPARE(arrive(acceptedFrame()), UpgradeRun::Offer::ActNow);
        QCOMPARE(sends(tick()), 1); // package 0
    }
};

} // namespace

class TestUpgradeRun : public QObject
{
    Q_OBJECT
private slots:
    void acceptanceBeforeTheFirstRequestIsIgnored();
    void lineLostAfterTheLastAcknowledgement();
    void lineLostAfterAnAcknowledgement();
    void verification_data();
    void verification();
};

void TestUpgradeRun::acceptanceBeforeTheFirstRequestIsIgnored()
{
    Line l(100);
    QVERIFY(l.run.start() == iap::IapError::None);
    QCOMPARE(l.arrive(acceptedFrame()), UpgradeRun::Offer::Ignored);
    const Step first = l.tick();
    QCOMPARE(messages(first), QStringList{"Request firmware update!"});
    QCOMPARE(l.arrive(acceptedFrame()), UpgradeRun::Offer::ActNow);
    QCOMPARE(messages(l.tick()).first(),
             QStringLiteral("Receive the response, enter the firmware brush process!"));
}

// The line goes right after the last acknowledgement arrived, before its tick (the device
// leaves for its application): the upgrade is complete. (A loss mid-transfer is tst_flash's.)
void TestUpgradeRun::lineLostAfterTheLastAcknowledgement()
{
    Line l(3000);
    l.enterTransfer();
    for (int k = 0; k < 3; ++k) {
        l.arrive(ackFrame(k, 1));
        if (k < 2)
            l.tick();
    }
    const Step s = l.run.lineLost();
    QCOMPARE(l.run.outcome(), UpgradeRun::Outcome::Completed);
    QCOMPARE(messages(s), (QStringList{"Flash write success!", "update completed"}));
    QVERIFY(!l.run.lostMidUpgrade());
    QCOMPARE(l.run.bytesDone(), qint64(3000));
    QVERIFY(!l.run.running());
}

// The line goes after package 2 of 3 was acknowledged, before its tick: it counts as written.
// The next run starts with nothing of this one.
void TestUpgradeRun::lineLostAfterAnAcknowledgement()
{
    Line l(3000);
    l.enterTransfer();
    l.arrive(ackFrame(0, 1));
    l.tick();
    l.arrive(ackFrame(1, 1));
    QVERIFY(messages(l.run.lineLost()).isEmpty());
    QVERIFY(l.run.lostMidUpgrade());
    QCOMPARE(l.run.bytesDone(), qint64(2048));
    l.enterTransfer();
    QVERIFY(!l.run.lostMidUpgrade());
    QCOMPARE(l.run.bytesDone(), qint64(0));
}

// After the last acknowledgement: F1 03 00 00 asks what the device supports (three times,
// 500 ms apart); with bit 0 of the answer F1 04 00 00 asks for the length and CRC it holds.
void TestUpgradeRun::verification_data()
{
    QTest::addColumn<QVector<QByteArray>>("answers"); // "-" : the wait runs out instead
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("questions");
    const QByteArray image = patternImage(3000);
    const quint32 crc =
        quint32(crc32(0, reinterpret_cast<const Bytef *>(image.constData()), uInt(image.size())));
    const auto verifyAnswer = [](quint32 length, quint32 c) {
        QByteArray b = hex("F1 84");
        for (const quint32 v : {length, c})
            b.append(char(v >> 24)).append(char(v >> 16)).append(char(v >> 8)).append(char(v));
        return withCrc(b);
    };
    const QByteArray canVerify = withCrc(hex("F1 83 00 01"));
    const QByteArray timeout("-");
    // (Verified and another CRC are tst_outcomes'.)
    QTest::newRow("shorter image") << QVector<QByteArray>{canVerify, verifyAnswer(2999, crc)}
                                   << int(Verification::Result::Mismatch) << 2;
    QTest::newRow("no complete image") << QVector<QByteArray>{canVerify, verifyAnswer(0, 0)}
                                       << int(Verification::Result::Mismatch) << 2;
    QTest::newRow("silent device") << QVector<QByteArray>{timeout, timeout, timeout}
                                   << int(Verification::Result::CannotVerify) << 3;
    QTest::newRow("answered the second question")
        << QVector<QByteArray>{timeout, canVerify, timeout, verifyAnswer(3000, crc)}
        << int(Verification::Result::Verified) << 4;
    QTest::newRow("cannot read back") << QVector<QByteArray>{withCrc(hex("F1 83 00 00"))}
                                      << int(Verification::Result::CannotVerify) << 1;
    QTest::newRow("verification answer never comes")
        << QVector<QByteArray>{canVerify, timeout, timeout}
        << int(Verification::Result::CannotVerify) << 3;
}

void TestUpgradeRun::verification()
{
    QFETCH(QVector<QByteArray>, answers);
    QFETCH(int, result);
    QFETCH(int, questions);
    Verification v(patternImage(3000));
    qint64 received = 100;
    // An answer that arrived before the question went out is not taken.
    const QByteArray early = withCrc(hex("F1 83 00 01"));
    QVector<QByteArray> asked{v.begin(received)};
    QCOMPARE(asked.first(), withCrc(hex("F1 03 00 00")));
    QCOMPARE(v.wait(), std::chrono::milliseconds(500));
    QVERIFY(v.offer(early, received - early.size(), received).isEmpty());
    for (const QByteArray &answer : answers) {
        QByteArray next;
        if (answer == "-") {
            next = v.timedOut(received);
        } else {
            next = v.offer(answer, received, received + answer.size());
            received += answer.size();
        }
        if (!next.isEmpty())
            asked << next;
    }
    QCOMPARE(int(v.result()), result);
    QCOMPARE(asked.size(), questions);
    if (questions > 1 && asked.last() == withCrc(hex("F1 04 00 00")))
        QCOMPARE(v.wait(), std::chrono::milliseconds(2000)); // 1 s + 1 s for the 1st MiB
}

QTEST_GUILESS_MAIN(TestUpgradeRun)
#include "tst_upgraderun.moc"
