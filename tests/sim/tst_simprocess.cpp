#include "iapcontext.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "wireframes.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Reads from fd until `count` bytes came or the time is up.
QByteArray readBytes(int fd, int count, int timeoutMs = 3000)
{
    QByteArray bytes;
    QElapsedTimer clock;
    clock.start();
    while (bytes.size() < count && clock.elapsed() < timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        char chunk[256];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0)
            bytes.append(chunk, int(n));
    }
    return bytes;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    int at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + at, size_t(bytes.size() - at));
        if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
            continue;
        }
        if (n <= 0)
            return false;
        at += int(n);
    }
    return true;
}

} // namespace

class TestSimProcess : public QObject
{
    Q_OBJECT

private slots:
    void transferThroughThePty();
    void overflowIsLost_data();
    void overflowIsLost();
    void rejectsBadOptions_data();
    void rejectsBadOptions();
};

void TestSimProcess::transferThroughThePty()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString outPath = dir.filePath(QStringLiteral("received.bin"));

    QProcess sim;
    sim.start(QStringLiteral(IAP_DEVICE_SIM),
              {QStringLiteral("--out"), outPath, QStringLiteral("--once"),
               QStringLiteral("--noise"), QStringLiteral("1")});
    QVERIFY(sim.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(sim.canReadLine(), 5000);
    const QString path = QString::fromLocal8Bit(sim.readLine()).trimmed();
    QVERIFY2(path.startsWith(QLatin1String("/dev/")), qPrintable(path));

    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    termios tio{};
    QCOMPARE(::tcgetattr(fd, &tio), 0);
    QVERIFY(!(tio.c_lflag & ECHO)); // raw from the start: nothing is echoed back
    QVERIFY(!(tio.c_lflag & ICANON));

    QByteArray image(2500, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i * 31 + 7);
    IapContext context;
    context.setImage(image);

    QVERIFY(writeAll(fd, context.makeRequestPackage()));
    QCOMPARE(readBytes(fd, 8), hex("F1810000FF69DF69"));
    QVERIFY(writeAll(fd, context.makeDataPackage(0)));
    QCOMPARE(readBytes(fd, 9), hex("F1820000018321C0D6"));
    QVERIFY(writeAll(fd, context.makeDataPackage(1)));
    QCOMPARE(readBytes(fd, 10), hex("00F1820001019A3AF197")); // --noise 1
    QVERIFY(writeAll(fd, context.makeLastPackage()));
    QCOMPARE(readBytes(fd, 9), hex("F182000201B117A254"));

    QTRY_VERIFY_WITH_TIMEOUT(sim.canReadLine(), 5000);
    const QByteArray line = sim.readLine().trimmed();
    QJsonParseError error{};
    const QJsonObject event = QJsonDocument::fromJson(line, &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, line.constData());
    QCOMPARE(event.value(QStringLiteral("event")).toString(), QStringLiteral("complete"));
    QCOMPARE(event.value(QStringLiteral("bytes")).toInt(), 2500);
    QCOMPARE(event.value(QStringLiteral("requests")).toInt(), 1);
    QCOMPARE(event.value(QStringLiteral("packages")).toInt(), 3);
    QCOMPARE(event.value(QStringLiteral("resends")).toInt(), 0);
    QVERIFY(event.value(QStringLiteral("seconds")).isDouble());
    QCOMPARE(event.value(QStringLiteral("out")).toString(), outPath);
    QVERIFY(line.contains("\"seconds\":"));

    QFile saved(outPath);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), image);

    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    ::close(fd);
}

void TestSimProcess::overflowIsLost_data()
{
    QTest::addColumn<int>("window");
    QTest::addColumn<int>("sent");     // packages written at once after the acceptance
    QTest::addColumn<int>("answered"); // the first ones acknowledged
    QTest::addColumn<int>("lost");     // bytes the device's receive buffer could not hold
    // While package 0 is written the buffer holds (window - 1) packages of 1032 bytes and 8
    // bytes more; what follows is lost, so the packages beyond the window go unanswered.
    QTest::newRow("one at a time, two sent") << 1 << 2 << 1 << 1032 - 8;
    QTest::newRow("window of 2, four sent") << 2 << 4 << 2 << 2 * 1032 - 8;
    QTest::newRow("window of 3, three sent") << 3 << 3 << 3 << 0;
}

// A raw writer on the pty keeps more packages unacknowledged than the device takes in flight,
// while the device writes slowly: exactly the overflow goes unanswered, and the log counts
// its bytes. The capability question after the last acknowledgement marks the end.
void TestSimProcess::overflowIsLost()
{
    QFETCH(int, window);
    QFETCH(int, sent);
    QFETCH(int, answered);
    QFETCH(int, lost);
    QProcess sim;
    sim.start(QStringLiteral(IAP_DEVICE_SIM),
              {QStringLiteral("--log"), QStringLiteral("--write-ms"), QStringLiteral("300"),
               QStringLiteral("--window"), QString::number(window)});
    QVERIFY(sim.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(sim.canReadLine(), 5000);
    const QString path = QString::fromLocal8Bit(sim.readLine()).trimmed();
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);

    IapContext context;
    context.setImage(QByteArray(5000, 'w')); // five packages: 0 to 3 full, none the last
    QVERIFY(writeAll(fd, context.makeRequestPackage()));
    QCOMPARE(readBytes(fd, 8), hex("F1810000FF69DF69"));
    QByteArray packages;
    for (int i = 0; i < sent; ++i)
        packages += context.makeDataPackage(i);
    QVERIFY(writeAll(fd, packages));
    QByteArray acks;
    for (int i = 0; i < answered; ++i)
        acks += ackFrame(i, 1);
    QCOMPARE(readBytes(fd, acks.size(), 5000), acks);
    // Nothing more but the capability answer.
    QVERIFY(writeAll(fd, withCrc(hex("F1 03 00 00"))));
    QCOMPARE(readBytes(fd, 2).left(2), hex("F183"));
    ::close(fd);

    sim.terminate();
    QVERIFY(sim.waitForFinished(5000));
    const QString log = QString::fromLocal8Bit(sim.readAllStandardError());
    QVERIFY2(lost ? log.contains(QStringLiteral("full (%1 in all)").arg(lost))
                  : !log.contains(QStringLiteral("receive buffer")),
             qPrintable(log));
    for (int i = 0; i < sent; ++i)
        QCOMPARE(log.contains(QStringLiteral("package %1: 1024 payload bytes written").arg(i)),
                 i < answered);
}

void TestSimProcess::rejectsBadOptions_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("named");
    QTest::newRow("bad list") << QStringList{"--lose-ack", "x"} << QByteArray("--lose-ack");
    QTest::newRow("bad short-ack list")
        << QStringList{"--short-ack", "-3"} << QByteArray("--short-ack");
    QTest::newRow("fault rate nan") << QStringList{"--faults", "nan"} << QByteArray("--faults");
    QTest::newRow("fault rate over 1") << QStringList{"--faults", "1.5"} << QByteArray("--faults");
    QTest::newRow("early-acks mode")
        << QStringList{"--early-acks", "later"} << QByteArray("--early-acks");
    QTest::newRow("corrupt-stored list")
        << QStringList{"--corrupt-stored", "1,x"} << QByteArray("--corrupt-stored");
}

void TestSimProcess::rejectsBadOptions()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, named);
    QProcess sim;
    sim.start(QStringLiteral(IAP_DEVICE_SIM), args);
    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitCode(), 2);
    QVERIFY(sim.readAllStandardOutput().isEmpty());
    QVERIFY(sim.readAllStandardError().contains(named));
}

QTEST_GUILESS_MAIN(TestSimProcess)
#include "tst_simprocess.moc"
