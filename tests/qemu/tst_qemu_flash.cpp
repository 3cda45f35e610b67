// iap-flash against the reference boot loader on QEMU's emulated Cortex-M3 board: images of
// several sizes, with and without --fast and --boost, one after the other into the same
// running board; each is read back from the board (semihosting writes it to a host file) and
// compared. The images are random bytes, not applications: the boot loader checks the last one
// and stays. (QEMU's UART ignores its divider: --boost shows the exchange and the divider set.)
#include "flashrun.h"
#include "simprocess.h"

#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace flashrun;

namespace {

// The board's UART from its `from`th "baud" event on: "rate/divider" (25 MHz / divider).
QStringList rates(SimProcess &board, int from)
{
    QStringList list;
    for (const QJsonObject &o : board.events(QStringLiteral("baud")).mid(from))
        list
            << QStringLiteral("%1/%2").arg(o.value("baud").toInt()).arg(o.value("divisor").toInt());
    return list;
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
    void randomImageIsNotStarted();

private:
    QTemporaryDir m_dir;
    QString m_out;
    std::unique_ptr<SimProcess> m_board;
    int m_completed = 0;
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
}

void TestQemuFlash::cleanupTestCase()
{
    m_board.reset();
}

void TestQemuFlash::flashes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("inUse");    // iap-flash's rate/packages in flight
    QTest::addColumn<QStringList>("uart"); // the board's (see rates())
    const QString plain = QStringLiteral("115200/1");
    for (int size : {1, 1024, 5000, 100000}) {
        QTest::addRow("%d bytes", size) << size << QStringList() << plain << QStringList();
        QTest::addRow("%d bytes, --fast", size)
            << size << QStringList{"--fast"} << plain << QStringList();
    }
    // After the plain rows: QEMU reads the port only once it has seen a program there, and a
    // host that asks before that gets no capability answer, so no boost.
    QTest::addRow("100000 bytes, --boost --verify")
        << 100000 << QStringList{"--boost", "--verify"} << QStringLiteral("921600/2")
        << QStringList{"921600/27", "115200/217"};
    QTest::addRow("20000 bytes, --boost --boost-baud 230400")
        << 20000 << QStringList{"--boost", "--boost-baud", "230400"} << QStringLiteral("230400/2")
        << QStringList{"230400/109", "115200/217"};
}

void TestQemuFlash::flashes()
{
    QFETCH(int, size);
    QFETCH(QStringList, options);
    QFETCH(QString, inUse);
    QFETCH(QStringList, uart);
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
    QCOMPARE(QStringLiteral("%1/%2")
                 .arg(finished.value("baud").toInt())
                 .arg(finished.value("window").toInt()),
             inUse);
    QCOMPARE(events(run, QStringLiteral("verified")).value(0).value("ok").toBool(),
             options.contains(QStringLiteral("--verify")));

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
    // Switched before the first package, back to 115200 once the line was quiet.
    QTRY_COMPARE_WITH_TIMEOUT(rates(*m_board, ratesBefore), uart, 10000);
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
