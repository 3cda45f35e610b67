// iap-flash against the reference boot loader on QEMU's emulated Cortex-M3 board: images of
// several sizes, with and without --fast and --boost, one after the other into the same
// running board; each is read back from the board (semihosting writes it to a host file) and
// compared. The images are random bytes, not applications: the boot loader checks the last one
// and stays. With --boost the board switches its UART to the rate agreed (QEMU's UART carries
// any rate, so what is shown is the exchange, the divider the board programs and the packages
// in flight) and back to 115200 once the line is quiet.
#include "flashrun.h"
#include "simprocess.h"

#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace flashrun;

namespace {

// The board's capability answer: can verify, names its area, offers the boost (flags 0x0007);
// the area at 0x00010000 of 1 046 528 bytes; boot loader 1.2.0; up to 921 600 baud, 2 packages
// in flight.
const QString BoardCapabilities = QStringLiteral("F1 83 00 07 00 01 00 00 00 0F F8 00 00 01 02 00 "
                                                 "00 0E 10 00 00 02 AE 77 E6 D1");

// The board's "baud" events, the `from`th on: each rate and the divider
// read back from the UART (25 MHz / divider).
QList<QPair<int, int>> rates(SimProcess &board, int from)
{
    QList<QPair<int, int>> list;
    for (const QJsonObject &o : board.events(QStringLiteral("baud")).mid(from))
        list << qMakePair(o.value(QStringLiteral("baud")).toInt(),
                          o.value(QStringLiteral("divisor")).toInt());
    return list;
}

// The board's answers to the capability question, asked on its port as a terminal program
// would, every 500 ms until the first comes (`asked` times): QEMU reads nothing from the port
// before it has seen a program there, so this is also the wait until the board listens (a
// host that asks too early gets no answer, and no boost).
QByteArray askCapabilities(const QString &path, int *asked)
{
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    if (fd < 0 || ::tcgetattr(fd, &t) != 0) {
        if (fd >= 0)
            ::close(fd);
        return QByteArray();
    }
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    const QByteArray question = QByteArray::fromHex("F10300001DD81087");
    QByteArray answer;
    char buf[64];
    *asked = 0;
    for (QDeadlineTimer deadline(10000);
         (answer.isEmpty() || answer.size() < 26 * *asked) && !deadline.hasExpired();) {
        if (answer.isEmpty()) {
            if (::write(fd, question.constData(), 8) != 8)
                break;
            ++*asked;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 500) > 0)
            answer.append(buf, int(qMax<ssize_t>(::read(fd, buf, sizeof buf), 0)));
    }
    ::close(fd);
    return answer;
}

} // namespace

class TestQemuFlash : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void flashes_data();
    void flashes();
    void capabilityAnswer();
    void randomImageIsNotStarted();

private:
    QTemporaryDir m_dir;
    QString m_out;
    std::unique_ptr<SimProcess> m_board;
    int m_completed = 0;
    QByteArray m_capabilities;
    int m_asked = 0;
};

void TestQemuFlash::initTestCase()
{
    QVERIFY(m_dir.isValid());
    qRegisterMetaType<QProcess::ExitStatus>();
    m_out = m_dir.filePath(QStringLiteral("board image.bin"));
    m_board.reset(new SimProcess(
        {QStringLiteral("--out"), m_out, QStringLiteral("--elf"), QStringLiteral(IAP_BOARD_ELF)}));
    QVERIFY2(m_board->path().startsWith(QLatin1String("/dev/")),
             qPrintable(m_board->path() + QString::fromLocal8Bit(m_board->stderrText())));
    m_capabilities = askCapabilities(m_board->path(), &m_asked);
}

void TestQemuFlash::cleanupTestCase()
{
    m_board.reset();
}

void TestQemuFlash::flashes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QStringList>("options");
    // The rate and packages in flight in use, and the divider the board's UART gets (0: the
    // line stays at 115200).
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("window");
    QTest::addColumn<int>("divisor");
    const QString fast = QStringLiteral("--fast");
    const QString boost = QStringLiteral("--boost");
    for (int size : {1, 1024, 5000, 100000}) {
        QTest::addRow("%d bytes", size) << size << QStringList() << 115200 << 1 << 0;
        QTest::addRow("%d bytes, --fast", size) << size << QStringList{fast} << 115200 << 1 << 0;
    }
    QTest::addRow("5000 bytes, --boost") << 5000 << QStringList{boost} << 921600 << 2 << 27;
    QTest::addRow("100000 bytes, --boost --verify")
        << 100000 << QStringList{boost, QStringLiteral("--verify")} << 921600 << 2 << 27;
    QTest::addRow("20000 bytes, --fast --boost --boost-baud 230400")
        << 20000
        << QStringList{fast, boost, QStringLiteral("--boost-baud"), QStringLiteral("230400")}
        << 230400 << 2 << 109;
}

void TestQemuFlash::flashes()
{
    QFETCH(int, size);
    QFETCH(QStringList, options);
    QFETCH(int, baud);
    QFETCH(int, window);
    QFETCH(int, divisor);
    QVERIFY(m_board);
    QRandomGenerator random(quint32(size) * 31u + quint32(options.size()));
    QByteArray image(size, '\0');
    for (char &c : image)
        c = char(random.bounded(256));
    const QString file = m_dir.filePath(QStringLiteral("fw.bin"));
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(image), qint64(size));
    }
    QFile::remove(m_out);
    const int ratesBefore = m_board->events(QStringLiteral("baud")).size();

    const Run run =
        flash(QStringList{QStringLiteral("--json"), QStringLiteral("--port"), m_board->path()} +
              options + QStringList{file});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    const QJsonObject finished = run.json.constLast();
    QCOMPARE(finished.value(QStringLiteral("event")).toString(), QStringLiteral("finished"));
    QCOMPARE(finished.value(QStringLiteral("baud")).toInt(), baud);
    QCOMPARE(finished.value(QStringLiteral("window")).toInt(), window);
    if (options.contains(QStringLiteral("--verify"))) {
        QCOMPARE(events(run, QStringLiteral("verified")).size(), 1);
        QVERIFY(events(run, QStringLiteral("verified")).constFirst().value("ok").toBool());
    }

    // The board reports each image once it has written it to the host file.
    ++m_completed;
    QTRY_COMPARE_WITH_TIMEOUT(m_board->events(QStringLiteral("complete")).size(), m_completed,
                              10000);
    const QJsonObject report = m_board->events(QStringLiteral("complete")).constLast();
    QCOMPARE(report.value(QStringLiteral("bytes")).toInt(), size);
    QCOMPARE(report.value(QStringLiteral("out")).toString(), m_out);
    QFile back(m_out);
    QVERIFY(back.open(QIODevice::ReadOnly));
    QVERIFY2(back.readAll() == image, "the image read back from the board differs");
    // The packages in flight waited in the board's receive ring while it wrote: none was cut.
    QCOMPARE(report.value(QStringLiteral("dropped")).toInt(), 0);

    // Switched for the upgrade, then back at 115200 (divider 217) once the line was quiet; a
    // run without --boost leaves the rate alone.
    using Rates = QList<QPair<int, int>>;
    if (divisor == 0) {
        QCOMPARE(rates(*m_board, ratesBefore), Rates());
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(rates(*m_board, ratesBefore).size(), 2, 10000);
    QCOMPARE(rates(*m_board, ratesBefore), (Rates{{baud, divisor}, {115200, 217}}));
}

void TestQemuFlash::capabilityAnswer()
{
    // One answer for each question asked.
    QVERIFY(m_asked > 0);
    QStringList answers;
    for (int i = 0; i < m_asked; ++i)
        answers << BoardCapabilities;
    QCOMPARE(QString::fromLatin1(m_capabilities.toHex(' ').toUpper()),
             answers.join(QLatin1Char(' ')));
}

void TestQemuFlash::randomImageIsNotStarted()
{
    QVERIFY(m_board);
    // Once the line has been quiet after an image, the boot loader looks at it: intact (its
    // record and CRC hold) but without a vector table, so it stays, ready for the next. (An
    // image followed soon enough by the next request is never looked at.)
    QTRY_VERIFY_WITH_TIMEOUT(!m_board->events(QStringLiteral("stay")).isEmpty(), 15000);
    for (const QJsonObject &stay : m_board->events(QStringLiteral("stay")))
        QCOMPARE(stay.value(QStringLiteral("application")).toString(),
                 QStringLiteral("not-an-application"));
    QVERIFY(m_board->events(QStringLiteral("start")).isEmpty());
    QCOMPARE(m_board->events(QStringLiteral("complete")).size(), m_completed);
}

QTEST_GUILESS_MAIN(TestQemuFlash)
#include "tst_qemu_flash.moc"
