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
        if (holdWrites)
            pending += bytes.size();
    }
    qint64 bytesToWrite() const override { return pending; }
    void setModemLine(links::ModemLine, bool) override {}

    // Bytes that reached the machine, not read yet; read() hands them on.
    void arrive(const QByteArray &bytes) { kernel += bytes; }
    void read() { deliver(std::exchange(kernel, {})); }
    void readOnly(const QByteArray &bytes) { deliver(bytes); }
    // The operating system takes what was held back.
    void drain()
    {
        pending = 0;
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
