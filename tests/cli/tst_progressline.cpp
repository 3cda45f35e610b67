// The live progress lines fitted to a terminal's width, in both languages: what is dropped
// first when the width shrinks, and that nothing ever reaches the last column.
#include <QtTest>

#include "progressline.h"

namespace {
// Columns on a terminal, counted apart from the code under test: CJK and full-width
// characters take two.
int columnsOf(const QString &text)
{
    int n = 0;
    for (const uint c : text.toUcs4())
        n += c >= 0x2E80 ? 2 : 1;
    return n;
}

flash::ProgressFigures figures(bool chinese)
{
    flash::ProgressFigures f;
    f.port = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    f.done = 32768;
    f.total = 65536;
    f.rate = 10240;
    f.language = chinese ? iap::Language::Chinese : iap::Language::English;
    return f;
}
} // namespace

class TestProgressLine : public QObject
{
    Q_OBJECT
private slots:
    void barFits_data();
    void barFits();
    void layoutKeepsItsPlace();
    void boardLineFits_data();
    void boardLineFits();
    void waitingLine_data();
    void waitingLine();
};

void TestProgressLine::barFits_data()
{
    QTest::addColumn<int>("columns");
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("absent");

    const QString bar30 = QStringLiteral("[###############---------------]");
    QTest::newRow("wide, english")
        << 120 << false << QStringList{bar30, " 50% 32768/65536 bytes 10.0 KiB/s  3 s left"}
        << QStringList();
    QTest::newRow("wide, chinese")
        << 120 << true << QStringList{bar30, " 50% 32768/65536 字节 10.0 KiB/s 剩余  3 秒"}
        << QStringList{"bytes", "left"};
    QTest::newRow("80, english") << 80 << false << QStringList{" 50% ", "bytes", "left", "[#"}
                                 << QStringList();
    QTest::newRow("50: the time left goes first")
        << 50 << false << QStringList{" 50% ", "bytes", "[#"} << QStringList{"left"};
    QTest::newRow("40: then the byte counts")
        << 40 << false << QStringList{" 50% ", "KiB/s", "[#"} << QStringList{"left", "bytes"};
    QTest::newRow("20: the bar last")
        << 20 << false << QStringList{" 50% "} << QStringList{"[", "left", "bytes"};
    QTest::newRow("5") << 5 << false << QStringList{"50%"} << QStringList();
    QTest::newRow("1") << 1 << true << QStringList() << QStringList();
}

void TestProgressLine::barFits()
{
    QFETCH(int, columns);
    QFETCH(bool, chinese);
    QFETCH(QStringList, present);
    QFETCH(QStringList, absent);

    const QString line = flash::barLine(figures(chinese), columns);
    QVERIFY2(columnsOf(line) <= qMax(0, columns - 1), qPrintable(line));
    QCOMPARE(flash::displayWidth(line), columnsOf(line));
    for (const QString &part : present)
        QVERIFY2(line.contains(part), qPrintable(part + QStringLiteral(" not in ") + line));
    for (const QString &part : absent)
        QVERIFY2(!line.contains(part), qPrintable(part + QStringLiteral(" in ") + line));
}

// From the first package to the last the line keeps one width, so nothing jumps about and
// nothing is dropped on the way.
void TestProgressLine::layoutKeepsItsPlace()
{
    flash::ProgressFigures f = figures(false);
    QSet<int> widths;
    QSet<int> barEnds;
    for (const qint64 done : {qint64(0), qint64(1024), qint64(10240), qint64(65536)}) {
        f.done = done;
        const QString line = flash::barLine(f, 45);
        widths.insert(columnsOf(line));
        barEnds.insert(line.indexOf(QLatin1Char(']')));
    }
    QCOMPARE(widths.size(), 1);
    QCOMPARE(barEnds.size(), 1);
}

void TestProgressLine::boardLineFits_data()
{
    QTest::addColumn<int>("columns");
    QTest::addColumn<QString>("expected");

    const QString port = figures(false).port;
    QTest::newRow("room for all") << 120
                                  << port + QStringLiteral("  50% 10.0 KiB/s [###############----"
                                                           "-----------]");
    QTest::newRow("the port's start goes")
        << 40 << QStringLiteral("…RT_A50285BI-if00-port0  50% 10.0 KiB/s");
    QTest::newRow("too narrow for the port") << 16 << QStringLiteral(" 50% 10.0 KiB/s");
}

void TestProgressLine::boardLineFits()
{
    QFETCH(int, columns);
    QFETCH(QString, expected);
    const QString line = flash::boardLine(figures(false), columns);
    QCOMPARE(line, expected);
    QVERIFY(columnsOf(line) <= columns - 1);
}

// While the request is unanswered: what is happening, and with one port what to try.
void TestProgressLine::waitingLine_data()
{
    QTest::addColumn<int>("columns");
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<bool>("full");
    QTest::addColumn<QString>("expected");
    QTest::newRow("one port") << 200 << false << true
                              << "/dev/ttyUSB0: waiting for the device: 37 requests, 2 s - reset "
                                 "the board into its boot loader, check the cable and the baud "
                                 "rate (115200)";
    QTest::newRow("one port, zh")
        << 200 << true << true
        << QString::fromUtf8("/dev/ttyUSB0：等待设备应答：已发送 37 次请求，2 秒；请复位"
                             "板子使其进入引导程序，检查线缆和波特率（115200）");
    QTest::newRow("several ports, narrow")
        << 40 << false << false << "/dev/ttyUSB0: waiting for the device: 3";
}

void TestProgressLine::waitingLine()
{
    QFETCH(int, columns);
    QFETCH(bool, chinese);
    QFETCH(bool, full);
    QFETCH(QString, expected);
    QCOMPARE(flash::waitingLine(QStringLiteral("/dev/ttyUSB0"), 37, 2, 115200,
                                (chinese ? iap::Language::Chinese : iap::Language::English),
                                columns, full),
             expected);
}

QTEST_GUILESS_MAIN(TestProgressLine)
#include "tst_progressline.moc"
