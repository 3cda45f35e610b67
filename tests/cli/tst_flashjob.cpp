// One upgrade on a link the test holds in its hand: when each package is taken by the
// operating system, and what has reached the machine unread by then. An acknowledgement (or a
// verification answer) counts only if it came after what it answers was written; the order of
// bytes on a real line cannot be forced this exactly.
#include "clitext.h"
#include "flashjob.h"
#include "wireframes.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

// A line whose writes the test completes and whose arrivals it reads when it says.
class HandLink : public links::PortLink
{
public:
    QString name() const override { return QStringLiteral("hand"); }
    void open(qint32) override
    {
        m_open = true;
        QMetaObject::invokeMethod(this, &links::PortLink::opened, Qt::QueuedConnection);
    }
    void close() override { m_open = false; }
    bool isOpen() const override { return m_open; }
    void send(const QByteArray &bytes) override
    {
        sent << bytes;
        const bool held = holdFrom >= 0 && bytes.startsWith(hex("F1 02")) &&
                          (quint8(bytes.at(2)) << 8 | quint8(bytes.at(3))) >= holdFrom;
        if (holdWrites || held || pending > 0)
            pending += bytes.size();
    }
    qint64 bytesToWrite() const override { return pending; }
    void setModemLine(links::ModemLine, bool) override {}

    // Bytes that reached the machine, not read yet; read() hands them on.
    void arrive(const QByteArray &bytes) { kernel += bytes; }
    void read() { deliver(std::exchange(kernel, {})); }
    void readOnly(const QByteArray &bytes) { deliver(bytes); }
    // The operating system takes what was held back (all but the last `left` bytes).
    void drain(qint64 left = 0)
    {
        pending = left;
        noteBytesWritten();
    }
    // How often the package with this index (F1 02 index) was sent.
    int packages(int index) const
    {
        const QByteArray head = hex("F1 02") + char(index >> 8) + char(index);
        return int(std::count_if(sent.cbegin(), sent.cend(),
                                 [&](const QByteArray &b) { return b.startsWith(head); }));
    }

    QList<QByteArray> sent;
    bool holdWrites = false;
    int holdFrom = -1; // packages from this index on wait in the buffer, and all after them
    qint64 pending = 0;
    QByteArray kernel;

protected:
    qint64 undeliveredBytes(bool system) const override { return system ? kernel.size() : 0; }

private:
    bool m_open = false;
};

flash::FlashJob::Options fastOptions()
{
    flash::FlashJob::Options options;
    options.port = QStringLiteral("hand");
    options.fast = true;
    options.maxResends = 1;
    options.waitLimit = 2; // 100 ms
    options.askCapabilities = false;
    return options;
}

} // namespace

class TestFlashJob : public QObject
{
    Q_OBJECT
private slots:
    void acknowledgedAfterWritten_data();
    void acknowledgedAfterWritten();
    void inFlight_data();
    void inFlight();
    void verificationAnsweredBeforeAsked();
    void interruptedWhileVerifying();
};

void TestFlashJob::acknowledgedAfterWritten_data()
{
    QTest::addColumn<bool>("heldBack"); // package 1 waits in the link's buffer
    QTest::addColumn<bool>("genuine");  // its acknowledgement comes after it was written
    QTest::newRow("unread before the write") << false << false;
    QTest::newRow("read while the write waits") << true << false;
    QTest::newRow("after the write") << false << true;
    QTest::newRow("after the held write") << true << true;
}

// Package 0 is acknowledged; an acknowledgement of package 1 that reached the machine before
// package 1 was written never moves the run on to package 2.
void TestFlashJob::acknowledgedAfterWritten()
{
    QFETCH(bool, heldBack);
    QFETCH(bool, genuine);
    auto owned = std::make_unique<HandLink>();
    HandLink *link = owned.get();
    flash::FlashJob job(fastOptions(), QByteArray(3000, 'x'), std::move(owned));
    QSignalSpy finished(&job, &flash::FlashJob::finished);
    job.start();
    QTRY_VERIFY(!link->sent.isEmpty()); // the first request
    link->arrive(acceptedFrame());
    link->read();
    QCOMPARE(link->packages(0), 1);

    link->holdWrites = heldBack;
    if (!genuine && !heldBack)
        link->arrive(ackFrame(1, 1));
    link->readOnly(ackFrame(0, 1));
    QCOMPARE(link->packages(1), 1);
    if (!genuine && heldBack) {
        link->arrive(ackFrame(1, 1));
        link->read();
    }
    if (heldBack) {
        QSignalSpy written(link, &links::PortLink::written);
        link->drain();
        QVERIFY(written.wait());
    }
    if (genuine)
        link->arrive(ackFrame(1, 1));
    link->read();
    if (genuine) {
        QTRY_COMPARE(link->packages(2), 1);
        return;
    }
    QVERIFY(finished.wait());
    QCOMPARE(job.failure(), flash::FlashJob::Failure::TooManyResends);
    QCOMPARE(link->packages(2), 0);
    QCOMPARE(job.run().bytesDone(), 1024);
}

void TestFlashJob::inFlight_data()
{
    QTest::addColumn<int>("holdFrom");    // packages from this one on wait in the link's buffer
    QTest::addColumn<int>("outThrough");  // then those up to this one are taken (-1: none)
    QTest::addColumn<QList<int>>("acks"); // read at once, status 1
    QTest::addColumn<int>("lastSent");    // the last package handed to the link by then
    QTest::addColumn<int>("givesUpOn");   // once the rest is out and nothing more answers
    QTest::newRow("two acknowledgements in one read") << -1 << -1 << QList<int>{0, 1} << 4 << 2;
    QTest::newRow("the next one still going out") << 1 << -1 << QList<int>{0, 1} << 3 << 1;
    QTest::newRow("out while the one after waits") << 1 << 1 << QList<int>{0, 1} << 4 << 2;
    QTest::newRow("one ahead answered before it is out")
        << 2 << -1 << QList<int>{2, 0, 1} << 2 << 2;
}

// --boost with a device that takes 3 packages in flight (no rate offered): packages 0, 1 and 2
// go out after the acceptance; an acknowledgement counts as soon as its own package is out,
// whatever waits behind it, and never for a package that was not out when it began.
void TestFlashJob::inFlight()
{
    QFETCH(int, holdFrom);
    QFETCH(int, outThrough);
    QFETCH(QList<int>, acks);
    QFETCH(int, lastSent);
    QFETCH(int, givesUpOn);
    flash::FlashJob::Options options = fastOptions();
    options.askCapabilities = true;
    options.boost = true;
    auto owned = std::make_unique<HandLink>();
    HandLink *link = owned.get();
    flash::FlashJob job(options, QByteArray(6000, 'f'), std::move(owned));
    QSignalSpy finished(&job, &flash::FlashJob::finished);
    job.start();
    QTRY_VERIFY(!link->sent.isEmpty()); // the capability question
    // F1 83, flags 0x0004, base 0, capacity 64 KiB, version 0, no rate, window 3.
    link->readOnly(withCrc(hex("F1 83 00 04 00 00 00 00 00 01 00 00 00 00 00 00"
                               "00 00 00 00 00 03")));
    QTRY_COMPARE(link->sent.size(), 2); // the request
    link->holdFrom = holdFrom;
    link->readOnly(acceptedFrame());
    QCOMPARE(link->packages(2), 1);
    if (outThrough >= 0)
        link->drain(link->pending - (outThrough - holdFrom + 1) * 1032);
    QByteArray read;
    for (const int index : acks)
        read += ackFrame(index, 1);
    link->readOnly(read);
    QCOMPARE(link->packages(lastSent), 1);
    QCOMPARE(link->packages(lastSent + 1), 0);
    link->drain();
    QVERIFY(finished.wait());
    QCOMPARE(job.failure(), flash::FlashJob::Failure::TooManyResends);
    QCOMPARE(job.run().failedPackage(), givesUpOn);
    for (int i = 0; i < givesUpOn; ++i)
        QCOMPARE(link->packages(i), 1);
}

// After the last package the device answers the capability question, and with it, before the
// verification question has gone out, says it holds the image: only the answer that comes
// after the question counts, and that one names another CRC.
void TestFlashJob::verificationAnsweredBeforeAsked()
{
    flash::FlashJob::Options options = fastOptions();
    options.verify = true;
    auto owned = std::make_unique<HandLink>();
    HandLink *link = owned.get();
    const QByteArray image(100, 'v');
    flash::FlashJob job(options, image, std::move(owned));
    QSignalSpy finished(&job, &flash::FlashJob::finished);
    job.start();
    QTRY_VERIFY(!link->sent.isEmpty());
    link->readOnly(acceptedFrame());
    link->readOnly(ackFrame(0, 1));
    QCOMPARE(link->sent.last(), withCrc(hex("F1 03 00 00")));

    const auto answer = [](quint32 crc) {
        return withCrc(hex("F1 84 00 00 00 64") + char(crc >> 24) + char(crc >> 16) +
                       char(crc >> 8) + char(crc));
    };
    const quint32 imageCrc =
        quint32(crc32(0L, reinterpret_cast<const Bytef *>(image.constData()), uInt(image.size())));
    link->arrive(answer(imageCrc));
    link->readOnly(withCrc(hex("F1 83 00 01")));
    QCOMPARE(link->sent.last(), withCrc(hex("F1 04 00 00")));
    link->read();
    QVERIFY(job.verification() && !job.verification()->finished());
    link->arrive(answer(imageCrc ^ 1));
    link->read();
    QVERIFY(finished.wait());
    QCOMPARE(job.failure(), flash::FlashJob::Failure::VerifyMismatch);
}

// Every package was acknowledged: a signal during verification leaves an image written but not
// checked, not an incomplete upgrade.
void TestFlashJob::interruptedWhileVerifying()
{
    flash::FlashJob::Options options = fastOptions();
    options.verify = true;
    auto owned = std::make_unique<HandLink>();
    HandLink *link = owned.get();
    flash::FlashJob job(options, QByteArray(100, 'v'), std::move(owned));
    QSignalSpy finished(&job, &flash::FlashJob::finished);
    job.start();
    QTRY_VERIFY(!link->sent.isEmpty());
    link->readOnly(acceptedFrame());
    link->readOnly(ackFrame(0, 1));
    job.interrupt();
    QVERIFY(finished.wait());
    QCOMPARE(int(job.exitCode()), 130);
    QCOMPARE(flash::failureText(job, iap::Language::English),
             QStringLiteral("hand: interrupted during verification: the image was written (100 "
                            "bytes) but not verified."));
}

QTEST_GUILESS_MAIN(TestFlashJob)
#include "tst_flashjob.moc"
