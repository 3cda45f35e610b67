// iap-flash on a production line: boards (simulators behind symbolic links in a temporary
// folder) plugged in and pulled out while iap-flash --watch runs, the JSONL record of every
// board, and the usage rules of the new options.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "simprocess.h"
#include "testfiles.h"
#include <functional>
#include <memory>
#include <signal.h>
#include <zlib.h>

namespace {

using Sim = SimProcess;

const QRegularExpression
    IsoTime(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$"));

QList<QJsonObject> jsonLines(const QByteArray &text, bool *valid)
{
    QList<QJsonObject> result;
    *valid = true;
    for (const QByteArray &line : text.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) {
            *valid = false;
            continue;
        }
        result << doc.object();
    }
    return result;
}

// sha256sum, an oracle apart from the program under test.
QString sha256sum(const QString &path)
{
    QProcess p;
    p.start(QStringLiteral("sha256sum"), {path});
    p.waitForFinished(10000);
    return QString::fromLatin1(p.readAllStandardOutput()).section(QLatin1Char(' '), 0, 0);
}

// iap-flash running, its JSON events read as they come.
class Flasher
{
public:
    explicit Flasher(const QStringList &args)
    {
        m_proc.start(QStringLiteral(IAP_FLASH_PATH), args);
        m_proc.waitForStarted(5000);
    }
    ~Flasher()
    {
        if (m_proc.state() != QProcess::NotRunning) {
            m_proc.kill();
            m_proc.waitForFinished(5000);
        }
    }
    QProcess &process() { return m_proc; }

    QList<QJsonObject> events()
    {
        m_out += m_proc.readAllStandardOutput();
        bool valid = true;
        const QList<QJsonObject> all = jsonLines(m_out.left(m_out.lastIndexOf('\n') + 1), &valid);
        m_valid = m_valid && valid;
        return all;
    }
    bool valid() const { return m_valid; }

    // Waits until an event passes the test; false after the time is up or when the program
    // ended without one.
    bool waitFor(const std::function<bool(const QJsonObject &)> &test, int timeoutMs = 20000)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            for (const QJsonObject &o : events())
                if (test(o))
                    return true;
            if (m_proc.state() == QProcess::NotRunning)
                return false;
            m_proc.waitForReadyRead(100);
        }
        return false;
    }
    bool waitForEvent(const QString &event, const QString &port, int timeoutMs = 20000)
    {
        return waitFor(
            [&](const QJsonObject &o) {
                return o.value("event").toString() == event && o.value("port").toString() == port;
            },
            timeoutMs);
    }
    int exitCode(int timeoutMs = 30000)
    {
        if (!m_proc.waitForFinished(timeoutMs) || m_proc.exitStatus() != QProcess::NormalExit)
            return -1;
        events();
        return m_proc.exitCode();
    }

private:
    QProcess m_proc;
    QByteArray m_out;
    bool m_valid = true;
};

int countOf(const QList<QJsonObject> &events, const QString &event, const QString &port)
{
    int n = 0;
    for (const QJsonObject &o : events)
        n += o.value("event").toString() == event && o.value("port").toString() == port;
    return n;
}

} // namespace

class TestWatch : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void simulatorLink();
    void boardsComeAndGo();
    void interruptedBoardsInFlight();
    void oneBoardTwoNames();
    void sighupEndsTheRun();
    void logWithPorts();
    void humanOutputOffTerminal();
    void usageErrors_data();
    void usageErrors();
    void terminalProgress_data();
    void terminalProgress();
    void terminalResized();
    void interruptedPortsToldOnce();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_image;
    QByteArray m_bytes;
    QString path(const QString &name) const { return m_dir->filePath(name); }
};

void TestWatch::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_bytes = randomImage(20000, 77);
    m_image = path(QStringLiteral("image.bin"));
    QVERIFY(writeFileAt(m_image, m_bytes));
}

// The simulator stands in for a board on a socket: its link appears with it, and goes when
// it hangs up or exits.
void TestWatch::simulatorLink()
{
    const QString link = path(QStringLiteral("board"));
    {
        Sim sim({"--link", link});
        QVERIFY(!sim.path().isEmpty());
        QCOMPARE(QFileInfo(link).symLinkTarget(), sim.path());
        QVERIFY(sim.process().processId() > 0);
        ::kill(pid_t(sim.process().processId()), SIGTERM);
        QVERIFY(sim.process().waitForFinished(5000));
        QVERIFY(!QFileInfo(link).isSymLink());
    }
    {
        // A stale link of the same name is replaced, as the next board in the same socket.
        QVERIFY(QFile::link(QStringLiteral("/nonexistent"), link));
        Sim sim({"--link", link, "--hangup-after", "0"});
        QCOMPARE(QFileInfo(link).symLinkTarget(), sim.path());
        QFile port(link);
        QVERIFY(port.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        port.write("x", 1);
        QVERIFY(sim.process().waitForFinished(5000));
        QCOMPARE(sim.events(QStringLiteral("hangup")).size(), 1);
        QVERIFY(!QFileInfo(link).isSymLink());
    }
}

// Boards present at the start and plugged later, one pulled out mid-transfer and plugged
// back (fails once, then succeeds), one left plugged after its upgrade (flashed once);
// --count ends the run with 0; every board is in the log; every image arrives whole.
void TestWatch::boardsComeAndGo()
{
    const QString a = path(QStringLiteral("board-a"));
    const QString b = path(QStringLiteral("board-b"));
    const QString c = path(QStringLiteral("board-c"));
    const QString log = path(QStringLiteral("boards.jsonl"));

    Sim simA({"--link", a, "--out", path(QStringLiteral("a.out"))});
    QVERIFY(!simA.path().isEmpty());
    Flasher flasher({"--json", "--fast", "--watch", path(QStringLiteral("board-*")), "--count", "3",
                     "--log", log, m_image});
    QVERIFY(flasher.waitForEvent(QStringLiteral("finished"), a));

    // Two more, staggered; the third drops its line after three packages.
    Sim simB({"--link", b, "--out", path(QStringLiteral("b.out"))});
    QTest::qWait(150);
    auto simC = std::make_unique<Sim>(QStringList{"--link", c, "--hangup-after", "3"});
    QVERIFY(flasher.waitForEvent(QStringLiteral("failed"), c));
    QVERIFY(flasher.waitForEvent(QStringLiteral("unplugged"), c));
    simC.reset();
    // Plugged back in: a new board at the same path.
    Sim simC2({"--link", c, "--out", path(QStringLiteral("c.out"))});
    QCOMPARE(flasher.exitCode(), 0);
    QVERIFY(flasher.valid());

    const QList<QJsonObject> events = flasher.events();
    for (const QJsonObject &o : events) {
        QVERIFY2(IsoTime.match(o.value("time").toString()).hasMatch(),
                 qPrintable(QJsonDocument(o).toJson()));
        QVERIFY(o.contains("port"));
    }
    QCOMPARE(countOf(events, "started", a), 1); // left plugged in: flashed once
    QCOMPARE(countOf(events, "started", b), 1);
    QCOMPARE(countOf(events, "started", c), 2);
    QCOMPARE(countOf(events, "plugged", c), 2);
    QCOMPARE(countOf(events, "finished", a), 1);
    QCOMPARE(countOf(events, "finished", b), 1);
    QCOMPARE(countOf(events, "finished", c), 1);
    QCOMPARE(countOf(events, "failed", c), 1);
    for (const QJsonObject &o : events) {
        if (o.value("event").toString() == QLatin1String("failed"))
            QCOMPARE(o.value("reason").toString(), QStringLiteral("port-lost"));
        if (o.value("event").toString() == QLatin1String("started")) {
            QCOMPARE(o.value("sha256").toString(), sha256sum(m_image));
            const uLong crc = crc32(0L, reinterpret_cast<const Bytef *>(m_bytes.constData()),
                                    uInt(m_bytes.size()));
            QCOMPARE(o.value("crc32").toString(),
                     QStringLiteral("%1").arg(quint32(crc), 8, 16, QLatin1Char('0')));
        }
    }
    const QJsonObject summary = events.last();
    QCOMPARE(summary.value("event").toString(), QStringLiteral("summary"));
    QVERIFY(summary.value("port").isNull());
    QCOMPARE(summary.value("ok").toInt(), 3);
    QCOMPARE(summary.value("failed").toInt(), 1);
    QCOMPARE(summary.value("reasons").toObject().value("port-lost").toInt(), 1);
    QCOMPARE(summary.value("exit").toInt(), 0);

    for (const QString name : {"a.out", "b.out", "c.out"})
        QVERIFY2(readFile(path(name)) == m_bytes, qPrintable(name));

    // The record: one line per attempt, in the order the boards ended.
    bool valid = false;
    const QList<QJsonObject> records = jsonLines(readFile(log), &valid);
    QVERIFY(valid);
    QCOMPARE(records.size(), 4);
    QMap<QString, QStringList> results;
    for (const QJsonObject &r : records) {
        for (const char *field : {"time", "port", "file", "bytes", "sha256", "result", "exit",
                                  "seconds", "resends", "serial", "vid", "pid"})
            QVERIFY2(r.contains(QLatin1String(field)), field);
        QVERIFY(IsoTime.match(r.value("time").toString()).hasMatch());
        QCOMPARE(r.value("file").toString(), m_image);
        QCOMPARE(r.value("bytes").toInt(), 20000);
        QCOMPARE(r.value("sha256").toString(), sha256sum(m_image));
        // Pseudo-terminals have no USB identity.
        QVERIFY(r.value("serial").isNull() && r.value("vid").isNull() && r.value("pid").isNull());
        const QString result = r.value("result").toString();
        results[r.value("port").toString()] << result;
        QCOMPARE(r.value("exit").toInt(), result == QLatin1String("ok") ? 0 : 3);
    }
    QCOMPARE(results.value(a), QStringList{"ok"});
    QCOMPARE(results.value(b), QStringList{"ok"});
    QCOMPARE(results.value(c), (QStringList{"port-lost", "ok"}));
    // The board left plugged in is still there, untouched since.
    QCOMPARE(simA.process().state(), QProcess::Running);
}

// A signal with boards in flight: each is stopped and logged as interrupted, the run ends
// with 130, and an existing log keeps its earlier lines.
void TestWatch::interruptedBoardsInFlight()
{
    const QString log = path(QStringLiteral("boards.jsonl"));
    const QByteArray earlier = "{\"earlier\":true}\n";
    QVERIFY(writeFileAt(log, earlier));
    // Boards that never answer the request stay in flight.
    Sim one({"--link", path(QStringLiteral("tty-1")), "--silent"});
    Sim two({"--link", path(QStringLiteral("tty-2")), "--silent"});
    Flasher flasher({"--json", "--request-timeout", "0", "--watch", path(QStringLiteral("tty-*")),
                     "--log", log, m_image});
    QVERIFY(flasher.waitForEvent(QStringLiteral("requesting"), path(QStringLiteral("tty-1"))));
    QVERIFY(flasher.waitForEvent(QStringLiteral("requesting"), path(QStringLiteral("tty-2"))));
    QVERIFY(flasher.process().processId() > 0);
    ::kill(pid_t(flasher.process().processId()), SIGINT);
    QCOMPARE(flasher.exitCode(), 130);

    const QList<QJsonObject> events = flasher.events();
    QCOMPARE(events.last().value("event").toString(), QStringLiteral("summary"));
    QCOMPARE(events.last().value("exit").toInt(), 130);
    QCOMPARE(events.last().value("reasons").toObject().value("interrupted").toInt(), 2);

    const QByteArray text = readFile(log);
    QVERIFY(text.startsWith(earlier));
    bool valid = false;
    const QList<QJsonObject> records = jsonLines(text.mid(earlier.size()), &valid);
    QVERIFY(valid);
    QCOMPARE(records.size(), 2);
    QStringList ports;
    for (const QJsonObject &r : records) {
        QCOMPARE(r.value("result").toString(), QStringLiteral("interrupted"));
        QCOMPARE(r.value("exit").toInt(), 130);
        ports << r.value("port").toString();
    }
    ports.sort();
    QCOMPARE(ports, (QStringList{path("tty-1"), path("tty-2")}));
}

// One board behind two watched names (a stable link and the device itself, say) gets one
// upgrade, not two at once, and is reported under one name: every board plugged in ends.
void TestWatch::oneBoardTwoNames()
{
    Sim sim({"--link", path(QStringLiteral("by-id-1")), "--out", path(QStringLiteral("one.out"))});
    QVERIFY(QFile::link(sim.path(), path(QStringLiteral("by-id-2"))));
    Flasher flasher({"--json", "--fast", "--watch", path(QStringLiteral("by-id-*")), "--watch",
                     sim.path(), m_image});
    QVERIFY(flasher.waitFor(
        [](const QJsonObject &o) { return o.value("event").toString() == "finished"; }));
    // Long enough for any other name to have been taken up.
    QTest::qWait(800);
    QVERIFY(flasher.process().processId() > 0);
    ::kill(pid_t(flasher.process().processId()), SIGTERM);
    QCOMPARE(flasher.exitCode(), 130);
    int started = 0;
    int plugged = 0;
    int failed = 0;
    int finished = 0;
    for (const QJsonObject &o : flasher.events()) {
        started += o.value("event").toString() == QLatin1String("started");
        plugged += o.value("event").toString() == QLatin1String("plugged");
        failed += o.value("event").toString() == QLatin1String("failed");
        finished += o.value("event").toString() == QLatin1String("finished");
    }
    QCOMPARE(plugged, 1);
    QCOMPARE(finished, 1);
    QCOMPARE(started, 1);
    // Not tried and refused either: the line is in use by the first name.
    QCOMPARE(failed, 0);
    QCOMPARE(readFile(path(QStringLiteral("one.out"))), m_bytes);
}

// SIGHUP (the terminal closed) stops the boards in flight like SIGINT, with its own code.
void TestWatch::sighupEndsTheRun()
{
    const QString log = path(QStringLiteral("hup.jsonl"));
    Sim sim({"--link", path(QStringLiteral("hup-1")), "--silent"});
    Flasher flasher({"--json", "--request-timeout", "0", "--watch", path(QStringLiteral("hup-*")),
                     "--log", log, m_image});
    QVERIFY(flasher.waitForEvent(QStringLiteral("requesting"), path(QStringLiteral("hup-1"))));
    QVERIFY(flasher.process().processId() > 0);
    ::kill(pid_t(flasher.process().processId()), SIGHUP);
    QCOMPARE(flasher.exitCode(), 129);
    QCOMPARE(flasher.events().last().value("exit").toInt(), 129);
    bool valid = false;
    const QList<QJsonObject> records = jsonLines(readFile(log), &valid);
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().value("result").toString(), QStringLiteral("interrupted"));
    QCOMPARE(records.first().value("exit").toInt(), 129);
}

// --log with --port: one line per port, the failures too.
void TestWatch::logWithPorts()
{
    const QString log = path(QStringLiteral("ports.jsonl"));
    Sim good({"--once"});
    Sim silent({"--silent"});
    QProcess p;
    p.start(QStringLiteral(IAP_FLASH_PATH), {"--port", good.path(), "--port", silent.path(),
                                             "--request-timeout", "0.5", "--log", log, m_image});
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), 4);
    bool valid = false;
    const QList<QJsonObject> records = jsonLines(readFile(log), &valid);
    QVERIFY(valid);
    QCOMPARE(records.size(), 2);
    QMap<QString, QString> results;
    for (const QJsonObject &r : records)
        results.insert(r.value("port").toString(), r.value("result").toString());
    QCOMPARE(results.value(good.path()), QStringLiteral("ok"));
    QCOMPARE(results.value(silent.path()), QStringLiteral("no-answer"));
}

// Off a terminal the watch mode writes plain lines: the image's fingerprints first, a line
// per board plugged in, a result line per board, the summary last.
void TestWatch::humanOutputOffTerminal()
{
    const QString link = path(QStringLiteral("usb-1"));
    Sim sim({"--link", link});
    QProcess p;
    p.start(QStringLiteral(IAP_FLASH_PATH),
            {"--fast", "--watch", path(QStringLiteral("usb-*")), "--count", "1", m_image});
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), 0);
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    const QString err = QString::fromUtf8(p.readAllStandardError());
    const uLong crc =
        crc32(0L, reinterpret_cast<const Bytef *>(m_bytes.constData()), uInt(m_bytes.size()));
    QVERIFY2(err.contains(QStringLiteral("Image SHA-256 %1, CRC-32 %2")
                              .arg(sha256sum(m_image))
                              .arg(quint32(crc), 8, 16, QLatin1Char('0'))),
             qPrintable(err));
    QVERIFY2(err.contains(link + QStringLiteral(": plugged in")), qPrintable(err));
    QVERIFY(err.contains(link + QStringLiteral(": 100% 20000/20000 bytes")));
    QVERIFY(!err.contains(QLatin1Char('\r')) && !err.contains(QLatin1Char('\033')));
    const QStringList lines = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines.at(0).startsWith(link + QStringLiteral(": done, 20000 bytes in ")),
             qPrintable(out));
    QVERIFY2(lines.at(1).startsWith(QStringLiteral("Boards: 1 ok, 0 failed; ")), qPrintable(out));
}

void TestWatch::usageErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("errorPart");

    QTest::newRow("watch and port")
        << QStringList{"--watch", "/dev/ttyUSB*", "--port", "/dev/ttyUSB0"} << "exclude";
    QTest::newRow("count without watch")
        << QStringList{"--port", "/dev/ttyUSB0", "--count", "2"} << "--count";
    QTest::newRow("count zero") << QStringList{"--watch", "/dev/ttyUSB*", "--count", "0"}
                                << "--count";
    QTest::newRow("relative pattern") << QStringList{"--watch", "ttyUSB*"} << "absolute";
    QTest::newRow("log in a missing folder")
        << QStringList{"--watch", "/dev/ttyUSB*", "--log", "/nonexistent/dir/log.jsonl"}
        << "cannot open the log";
}

// Found before any port is touched: exit 1, one JSON event about the whole run.
void TestWatch::usageErrors()
{
    QFETCH(QStringList, args);
    QFETCH(QString, errorPart);
    QProcess p;
    p.start(QStringLiteral(IAP_FLASH_PATH), QStringList{"--json"} + args << m_image);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 1);
    bool valid = false;
    const QList<QJsonObject> events = jsonLines(p.readAllStandardOutput(), &valid);
    QVERIFY(valid);
    QCOMPARE(events.size(), 1);
    const QJsonObject o = events.first();
    QCOMPARE(o.value("event").toString(), QStringLiteral("failed"));
    QVERIFY(o.contains("port") && o.value("port").isNull());
    QVERIFY(IsoTime.match(o.value("time").toString()).hasMatch());
    QVERIFY2(o.value("error").toString().contains(errorPart),
             qPrintable(o.value("error").toString()));
}

// Columns a text takes on a terminal: CJK characters and full-width punctuation take two.
int columnsOf(const QString &text)
{
    int n = 0;
    for (const uint c : text.toUcs4())
        n += c >= 0x2E80 ? 2 : 1;
    return n;
}

// The text a terminal was sent, cut where the cursor goes back to the start of a line, with
// the control sequences taken out.
QStringList screenPieces(const QByteArray &bytes)
{
    QString text = QString::fromUtf8(bytes);
    text.remove(QRegularExpression(QStringLiteral("\\x1b\\[[0-9;]*[A-Za-z]")));
    return text.split(QRegularExpression(QStringLiteral("[\\r\\n]")), Qt::SkipEmptyParts);
}

void TestWatch::terminalProgress_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("columns");
    QTest::addColumn<QString>("lang");
    QTest::addColumn<QString>("bytesWord");

    QTest::newRow("one port, 40 columns") << "port" << 40 << "en" << QString();
    QTest::newRow("one port, 120 columns, english") << "port" << 120 << "en"
                                                    << " bytes ";
    QTest::newRow("one port, 120 columns, chinese") << "port" << 120 << "zh"
                                                    << " 字节 ";
    QTest::newRow("watch, 60 columns") << "watch" << 60 << "en" << QString();
}

// On a terminal: the live progress fits the width, speaks the chosen language, and the bar
// of a single port reaches 100 % before the completion lines.
void TestWatch::terminalProgress()
{
    QFETCH(QString, mode);
    QFETCH(int, columns);
    QFETCH(QString, lang);
    QFETCH(QString, bytesWord);
    if (QStandardPaths::findExecutable(QStringLiteral("script")).isEmpty())
        QSKIP("script (util-linux) is needed to give iap-flash a terminal");

    // Paced like a real line, so the live progress is drawn many times.
    const QString link = path(QStringLiteral("term-1"));
    Sim sim({"--link", link, "--baud", "460800", "--once"});
    QStringList flashArgs{QStringLiteral(IAP_FLASH_PATH), "--lang", lang};
    std::unique_ptr<Sim> second;
    if (mode == QLatin1String("watch")) {
        second = std::make_unique<Sim>(
            QStringList{"--link", path(QStringLiteral("term-2")), "--baud", "460800"});
        flashArgs << "--watch" << path(QStringLiteral("term-*")) << "--count"
                  << "2";
    } else {
        flashArgs << "--port" << link;
    }
    flashArgs << m_image;
    QString command = QStringLiteral("stty cols %1 rows 30; exec").arg(columns);
    for (const QString &a : flashArgs)
        command += QStringLiteral(" '%1'").arg(a);
    QProcess p;
    p.start(QStringLiteral("script"), {"-qfec", command, "/dev/null"});
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), 0);
    const QByteArray screen = p.readAllStandardOutput();
    const QStringList pieces = screenPieces(screen);

    int bars = 0;
    int hundred = -1;
    int writeSuccess = -1;
    for (int i = 0; i < pieces.size(); ++i) {
        const QString &piece = pieces.at(i);
        if (piece.contains(QLatin1Char('%'))) {
            ++bars;
            QVERIFY2(columnsOf(piece) <= columns - 1, qPrintable(piece));
            if (!bytesWord.isEmpty())
                QVERIFY2(piece.contains(bytesWord), qPrintable(piece));
            if (piece.contains(QStringLiteral("100%")) && hundred < 0)
                hundred = i;
        }
        if (piece.contains(QStringLiteral("Flash")) && writeSuccess < 0)
            writeSuccess = i;
    }
    QVERIFY2(bars > 2, screen.constData());
    if (mode == QLatin1String("port")) {
        QVERIFY(hundred >= 0 && writeSuccess >= 0);
        QVERIFY2(hundred < writeSuccess, screen.constData());
    }
    if (lang == QLatin1String("zh"))
        QVERIFY(!QString::fromUtf8(screen).contains(QStringLiteral(" left")));
}

// The terminal gets narrower mid-transfer: the bar is drawn again to the new width.
void TestWatch::terminalResized()
{
    if (QStandardPaths::findExecutable(QStringLiteral("script")).isEmpty())
        QSKIP("script (util-linux) is needed to give iap-flash a terminal");
    const QString link = path(QStringLiteral("resize-1"));
    Sim sim({"--link", link, "--baud", "115200", "--once"});
    QProcess p;
    p.start(QStringLiteral("script"),
            {"-qfec",
             QStringLiteral("stty cols 100 rows 30; exec '%1' --port '%2' '%3'")
                 .arg(QStringLiteral(IAP_FLASH_PATH), link, m_image),
             "/dev/null"});
    QVERIFY(p.waitForStarted(5000));
    QByteArray screen;
    while (!screen.contains("5%") && p.state() == QProcess::Running) {
        p.waitForReadyRead(2000);
        screen += p.readAllStandardOutput();
    }
    // iap-flash is the child of script; its stderr is the terminal.
    const QByteArray children =
        readFile(QStringLiteral("/proc/%1/task/%1/children").arg(p.processId()));
    const QString flasher = QString::fromLatin1(children).section(QLatin1Char(' '), 0, 0);
    const QString terminal =
        QFileInfo(QStringLiteral("/proc/%1/fd/2").arg(flasher)).symLinkTarget();
    QVERIFY2(terminal.startsWith(QLatin1String("/dev/pts/")), qPrintable(terminal));
    const int before = screen.size();
    QCOMPARE(QProcess::execute(QStringLiteral("stty"), {"-F", terminal, "cols", "40"}), 0);
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), 0);
    screen += p.readAllStandardOutput();

    int wide = 0;
    for (const QString &piece : screenPieces(screen.left(before)))
        wide += piece.contains(QLatin1Char('%')) && columnsOf(piece) > 40;
    QVERIFY(wide > 0);
    int narrow = 0;
    const QStringList after = screenPieces(screen.mid(before));
    for (const QString &piece : after) {
        if (!piece.contains(QLatin1Char('%')))
            continue;
        // A redraw already under way when the size changed may still be wide; every bar
        // after it fits.
        narrow += columnsOf(piece) <= 39;
    }
    QVERIFY2(narrow > 2, screen.mid(before).constData());
    QVERIFY2(columnsOf(after.filter(QStringLiteral("%")).last()) <= 39,
             screen.mid(before).constData());
}

// An interrupted run on several ports tells each port's result once.
void TestWatch::interruptedPortsToldOnce()
{
    Sim one({"--silent"});
    Sim two({"--silent"});
    QProcess p;
    p.setReadChannel(QProcess::StandardError);
    p.start(QStringLiteral(IAP_FLASH_PATH),
            {"--request-timeout", "0", "--port", one.path(), "--port", two.path(), m_image});
    QVERIFY(p.waitForStarted(5000));
    QByteArray err;
    while (err.count("Request firmware update!") < 2 && p.state() == QProcess::Running) {
        p.waitForReadyRead(5000);
        err += p.readAllStandardError();
    }
    QVERIFY2(p.state() == QProcess::Running && p.processId() > 0, err.constData());
    ::kill(pid_t(p.processId()), SIGINT);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 130);
    err += p.readAllStandardError();
    for (const QString &port : {one.path(), two.path()})
        QCOMPARE(err.count((port + QStringLiteral(": interrupted")).toUtf8()), 1);
}

QTEST_GUILESS_MAIN(TestWatch)
#include "tst_watch.moc"
