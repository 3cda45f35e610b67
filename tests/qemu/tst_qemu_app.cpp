// The reference boot loader as a product runs it, on QEMU's emulated Cortex-M3 board with a
// flash file kept across power cycles: iap-flash flashes the example application (ELF), the
// application starts and prints its banner on the same port, starts again after a power
// cycle, is replaced by a second version through a request inside the boot wait, and a power
// cut in the middle of an upgrade leaves a board that stays in the boot loader and takes the
// next upgrade, and iap-flash --verify gets the image's length and CRC read back from the
// board's flash. The board's console (JSON lines) says what the boot loader decided.
#include "simprocess.h"
#include "testfiles.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <functional>
#include <memory>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The board's application flash: 1 MiB, erased to 0xFF; the application is linked at its
// start (APP_BASE 0x00010000); the last 2 KiB page is the boot loader's.
constexpr int FlashSize = 1048576;
constexpr int AppMax = FlashSize - 2048;

QByteArray banner(const char *version)
{
    return QByteArray("example application ") + version + ", vector table at 0x00010000\r\n";
}

// The board's port opened as a terminal program would, read until a text appears.
class Port
{
public:
    explicit Port(const QString &path)
    {
        m_fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        if (m_fd >= 0 && ::tcgetattr(m_fd, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(m_fd, TCSANOW, &t);
        }
    }
    ~Port()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Port(const Port &) = delete;
    Port &operator=(const Port &) = delete;

    // Everything read until `text` has arrived, or until `ms` have passed without it.
    QByteArray readUntil(const QByteArray &text, int ms)
    {
        QDeadlineTimer deadline(ms);
        while (m_fd >= 0 && !m_got.contains(text) && !deadline.hasExpired()) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, int(deadline.remainingTime())) <= 0)
                continue;
            char buf[256];
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n > 0)
                m_got.append(buf, int(n));
        }
        return m_got;
    }

private:
    int m_fd = -1;
    QByteArray m_got;
};

} // namespace

class TestQemuApp : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { m_board.reset(); }
    void badFlashFile_data();
    void badFlashFile();
    void flashedApplicationStarts();
    void startsAgainAfterPowerCycle();
    void secondVersionReplacesIt();
    void powerCutMidUpgrade();
    void verifyPasses();

private:
    bool powerOn(bool hold);
    QJsonObject event(const QString &name, int count = 1);
    bool startFlash(QProcess &flash, const QStringList &args);
    bool flashOutputShows(QProcess &flash, const std::function<bool(const QJsonObject &)> &test);
    bool switchOn();
    int finish(QProcess &flash);
    QString app(const char *version, const char *suffix) const
    {
        return m_dir.filePath(
            QStringLiteral("v%1/app.%2").arg(QLatin1String(version), QLatin1String(suffix)));
    }

    QTemporaryDir m_dir;
    QString m_flash;
    std::unique_ptr<SimProcess> m_board;
    QByteArray m_flashOutput;
};

void TestQemuApp::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_flash = m_dir.filePath(QStringLiteral("board flash.bin"));
    for (const char *version : {"1.0", "2.0", "3.0-rc1"}) {
        QProcess build;
        build.start(
            QStringLiteral(IAP_APP_BUILD),
            {m_dir.filePath(QStringLiteral("v") + QLatin1String(version)), QLatin1String(version)});
        QVERIFY(build.waitForFinished(60000));
        QVERIFY2(build.exitStatus() == QProcess::NormalExit && build.exitCode() == 0,
                 build.readAllStandardError().constData());
        QVERIFY(QFile::exists(app(version, "elf")));
    }
    // A version string that cannot go into the banner is refused before anything is built.
    QProcess build;
    build.start(QStringLiteral(IAP_APP_BUILD),
                {m_dir.filePath(QStringLiteral("bad")), QStringLiteral("1.0\"; x")});
    QVERIFY(build.waitForFinished(60000));
    QCOMPARE(build.exitCode(), 2);
    QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("bad"))));
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

bool TestQemuApp::startFlash(QProcess &flash, const QStringList &args)
{
    m_flashOutput.clear();
    flash.start(QStringLiteral(IAP_FLASH_PATH),
                QStringList{QStringLiteral("--json"), QStringLiteral("--port"), m_board->path()} +
                    args);
    return flash.waitForStarted(10000);
}

// Waits for a --json line of iap-flash that passes `test`.
bool TestQemuApp::flashOutputShows(QProcess &flash,
                                   const std::function<bool(const QJsonObject &)> &test)
{
    return QTest::qWaitFor(
        [&] {
            m_flashOutput += flash.readAllStandardOutput();
            for (const QByteArray &line : m_flashOutput.split('\n')) {
                if (test(QJsonDocument::fromJson(line).object()))
                    return true;
            }
            return false;
        },
        30000);
}

// The board was held off while the host requested: power on.
bool TestQemuApp::switchOn()
{
    return ::kill(pid_t(m_board->process().processId()), SIGUSR1) == 0;
}

// iap-flash's exit code once it has ended (-1: it crashed or did not end); its output is
// kept in m_flashOutput.
int TestQemuApp::finish(QProcess &flash)
{
    const bool ended = flash.waitForFinished(60000);
    m_flashOutput += flash.readAllStandardOutput() + flash.readAllStandardError();
    return ended && flash.exitStatus() == QProcess::NormalExit ? flash.exitCode() : -1;
}

bool isEvent(const QJsonObject &o, const char *name)
{
    return o.value(QStringLiteral("event")).toString() == QLatin1String(name);
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

QString application(const QJsonObject &powerOn)
{
    return powerOn.value(QStringLiteral("application")).toString();
}

void TestQemuApp::flashedApplicationStarts()
{
    QVERIFY(powerOn(false));
    const QJsonObject on = event(QStringLiteral("power-on"));
    QCOMPARE(application(on), QStringLiteral("none"));
    QCOMPARE(on.value(QStringLiteral("flash")).toString(), m_flash);
    QCOMPARE(readFile(m_flash), QByteArray(FlashSize, '\xFF')); // a new board: erased

    QProcess flash;
    QVERIFY(startFlash(flash, {app("1.0", "elf")}));
    QVERIFY2(finish(flash) == 0, m_flashOutput.constData());
    const QByteArray bin = readFile(app("1.0", "bin"));
    const QJsonObject complete = event(QStringLiteral("complete"));
    QCOMPARE(complete.value(QStringLiteral("bytes")).toInt(), int(bin.size()));
    QVERIFY(complete.value(QStringLiteral("out")).isNull());

    Port port(m_board->path());
    QCOMPARE(port.readUntil(banner("1.0"), 15000), banner("1.0"));
    QCOMPARE(event(QStringLiteral("start")).value(QStringLiteral("bytes")).toInt(),
             int(bin.size()));
    // The flash file holds the application from its first byte, erased after it.
    const QByteArray stored = readFile(m_flash);
    QCOMPARE(int(stored.size()), FlashSize);
    QCOMPARE(stored.left(bin.size()), bin);
    const int rest = AppMax - int(bin.size());
    QCOMPARE(stored.mid(bin.size(), rest), QByteArray(rest, '\xFF'));
}

void TestQemuApp::startsAgainAfterPowerCycle()
{
    QVERIFY(powerOn(false));
    Port port(m_board->path());
    QCOMPARE(port.readUntil(banner("1.0"), 15000), banner("1.0"));
    const QJsonObject on = event(QStringLiteral("power-on"));
    QCOMPARE(application(on), QStringLiteral("valid"));
    QCOMPARE(on.value(QStringLiteral("bytes")).toInt(), int(readFile(app("1.0", "bin")).size()));
    QVERIFY(!event(QStringLiteral("start")).isEmpty());
}

void TestQemuApp::secondVersionReplacesIt()
{
    QVERIFY(powerOn(true));
    QProcess flash;
    QVERIFY(startFlash(flash, {app("2.0", "elf")}));
    QVERIFY(flashOutputShows(flash, [](const QJsonObject &o) { return isEvent(o, "requesting"); }));
    QVERIFY(switchOn());
    // 1.0 was there, and the request inside the boot wait kept it from starting.
    QCOMPARE(application(event(QStringLiteral("power-on"))), QStringLiteral("valid"));
    QVERIFY2(finish(flash) == 0, m_flashOutput.constData());
    Port port(m_board->path());
    QCOMPARE(port.readUntil(banner("2.0"), 15000), banner("2.0"));
    QVERIFY(!event(QStringLiteral("start")).isEmpty());
    QCOMPARE(int(m_board->events(QStringLiteral("start")).size()), 1);
    const QByteArray bin = readFile(app("2.0", "bin"));
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
    QProcess flash;
    QVERIFY(startFlash(flash, {file}));
    QVERIFY(flashOutputShows(flash, [](const QJsonObject &o) { return isEvent(o, "requesting"); }));
    QVERIFY(switchOn());
    QVERIFY2(flashOutputShows(flash,
                              [](const QJsonObject &o) {
                                  return isEvent(o, "progress") &&
                                         o.value(QStringLiteral("done")).toInt() >= 6;
                              }),
             m_flashOutput.constData());
    m_board.reset(); // the power is cut
    QVERIFY2(finish(flash) == 3, m_flashOutput.constData());
    QVERIFY(m_flashOutput.contains("\"reason\":\"port-lost\""));

    QVERIFY(powerOn(false));
    QCOMPARE(application(event(QStringLiteral("power-on"))), QStringLiteral("none"));
    // It stays in the boot loader and answers: the next upgrade runs, and only its banner
    // ever shows.
    QVERIFY(startFlash(flash, {app("3.0-rc1", "elf")}));
    QVERIFY2(finish(flash) == 0, m_flashOutput.constData());
    Port port(m_board->path());
    QCOMPARE(port.readUntil(banner("3.0-rc1"), 15000), banner("3.0-rc1"));
    QVERIFY(!event(QStringLiteral("start")).isEmpty());
    QCOMPARE(int(m_board->events(QStringLiteral("start")).size()), 1);
}

void TestQemuApp::verifyPasses()
{
    QVERIFY(powerOn(true));
    QProcess flash;
    QVERIFY(startFlash(flash, {QStringLiteral("--verify"), app("1.0", "elf")}));
    QVERIFY(flashOutputShows(flash, [](const QJsonObject &o) { return isEvent(o, "requesting"); }));
    QVERIFY(switchOn());
    QVERIFY2(finish(flash) == 0, m_flashOutput.constData());
    // The board answered from its flash, before it started the application.
    const int size = int(readFile(app("1.0", "bin")).size());
    QVERIFY2(flashOutputShows(flash,
                              [size](const QJsonObject &o) {
                                  return isEvent(o, "verified") &&
                                         o.value(QStringLiteral("ok")).toBool() &&
                                         o.value(QStringLiteral("device_bytes")).toInt() == size &&
                                         o.value(QStringLiteral("device_crc32")) ==
                                             o.value(QStringLiteral("crc32"));
                              }),
             m_flashOutput.constData());
    Port port(m_board->path());
    QCOMPARE(port.readUntil(banner("1.0"), 15000), banner("1.0"));
}

QTEST_GUILESS_MAIN(TestQemuApp)
#include "tst_qemu_app.moc"
