// The reference boot loader as a product runs it, on QEMU's emulated Cortex-M3 board with a
// flash file kept across power cycles: iap-flash flashes the example application (ELF), the
// application starts and prints its banner on the same port, starts again after a power
// cycle, is replaced by a second version through a request inside the boot wait, and a power
// cut in the middle of an upgrade leaves a board that stays in the boot loader and takes the
// next upgrade; iap-flash --verify gets the image's length and CRC read back from the board's
// flash; a running application hands over to the boot loader when iap-flash asks, and images
// that do not fit are refused before anything is erased. The board's console (JSON lines)
// says what the boot loader decided.
#include "flashrun.h"
#include "simprocess.h"
#include "testfiles.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

using namespace flashrun;

namespace {

// The board's application flash: 1 MiB, erased to 0xFF; the application is linked at its
// start (APP_BASE 0x00010000); the last 2 KiB page is the boot loader's.
constexpr int FlashSize = 1048576;
constexpr int AppMax = FlashSize - 2048;

QByteArray banner(const char *version)
{
    return QByteArray("example application ") + version + ", vector table at 0x00010000\r\n";
}

// What the board's port shows, opened as a terminal program would, until `text` has come or
// 15 s have passed; with `strayMs`, one stray byte (0x00) goes out that often meanwhile.
QByteArray readPort(const QString &path, const QByteArray &text, int strayMs = 0)
{
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    if (fd >= 0 && ::tcgetattr(fd, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
    }
    QByteArray got;
    char buf[256];
    for (QDeadlineTimer deadline(15000);
         fd >= 0 && !got.contains(text) && !deadline.hasExpired();) {
        if (strayMs > 0 && ::write(fd, "", 1) != 1)
            break;
        pollfd p{fd, POLLIN, 0};
        const int wait = strayMs > 0 ? strayMs : int(deadline.remainingTime());
        const ssize_t n = ::poll(&p, 1, wait) > 0 ? ::read(fd, buf, sizeof buf) : 0;
        got.append(buf, int(qMax<ssize_t>(n, 0)));
    }
    if (fd >= 0)
        ::close(fd);
    return got;
}

QString application(const QJsonObject &powerOn)
{
    return powerOn.value(QStringLiteral("application")).toString();
}

} // namespace

class TestQemuApp : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { m_board.reset(); }
    void badFlashFile_data();
    void badFlashFile();
    void flashedApplicationStartsAndStartsAgain();
    void secondVersionReplacesItAndIsVerified();
    void powerCutMidUpgrade();
    void runningApplicationUpgradedOnRequest();

private:
    bool powerOn(bool hold);
    QJsonObject event(const QString &name, int count = 1);
    // iap-flash --json on the board's port.
    QStringList onBoard(const QStringList &args) const
    {
        return QStringList{QStringLiteral("--json"), QStringLiteral("--port"), m_board->path()} +
               args;
    }
    // The board was held off while the host requested: power on.
    bool switchOn() { return ::kill(pid_t(m_board->process().processId()), SIGUSR1) == 0; }
    QString app(const char *version, const char *suffix) const
    {
        return m_dir.filePath(
            QStringLiteral("v%1/app.%2").arg(QLatin1String(version), QLatin1String(suffix)));
    }

    QTemporaryDir m_dir;
    QString m_flash;
    std::unique_ptr<SimProcess> m_board;
};

void TestQemuApp::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_flash = m_dir.filePath(QStringLiteral("board flash.bin"));
    // A version string that cannot go into the banner is refused before anything is built.
    for (const char *version : {"1.0", "2.0", "3.0-rc1", "1.0\"; x"}) {
        const bool bad = QByteArray(version).contains('"');
        const QString dir =
            m_dir.filePath(bad ? QStringLiteral("bad") : QStringLiteral("v") + version);
        QProcess build;
        build.start(QStringLiteral(IAP_APP_BUILD), {dir, QLatin1String(version)});
        QVERIFY(build.waitForFinished(60000));
        QVERIFY2(build.exitStatus() == QProcess::NormalExit && build.exitCode() == (bad ? 2 : 0),
                 build.readAllStandardError().constData());
        QCOMPARE(QFile::exists(bad ? dir : app(version, "elf")), !bad);
    }
}

bool TestQemuApp::powerOn(bool hold)
{
    m_board.reset(); // the power goes first: QEMU dies with the script
    QStringList args{QStringLiteral("--flash"), m_flash, QStringLiteral("--elf"),
                     QStringLiteral(IAP_BOARD_ELF)};
    if (hold)
        args << QStringLiteral("--hold");
    m_board.reset(new SimProcess(args));
    if (m_board->path().startsWith(QLatin1String("/dev/")))
        return true;
    qWarning("%s", m_board->stderrText().constData());
    return false;
}

// The `count`-th console line of that kind, once it has come (empty if it does not).
QJsonObject TestQemuApp::event(const QString &name, int count)
{
    if (!QTest::qWaitFor([&] { return m_board->events(name).size() >= count; }, 15000))
        return QJsonObject();
    return m_board->events(name).at(count - 1);
}

void TestQemuApp::badFlashFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content"); // empty: a folder, "-": nothing
    QTest::addColumn<QString>("message");
    QTest::addRow("wrong size") << "small.bin" << QByteArray(10, '\xFF')
                                << "holds 10 bytes, the board's flash is 1048576";
    QTest::addRow("a folder") << "folder.bin" << QByteArray() << "is not a regular file";
    QTest::addRow("no such folder") << "missing/flash.bin" << QByteArray("-") << "no folder for";
}

void TestQemuApp::badFlashFile()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QString, message);
    const QString path = m_dir.filePath(name);
    if (content.isEmpty())
        QVERIFY(QDir(m_dir.path()).mkdir(name));
    else if (content != "-")
        QVERIFY(!writeFile(m_dir, name, content).isEmpty());

    SimProcess board(
        {QStringLiteral("--flash"), path, QStringLiteral("--elf"), QStringLiteral(IAP_BOARD_ELF)});
    QVERIFY(board.process().state() == QProcess::NotRunning ||
            board.process().waitForFinished(10000));
    QCOMPARE(board.process().exitCode(), 1);
    QVERIFY(board.path().isEmpty());
    const QString err = QString::fromLocal8Bit(board.stderrText());
    QVERIFY2(err.startsWith(QStringLiteral("qemu-board: ")) && err.contains(message),
             qPrintable(err));
    if (content.size() > 1)
        QCOMPARE(readFile(path), content); // left as it was
}

void TestQemuApp::flashedApplicationStartsAndStartsAgain()
{
    QVERIFY(powerOn(false));
    const QJsonObject on = event(QStringLiteral("power-on"));
    QCOMPARE(application(on), QStringLiteral("none"));
    QCOMPARE(on.value(QStringLiteral("flash")).toString(), m_flash);
    QCOMPARE(readFile(m_flash), QByteArray(FlashSize, '\xFF')); // a new board: erased

    const Run run = flash(onBoard({app("1.0", "elf")}));
    QVERIFY2(run.exitCode == 0, run.out.constData());
    const QByteArray bin = readFile(app("1.0", "bin"));
    const QJsonObject complete = event(QStringLiteral("complete"));
    QCOMPARE(complete.value(QStringLiteral("bytes")).toInt(), int(bin.size()));
    QVERIFY(complete.value(QStringLiteral("out")).isNull());

    QCOMPARE(readPort(m_board->path(), banner("1.0")), banner("1.0"));
    QCOMPARE(event(QStringLiteral("start")).value(QStringLiteral("bytes")).toInt(),
             int(bin.size()));
    // The flash file holds the application from its first byte, erased after it.
    const QByteArray stored = readFile(m_flash);
    QCOMPARE(int(stored.size()), FlashSize);
    QCOMPARE(stored.left(bin.size()), bin);
    const int rest = AppMax - int(bin.size());
    QCOMPARE(stored.mid(bin.size(), rest), QByteArray(rest, '\xFF'));

    // It starts again after a power cycle.
    QVERIFY(powerOn(false));
    QCOMPARE(readPort(m_board->path(), banner("1.0")), banner("1.0"));
    const QJsonObject again = event(QStringLiteral("power-on"));
    QCOMPARE(application(again), QStringLiteral("valid"));
    QCOMPARE(again.value(QStringLiteral("bytes")).toInt(), int(bin.size()));
    QVERIFY(!event(QStringLiteral("start")).isEmpty());
}

void TestQemuApp::secondVersionReplacesItAndIsVerified()
{
    QVERIFY(powerOn(true));
    Flasher flasher(onBoard({QStringLiteral("--verify"), app("2.0", "elf")}));
    QVERIFY(flasher.waitFor(QStringLiteral("requesting")));
    QVERIFY(switchOn());
    // 1.0 was there, and the request inside the boot wait kept it from starting.
    QCOMPARE(application(event(QStringLiteral("power-on"))), QStringLiteral("valid"));
    const Run run = flasher.finish();
    QVERIFY2(run.exitCode == 0, run.out.constData());
    // The board answered from its flash, before it started the application.
    const QByteArray bin = readFile(app("2.0", "bin"));
    const QList<QJsonObject> verified = events(run, QStringLiteral("verified"));
    QCOMPARE(verified.size(), 1);
    QVERIFY(verified.first().value(QStringLiteral("ok")).toBool());
    QCOMPARE(verified.first().value(QStringLiteral("device_bytes")).toInt(), int(bin.size()));
    QCOMPARE(verified.first().value(QStringLiteral("device_crc32")),
             verified.first().value(QStringLiteral("crc32")));
    QCOMPARE(readPort(m_board->path(), banner("2.0")), banner("2.0"));
    QVERIFY(!event(QStringLiteral("start")).isEmpty());
    QCOMPARE(int(m_board->events(QStringLiteral("start")).size()), 1);
    QCOMPARE(readFile(m_flash).left(bin.size()), bin);
}

void TestQemuApp::powerCutMidUpgrade()
{
    // An image whose first package is a complete, startable application: only the boot
    // loader's record can tell that the rest never arrived.
    const QByteArray image = readFile(app("3.0-rc1", "bin")) + randomImage(40000, 7);
    const QString file = writeFile(m_dir, QStringLiteral("big.bin"), image);
    QVERIFY(!file.isEmpty());
    QVERIFY(powerOn(true));
    {
        Flasher flasher(onBoard({file}));
        QVERIFY(flasher.waitFor(QStringLiteral("requesting")));
        QVERIFY(switchOn());
        QVERIFY(flasher.waitFor(QStringLiteral("progress"), [](const QJsonObject &o) {
            return o.value(QStringLiteral("done")).toInt() >= 6;
        }));
        m_board.reset(); // the power is cut
        const Run run = flasher.finish();
        QCOMPARE(run.exitCode, 3);
        QCOMPARE(run.json.last().value(QStringLiteral("reason")).toString(),
                 QStringLiteral("port-lost"));
    }
    QVERIFY(powerOn(false));
    QCOMPARE(application(event(QStringLiteral("power-on"))), QStringLiteral("none"));
    // It stays in the boot loader and answers: the next upgrade runs, and only its banner
    // ever shows.
    const Run run = flash(onBoard({app("3.0-rc1", "elf")}));
    QVERIFY2(run.exitCode == 0, run.out.constData());
    QCOMPARE(readPort(m_board->path(), banner("3.0-rc1")), banner("3.0-rc1"));
    QVERIFY(!event(QStringLiteral("start")).isEmpty());
    QCOMPARE(int(m_board->events(QStringLiteral("start")).size()), 1);
}

void TestQemuApp::runningApplicationUpgradedOnRequest()
{
    // 3.0-rc1 runs (the last test flashed it). iap-flash with no reset and no --hold: the
    // application hears the capability question and hands over to the boot loader.
    QVERIFY(powerOn(false));
    QCOMPARE(readPort(m_board->path(), banner("3.0-rc1")), banner("3.0-rc1"));
    Run run = flash(onBoard({app("2.0", "elf")}));
    QVERIFY2(run.exitCode == 0, run.out.constData());
    QCOMPARE(int(m_board->events(QStringLiteral("power-on")).size()), 2);
    QVERIFY(event(QStringLiteral("power-on"), 2).value(QStringLiteral("handover")).toBool());

    // Right after it, before the new application starts: a request the boot loader refuses
    // (too large; not asked first), answered at once, and the new application still starts.
    const QString big =
        writeFile(m_dir, QStringLiteral("oversized.bin"), QByteArray(AppMax + 1, '\x55'));
    QVERIFY(!big.isEmpty());
    run = flash(onBoard({QStringLiteral("--no-capability-check"), big}));
    QCOMPARE(run.exitCode, 9);
    QCOMPARE(run.json.last().value(QStringLiteral("reason")).toString(), QStringLiteral("refused"));
    // Stray bytes on the line (one every 300 ms) do not hold it back: only valid frames do.
    QVERIFY(readPort(m_board->path(), banner("2.0"), 300).contains(banner("2.0")));
    QCOMPARE(int(m_board->events(QStringLiteral("power-on")).size()), 2); // no hand-over

    // An ELF linked at 0x08000000 and an image larger than the area: refused before any
    // request, both ranges named; the running application hands over and, left alone, starts
    // again by itself.
    const QString wrong = m_dir.filePath(QStringLiteral("wrong.elf"));
    QProcess ld;
    ld.start(QStandardPaths::findExecutable(QStringLiteral("ld")),
             {"-N", "-e", "0", "--section-start=.data=0x08000000", "--oformat", "elf32-little",
              "-o", wrong, "-b", "binary", app("1.0", "bin")});
    QVERIFY(ld.waitForFinished(30000));
    QCOMPARE(ld.exitCode(), 0);
    const QString area = QStringLiteral("the area 0x00010000-0x0010F7FF (1046528 bytes)");
    for (const QString &file : {wrong, big}) {
        run = flash(onBoard({file}));
        QCOMPARE(run.exitCode, 2);
        const QJsonObject failed = run.json.last();
        QCOMPARE(failed.value(QStringLiteral("reason")).toString(), QStringLiteral("does-not-fit"));
        QCOMPARE(failed.value(QStringLiteral("requests")).toInt(), 0);
        const QString error = failed.value(QStringLiteral("error")).toString();
        QVERIFY2(error.contains(area) &&
                     error.contains(file == wrong ? QStringLiteral("is 0x08000000-0x")
                                                  : QStringLiteral("is 1046529 bytes")),
                 qPrintable(error));
        QCOMPARE(readPort(m_board->path(), banner("2.0")), banner("2.0"));
    }
    // Nothing was erased: after a power cycle the application starts.
    QVERIFY(powerOn(false));
    QCOMPARE(application(event(QStringLiteral("power-on"))), QStringLiteral("valid"));
    QCOMPARE(readPort(m_board->path(), banner("2.0")), banner("2.0"));
}

QTEST_GUILESS_MAIN(TestQemuApp)
#include "tst_qemu_app.moc"
