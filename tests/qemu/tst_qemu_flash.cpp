// iap-flash against the reference boot loader on QEMU's emulated Cortex-M3 board: images of
// several sizes, with and without --fast, one after the other into the same running board;
// each is read back from the board (semihosting writes it to a host file) and compared. The
// images are random bytes, not applications: the boot loader checks the last one and stays.
#include "simprocess.h"

#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

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
    QTest::addColumn<bool>("fast");
    for (int size : {1, 1024, 5000, 100000}) {
        QTest::addRow("%d bytes", size) << size << false;
        QTest::addRow("%d bytes, --fast", size) << size << true;
    }
}

void TestQemuFlash::flashes()
{
    QFETCH(int, size);
    QFETCH(bool, fast);
    QVERIFY(m_board);
    QRandomGenerator random(quint32(size) * 31u + (fast ? 1u : 0u));
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

    QStringList args{QStringLiteral("--quiet"), QStringLiteral("--port"), m_board->path(), file};
    if (fast)
        args.prepend(QStringLiteral("--fast"));
    QProcess flash;
    flash.start(QStringLiteral(IAP_FLASH_PATH), args);
    QVERIFY(flash.waitForFinished(60000));
    QVERIFY2(flash.exitStatus() == QProcess::NormalExit && flash.exitCode() == 0,
             qPrintable(QString::fromLocal8Bit(flash.readAllStandardError())));

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
