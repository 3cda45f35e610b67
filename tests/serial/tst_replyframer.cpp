#include "replyframer.h"

#include <QtTest>

#include "wireframes.h"
#include <zlib.h>

namespace {

QStringList debugLines;

void captureDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg)
        debugLines << message;
}

} // namespace

class TestReplyFramer : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        debugLines.clear();
        qInstallMessageHandler(captureDebug);
    }
    void cleanup() { qInstallMessageHandler(nullptr); }

    void literalFramesMatchZlib_data();
    void literalFramesMatchZlib();
    void bursts_data();
    void bursts();
    void overlongBurstIsDropped();
    void longestBurstIsTested();
    void takeIfComplete_data();
    void takeIfComplete();
};

// The literal frames below carry the CRC-32 that zlib computes for them.
void TestReplyFramer::literalFramesMatchZlib_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("accepted") << hex("F1810000FF69DF69");
    QTest::newRow("ack 5") << hex("F182000501FE563493");
    QTest::newRow("ack 5 padded") << hex("F18200050100000039 36D873");
    QTest::newRow("odd code") << hex("F1AABBCC5E928F80");
}

void TestReplyFramer::literalFramesMatchZlib()
{
    QFETCH(QByteArray, frame);
    QCOMPARE(withCrc(frame.left(frame.size() - 4)), frame);
}

// Each script step is hex bytes that arrive, or "|" for the line going quiet (the owner's
// 30 ms timer expiring). Every quiet yields one outcome; accepted frames are collected.
void TestReplyFramer::bursts_data()
{
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QStringList>("outcomes"); // E(mpty), D(ropped), A(ccepted) per quiet
    QTest::addColumn<QStringList>("accepted"); // hex of each accepted frame
    QTest::addColumn<QStringList>("debug");    // the debug lines written

    QTest::newRow("whole frame in one read")
        << QStringList{"F1810000FF69DF69", "|"} << QStringList{"A"}
        << QStringList{"f1810000ff69df69"} << QStringList{"time out:1"};
    QTest::newRow("two reads gathered into one frame")
        << QStringList{"F1820005", "01FE563493", "|"} << QStringList{"A"}
        << QStringList{"f182000501fe563493"} << QStringList{"time out:1"};
    QTest::newRow("a gap splits the frame: both halves dropped")
        << QStringList{"F1820005", "|", "01FE563493", "|"} << QStringList{"D", "D"} << QStringList{}
        << QStringList{"time out:1", "time out:2"};
    QTest::newRow("two frames merged: dropped")
        << QStringList{"F1810000FF69DF69", "F182000501FE563493", "|"} << QStringList{"D"}
        << QStringList{} << QStringList{"time out:1"};
    QTest::newRow("noise before the start byte: dropped")
        << QStringList{"00F182000501FE563493", "|"} << QStringList{"D"} << QStringList{}
        << QStringList{"time out:1"};
    QTest::newRow("1 byte") << QStringList{"F1", "|"} << QStringList{"D"} << QStringList{}
                            << QStringList{"time out:1"};
    QTest::newRow("2 bytes") << QStringList{"F182", "|"} << QStringList{"D"} << QStringList{}
                             << QStringList{"time out:1"};
    QTest::newRow("3 bytes") << QStringList{"F18200", "|"} << QStringList{"D"} << QStringList{}
                             << QStringList{"time out:1"};
    QTest::newRow("4 bytes") << QStringList{"F1820000", "|"} << QStringList{"D"} << QStringList{}
                             << QStringList{"time out:1"};
    QTest::newRow("5 bytes with matching CRC") << QStringList{"F118B82D07", "|"} << QStringList{"D"}
                                               << QStringList{} << QStringList{"time out:1"};
    QTest::newRow("6 bytes with matching CRC")
        << QStringList{"F1824FC8200F", "|"} << QStringList{"D"} << QStringList{}
        << QStringList{"time out:1"};
    QTest::newRow("7 bytes with matching CRC")
        << QStringList{"F18200 42F23A3C", "|"} << QStringList{"D"} << QStringList{}
        << QStringList{"time out:1"};
    QTest::newRow("exactly 8 bytes accepted")
        << QStringList{"F1AABBCC5E928F80", "|"} << QStringList{"A"}
        << QStringList{"f1aabbcc5e928f80"} << QStringList{"time out:1"};
    QTest::newRow("wrong CRC, last byte")
        << QStringList{"F182000501FE563492", "|"} << QStringList{"D"} << QStringList{}
        << QStringList{"time out:1"};
    QTest::newRow("wrong CRC, first trailer byte")
        << QStringList{"F182000501FF563493", "|"} << QStringList{"D"} << QStringList{}
        << QStringList{"time out:1"};
    QTest::newRow("any code is accepted")
        << QStringList{"F18101020304 74F2D6EC", "|"} << QStringList{"A"}
        << QStringList{"f18101020304 74f2d6ec"} << QStringList{"time out:1"};
    QTest::newRow("padded acknowledgement")
        << QStringList{"F182000501000000 3936D873", "|"} << QStringList{"A"}
        << QStringList{"f182000501000000 3936d873"} << QStringList{"time out:1"};
    QTest::newRow("empty expiries count but write nothing")
        << QStringList{"|", "F1810000FF69DF69", "|", "|", "|", "F182000501FE563493", "|"}
        << QStringList{"E", "A", "E", "E", "A"}
        << QStringList{"f1810000ff69df69", "f182000501fe563493"}
        << QStringList{"time out:2", "time out:5"};
    QTest::newRow("a dropped burst does not spoil the next")
        << QStringList{"00", "|", "F1810000FF69DF69", "|"} << QStringList{"D", "A"}
        << QStringList{"f1810000ff69df69"} << QStringList{"time out:1", "time out:2"};
}

void TestReplyFramer::bursts()
{
    QFETCH(QStringList, script);
    QFETCH(QStringList, outcomes);
    QFETCH(QStringList, accepted);
    QFETCH(QStringList, debug);

    QByteArray burst;
    links::ReplyFramer framer(&burst);
    QStringList gotOutcomes;
    QStringList gotFrames;
    for (const QString &step : script) {
        if (step == QLatin1String("|")) {
            QByteArray frame("untouched");
            const links::ReplyFramer::Outcome outcome = framer.quiet(&frame);
            QVERIFY(burst.isEmpty());
            switch (outcome) {
            case links::ReplyFramer::Outcome::Empty:
                gotOutcomes << "E";
                QCOMPARE(frame, QByteArray("untouched"));
                break;
            case links::ReplyFramer::Outcome::Dropped:
                gotOutcomes << "D";
                QCOMPARE(frame, QByteArray("untouched"));
                break;
            case links::ReplyFramer::Outcome::Accepted:
                gotOutcomes << "A";
                gotFrames << QString::fromLatin1(frame.toHex());
                break;
            }
        } else {
            framer.append(QByteArray::fromHex(step.toLatin1()));
        }
    }
    for (QString &frame : accepted)
        frame.remove(QLatin1Char(' '));
    QCOMPARE(gotOutcomes, outcomes);
    QCOMPARE(gotFrames, accepted);
    QCOMPARE(debugLines, debug);
    QCOMPARE(framer.quietCount(), outcomes.size());
}

void TestReplyFramer::overlongBurstIsDropped()
{
    // A well-formed frame of 65537 bytes: only the bound keeps it out.
    const QByteArray frame = withCrc(QByteArray(1, char(0xF1)) + QByteArray(65532, 'x'));
    QCOMPARE(frame.size(), 65537);
    QByteArray burst;
    links::ReplyFramer framer(&burst);
    framer.append(frame.left(40000));
    QCOMPARE(burst.size(), 40000);
    framer.append(frame.mid(40000));
    QVERIFY(burst.isEmpty());
    QCOMPARE(debugLines.size(), 1);
    QVERIFY2(debugLines.first().contains(QLatin1String("dropped")), qPrintable(debugLines.first()));
    // The rest of the stream, up to the quiet gap, belongs to the dropped burst.
    framer.append(QByteArray::fromHex("F1810000FF69DF69"));
    QByteArray out;
    QCOMPARE(framer.quiet(&out), links::ReplyFramer::Outcome::Dropped);
    QVERIFY(out.isEmpty());
    QCOMPARE(debugLines.last(), QStringLiteral("time out:1"));
    // After the gap the framer works as before.
    framer.append(QByteArray::fromHex("F1810000FF69DF69"));
    QCOMPARE(framer.quiet(&out), links::ReplyFramer::Outcome::Accepted);
    QCOMPARE(out, QByteArray::fromHex("F1810000FF69DF69"));
}

void TestReplyFramer::longestBurstIsTested()
{
    const QByteArray frame = withCrc(QByteArray(1, char(0xF1)) + QByteArray(65531, 'x'));
    QCOMPARE(frame.size(), 65536);
    QByteArray burst;
    links::ReplyFramer framer(&burst);
    framer.append(frame.left(1000));
    framer.append(frame.mid(1000));
    QByteArray out;
    QCOMPARE(framer.quiet(&out), links::ReplyFramer::Outcome::Accepted);
    QCOMPARE(out, frame);
}

void TestReplyFramer::takeIfComplete_data()
{
    QTest::addColumn<QStringList>("reads");
    QTest::addColumn<bool>("taken");
    QTest::addColumn<QString>("frame"); // hex of the frame taken, or of the burst left

    QTest::newRow("nothing yet") << QStringList{} << false << QString();
    QTest::newRow("partial acknowledgement")
        << QStringList{"F182000501"} << false << QStringLiteral("f182000501");
    QTest::newRow("all but the last byte")
        << QStringList{"F182000501FE5634"} << false << QStringLiteral("f182000501fe5634");
    QTest::newRow("complete acknowledgement")
        << QStringList{"F182000501", "FE563493"} << true << QStringLiteral("f182000501fe563493");
    QTest::newRow("complete request reply")
        << QStringList{"F1810000FF69DF69"} << true << QStringLiteral("f1810000ff69df69");
    QTest::newRow("padded, not yet complete")
        << QStringList{"F182000501000000"} << false << QStringLiteral("f182000501000000");
    QTest::newRow("padded, complete") << QStringList{"F182000501000000", "3936D873"} << true
                                      << QStringLiteral("f1820005010000003936d873");
    QTest::newRow("noise in front")
        << QStringList{"00F182000501FE563493"} << false << QStringLiteral("00f182000501fe563493");
    QTest::newRow("too short, matching CRC")
        << QStringList{"F18200 42F23A3C"} << false << QStringLiteral("f1820042f23a3c");
}

void TestReplyFramer::takeIfComplete()
{
    QFETCH(QStringList, reads);
    QFETCH(bool, taken);
    QFETCH(QString, frame);

    QByteArray burst;
    links::ReplyFramer framer(&burst);
    for (const QString &read : reads)
        framer.append(QByteArray::fromHex(read.toLatin1()));
    QByteArray out;
    QCOMPARE(framer.takeIfComplete(&out), taken);
    if (taken) {
        QCOMPARE(QString::fromLatin1(out.toHex()), frame);
        QVERIFY(burst.isEmpty());
    } else {
        QVERIFY(out.isEmpty());
        QCOMPARE(QString::fromLatin1(burst.toHex()), frame);
    }
    QVERIFY(debugLines.isEmpty());
    QCOMPARE(framer.quietCount(), 0);
}

QTEST_APPLESS_MAIN(TestReplyFramer)
#include "tst_replyframer.moc"
