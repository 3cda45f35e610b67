#include "iapcontext.h"
#include "testfiles.h"
#include "upgradeengine.h"
#include "wireframes.h"

#include <QtTest>

using iap::Action;
using iap::IapError;
using iap::Step;
using iap::UpgradeEngine;

namespace {

// One action written out the way the tests compare it: "send <hex of the first 4 bytes>/<size>"
// or "msg <English text>".
QString describe(const Action &a)
{
    if (a.kind == Action::Kind::Send)
        return QStringLiteral("send %1/%2")
            .arg(QString::fromLatin1(a.bytes.left(4).toHex(' ').toUpper()))
            .arg(a.bytes.size());
    return QStringLiteral("msg ") + a.render(iap::Language::English);
}

QStringList describe(const Step &s)
{
    QStringList out;
    for (const Action &a : s.actions)
        out << describe(a);
    return out;
}

QByteArray sentBytes(const Step &s)
{
    QByteArray out;
    for (const Action &a : s.actions)
        if (a.kind == Action::Kind::Send)
            out += a.bytes;
    return out;
}

// Full-size data package k of the image, built from the wire layout.
QByteArray dataPackage(const QByteArray &image, int k)
{
    QByteArray body = hex("F1 02");
    body.append(char(k >> 8)).append(char(k));
    QByteArray payload = image.mid(k * 1024, 1024);
    payload += QByteArray(1024 - payload.size(), '\0');
    return withCrc(body + payload);
}

QByteArray shortLastPackage(const QByteArray &image)
{
    const int k = image.size() / 1024;
    QByteArray body = hex("F1 02");
    body.append(char(k >> 8)).append(char(k));
    return withCrc(body + image.mid(k * 1024));
}

struct Rig
{
    IapContext ctx;
    UpgradeEngine engine{&ctx};
    explicit Rig(int bytes) { ctx.setImage(patternImage(bytes)); }
    // Download pressed, request answered: package 0 is out.
    Step enterTransfer()
    {
        if (engine.start() != IapError::None)
            qFatal("start refused");
        engine.tick(); // request
        ctx.response = acceptedFrame();
        return engine.tick();
    }
};

} // namespace

class TestEngine : public QObject
{
    Q_OBJECT
private slots:
    void nothingSentAtPress();
    void requestsUntilAnswered();
    void requestIgnoresOtherReplies_data();
    void requestIgnoresOtherReplies();
    void acceptedSendsPackageZero();
    void wholeRun_data();
    void wholeRun();
    void shortImage();
    void wrongIndexIgnored();
    void otherStatusIgnored_data();
    void otherStatusIgnored();
    void dataErrorResendsOnce();
    void lostAckResentAfterWaitLimit();
    void waitRestartsWithEveryPackage();
    void timeoutResendOfShortFinal();
    void emptyImageRefused();
    void oversizedImageRefused();
    void packageLimit_data();
    void packageLimit();
    void shortAcknowledgement_data();
    void shortAcknowledgement();
    void cancel();
    void restartAfterFinished();
    void chineseTexts();
    void counters();
    void repeatedIgnoredStatusStillTimesOut();
    void completeFromStoredReply_data();
    void completeFromStoredReply();
};

void TestEngine::nothingSentAtPress()
{
    Rig r(5000);
    r.ctx.response = ackFrame(0, 1);
    QCOMPARE(r.engine.start(), IapError::None);
    QCOMPARE(r.ctx.state, 1);
    QVERIFY(r.ctx.response.isEmpty());
    QVERIFY(r.engine.running());
}

void TestEngine::requestsUntilAnswered()
{
    Rig r(5000);
    r.engine.start();
    const QByteArray request = withCrc(hex("F1 01 00 00 13 88 00 05"));
    for (int i = 0; i < 500; ++i) {
        const Step s = r.engine.tick();
        QCOMPARE(s.actions.size(), 2);
        QCOMPARE(s.actions[0].kind, Action::Kind::Send);
        QCOMPARE(s.actions[0].bytes, request);
        QCOMPARE(describe(s.actions[1]), QStringLiteral("msg Request firmware update!"));
        QVERIFY(s.running);
    }
    QCOMPARE(r.ctx.state, 1);
}

void TestEngine::requestIgnoresOtherReplies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("acknowledgement") << ackFrame(0, 1);
    QTest::newRow("unknown code") << withCrc(hex("F1 83 00 00"));
    QTest::newRow("81 in the wrong byte") << withCrc(hex("F1 01 81 00"));
}

void TestEngine::requestIgnoresOtherReplies()
{
    QFETCH(QByteArray, reply);
    Rig r(5000);
    r.engine.start();
    r.ctx.response = reply;
    const Step s = r.engine.tick();
    QCOMPARE(describe(s), QStringList({"send F1 01 00 00/12", "msg Request firmware update!"}));
    QCOMPARE(r.ctx.state, 1);
}

void TestEngine::acceptedSendsPackageZero()
{
    Rig r(5000);
    r.ctx.packetIndex = 3; // left over from an earlier run
    r.ctx.waitTicks = 42;
    const Step s = r.enterTransfer();
    QCOMPARE(describe(s),
             QStringList({"msg Receive the response, enter the firmware brush process!",
                          "send F1 02 00 00/1032",
                          "msg Packet 1 has been sent, for a total of 5 packets"}));
    QCOMPARE(sentBytes(s), dataPackage(r.ctx.firmware, 0));
    QCOMPARE(r.ctx.state, 2);
    QCOMPARE(r.ctx.packetIndex, 0);
    QCOMPARE(r.ctx.waitTicks, 0);
    QVERIFY(r.ctx.response.isEmpty());
    QVERIFY(s.running);
}

void TestEngine::wholeRun_data()
{
    QTest::addColumn<int>("bytes");
    QTest::addColumn<int>("total");
    QTest::addColumn<bool>("shortFinal");
    QTest::newRow("1025: remainder") << 1025 << 2 << true;
    QTest::newRow("2048: exact multiple") << 2048 << 2 << false;
    QTest::newRow("5000: remainder") << 5000 << 5 << true;
    QTest::newRow("1024: one package") << 1024 << 1 << false;
    QTest::newRow("65553") << 65553 << 65 << true;
}

void TestEngine::wholeRun()
{
    QFETCH(int, bytes);
    QFETCH(int, total);
    QFETCH(bool, shortFinal);
    Rig r(bytes);
    const QByteArray &image = r.ctx.firmware;
    QByteArray wire = sentBytes(r.enterTransfer());
    for (int k = 0; k < total; ++k) {
        // A tick with nothing stored sends nothing.
        QCOMPARE(r.engine.tick().actions.size(), 0);
        r.ctx.response = ackFrame(k, 1);
        const Step s = r.engine.tick();
        if (k + 1 < total) {
            const bool last = k + 1 == total - 1 && shortFinal;
            QCOMPARE(describe(s),
                     QStringList(
                         {QStringLiteral("send F1 02 %1/%2")
                              .arg(QString::asprintf("%02X %02X", (k + 1) >> 8, (k + 1) & 0xFF))
                              .arg(last ? bytes % 1024 + 8 : 1032),
                          QStringLiteral("msg Packet %1 has been sent, for a total of %2 packets")
                              .arg(k + 2)
                              .arg(total)}));
            QVERIFY(s.running);
            wire += sentBytes(s);
        } else {
            QCOMPARE(describe(s),
                     QStringList({"msg Flash write success!", "msg update completed"}));
            QVERIFY(!s.running);
            QCOMPARE(r.ctx.state, 3);
        }
    }
    QByteArray expected;
    for (int k = 0; k < total; ++k)
        expected +=
            (k == total - 1 && shortFinal) ? shortLastPackage(image) : dataPackage(image, k);
    QCOMPARE(wire, expected);
    // Finished: further ticks do nothing.
    QCOMPARE(r.engine.tick().actions.size(), 0);
}

void TestEngine::shortImage()
{
    Rig r(500);
    const Step first = r.enterTransfer();
    // Package 0 goes out full size even though the image is shorter.
    QCOMPARE(sentBytes(first), dataPackage(r.ctx.firmware, 0));
    r.ctx.response = ackFrame(0, 2);
    const Step err = r.engine.tick();
    QCOMPARE(describe(err), QStringList({"msg Data error, resend!", "send F1 02 00 00/1032"}));
    r.ctx.response = ackFrame(0, 1);
    const Step done = r.engine.tick();
    QCOMPARE(describe(done), QStringList({"msg Flash write success!", "msg update completed"}));
    QCOMPARE(r.ctx.state, 3);
}

void TestEngine::wrongIndexIgnored()
{
    Rig r(5000);
    r.enterTransfer();
    r.ctx.response = ackFrame(0, 1);
    r.engine.tick();
    QCOMPARE(r.ctx.packetIndex, 1);
    for (int wrong : {0, 2, 0x100 + 1, 0xFFFF}) {
        r.ctx.response = ackFrame(wrong, 1);
        QCOMPARE(r.engine.tick().actions.size(), 0);
        QCOMPARE(r.ctx.packetIndex, 1);
        QCOMPARE(r.ctx.state, 2);
    }
}

void TestEngine::otherStatusIgnored_data()
{
    QTest::addColumn<int>("status");
    for (int s : {0, 4, 5, 0x7F, 0x80, 0xFF})
        QTest::newRow(qPrintable(QString::number(s))) << s;
}

void TestEngine::otherStatusIgnored()
{
    QFETCH(int, status);
    Rig r(5000);
    r.enterTransfer();
    r.ctx.response = ackFrame(0, status);
    QCOMPARE(r.engine.tick().actions.size(), 0);
    QCOMPARE(r.engine.tick().actions.size(), 0);
    QCOMPARE(r.ctx.packetIndex, 0);
    // A newer reply is still acted on.
    r.ctx.response = ackFrame(0, 1);
    QCOMPARE(describe(r.engine.tick()).value(0), QStringLiteral("send F1 02 00 01/1032"));
}

void TestEngine::dataErrorResendsOnce()
{
    Rig r(5000);
    r.enterTransfer();
    r.ctx.response = ackFrame(0, 3);
    QCOMPARE(describe(r.engine.tick()),
             QStringList({"msg Data error, resend!", "send F1 02 00 00/1032"}));
    QCOMPARE(r.ctx.waitTicks, 0);
    // The stored error is acted on once: no resend on every following tick.
    for (int i = 0; i < 100; ++i)
        QCOMPARE(r.engine.tick().actions.size(), 0);
}

void TestEngine::lostAckResentAfterWaitLimit()
{
    Rig r(5000);
    r.enterTransfer();
    r.ctx.response = ackFrame(0, 1);
    const QByteArray package1 = sentBytes(r.engine.tick());
    // The acknowledgement of package 1 never comes: 100 quiet ticks, then the resend.
    for (int i = 0; i < 100; ++i)
        QCOMPARE(r.engine.tick().actions.size(), 0);
    const Step s = r.engine.tick();
    QCOMPARE(describe(s), QStringList({"msg Wait timeout, resend!", "send F1 02 00 01/1032"}));
    QCOMPARE(sentBytes(s), package1);
    QCOMPARE(r.ctx.waitTicks, 0);
    QCOMPARE(r.engine.consecutiveResends(), 1);
    // And again after another 101 ticks.
    for (int i = 0; i < 100; ++i)
        QCOMPARE(r.engine.tick().actions.size(), 0);
    QCOMPARE(describe(r.engine.tick()).value(0), QStringLiteral("msg Wait timeout, resend!"));
    QCOMPARE(r.engine.consecutiveResends(), 2);
}

void TestEngine::waitRestartsWithEveryPackage()
{
    Rig r(5000);
    r.enterTransfer();
    for (int i = 0; i < 90; ++i)
        r.engine.tick();
    r.ctx.response = ackFrame(0, 1);
    r.engine.tick(); // package 1 goes out; its wait starts now
    QCOMPARE(r.ctx.waitTicks, 0);
    for (int i = 0; i < 100; ++i)
        QCOMPARE(r.engine.tick().actions.size(), 0);
    QCOMPARE(r.engine.tick().actions.size(), 2);
}

void TestEngine::timeoutResendOfShortFinal()
{
    // Image under one package: the timeout resend uses the short form.
    Rig small(500);
    small.enterTransfer();
    for (int i = 0; i < 100; ++i)
        small.engine.tick();
    const Step s = small.engine.tick();
    QCOMPARE(sentBytes(s), shortLastPackage(small.ctx.firmware));
    QCOMPARE(sentBytes(s).size(), 508);

    // Exact multiple: the final package is a full one.
    Rig exact(2048);
    exact.enterTransfer();
    exact.ctx.response = ackFrame(0, 1);
    exact.engine.tick();
    for (int i = 0; i < 100; ++i)
        exact.engine.tick();
    QCOMPARE(sentBytes(exact.engine.tick()), dataPackage(exact.ctx.firmware, 1));
}

void TestEngine::emptyImageRefused()
{
    IapContext ctx;
    UpgradeEngine engine(&ctx);
    QCOMPARE(engine.start(), IapError::EmptyImage);
    QCOMPARE(ctx.state, 0);
    QVERIFY(!engine.running());
    QCOMPARE(engine.tick().actions.size(), 0);
}

void TestEngine::oversizedImageRefused()
{
    IapContext ctx;
    ctx.firmware = QByteArray(67107841, '\0');
    UpgradeEngine engine(&ctx);
    QCOMPARE(engine.start(), IapError::FileTooLarge);
    QCOMPARE(ctx.state, 0);
}

void TestEngine::cancel()
{
    Rig r(5000);
    r.enterTransfer();
    r.engine.cancel();
    QCOMPARE(r.ctx.state, 0);
    QVERIFY(!r.engine.running());
    r.ctx.response = ackFrame(0, 1);
    const Step s = r.engine.tick();
    QCOMPARE(s.actions.size(), 0);
    QVERIFY(!s.running);
}

void TestEngine::restartAfterFinished()
{
    Rig r(1000);
    r.enterTransfer();
    r.ctx.response = ackFrame(0, 1);
    r.engine.tick();
    QCOMPARE(r.ctx.state, 3);
    r.ctx.response = ackFrame(0, 1);
    QCOMPARE(r.engine.start(), IapError::None);
    QCOMPARE(r.ctx.state, 1);
    QVERIFY(r.ctx.response.isEmpty());
    QCOMPARE(describe(r.engine.tick()).value(0), QStringLiteral("send F1 01 00 00/12"));
}

void TestEngine::chineseTexts()
{
    Rig r(5000);
    r.engine.start();
    QCOMPARE(r.engine.tick().actions[1].render(iap::Language::Chinese),
             QString::fromUtf8("请求更新固件!"));
    r.ctx.response = acceptedFrame();
    const Step s = r.engine.tick();
    QCOMPARE(s.actions[0].render(iap::Language::Chinese),
             QString::fromUtf8("收到响应，进入刷固件流程!"));
    QCOMPARE(s.actions[2].render(iap::Language::Chinese), QString::fromUtf8("已发送第1包,共5包"));
}

void TestEngine::counters()
{
    Rig r(3000);
    r.engine.start();
    r.engine.tick();
    r.engine.tick();
    QCOMPARE(r.engine.requestsSent(), 2);
    r.ctx.response = acceptedFrame();
    r.engine.tick();
    r.ctx.response = ackFrame(0, 2);
    r.engine.tick();
    QCOMPARE(r.engine.consecutiveResends(), 1);
    r.ctx.response = ackFrame(0, 1);
    r.engine.tick();
    QCOMPARE(r.engine.consecutiveResends(), 0);
    QCOMPARE(r.engine.packagesDone(), 1);
    QCOMPARE(r.engine.bytesDone(), qint64(1024));
    r.ctx.response = ackFrame(1, 1);
    r.engine.tick();
    r.ctx.response = ackFrame(2, 1);
    r.engine.tick();
    QCOMPARE(r.engine.bytesDone(), qint64(3000));
}

void TestEngine::repeatedIgnoredStatusStillTimesOut()
{
    Rig r(5000);
    r.enterTransfer();
    // A device that answers every tick with status 0 does not hold the resend off.
    for (int i = 0; i < 100; ++i) {
        r.ctx.response = ackFrame(0, 0);
        QCOMPARE(r.engine.tick().actions.size(), 0);
    }
    r.ctx.response = ackFrame(0, 0);
    QCOMPARE(describe(r.engine.tick()),
             QStringList({"msg Wait timeout, resend!", "send F1 02 00 00/1032"}));
}

// The request announces the package total in two bytes: 65535 packages is the most it can
// say. One byte more would need 65536, which goes out as 00 00.
void TestEngine::packageLimit_data()
{
    QTest::addColumn<int>("bytes");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QByteArray>("request"); // the first 8 bytes
    QTest::newRow("65535 packages") << 65535 * 1024 << true << hex("F1 01 03 FF FC 00 FF FF");
    QTest::newRow("65534 packages and 1 byte")
        << 65534 * 1024 + 1 << true << hex("F1 01 03 FF F8 01 FF FF");
    QTest::newRow("65535 packages and 1 byte") << 65535 * 1024 + 1 << false << QByteArray();
    QTest::newRow("65536 packages") << 65536 * 1024 << false << QByteArray();
}

void TestEngine::packageLimit()
{
    QFETCH(int, bytes);
    QFETCH(bool, accepted);
    QFETCH(QByteArray, request);
    IapContext ctx;
    ctx.setImage(QByteArray(bytes, '\x5A'));
    UpgradeEngine engine(&ctx);
    QCOMPARE(engine.start(), accepted ? IapError::None : IapError::FileTooLarge);
    QCOMPARE(engine.running(), accepted);
    const QByteArray sent = sentBytes(engine.tick());
    if (!accepted) {
        QVERIFY(sent.isEmpty()); // nothing goes out
        return;
    }
    QCOMPARE(sent.size(), 12);
    QCOMPARE(sent.left(8), request);
    QCOMPARE(sent, withCrc(request));
}

// An acknowledgement is F1 82, the echoed index, the status, then the CRC trailer: 9 bytes at
// least. In an 8-byte 0x82 frame the byte where the status would be is the first CRC byte;
// for index 91 that byte is 0x01 ("written"), for index 152 it is 0x03 ("data error").
void TestEngine::shortAcknowledgement_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("crcByte");
    QTest::addColumn<int>("bytes"); // of the image: index is its last package
    QTest::newRow("index 91, CRC byte 01") << 91 << 0x01 << 92 * 1024 - 100;
    QTest::newRow("index 152, CRC byte 03") << 152 << 0x03 << 153 * 1024;
}

void TestEngine::shortAcknowledgement()
{
    QFETCH(int, index);
    QFETCH(int, crcByte);
    QFETCH(int, bytes);
    Rig r(bytes);
    r.enterTransfer();
    for (int k = 0; k < index; ++k) {
        r.ctx.response = ackFrame(k, 1);
        r.engine.tick();
    }
    QCOMPARE(r.ctx.packetIndex, index);
    const QByteArray shortAck = withCrc(hex("F1 82").append(char(index >> 8)).append(char(index)));
    QCOMPARE(shortAck.size(), 8);
    QCOMPARE(int(quint8(shortAck.at(4))), crcByte); // read as a status it would count

    // Neither acted on as a status nor taken as the device's last word when the line goes.
    r.ctx.response = shortAck;
    QCOMPARE(describe(r.engine.tick()), QStringList());
    QCOMPARE(describe(r.engine.completeFromStoredReply()), QStringList());
    QCOMPARE(r.ctx.state, 2);
    QCOMPARE(r.ctx.packetIndex, index);
    QCOMPARE(r.engine.packagesDone(), index);
    // The wait for the acknowledgement runs on: the package goes again after the wait limit.
    Step s;
    int ticks = 1; // since the package went out
    do {
        s = r.engine.tick();
        ++ticks;
    } while (s.actions.isEmpty() && ticks < 300);
    QCOMPARE(ticks, 101);
    QCOMPARE(describe(s).value(0), QStringLiteral("msg Wait timeout, resend!"));
    // A whole acknowledgement of 9 bytes with status 1 then finishes the run.
    r.ctx.response = ackFrame(index, 1);
    QCOMPARE(ackFrame(index, 1).size(), 9);
    QCOMPARE(describe(r.engine.tick()),
             QStringList({"msg Flash write success!", "msg update completed"}));
    QCOMPARE(r.ctx.state, 3);
}

void TestEngine::completeFromStoredReply_data()
{
    // The line went with this reply stored, after `acked` packages were acknowledged.
    QTest::addColumn<int>("acked");
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<int>("state");
    const QStringList done{"msg Flash write success!", "msg update completed"};
    QTest::newRow("last package written") << 2 << ackFrame(2, 1) << done << 3;
    QTest::newRow("nothing stored") << 2 << QByteArray() << QStringList() << 2;
    QTest::newRow("last package rejected") << 2 << ackFrame(2, 2) << QStringList() << 2;
    QTest::newRow("status 0") << 2 << ackFrame(2, 0) << QStringList() << 2;
    QTest::newRow("an earlier package") << 2 << ackFrame(1, 1) << QStringList() << 2;
    QTest::newRow("not the last package") << 1 << ackFrame(1, 1) << QStringList() << 2;
    QTest::newRow("accept frame") << 2 << acceptedFrame() << QStringList() << 2;
}

void TestEngine::completeFromStoredReply()
{
    QFETCH(int, acked);
    QFETCH(QByteArray, stored);
    QFETCH(QStringList, actions);
    QFETCH(int, state);
    Rig r(3000);
    r.enterTransfer();
    for (int k = 0; k < acked; ++k) {
        r.ctx.response = ackFrame(k, 1);
        r.engine.tick();
    }
    r.ctx.response = stored;
    const Step s = r.engine.completeFromStoredReply();
    QCOMPARE(describe(s), actions);
    QCOMPARE(r.ctx.state, state);
    QCOMPARE(s.running, state == 2);
    // Nothing is ever sent on a line that has gone.
    QVERIFY(sentBytes(s).isEmpty());
}

QTEST_APPLESS_MAIN(TestEngine)
#include "tst_engine.moc"
