// The device core at its boundary: the bytes it is fed, the reply bytes it sends and the
// calls it makes to its port. Frames are built here from the wire layout with zlib's CRC.
#include "coreport.h"
#include "iap_app.h"

#include <QRandomGenerator>
#include <QtTest>

#include "wireframes.h"

namespace {

QByteArray be32(quint32 v)
{
    QByteArray b;
    b.append(char(v >> 24)).append(char(v >> 16)).append(char(v >> 8)).append(char(v));
    return b;
}

QByteArray request(quint32 length, int total)
{
    QByteArray b = hex("F1 01") + be32(length);
    b.append(char(total >> 8)).append(char(total));
    return withCrc(b);
}

QByteArray requestFor(const QByteArray &image)
{
    return request(quint32(image.size()), (image.size() + 1023) / 1024);
}

QByteArray package(int index, const QByteArray &payload)
{
    QByteArray b = hex("F1 02");
    b.append(char(index >> 8)).append(char(index));
    return withCrc(b + payload);
}

// Package `index` of the image: full size (zero-filled past the end), or the short form
// for the final package when `shortFinal` is set.
QByteArray packageOf(const QByteArray &image, int index, bool shortFinal = false)
{
    QByteArray payload = image.mid(index * 1024, 1024);
    if (!shortFinal || payload.size() == 1024)
        payload.append(QByteArray(1024 - payload.size(), '\0'));
    return package(index, payload);
}

int packagesOf(const QByteArray &image)
{
    return (image.size() + 1023) / 1024;
}

QByteArray randomImage(int size, quint32 seed, bool withoutStartByte = false)
{
    QRandomGenerator random(seed);
    QByteArray b(size, '\0');
    for (char &c : b) {
        c = char(random.bounded(256));
        if (withoutStartByte && quint8(c) == 0xF1)
            c = char(0xF0);
    }
    return b;
}

const QByteArray accepted = hex("F1 81 00 00 FF 69 DF 69");

quint32 zcrc(const QByteArray &b)
{
    return quint32(crc32(0L, reinterpret_cast<const Bytef *>(b.constData()), uInt(b.size())));
}

// Accepts the request for the image and checks the answer.
void begin(CorePort &p, const QByteArray &image)
{
    QCOMPARE(p.feed(requestFor(image)), accepted);
}

// The reply frames of the capability exchange: F1 83 flags(2) base(4) capacity(4) version(4),
// F1 84 length(4) crc(4).
QByteArray capabilities(int flags, quint32 capacity = 1u << 20, quint32 base = 0,
                        quint32 version = 0)
{
    QByteArray b = hex("F1 83");
    b.append(char(flags >> 8)).append(char(flags));
    return withCrc(b + be32(base) + be32(capacity) + be32(version));
}

// F1 C1 reason(1) capacity(4): the request is refused.
QByteArray refused(int reason, quint32 capacity)
{
    return withCrc(hex("F1 C1") + QByteArray(1, char(reason)) + be32(capacity));
}

QByteArray verification(quint32 length, quint32 crc)
{
    return withCrc(hex("F1 84") + be32(length) + be32(crc));
}

const QByteArray capabilityQuestion = withCrc(hex("F1 03 00 00"));
const QByteArray verificationQuestion = withCrc(hex("F1 04 00 00"));

// How the faults of a port on real flash show (see realFlash).
// (A finish that fails, a plain restart and copies of a request before the first package are
// failingFinish, repeatedRequestRestarts and requestsBackToBack.)
enum RealFlashCase
{
    IdleFromAnInterrupt,
    RequestInDamagedPayload,
    RequestInPayloadStartLost,
    HostRestartsAfterCutPackage,
    HostRestartsWithIdleHint,
    NonZeroPadding,
    StartByteNoise
};

} // namespace

class TestDeviceCore : public QObject
{
    Q_OBJECT

private slots:
    // The protocol's CRC
    void crc_data();
    void crc();

    // Requests
    void requests_data();
    void requests();
    void repeatedRequestRestarts();
    void requestsBackToBack();
    void refusedRequestAbandonsTheImage();
    void failedPrepareIsNotAccepted();

    // Packages
    void transfers_data();
    void transfers();
    void lostAcknowledgement_data();
    void lostAcknowledgement();
    void unexpectedPackages_data();
    void unexpectedPackages();
    void damagedPackages_data();
    void damagedPackages();
    void failingWrite();
    void failingFinish();
    void withoutFinish();

    // Framing
    void noiseAndTruncation_data();
    void noiseAndTruncation();
    void damagedShortFinalPackage();
    void undecidableShortFinalPackageAtIdle();
    void fullFinalPackageMustBeZeroFilled();
    void finalPackageNearlyFull_data();
    void finalPackageNearlyFull();

    // On real flash, and from a port that is used as ports are
    void realFlash_data();
    void realFlash();
    void refusedWrite();
    void existingPortInitialiser();

    // The capability and verification questions
    void questions_data();
    void questions();

    // The faults a review found, each fixed
    void coreFaults_data();
    void coreFaults();
    void capabilityAnswer();
    void boostCapabilities_data();
    void boostCapabilities();
    void rateSwitch_data();
    void rateSwitch();
    void rateFallback();
    void appHandOver_data();
    void appHandOver();

    // The largest image
    void largestImage();
};

void TestDeviceCore::crc_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<quint32>("crc");
    QTest::newRow("check string") << QByteArray("123456789") << 0xCBF43926u;
    QTest::newRow("empty") << QByteArray() << 0u;
    QTest::newRow("accepted frame") << hex("F1 81 00 00") << 0xFF69DF69u;
    for (quint32 seed : {1u, 2u, 3u}) {
        const QByteArray b = randomImage(int(seed * 777), seed);
        QTest::addRow("random %u", seed)
            << b
            << quint32(crc32(0L, reinterpret_cast<const Bytef *>(b.constData()), uInt(b.size())));
    }
}

void TestDeviceCore::crc()
{
    QFETCH(QByteArray, bytes);
    QFETCH(quint32, crc);
    QCOMPARE(
        iap_dev_crc32(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size())),
        crc);
}

void TestDeviceCore::requests_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<quint32>("capacity");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("prepared");

    const quint32 big = 67107840u;
    // Refusals: 1 too large, 2 malformed; the capacity named is at most the largest image.
    const QByteArray malformed = refused(2, 8192);
    QTest::newRow("1 byte") << request(1, 1) << 1024u << accepted << true;
    QTest::newRow("5000 bytes") << request(5000, 5) << 8192u << accepted << true;
    QTest::newRow("exactly the capacity") << request(2048, 2) << 2048u << accepted << true;
    QTest::newRow("over the capacity") << request(2049, 3) << 2048u << refused(1, 2048) << false;
    QTest::newRow("largest image") << request(big, 65535) << big << accepted << true;
    QTest::newRow("largest with a remainder") << request(big - 1, 65535) << big << accepted << true;
    QTest::newRow("one byte past the largest")
        << request(big + 1, 0) << 0xFFFFFFFFu << refused(2, big) << false;
    QTest::newRow("65536 packages, total 0")
        << request(big + 1024, 0) << 0xFFFFFFFFu << refused(2, big) << false;
    QTest::newRow("total one short") << request(5000, 4) << 8192u << malformed << false;
    QTest::newRow("total one over") << request(5000, 6) << 8192u << malformed << false;
    QTest::newRow("65537 packages, total wrapped to 1")
        << request(65537u * 1024u, 65537 & 0xFFFF) << 0xFFFFFFFFu << refused(2, big) << false;
    QTest::newRow("empty image") << request(0, 0) << 8192u << malformed << false;
    QByteArray badCrc = request(5000, 5);
    badCrc[11] = char(badCrc.at(11) ^ 0x01);
    QTest::newRow("bad CRC") << badCrc << 8192u << QByteArray() << false;
    QByteArray badLength = request(5000, 5);
    badLength[5] = char(badLength.at(5) ^ 0x10);
    QTest::newRow("damaged length") << badLength << 8192u << QByteArray() << false;
    QTest::newRow("wrong code") << withCrc(hex("F1 03 00 00 13 88 00 05")) << 8192u << QByteArray()
                                << false;
}

void TestDeviceCore::requests()
{
    QFETCH(QByteArray, bytes);
    QFETCH(quint32, capacity);
    QFETCH(QByteArray, answer);
    QFETCH(bool, prepared);
    CorePort p(capacity);
    p.store = false;
    QCOMPARE(p.feed(bytes), answer);
    QCOMPARE(p.prepares.isEmpty(), !prepared);
    if (prepared)
        QCOMPARE(p.prepares,
                 QVector<quint32>{quint32(qFromBigEndian<quint32>(bytes.constData() + 2))});
    QCOMPARE(p.dev.rx_len, 0);
    // Byte at a time the same.
    CorePort q(capacity);
    q.store = false;
    QCOMPARE(q.feed(bytes, 1), answer);
}

void TestDeviceCore::repeatedRequestRestarts()
{
    const QByteArray image = randomImage(3000, 7);
    CorePort p;
    begin(p, image);
    QCOMPARE(p.feed(packageOf(image, 0)), ackFrame(0, 1));
    QCOMPARE(p.feed(packageOf(image, 1)), ackFrame(1, 1));
    // The tool asks again (a new run, its request repeated every 50 ms until answered):
    // the image in progress is given up at the second copy and starts over from package 0.
    QCOMPARE(p.feed(requestFor(image)), QByteArray());
    QCOMPARE(p.feed(requestFor(image)), accepted);
    QCOMPARE(p.prepares, (QVector<quint32>{3000, 3000}));
    QCOMPARE(p.feed(packageOf(image, 2, true)), ackFrame(2, 2));
    QCOMPARE(p.feed(packageOf(image, 1)), ackFrame(1, 2));
    QCOMPARE(p.feed(packageOf(image, 0)), ackFrame(0, 1));
    QCOMPARE(p.feed(packageOf(image, 1)), ackFrame(1, 1));
    QCOMPARE(p.feed(packageOf(image, 2, true)), ackFrame(2, 1));
    QCOMPARE(p.flash, image);
    QCOMPARE(p.writes.size(), 5);
    QCOMPARE(p.finishes, QVector<quint32>{3000});

    // A different image requested after completion replaces it.
    const QByteArray second = randomImage(1500, 8);
    begin(p, second);
    QCOMPARE(p.feed(packageOf(second, 0)), ackFrame(0, 1));
    QCOMPARE(p.feed(packageOf(second, 1, true)), ackFrame(1, 1));
    QCOMPARE(p.flash, second);
    QCOMPARE(p.finishes, (QVector<quint32>{3000, 1500}));
}

void TestDeviceCore::requestsBackToBack()
{
    // The tool repeats its request every 50 ms until it sees the answer: every copy is
    // answered, and the transfer then starts from package 0.
    const QByteArray image = randomImage(2000, 9);
    CorePort p;
    QCOMPARE(p.feed(requestFor(image) + requestFor(image) + requestFor(image)),
             accepted + accepted + accepted);
    QCOMPARE(p.prepares, QVector<quint32>{2000}); // erased once, not at each copy
    QCOMPARE(p.feed(packageOf(image, 0)), ackFrame(0, 1));
    QCOMPARE(p.feed(packageOf(image, 1, true)), ackFrame(1, 1));
    QCOMPARE(p.flash, image);
}

void TestDeviceCore::refusedRequestAbandonsTheImage()
{
    const QByteArray image = randomImage(3000, 10);
    CorePort p(4096);
    begin(p, image);
    QCOMPARE(p.feed(packageOf(image, 0)), ackFrame(0, 1));
    // Does not fit: refused at the second copy, which gives the image up (a lone copy is
    // taken for payload bytes).
    QCOMPARE(p.feed(request(5000, 5) + request(5000, 5)), refused(1, 4096));
    QCOMPARE(p.feed(packageOf(image, 1)), ackFrame(1, 2));
    QCOMPARE(p.feed(packageOf(image, 0)), ackFrame(0, 2));
    QCOMPARE(p.writes.size(), 1);
}

void TestDeviceCore::failedPrepareIsNotAccepted()
{
    const QByteArray image = randomImage(100, 11);
    CorePort p;
    p.failPrepare = true;
    QCOMPARE(p.feed(requestFor(image)), refused(3, 1u << 20));
    QCOMPARE(p.feed(packageOf(image, 0)), ackFrame(0, 2));
    QVERIFY(p.writes.isEmpty());
    p.failPrepare = false;
    begin(p, image);
    QCOMPARE(p.feed(packageOf(image, 0)), ackFrame(0, 1));
    QCOMPARE(p.flash, image);
}

void TestDeviceCore::transfers_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("shortFinal");
    QTest::addColumn<int>("chunk");
    for (int size : {1, 1023, 1024, 1025, 2048, 5000, 100000}) {
        QTest::addRow("%d bytes, full-size final package", size) << size << false << 0;
        QTest::addRow("%d bytes, short final package", size) << size << true << 0;
        QTest::addRow("%d bytes, byte at a time", size) << size << true << 1;
        QTest::addRow("%d bytes, 7-byte pieces", size) << size << false << 7;
    }
}

void TestDeviceCore::transfers()
{
    QFETCH(int, size);
    QFETCH(bool, shortFinal);
    QFETCH(int, chunk);
    const QByteArray image = randomImage(size, quint32(size));
    CorePort p;
    QCOMPARE(p.feed(requestFor(image), chunk), accepted);
    const int total = packagesOf(image);
    QVector<CorePort::Write> expected;
    for (int i = 0; i < total; ++i) {
        QCOMPARE(p.feed(packageOf(image, i, shortFinal), chunk), ackFrame(i, 1));
        QCOMPARE(iap_dev_complete(&p.dev), i + 1 == total ? 1 : 0);
        expected.append({quint32(i) * 1024, qMin(1024, size - i * 1024)});
    }
    QCOMPARE(p.writes, expected); // each package once, only the image's own bytes
    QCOMPARE(p.flash, image);
    QCOMPARE(p.finishes, QVector<quint32>{quint32(size)});
    // finish can record the CRC-32 of what was written; the simulator paces its answers by
    // the length of the frame answered.
    QCOMPARE(p.finishCrcs, QVector<quint32>{zcrc(image)});
    QCOMPARE(iap_dev_image_crc(&p.dev), zcrc(image));
    QCOMPARE(p.frameLength.constFirst(), 12);
    QCOMPARE(p.frameLength.constLast(), packageOf(image, total - 1, shortFinal).size());
    QCOMPARE(p.dev.rx_len, 0);
}

void TestDeviceCore::lostAcknowledgement_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("repeated");
    QTest::addColumn<bool>("shortFinal");
    QTest::newRow("first package") << 5000 << 0 << true;
    QTest::newRow("middle package") << 5000 << 2 << true;
    QTest::newRow("final package, short") << 5000 << 4 << true;
    QTest::newRow("final package, full size") << 5000 << 4 << false;
    QTest::newRow("one-package image") << 10 << 0 << false;
}

void TestDeviceCore::lostAcknowledgement()
{
    QFETCH(int, size);
    QFETCH(int, repeated);
    QFETCH(bool, shortFinal);
    const QByteArray image = randomImage(size, 12);
    CorePort p;
    begin(p, image);
    const int total = packagesOf(image);
    for (int i = 0; i < total; ++i) {
        QCOMPARE(p.feed(packageOf(image, i, shortFinal)), ackFrame(i, 1));
        if (i == repeated) {
            // Its acknowledgement was lost: the tool sends it again, in either form for the
            // final package. Answered again, written once.
            const int writes = p.writes.size();
            QCOMPARE(p.feed(packageOf(image, i, shortFinal)), ackFrame(i, 1));
            QCOMPARE(p.feed(packageOf(image, i, !shortFinal)), ackFrame(i, 1));
            QCOMPARE(p.writes.size(), writes);
        }
    }
    QCOMPARE(p.writes.size(), total);
    QCOMPARE(p.finishes.size(), 1);
    QCOMPARE(p.flash, image);
}

void TestDeviceCore::unexpectedPackages_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("status");
    QTest::newRow("the one after the expected") << 3 << 2;
    QTest::newRow("far ahead") << 4 << 2;
    // Written already (its acknowledgement lost while the next ones were in flight): answered
    // written again, never written twice.
    QTest::newRow("two back") << 0 << 1;
    QTest::newRow("past the image") << 5 << 2;
    QTest::newRow("highest index") << 65535 << 2;
}

void TestDeviceCore::unexpectedPackages()
{
    // Packages 0 and 1 of a 5000-byte image are written; 2 is expected.
    QFETCH(int, index);
    QFETCH(int, status);
    const QByteArray image = randomImage(5000, 13);
    CorePort p;
    begin(p, image);
    p.feed(packageOf(image, 0) + packageOf(image, 1));
    const QByteArray before = p.flash;
    QCOMPARE(p.feed(package(index, QByteArray(1024, 'x'))), ackFrame(index, status));
    QCOMPARE(p.flash, before);
    QCOMPARE(p.writes.size(), 2);
    QCOMPARE(p.feed(packageOf(image, 2)), ackFrame(2, 1));
}

void TestDeviceCore::damagedPackages_data()
{
    QTest::addColumn<int>("flip"); // byte of package 1 to damage
    QTest::newRow("payload") << 100;
    QTest::newRow("last payload byte") << 1027;
    QTest::newRow("CRC trailer") << 1031;
    QTest::newRow("index low byte") << 3;
}

void TestDeviceCore::damagedPackages()
{
    QFETCH(int, flip);
    const QByteArray image = randomImage(3000, 14);
    CorePort p;
    begin(p, image);
    QCOMPARE(p.feed(packageOf(image, 0)), ackFrame(0, 1));
    QByteArray bad = packageOf(image, 1);
    bad[flip] = char(bad.at(flip) ^ 0x04);
    const int index = quint8(bad.at(2)) << 8 | quint8(bad.at(3));
    // Status 2 under the index it carries; nothing written. The resend is written.
    QCOMPARE(p.feed(bad), ackFrame(index, 2));
    QCOMPARE(p.writes.size(), 1);
    QCOMPARE(p.feed(packageOf(image, 1)), ackFrame(1, 1));
    QCOMPARE(p.feed(packageOf(image, 2, true)), ackFrame(2, 1));
    QCOMPARE(p.flash, image);
    // A package with no image accepted at all.
    CorePort fresh;
    QCOMPARE(fresh.feed(packageOf(image, 0)), ackFrame(0, 2));
    QVERIFY(fresh.writes.isEmpty());
}

void TestDeviceCore::failingWrite()
{
    const QByteArray image = randomImage(3000, 15);
    CorePort p;
    int failures = 2;
    p.failWrite = [&](quint32 offset) { return offset == 1024 && failures-- > 0; };
    begin(p, image);
    QCOMPARE(p.feed(packageOf(image, 0)), ackFrame(0, 1));
    QCOMPARE(p.feed(packageOf(image, 1)), ackFrame(1, 3));
    QCOMPARE(p.feed(packageOf(image, 1)), ackFrame(1, 3));
    QCOMPARE(p.feed(packageOf(image, 2)), ackFrame(2, 2)); // still expecting 1
    QCOMPARE(p.feed(packageOf(image, 1)), ackFrame(1, 1));
    QCOMPARE(p.feed(packageOf(image, 2, true)), ackFrame(2, 1));
    QCOMPARE(p.writes, (QVector<CorePort::Write>{
                           {0, 1024}, {1024, 1024}, {1024, 1024}, {1024, 1024}, {2048, 952}}));
    QCOMPARE(p.flash, image);
}

void TestDeviceCore::failingFinish()
{
    const QByteArray image = randomImage(1500, 16);
    CorePort p;
    p.failFinishes = 1;
    begin(p, image);
    QCOMPARE(p.feed(packageOf(image, 0)), ackFrame(0, 1));
    QCOMPARE(p.feed(packageOf(image, 1, true)), ackFrame(1, 3));
    QCOMPARE(iap_dev_complete(&p.dev), 0);
    // The resend of the final package (full size after a data error) is not written again
    // (flash cannot be programmed twice): finish is called again.
    QCOMPARE(p.feed(packageOf(image, 1, false)), ackFrame(1, 1));
    QCOMPARE(iap_dev_complete(&p.dev), 1);
    QCOMPARE(p.finishes, (QVector<quint32>{1500, 1500}));
    QCOMPARE(p.writes.size(), 2);
    QCOMPARE(p.programErrors, 0);
    QCOMPARE(p.flash, image);
}

void TestDeviceCore::withoutFinish()
{
    const QByteArray image = randomImage(1025, 17);
    CorePort p(1u << 20, false);
    begin(p, image);
    QCOMPARE(p.feed(packageOf(image, 0) + packageOf(image, 1, true)),
             ackFrame(0, 1) + ackFrame(1, 1));
    QCOMPARE(iap_dev_complete(&p.dev), 1);
    QCOMPARE(p.flash, image);
}

void TestDeviceCore::noiseAndTruncation_data()
{
    // What goes before package 1 of a 3000-byte image, and what the core answers to it.
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("answer");
    const QByteArray image = randomImage(3000, 18, true);
    QTest::newRow("zero bytes") << hex("00 00 00") << QByteArray();
    QTest::newRow("lone start byte") << hex("F1") << QByteArray();
    QTest::newRow("start bytes and an unknown code") << hex("F1 F1 F1 7E 55") << QByteArray();
    QTest::newRow("truncated request") << request(3000, 3).left(7) << QByteArray();
    QTest::newRow("request with a bad CRC")
        << QByteArray(request(3000, 3))
               .replace(11, 1, QByteArray(1, char(~request(3000, 3).at(11))))
        << QByteArray();
    // The next frame completes the truncated one's 1032 bytes: refused under its index,
    // then the real one is found inside.
    QTest::newRow("truncated package") << packageOf(image, 1).left(600) << ackFrame(1, 2);
    QTest::newRow("package header only") << hex("F1 02 00 01") << ackFrame(1, 2);
    QTest::newRow("random bytes") << randomImage(333, 19, true) << QByteArray();
}

void TestDeviceCore::noiseAndTruncation()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, answer);
    const QByteArray image = randomImage(3000, 18, true);
    for (int chunk : {0, 1}) {
        CorePort p;
        QCOMPARE(p.feed(hex("55 F1 00") + requestFor(image), chunk), accepted);
        QCOMPARE(p.feed(packageOf(image, 0), chunk), ackFrame(0, 1));
        QCOMPARE(p.feed(before + packageOf(image, 1), chunk), answer + ackFrame(1, 1));
        QCOMPARE(p.feed(hex("00 F1 00") + packageOf(image, 2, true), chunk), ackFrame(2, 1));
        QCOMPARE(p.flash, image);
        QCOMPARE(p.writes.size(), 3);
    }
}

void TestDeviceCore::damagedShortFinalPackage()
{
    // 1100 bytes: package 1 is the short final one, 76 + 8 bytes. Where its CRC fails, the
    // full-size form would have zero padding; anything else there settles it at once.
    const QByteArray image = randomImage(1100, 20, true);
    CorePort p;
    begin(p, image);
    QCOMPARE(p.feed(packageOf(image, 0)), ackFrame(0, 1));
    QByteArray bad = packageOf(image, 1, true);
    QCOMPARE(bad.size(), 84);
    bad[10] = char(bad.at(10) ^ 0x01);
    QCOMPARE(p.feed(bad), ackFrame(1, 2));
    QCOMPARE(p.dev.rx_len, 0);
    QCOMPARE(p.feed(packageOf(image, 1, false)), ackFrame(1, 1)); // resent full size
    QCOMPARE(p.flash, image);
    // Cut short instead (its last 6 bytes lost): nothing can be decided until the tool's
    // resend after its timeout fills the missing bytes; then the cut package is refused and
    // the resend found behind it.
    begin(p, image);
    QCOMPARE(p.feed(packageOf(image, 0)), ackFrame(0, 1));
    QCOMPARE(p.feed(packageOf(image, 1, true).left(78)), QByteArray());
    QCOMPARE(p.feed(packageOf(image, 1, true)), ackFrame(1, 2) + ackFrame(1, 1));
    QCOMPARE(p.flash, image);
    QCOMPARE(p.finishes.size(), 2);
}

void TestDeviceCore::undecidableShortFinalPackageAtIdle()
{
    // A short final package whose CRC fails with zero bytes where the trailer should be
    // could still be the start of the full-size form: it waits for more bytes, or for the
    // port to report the line quiet.
    const QByteArray image = randomImage(1100, 21);
    CorePort p;
    begin(p, image);
    QCOMPARE(p.feed(packageOf(image, 0)), ackFrame(0, 1));
    QByteArray bad = packageOf(image, 1, true);
    bad.replace(80, 4, QByteArray(4, '\0'));
    QCOMPARE(p.feed(bad), QByteArray());
    QCOMPARE(p.dev.rx_len, 84);
    QCOMPARE(p.idle(), ackFrame(1, 2));
    QCOMPARE(p.dev.rx_len, 0);
    QCOMPARE(p.feed(packageOf(image, 1, false)), ackFrame(1, 1));
    QCOMPARE(p.flash, image);
    // Without the idle report, the tool's next frame settles it: its start byte is no
    // padding, so the damaged package is answered with status 2, then the resend found.
    begin(p, image);
    QCOMPARE(p.feed(packageOf(image, 0) + bad), ackFrame(0, 1));
    QCOMPARE(p.feed(packageOf(image, 1, true)), ackFrame(1, 2) + ackFrame(1, 1));
    QCOMPARE(p.flash, image);
    // Idle with anything else incomplete drops it silently.
    QCOMPARE(p.feed(packageOf(image, 0).left(500)), QByteArray());
    QCOMPARE(p.idle(), QByteArray());
    QCOMPARE(p.dev.rx_len, 0);
    QCOMPARE(p.idle(), QByteArray());
}

void TestDeviceCore::fullFinalPackageMustBeZeroFilled()
{
    // The full-size form of the final package is told from a damaged short one by its zero
    // padding: padded otherwise it is refused (status 2), and the tool resends.
    const QByteArray image = randomImage(1100, 22, true);
    CorePort p;
    begin(p, image);
    QCOMPARE(p.feed(packageOf(image, 0)), ackFrame(0, 1));
    QByteArray payload = image.mid(1024);
    payload.append(QByteArray(1024 - payload.size(), char(0xFF)));
    QCOMPARE(p.feed(package(1, payload)), ackFrame(1, 2));
    QCOMPARE(p.writes.size(), 1);
    QCOMPARE(p.feed(packageOf(image, 1, false)), ackFrame(1, 1));
    QCOMPARE(p.flash, image);
}

void TestDeviceCore::finalPackageNearlyFull_data()
{
    // Remainders whose short form ends inside the full form's CRC trailer.
    QTest::addColumn<int>("size");
    for (int rem : {1019, 1020, 1021, 1022, 1023})
        QTest::addRow("remainder %d", rem) << 1024 + rem;
}

void TestDeviceCore::finalPackageNearlyFull()
{
    QFETCH(int, size);
    const QByteArray image = randomImage(size, quint32(size));
    for (bool shortFinal : {false, true}) {
        CorePort p;
        begin(p, image);
        QCOMPARE(p.feed(packageOf(image, 0)), ackFrame(0, 1));
        QCOMPARE(p.feed(packageOf(image, 1, shortFinal), 1), ackFrame(1, 1));
        QCOMPARE(p.flash, image);
    }
}

void TestDeviceCore::realFlash_data()
{
    QTest::addColumn<int>("fault");
    QTest::newRow("idle and a byte from an interrupt inside every callback")
        << int(IdleFromAnInterrupt);
    QTest::newRow("a request inside a damaged package") << int(RequestInDamagedPayload);
    QTest::newRow("a request inside a package whose start byte was lost")
        << int(RequestInPayloadStartLost);
    QTest::newRow("the tool restarts after a package cut short")
        << int(HostRestartsAfterCutPackage);
    QTest::newRow("the tool restarts, the port reports the quiet line")
        << int(HostRestartsWithIdleHint);
    QTest::newRow("full-length final package, a padding byte not zero") << int(NonZeroPadding);
    QTest::newRow("line noise F1 02 F1 02 ...") << int(StartByteNoise);
}

// Three packages (1024, 1024, 952 bytes) into NOR flash, through one fault each; at the end
// the image is in flash, every byte programmed once.
void TestDeviceCore::realFlash()
{
    QFETCH(int, fault);
    QByteArray image = randomImage(3000, 40, true);
    // Package 1 carries a valid request in its payload (the firmware happens to hold one).
    image.replace(1024 + 300, 12, request(100, 1));
    CorePort p;
    QByteArray cut;
    int prepares = 1;
    QCOMPARE(p.feed(requestFor(image)), accepted);
    QCOMPARE(p.feed(packageOf(image, 0)), ackFrame(0, 1));
    switch (RealFlashCase(fault)) {
    case IdleFromAnInterrupt:
        // The port's receive interrupt reports the line quiet and feeds a byte while the
        // core is inside a callback: both are ignored, nothing held is lost.
        p.inCallback = [&p] {
            iap_dev_idle(&p.dev);
            iap_dev_feed(&p.dev, 0xF1);
        };
        QCOMPARE(p.feed(packageOf(image, 1), 1), ackFrame(1, 1));
        QCOMPARE(p.feed(packageOf(image, 2, true)), ackFrame(2, 1));
        QCOMPARE(p.dev.rx_len, 0);
        break;
    case RequestInDamagedPayload:
        cut = packageOf(image, 1);
        cut[10] = char(cut.at(10) ^ 0x20);
        QCOMPARE(p.feed(cut), ackFrame(1, 2));
        QCOMPARE(p.feed(packageOf(image, 1) + packageOf(image, 2, true)),
                 ackFrame(1, 1) + ackFrame(2, 1));
        break;
    case RequestInPayloadStartLost:
        // The request is the first frame found: alone, it does not give the image up.
        QCOMPARE(p.feed(packageOf(image, 1).mid(1)), QByteArray());
        QCOMPARE(p.feed(packageOf(image, 1) + packageOf(image, 2, true)),
                 ackFrame(1, 1) + ackFrame(2, 1));
        break;
    case HostRestartsAfterCutPackage:
    case HostRestartsWithIdleHint: {
        QCOMPARE(p.feed(packageOf(image, 1)), ackFrame(1, 1));
        QByteArray answers;
        QCOMPARE(p.feed(packageOf(image, 2).left(500)), QByteArray()); // the tool is stopped
        if (fault == HostRestartsWithIdleHint) {
            QCOMPARE(p.idle(), QByteArray()); // 20 ms quiet: the cut package is dropped
            QCOMPARE(p.feed(requestFor(image)), QByteArray());
            QCOMPARE(p.idle(), QByteArray());
        }
        // The new run's copies, every 50 ms until one is answered.
        int copies = 0;
        while (!answers.contains(accepted) && copies < 100) {
            answers += p.feed(requestFor(image));
            ++copies;
            if (fault == HostRestartsWithIdleHint)
                answers += p.idle();
        }
        if (fault == HostRestartsAfterCutPackage) {
            // The cut package is answered once the copies reach where its short form would
            // end (960 bytes: package 2 is the final one); the copy found inside it then does
            // not count, the next is the second in a row.
            QCOMPARE(answers, ackFrame(2, 2) + accepted);
            QCOMPARE(copies, 40);
        } else {
            QCOMPARE(answers, accepted);
            QCOMPARE(copies, 1);
        }
        // The copies that were on their way meanwhile: answered, not prepared again.
        QCOMPARE(p.feed(requestFor(image) + requestFor(image)), accepted + accepted);
        prepares = 2;
        QCOMPARE(p.feed(packageOf(image, 0)), ackFrame(0, 1)); // erased again: written again
        QCOMPARE(p.feed(packageOf(image, 1) + packageOf(image, 2, true)),
                 ackFrame(1, 1) + ackFrame(2, 1));
        break;
    }
    case NonZeroPadding:
        QCOMPARE(p.feed(packageOf(image, 1)), ackFrame(1, 1));
        cut = packageOf(image, 2);
        cut[4 + 1000] = char(0x5A);
        cut = withCrc(cut.left(1028));
        // Answered at the byte that settles it, not after the tool's 5 s wait.
        QCOMPARE(p.feed(cut.left(4 + 1001)), ackFrame(2, 2));
        QCOMPARE(p.feed(cut.mid(4 + 1001)), QByteArray());
        QCOMPARE(p.feed(packageOf(image, 2)), ackFrame(2, 1));
        break;
    case StartByteNoise: {
        // 64 KiB of start bytes and data codes: every 0xF1 could start a package. The core
        // follows three at a time (the oldest and the newest), so it answers at most three
        // per 1032 bytes.
        QByteArray noise;
        for (int i = 0; i < 32 * 1024; ++i)
            noise += hex("F1 02");
        const QByteArray answers = p.feed(noise);
        QVERIFY(!answers.isEmpty());
        QCOMPARE(answers.size() % 9, 0);
        QVERIFY2(answers.size() / 9 <= 3 * (noise.size() / 1032 + 1),
                 qPrintable(QString::number(answers.size() / 9)));
        for (int at = 0; at < answers.size(); at += 9)
            QCOMPARE(answers.mid(at, 9), ackFrame(0xF102, 2));
        // The next package is found behind what the noise left open.
        const QByteArray next = p.feed(packageOf(image, 1));
        QVERIFY(next.endsWith(ackFrame(1, 1)));
        for (int at = 0; at + 9 < next.size(); at += 9)
            QCOMPARE(next.mid(at, 9), ackFrame(0xF102, 2));
        QCOMPARE(p.feed(packageOf(image, 2, true)), ackFrame(2, 1));
        break;
    }
    }
    QCOMPARE(iap_dev_complete(&p.dev), 1);
    QCOMPARE(p.flash, image);
    QCOMPARE(p.programErrors, 0);
    QCOMPARE(p.successfulWrites(), prepares == 1 ? 3 : 5);
    QCOMPARE(p.prepares.size(), prepares);
}

void TestDeviceCore::refusedWrite()
{
    // A port that refuses the bytes themselves (IAP_DEV_REFUSED): status 2, nothing written.
    const QByteArray image = randomImage(2000, 41);
    CorePort p;
    int refusals = 1;
    p.refuseWrite = [&](quint32 offset) { return offset == 1024 && refusals-- > 0; };
    begin(p, image);
    QCOMPARE(p.feed(packageOf(image, 0)), ackFrame(0, 1));
    QCOMPARE(p.feed(packageOf(image, 1)), ackFrame(1, 2));
    QCOMPARE(p.feed(packageOf(image, 1, true)), ackFrame(1, 1));
    QCOMPARE(p.flash, image);
    QCOMPARE(p.finishCrcs, QVector<quint32>{zcrc(image)});
}

namespace {
QByteArray oldPortSent;
QByteArray oldPortFlash;
} // namespace

void TestDeviceCore::existingPortInitialiser()
{
    // A port written before the read callback existed, initialised field by field in order:
    // it still compiles, and its device says it cannot verify.
    // (Compilers warn about the missing initialiser under -Wextra; it is zero, NULL.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
    static const iap_dev_port old = {
        nullptr,
        4096,
        [](void *, const uint8_t *bytes, uint8_t count) {
            oldPortSent.append(reinterpret_cast<const char *>(bytes), count);
        },
        [](void *, uint32_t length) {
            oldPortFlash = QByteArray(int(length), char(0xFF));
            return IAP_DEV_OK;
        },
        [](void *, uint32_t offset, const uint8_t *data, uint16_t count) {
            std::copy_n(data, count, oldPortFlash.data() + offset);
            return IAP_DEV_OK;
        },
        nullptr};
#pragma GCC diagnostic pop
    const QByteArray image = randomImage(1500, 42);
    iap_dev dev;
    iap_dev_init(&dev, &old);
    const QByteArray line = requestFor(image) + capabilityQuestion + packageOf(image, 0) +
                            packageOf(image, 1, true) + verificationQuestion;
    iap_dev_feed_bytes(&dev, reinterpret_cast<const uint8_t *>(line.constData()),
                       size_t(line.size()));
    QCOMPARE(oldPortSent, accepted + capabilities(0, 4096) + ackFrame(0, 1) + ackFrame(1, 1));
    QCOMPARE(oldPortFlash, image);
    QCOMPARE(iap_dev_complete(&dev), 1);
}

void TestDeviceCore::questions_data()
{
    // The state the device is in when the question comes, and what it answers. (A port without
    // read is existingPortInitialiser; the CRC of a flash changed after writing, read back, and
    // the capabilities of a device that holds its image are shown by tst_outcomes.)
    QTest::addColumn<QString>("state");
    QTest::addColumn<QByteArray>("question");
    QTest::addColumn<QByteArray>("answer"); // "image" stands for the full image's answer
    const QByteArray none = verification(0, 0);
    QTest::newRow("capabilities, no image") << "none" << capabilityQuestion << capabilities(1);
    QTest::newRow("capabilities, image half-written")
        << "half" << capabilityQuestion << capabilities(1);
    QTest::newRow("verification, no image") << "none" << verificationQuestion << none;
    QTest::newRow("verification, image half-written") << "half" << verificationQuestion << none;
    QTest::newRow("verification, finish failed") << "unfinished" << verificationQuestion << none;
    QTest::newRow("verification, image complete")
        << "complete" << verificationQuestion << QByteArray("image");
    QTest::newRow("verification, read fails")
        << "read fails" << verificationQuestion << QByteArray();
    QByteArray damaged = verificationQuestion;
    damaged[7] = char(damaged.at(7) ^ 1);
    QTest::newRow("verification with a bad CRC") << "complete" << damaged << QByteArray();
    QTest::newRow("unknown question code")
        << "complete" << withCrc(hex("F1 06 00 00")) << QByteArray();
}

void TestDeviceCore::questions()
{
    QFETCH(QString, state);
    QFETCH(QByteArray, question);
    QFETCH(QByteArray, answer);
    const QByteArray image = randomImage(2500, 43); // packages of 1024, 1024, 452
    CorePort p;
    if (state != QLatin1String("none")) {
        begin(p, image);
        QCOMPARE(p.feed(packageOf(image, 0)), ackFrame(0, 1));
    }
    if (state != QLatin1String("none") && state != QLatin1String("half")) {
        p.failFinishes = state == QLatin1String("unfinished") ? 1 : 0;
        p.feed(packageOf(image, 1) + packageOf(image, 2, true));
        QCOMPARE(iap_dev_complete(&p.dev), state == QLatin1String("unfinished") ? 0 : 1);
    }
    p.failRead = state == QLatin1String("read fails");
    if (answer == "image")
        answer = verification(2500, zcrc(p.flash));
    p.reads.clear();
    QCOMPARE(p.feed(question), answer);
    QCOMPARE(p.feed(question, 1), answer); // asked again, byte at a time: the same
    if (answer.size() == 14 && answer.mid(2, 4) != hex("00 00 00 00")) // read in packages
        QCOMPARE(p.reads.mid(0, 3),
                 (QVector<QPair<quint32, int>>{{0, 1024}, {1024, 1024}, {2048, 452}}));
    QCOMPARE(p.dev.rx_len, 0);

    // Nothing changed: the transfer goes on where it was.
    p.failRead = false;
    if (state == QLatin1String("none"))
        begin(p, image);
    if (state == QLatin1String("none") || state == QLatin1String("half")) {
        if (state == QLatin1String("none"))
            QCOMPARE(p.feed(packageOf(image, 0)), ackFrame(0, 1));
        QCOMPARE(p.feed(packageOf(image, 1) + packageOf(image, 2, true)),
                 ackFrame(1, 1) + ackFrame(2, 1));
    } else {
        QCOMPARE(p.feed(packageOf(image, 2)), ackFrame(2, 1)); // finished again, or resent
    }
    QCOMPARE(iap_dev_complete(&p.dev), 1);
    QCOMPARE(p.feed(verificationQuestion), verification(2500, zcrc(p.flash)));
    QCOMPARE(p.successfulWrites(), 3);
}

void TestDeviceCore::coreFaults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("look-alikes after a damaged package") << "look-alikes";
    QTest::newRow("payload aligned for word reads") << "aligned";
    QTest::newRow("refused request after completion") << "refused after completion";
}

void TestDeviceCore::coreFaults()
{
    QFETCH(QString, fault);
    // Real Thumb-2 code holds F1 02 .. and F1 04 ..: frames that start inside a payload.
    QByteArray image = randomImage(2048, 44, true);
    for (int at = 40; at + 4 < 1024; at += 50)
        image.replace(at, 4, at % 100 == 40 ? hex("F1 02 12 34") : hex("F1 04 00 00"));
    CorePort p(4096);
    begin(p, image);
    if (fault == QLatin1String("look-alikes")) {
        // Package 0 damaged on the line, its copy right behind it and no idle hint: the copy
        // is written, whatever the look-alikes it drags along.
        QByteArray damaged = packageOf(image, 0);
        damaged[10] = char(damaged.at(10) ^ 0x04);
        const QByteArray answers = p.feed(damaged + packageOf(image, 0));
        QVERIFY(answers.startsWith(ackFrame(0, 2)));
        QVERIFY2(answers.endsWith(ackFrame(0, 1)), answers.toHex(' ').constData());
    } else {
        QCOMPARE(p.feed(packageOf(image, 0)), ackFrame(0, 1));
    }
    QCOMPARE(p.feed(packageOf(image, 1)), ackFrame(1, 1));
    QCOMPARE(p.flash, image);
    QCOMPARE(p.misaligned, 0);
    QCOMPARE(iap_dev_complete(&p.dev), 1);
    if (fault == QLatin1String("refused after completion")) {
        // Too large: refused, and the image just written stays complete and startable.
        QCOMPARE(p.feed(request(5000, 5)), refused(1, 4096));
        QCOMPARE(iap_dev_complete(&p.dev), 1);
        QCOMPARE(p.feed(verificationQuestion), verification(2048, zcrc(image)));
    }
}

void TestDeviceCore::capabilityAnswer()
{
    // A port that names its area and version: the answer says so, and the watchdog is kicked
    // for every KiB read back for verification.
    const QByteArray image = randomImage(2500, 45);
    CorePort p(8192);
    p.port.base = 0x08004000u;
    p.port.version = 0x00010200u;
    QCOMPARE(p.feed(capabilityQuestion), capabilities(3, 8192, 0x08004000u, 0x00010200u));
    begin(p, image);
    p.feed(packageOf(image, 0) + packageOf(image, 1) + packageOf(image, 2, true));
    p.kicks = 0;
    QCOMPARE(p.feed(verificationQuestion), verification(2500, zcrc(image)));
    QCOMPARE(p.kicks, 3);
    p.kicks = 0;
    QCOMPARE(
        iap_dev_crc32_kicked(&p.port, reinterpret_cast<const uint8_t *>(image.constData()), 2500),
        zcrc(image));
    QCOMPARE(p.kicks, 3);
}

void TestDeviceCore::boostCapabilities_data()
{
    QTest::addColumn<quint32>("maxBaud");
    QTest::addColumn<int>("window");
    QTest::addColumn<QByteArray>("answer");
    const QByteArray area = be32(0x08004000u) + be32(8192) + be32(0x00010200u);
    QTest::newRow("nothing offered: 20 bytes") << 0u << 0 << withCrc(hex("F1 83 00 03") + area);
    QTest::newRow("a window of 1: nothing offered")
        << 0u << 1 << withCrc(hex("F1 83 00 03") + area);
    QTest::newRow("2 Mbaud, one at a time")
        << 2000000u << 1 << withCrc(hex("F1 83 00 07") + area + hex("00 1E 84 80 00 01"));
    QTest::newRow("921600, 4 in flight")
        << 921600u << 4 << withCrc(hex("F1 83 00 07") + area + hex("00 0E 10 00 00 04"));
    QTest::newRow("no switch, 300 in flight")
        << 0u << 300 << withCrc(hex("F1 83 00 07") + area + hex("00 00 00 00 01 2C"));
}

// F1 83 flags base capacity version, then with flag 0x0004 max_baud(4) window(2).
void TestDeviceCore::boostCapabilities()
{
    QFETCH(quint32, maxBaud);
    QFETCH(int, window);
    QFETCH(QByteArray, answer);
    CorePort p(8192);
    p.port.base = 0x08004000u;
    p.port.version = 0x00010200u;
    if (maxBaud != 0 || window != 0)
        p.offerBoost(maxBaud, uint16_t(window));
    QCOMPARE(p.feed(capabilityQuestion), answer);
}

void TestDeviceCore::rateSwitch_data()
{
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<quint32>("proposed");
    QTest::addColumn<bool>("failBaud");
    QTest::addColumn<quint32>("agreed"); // in the answer
    QTest::addColumn<quint32>("rate");   // iap_dev_baud after
    QTest::newRow("after the request, the highest")
        << true << 2000000u << false << 2000000u << 2000000u;
    QTest::newRow("after the request, lower") << true << 921600u << false << 921600u << 921600u;
    QTest::newRow("above the highest") << true << 3000000u << false << 0u << 0u;
    QTest::newRow("zero") << true << 0u << false << 0u << 0u;
    QTest::newRow("before any request") << false << 921600u << false << 0u << 0u;
    QTest::newRow("the port cannot") << true << 921600u << true << 921600u << 0u;
}

// F1 05 baud: answered F1 85 agreed at the old rate, then (only then) the port switches.
void TestDeviceCore::rateSwitch()
{
    QFETCH(bool, accepted);
    QFETCH(quint32, proposed);
    QFETCH(bool, failBaud);
    QFETCH(quint32, agreed);
    QFETCH(quint32, rate);
    const QByteArray image = randomImage(3000, 7);
    CorePort p;
    p.offerBoost(2000000u, 2);
    p.failBaud = failBaud;
    if (accepted)
        begin(p, image);
    const int before = p.sent.size();
    QCOMPARE(p.feed(withCrc(hex("F1 05") + be32(proposed))), withCrc(hex("F1 85") + be32(agreed)));
    QCOMPARE(p.bauds.size(), agreed != 0 ? 1 : 0);
    if (agreed != 0) {
        QCOMPARE(p.bauds.first().first, agreed);
        QCOMPARE(p.bauds.first().second, before + 10); // after the whole answer
    }
    QCOMPARE(iap_dev_baud(&p.dev), rate);
    // The upgrade goes on at whatever rate the line is.
    if (accepted)
        QCOMPARE(p.feed(packageOf(image, 0)), ackFrame(0, 1));
}

// Back at the starting rate 1 s after the last valid frame at the new one: none came (the
// host's confirmation was lost), or the upgrade is over. Garbage does not hold it; a long
// write does not count.
void TestDeviceCore::rateFallback()
{
    const QByteArray image = randomImage(3000, 8);
    CorePort p;
    p.offerBoost(921600u, 1);
    begin(p, image);
    p.feed(withCrc(hex("F1 05") + be32(921600u)));
    iap_dev_clock(&p.dev, 5000);
    p.feed(hex("00 F1 FF 13 00 F1 F1 00"));
    iap_dev_clock(&p.dev, 5999);
    QCOMPARE(p.bauds.size(), 1);
    QCOMPARE(p.feed(capabilityQuestion).size(), 26); // a valid frame at the new rate
    iap_dev_clock(&p.dev, 6500);                     // (its time: after a long write)
    iap_dev_clock(&p.dev, 7499);
    QCOMPARE(p.bauds.size(), 1);
    QCOMPARE(iap_dev_baud(&p.dev), 921600u);
    iap_dev_clock(&p.dev, 7500);
    QCOMPARE(p.bauds.size(), 2);
    QCOMPARE(p.bauds.last().first, 0u);
    QCOMPARE(iap_dev_baud(&p.dev), 0u);
    iap_dev_clock(&p.dev, 9000);
    QCOMPARE(p.bauds.size(), 2);
    // At the starting rate the upgrade goes on.
    QCOMPARE(p.feed(packageOf(image, 0)), ackFrame(0, 1));
}

void TestDeviceCore::appHandOver_data()
{
    // The bytes a running application's UART receives, and how often it enters the boot
    // loader on them.
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("entered");
    QByteArray damaged = request(5000, 5);
    damaged[4] = char(damaged.at(4) ^ 0x20);
    QTest::newRow("a request after noise") << hex("00 F1 01 F1") + request(5000, 5) << 1;
    QTest::newRow("the capability question") << capabilityQuestion << 1;
    QTest::newRow("the verification question") << verificationQuestion << 0;
    QTest::newRow("a damaged request") << damaged << 0;
    QTest::newRow("a request cut short, then whole")
        << request(5000, 5).left(9) + request(5000, 5) << 1;
    QTest::newRow("a package's bytes") << package(0, QByteArray(1024, '\x01')) << 0;
}

void TestDeviceCore::appHandOver()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, entered);
    iap_app app;
    int calls = 0;
    iap_app_init(
        &app, [](void *user) { ++*static_cast<int *>(user); }, &calls);
    for (const char byte : bytes)
        iap_app_feed(&app, quint8(byte));
    QCOMPARE(calls, entered);
}

void TestDeviceCore::largestImage()
{
    // 65 535 packages, 67 107 840 bytes: the most a 16-bit total can describe. Every package
    // goes through the core; the port keeps only the offsets and a sum, not 64 MiB.
    const quint32 size = 65535u * 1024u;
    CorePort p(size);
    p.store = false;
    QCOMPARE(p.feed(request(size, 65535)), accepted);
    QCOMPARE(p.prepares, QVector<quint32>{size});
    quint64 sum = 0;
    QByteArray payload(1024, '\0');
    for (int i = 0; i < 65535; ++i) {
        for (int j = 0; j < 1024; j += 256)
            payload[j] = char(i);
        sum += 4 * quint64(quint8(i));
        const QByteArray answer = p.feed(package(i, payload));
        if (answer != ackFrame(i, 1))
            QFAIL(qPrintable(QStringLiteral("package %1 answered %2")
                                 .arg(i)
                                 .arg(QString::fromLatin1(answer.toHex()))));
    }
    QCOMPARE(p.writes.size(), 65535);
    QCOMPARE(p.writes.constLast().offset, 65534u * 1024u);
    QCOMPARE(p.writes.constLast().count, 1024);
    QCOMPARE(p.writtenSum, sum);
    QCOMPARE(p.finishes, QVector<quint32>{size});
    QCOMPARE(iap_dev_complete(&p.dev), 1);
    // The repeat of the very last one is acknowledged again, not written.
    QCOMPARE(p.feed(package(65534, payload)), ackFrame(65534, 1));
    QCOMPARE(p.writes.size(), 65535);

    // The same with a remainder: the final package, index 65534, comes short.
    CorePort r(size);
    r.store = false;
    QCOMPARE(r.feed(request(size - 1, 65535)), accepted);
    QCOMPARE(r.dev.count, 65535);
    QCOMPARE(r.feed(package(65534, QByteArray(1023, 'a'))), ackFrame(65534, 2)); // not yet
    QVERIFY(r.writes.isEmpty());
}

QTEST_APPLESS_MAIN(TestDeviceCore)
#include "tst_devicecore.moc"
