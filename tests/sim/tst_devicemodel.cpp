#include "devicemodel.h"
#include "iapcontext.h"

#include <QRandomGenerator>
#include <QtTest>

#include "wireframes.h"
#include <zlib.h>

namespace {

QByteArray ack(int index, int status)
{
    QByteArray body = hex("F182");
    body.append(char(index >> 8));
    body.append(char(index));
    body.append(char(status));
    return withCrc(body);
}

const QByteArray accepted = hex("F1810000FF69DF69");

QByteArray image(int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, '\0');
    for (char &b : bytes)
        b = char(random.bounded(256));
    return bytes;
}

// Everything the model sends in reply to these bytes, the pieces of a split reply joined.
QByteArray replyBytes(const DeviceModel::Output &out)
{
    QByteArray bytes;
    for (const auto &reply : out.replies)
        bytes += reply.bytes + reply.second;
    return bytes;
}

struct Transfer
{
    IapContext context;
    explicit Transfer(int size) { context.setImage(image(size, quint32(size))); }
    QByteArray package(int index, bool shortFinal = false) const
    {
        if (shortFinal && index == context.fullPacketCount && context.lastPacketLength > 0)
            return context.makeLastPackage();
        return context.makeDataPackage(index);
    }
};

} // namespace

class TestDeviceModel : public QObject
{
    Q_OBJECT

private slots:
    void reassembles_data();
    void reassembles();
    void faults_data();
    void faults();
    void faultOnEveryAnswer();
    void trustedTotal_data();
    void trustedTotal();
    void paddedAcknowledgements();
    void ignoredRequests();
    void silentDevice();
    void garbageAndBadPackages();
    void shortFinalPackageWithBadCrc();
    void newRequestRestarts();
    void randomFaultsAreReproducible();
    void faultListParsing_data();
    void faultListParsing();
    void earlyAcks_data();
    void earlyAcks();
    void pacedArrival_data();
    void pacedArrival();
};

void TestDeviceModel::reassembles_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("shortFinal");
    QTest::addColumn<int>("chunk"); // bytes per feed
    for (int size : {1, 1023, 1024, 1025, 5000}) {
        QTest::addRow("%d bytes, full final package", size) << size << false << 100000;
        QTest::addRow("%d bytes, short final package", size) << size << true << 100000;
        QTest::addRow("%d bytes, 7-byte reads", size) << size << true << 7;
    }
}

void TestDeviceModel::reassembles()
{
    QFETCH(int, size);
    QFETCH(bool, shortFinal);
    QFETCH(int, chunk);
    Transfer t(size);
    DeviceModel model;
    qint64 now = 1000;
    const auto feed = [&](const QByteArray &bytes) {
        DeviceModel::Output all;
        for (int at = 0; at < bytes.size(); at += chunk) {
            const DeviceModel::Output out = model.feed(bytes.mid(at, chunk), now += 10);
            all.replies += out.replies;
            all.completions += out.completions;
        }
        return all;
    };

    QCOMPARE(replyBytes(feed(t.context.makeRequestPackage())), accepted);
    const int total = t.context.packetTotal;
    for (int i = 0; i < total; ++i) {
        const QByteArray package = t.package(i, shortFinal);
        const DeviceModel::Output out = feed(package);
        QCOMPARE(out.replies.size(), 1);
        QCOMPARE(out.replies.first().bytes, ack(i, 1));
        QCOMPARE(out.replies.first().frameBytes, package.size());
        if (i + 1 < total) {
            QVERIFY(out.completions.isEmpty());
            continue;
        }
        QCOMPARE(out.completions.size(), 1);
        const DeviceModel::Completion done = out.completions.first();
        QCOMPARE(done.image, t.context.firmware);
        QCOMPARE(done.requests, 1);
        QCOMPARE(done.packages, total);
        QCOMPARE(done.resends, 0);
    }
    QCOMPARE(model.pendingBytes(), 0);
}

// Image of 3000 bytes (packages 0, 1, 2); the fault is on package 1, which is sent twice.
void TestDeviceModel::faults_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QByteArray>("firstAnswer");
    QTest::addColumn<QByteArray>("secondPiece"); // of a split first answer
    QTest::addColumn<bool>("writtenFirstTime");

    QTest::newRow("lose-ack") << "lose" << QByteArray() << QByteArray() << true;
    QTest::newRow("error-status") << "status" << hex("F1820001020333A02D") << QByteArray() << false;
    QTest::newRow("corrupt-ack") << "corrupt" << hex("F1820001019A3AF168") << QByteArray() << true;
    QTest::newRow("noise") << "noise" << hex("00F1820001019A3AF197") << QByteArray() << true;
    QTest::newRow("split") << "split" << hex("F1820001") << hex("019A3AF197") << true;
    // No status byte before the trailer, and the package is not written.
    QTest::newRow("short-ack") << "short" << hex("F18200018A2851A6") << QByteArray() << false;
}

void TestDeviceModel::faults()
{
    QFETCH(QString, option);
    QFETCH(QByteArray, firstAnswer);
    QFETCH(QByteArray, secondPiece);
    QFETCH(bool, writtenFirstTime);

    DeviceOptions options;
    FaultSet set;
    QVERIFY(FaultSet::parse(QStringLiteral("1,7"), &set));
    if (option == QLatin1String("lose"))
        options.loseAck = set;
    else if (option == QLatin1String("status"))
        options.errorStatus = set;
    else if (option == QLatin1String("corrupt"))
        options.corruptAck = set;
    else if (option == QLatin1String("noise"))
        options.noise = set;
    else if (option == QLatin1String("short"))
        options.shortAck = set;
    else
        options.split = set;

    Transfer t(3000);
    DeviceModel model(options);
    QCOMPARE(replyBytes(model.feed(t.context.makeRequestPackage(), 0)), accepted);
    QCOMPARE(replyBytes(model.feed(t.package(0), 1)), hex("F1820000018321C0D6"));

    DeviceModel::Output out = model.feed(t.package(1), 2);
    if (firstAnswer.isEmpty()) {
        QVERIFY(out.replies.isEmpty());
    } else {
        QCOMPARE(out.replies.size(), 1);
        QCOMPARE(out.replies.first().bytes, firstAnswer);
        QCOMPARE(out.replies.first().second, secondPiece);
    }
    QCOMPARE(model.packagesWritten(), writtenFirstTime ? 2 : 1);

    // The same package again: answered normally, the fault hit only once.
    out = model.feed(t.package(1), 3);
    QCOMPARE(out.replies.size(), 1);
    QCOMPARE(out.replies.first().bytes, hex("F1820001019A3AF197"));
    QVERIFY(out.replies.first().second.isEmpty());

    out = model.feed(t.package(2, true), 4);
    QCOMPARE(replyBytes(out), hex("F182000201B117A254"));
    QCOMPARE(out.completions.size(), 1);
    QCOMPARE(out.completions.first().image, t.context.firmware);
    QCOMPARE(out.completions.first().packages, 4);
    QCOMPARE(out.completions.first().resends, 1);
}

void TestDeviceModel::faultOnEveryAnswer()
{
    DeviceOptions options;
    QVERIFY(FaultSet::parse(QStringLiteral("all"), &options.errorStatus));
    Transfer t(3000);
    DeviceModel model(options);
    QCOMPARE(replyBytes(model.feed(t.context.makeRequestPackage(), 0)), accepted);
    for (int attempt = 0; attempt < 3; ++attempt)
        QCOMPARE(replyBytes(model.feed(t.package(0), attempt)), hex("F1820000021A28916C"));
    QCOMPARE(model.packagesWritten(), 0);
}

// --trust-total: a device that counts the image by the request's package total, not by its
// length. With the right total it behaves as any other.
void TestDeviceModel::trustedTotal_data()
{
    QTest::addColumn<bool>("trust");
    QTest::addColumn<int>("announced");
    QTest::addColumn<int>("completeAfter"); // packages; -1: not complete after 3
    QTest::newRow("trusted, right total") << true << 3 << 3;
    QTest::newRow("trusted, total 1") << true << 1 << 1;
    QTest::newRow("trusted, total 0") << true << 0 << 0;
    QTest::newRow("trusted, total 5") << true << 5 << -1;
    // Without it the request is refused: its total does not match its length.
    QTest::newRow("counted, total 1") << false << 1 << -1;
}

void TestDeviceModel::trustedTotal()
{
    QFETCH(bool, trust);
    QFETCH(int, announced);
    QFETCH(int, completeAfter);
    DeviceOptions options;
    options.trustTotal = trust;
    Transfer t(3000);
    DeviceModel model(options);
    // F1 01, 3000 bytes, the announced total.
    QByteArray request = hex("F101 00000BB8");
    request.append(char(announced >> 8)).append(char(announced));
    DeviceModel::Output out = model.feed(withCrc(request), 0);
    // Counted, the request is refused as malformed: F1 C1 02, the capacity (67107840).
    QCOMPARE(replyBytes(out), trust ? accepted : withCrc(hex("F1 C1 02 03 FF FC 00")));
    int completedAt = out.completions.isEmpty() ? -1 : 0;
    for (int k = 0; k < 3 && completedAt < 0; ++k) {
        out = model.feed(t.package(k, true), k + 1);
        if (!out.completions.isEmpty())
            completedAt = k + 1;
    }
    QCOMPARE(completedAt, completeAfter);
    if (!out.completions.isEmpty()) // the image keeps the length the request announced
        QCOMPARE(out.completions.first().image.size(), 3000);
}

void TestDeviceModel::paddedAcknowledgements()
{
    DeviceOptions options;
    options.pad = 2;
    Transfer t(2100);
    DeviceModel model(options);
    QCOMPARE(replyBytes(model.feed(t.context.makeRequestPackage(), 0)), accepted);
    QCOMPARE(replyBytes(model.feed(t.package(0), 1)), hex("F18200000100000DDF31F7"));
    QCOMPARE(replyBytes(model.feed(t.package(1), 2)), hex("F1820001010000B5635692"));
    const DeviceModel::Output out = model.feed(t.package(2, true), 3);
    QCOMPARE(replyBytes(out), hex("F1820002010000A7D6F97C"));
    QCOMPARE(out.completions.size(), 1);
}

void TestDeviceModel::ignoredRequests()
{
    DeviceOptions options;
    options.ignoreRequests = 2;
    Transfer t(10);
    DeviceModel model(options);
    QVERIFY(model.feed(t.context.makeRequestPackage(), 0).replies.isEmpty());
    QVERIFY(model.feed(t.context.makeRequestPackage(), 50000).replies.isEmpty());
    QCOMPARE(replyBytes(model.feed(t.context.makeRequestPackage(), 100000)), accepted);
    const DeviceModel::Output out = model.feed(t.package(0), 150000);
    QCOMPARE(replyBytes(out), hex("F1820000018321C0D6"));
    QCOMPARE(out.completions.size(), 1);
    QCOMPARE(out.completions.first().requests, 3);
    QCOMPARE(out.completions.first().firstRequestUs, qint64(0));
    QCOMPARE(out.completions.first().doneUs, qint64(150000));
}

void TestDeviceModel::silentDevice()
{
    DeviceOptions options;
    options.silent = true;
    Transfer t(10);
    DeviceModel model(options);
    QVERIFY(model.feed(t.context.makeRequestPackage(), 0).replies.isEmpty());
    QVERIFY(model.feed(t.package(0), 1).replies.isEmpty());
    QVERIFY(model.feed(t.package(5), 2).replies.isEmpty());
}

void TestDeviceModel::garbageAndBadPackages()
{
    Transfer t(3000);
    DeviceModel model;
    // Noise, a lone start byte and a damaged request in front of a good one.
    QByteArray badRequest = t.context.makeRequestPackage();
    badRequest[5] = char(badRequest.at(5) ^ 0x01);
    QCOMPARE(replyBytes(model.feed(hex("0011F122") + badRequest, 0)), QByteArray());
    QCOMPARE(replyBytes(model.feed(t.context.makeRequestPackage(), 1)), accepted);
    QCOMPARE(model.pendingBytes(), 0);

    // A damaged package is refused under the index it carries and not written.
    QByteArray bad = t.package(0);
    bad[100] = char(bad.at(100) ^ 0x40);
    QCOMPARE(replyBytes(model.feed(bad, 2)), hex("F1820000021A28916C"));
    QCOMPARE(model.packagesWritten(), 0);
    // A package out of order is refused with its own index echoed.
    QCOMPARE(replyBytes(model.feed(t.package(2), 3)), ack(2, 2));
    QCOMPARE(replyBytes(model.feed(t.package(0), 4)), ack(0, 1));
    // A package that does not belong to the image at all.
    IapContext other;
    other.setImage(QByteArray(8 * 1024, 'z'));
    QCOMPARE(replyBytes(model.feed(other.makeDataPackage(7), 5)), hex("F182000702556907AB"));
    QCOMPARE(model.packagesWritten(), 1);
}

void TestDeviceModel::shortFinalPackageWithBadCrc()
{
    Transfer t(1100); // package 1 is the short final one: 76 bytes + 8
    DeviceModel model;
    model.feed(t.context.makeRequestPackage(), 0);
    QCOMPARE(replyBytes(model.feed(t.package(0), 1)), ack(0, 1));
    QByteArray bad = t.package(1, true);
    QCOMPARE(bad.size(), 84);
    bad[10] = char(bad.at(10) ^ 0x01);
    // Where its CRC fails, the full-size form would carry zero padding; it does not, so it
    // is refused at once, without waiting for the line to go quiet.
    QCOMPARE(replyBytes(model.feed(bad, 2)), ack(1, 2));
    QCOMPARE(replyBytes(model.lineIdle(3)), QByteArray());
    QCOMPARE(model.pendingBytes(), 0);
    const DeviceModel::Output out = model.feed(t.package(1, false), 4); // resent full size
    QCOMPARE(replyBytes(out), ack(1, 1));
    QCOMPARE(out.completions.size(), 1);
    QCOMPARE(out.completions.first().image, t.context.firmware);
}

void TestDeviceModel::newRequestRestarts()
{
    Transfer first(3000);
    Transfer second(1500);
    DeviceModel model;
    model.feed(first.context.makeRequestPackage(), 0);
    model.feed(first.package(0), 1);
    model.feed(first.package(1), 2);
    // The tool repeats its request until answered: the image in progress gives way to the
    // second copy in a row.
    QCOMPARE(replyBytes(model.feed(second.context.makeRequestPackage(), 3)), QByteArray());
    QCOMPARE(replyBytes(model.feed(second.context.makeRequestPackage(), 3)), accepted);
    QCOMPARE(replyBytes(model.feed(second.package(0), 4)), ack(0, 1));
    const DeviceModel::Output out = model.feed(second.package(1, true), 5);
    QCOMPARE(replyBytes(out), ack(1, 1));
    QCOMPARE(out.completions.size(), 1);
    QCOMPARE(out.completions.first().image, second.context.firmware);
    QCOMPARE(out.completions.first().requests, 2);
    QCOMPARE(out.completions.first().packages, 4);
}

void TestDeviceModel::randomFaultsAreReproducible()
{
    const auto run = [](double rate, quint64 seed) {
        DeviceOptions options;
        options.faultRate = rate;
        options.seed = seed;
        Transfer t(40 * 1024);
        DeviceModel model(options);
        model.feed(t.context.makeRequestPackage(), 0);
        QVector<int> faults;
        for (int i = 0; i < t.context.packetTotal; ++i) {
            const DeviceModel::Output out = model.feed(t.package(i), i);
            faults << (out.replies.isEmpty() ? int(DeviceModel::Fault::Lose)
                                             : out.replies.first().faults);
            model.feed(t.package(i), i); // the resend is always answered
        }
        return faults;
    };
    const QVector<int> a = run(0.5, 42);
    QCOMPARE(run(0.5, 42), a);
    QVERIFY(run(0.5, 43) != a);
    const int faulted = int(std::count_if(a.begin(), a.end(), [](int f) { return f != 0; }));
    QVERIFY2(faulted > 5 && faulted < 35, qPrintable(QString::number(faulted)));
    QCOMPARE(run(0.0, 42), QVector<int>(40, 0));
    for (int f : run(1.0, 7))
        QVERIFY(f == 1 || f == 2 || f == 4 || f == 8 || f == 16);
}

void TestDeviceModel::faultListParsing_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<bool>("all");
    QTest::addColumn<QList<int>>("indices");
    QTest::newRow("one") << "3" << true << false << QList<int>{3};
    QTest::newRow("several") << "0,5,65535" << true << false << QList<int>{0, 5, 65535};
    QTest::newRow("all") << "all" << true << true << QList<int>{};
    QTest::newRow("negative") << "-1" << false << false << QList<int>{};
    QTest::newRow("too big") << "65536" << false << false << QList<int>{};
    QTest::newRow("word") << "some" << false << false << QList<int>{};
    QTest::newRow("empty item") << "1,,2" << false << false << QList<int>{};
}

void TestDeviceModel::faultListParsing()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(bool, all);
    QFETCH(QList<int>, indices);
    FaultSet set;
    QCOMPARE(FaultSet::parse(text, &set), ok);
    if (!ok)
        return;
    QCOMPARE(set.all, all);
    QList<int> got = set.indices.values();
    std::sort(got.begin(), got.end());
    QCOMPARE(got, indices);
}

void TestDeviceModel::earlyAcks_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("withAcceptance");       // acknowledgements in the acceptance's own write
    QTest::addColumn<QVector<qint64>>("delaysUs"); // of the replies after the acceptance
    QTest::addColumn<QVector<int>>("acksPerReply");
    QTest::newRow("now") << int(DeviceOptions::EarlyAcks::Now) << 3 << QVector<qint64>{}
                         << QVector<int>{};
    QTest::newRow("burst") << int(DeviceOptions::EarlyAcks::Burst) << 0 << QVector<qint64>{200000}
                           << QVector<int>{3};
    QTest::newRow("trickle") << int(DeviceOptions::EarlyAcks::Trickle) << 1
                             << QVector<qint64>{10000, 20000} << QVector<int>{1, 1};
}

// --early-acks: after the acceptance, F1 82 i 01 for each of the three packages, in the
// mode's rhythm; then the device writes nothing and answers nothing.
void TestDeviceModel::earlyAcks()
{
    QFETCH(int, mode);
    QFETCH(int, withAcceptance);
    QFETCH(QVector<qint64>, delaysUs);
    QFETCH(QVector<int>, acksPerReply);
    DeviceOptions options;
    options.earlyAcks = DeviceOptions::EarlyAcks(mode);
    Transfer t(3000);
    DeviceModel model(options);
    const DeviceModel::Output out = model.feed(t.context.makeRequestPackage(), 7);
    QCOMPARE(out.replies.size(), 1 + delaysUs.size());
    QCOMPARE(out.replies.first().bytes.left(accepted.size()), accepted);
    QCOMPARE(out.replies.first().bytes.size(), accepted.size() + 9 * withAcceptance);
    QCOMPARE(out.replies.first().delayUs, qint64(0));
    QCOMPARE(replyBytes(out), accepted + hex("F1820000018321C0D6") + hex("F1820001019A3AF197") +
                                  hex("F182000201B117A254"));
    for (int i = 0; i < delaysUs.size(); ++i) {
        QCOMPARE(out.replies.at(i + 1).delayUs, delaysUs.at(i));
        QCOMPARE(out.replies.at(i + 1).bytes.size(), 9 * acksPerReply.at(i));
    }
    // Then silence: the packages (and another request) are neither written nor answered.
    QVERIFY(model.feed(t.package(0) + t.package(1) + t.package(2, true), 8).replies.isEmpty());
    const DeviceModel::Output later = model.feed(t.context.makeRequestPackage(), 9);
    QVERIFY(later.replies.isEmpty());
    QVERIFY(later.completions.isEmpty());
    QCOMPARE(model.packagesWritten(), 0);
}

void TestDeviceModel::pacedArrival_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<qint64>("packageNs"); // 1032 bytes of 10 bits at that rate
    QTest::addColumn<bool>("erasePages");
    QTest::newRow("115200") << 115200 << qint64(89583333) << false;
    QTest::newRow("921600, pages") << 921600 << qint64(11197916) << true;
    QTest::newRow("2000000") << 2000000 << qint64(5160000) << false;
    QTest::newRow("3000000, pages") << 3000000 << qint64(3440000) << true;
}

// On a paced line two packages handed over at once arrive one after the other, each byte in
// its own wire time to the nanosecond; the erase (30 ms a KiB) comes at the request or
// before each package's first write, the write (4 ms) before each answer.
void TestDeviceModel::pacedArrival()
{
    QFETCH(int, baud);
    QFETCH(qint64, packageNs);
    QFETCH(bool, erasePages);
    const auto wire = [baud](qint64 bytes) { return bytes * 10000000000 / baud; };
    DeviceOptions options;
    options.lineBaud = baud;
    options.writeMs = 4;
    options.eraseMs = 30;
    options.erasePages = erasePages;
    options.window = 4; // what is handed over during the erase and the writes waits, whole
    Transfer t(3000);
    DeviceModel model(options);
    DeviceModel::Output out = model.feed(t.context.makeRequestPackage(), 1000);
    QCOMPARE(out.replies.size(), 1);
    QCOMPARE(out.replies.first().frameEndNs, 1000000 + wire(12));
    QCOMPARE(out.replies.first().workUs, qint64(erasePages ? 0 : 3 * 30000));
    out = model.feed(t.package(0) + t.package(1), 5000);
    QCOMPARE(out.replies.size(), 2);
    QCOMPARE(out.replies.at(0).frameEndNs, 5000000 + packageNs);
    QCOMPARE(out.replies.at(1).frameEndNs, 5000000 + wire(2064));
    for (const DeviceModel::Reply &reply : out.replies)
        QCOMPARE(reply.workUs, qint64(erasePages ? 34000 : 4000));
    // Handed over before the line is free: it arrives after the two before it.
    out = model.feed(t.package(2), 5001);
    QCOMPARE(out.replies.first().frameEndNs, 5000000 + wire(2064) + wire(1032));
}

QTEST_APPLESS_MAIN(TestDeviceModel)
#include "tst_devicemodel.moc"
