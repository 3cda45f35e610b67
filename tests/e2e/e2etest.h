#pragma once

// Shared by the end-to-end suites: the device simulator as a child process on a real
// pseudo-terminal, the window driven through its buttons, and the information window's
// lines as the operator would read them.
#include "iapcontext.h"
#include "mainwindow.h"
#include "mainwindowui.h"
#include "serial.h"
#include "simprocess.h"
#include "testfiles.h"
#include "windowprobe.h"
#include "wireframes.h"

#include <QByteArray>
#include <QComboBox>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QLoggingCategory>
#include <QMap>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <zlib.h>

namespace e2e {

using Sim = SimProcess;

inline QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

// The simulator's answer to the update request, as the information window shows it.
inline QString acceptHex()
{
    return QStringLiteral("F1 81 00 00 FF 69 DF 69");
}

// The hex line of the acknowledgement of package `index` with `status`.
inline QString ackHex(int index, int status)
{
    QByteArray frame;
    frame.append(char(0xF1)).append(char(0x82));
    frame.append(char(index >> 8)).append(char(index & 0xFF)).append(char(status));
    return hex(withCrc(frame));
}

inline bool isHexLine(const QString &line)
{
    static const QRegularExpression re(QStringLiteral("^[0-9A-F]{2}( [0-9A-F]{2})*$"));
    return re.match(line).hasMatch();
}

// A hex line whose last four bytes are the CRC-32 of the bytes before them.
inline bool isValidFrameLine(const QString &line)
{
    const QByteArray bytes = QByteArray::fromHex(line.toLatin1());
    return bytes.size() >= 8 && quint8(bytes.at(0)) == 0xF1 &&
           withCrc(bytes.left(bytes.size() - 4)) == bytes;
}

inline QStringList logLines(MainWindow *w)
{
    const QString text = w->form()->tb_IAPMsg->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

// What happens to one package on its way.
enum class Fate
{
    Clean,     // acknowledged as written at the first try
    DataError, // answered with status 2, then written on the resend
    NoAnswer,  // no usable answer (lost, bad CRC, noise): resent after the wait
};

struct Texts
{
    QString request, accepted, progress, written, completed, dataError, waitTimeout;
};

inline Texts texts(bool chinese)
{
    if (chinese)
        return {QString::fromUtf8("请求更新固件!"),
                QString::fromUtf8("收到响应，进入刷固件流程!"),
                QString::fromUtf8("已发送第%1包,共%2包"),
                QString::fromUtf8("Flash写入成功!"),
                QString::fromUtf8("更新完成!"),
                QString::fromUtf8("数据错误，重新发送!"),
                QString::fromUtf8("等待超时,重发!")};
    return {QStringLiteral("Request firmware update!"),
            QStringLiteral("Receive the response, enter the firmware brush process!"),
            QStringLiteral("Packet %1 has been sent, for a total of %2 packets"),
            QStringLiteral("Flash write success!"),
            QStringLiteral("update completed"),
            QStringLiteral("Data error, resend!"),
            QStringLiteral("Wait timeout, resend!")};
}

// The log of a successful run from the accept line on: every package's progress line, the
// hex of its acknowledgements and the resend lines, then the two completion lines.
inline QStringList expectedTransfer(int total, const QMap<int, Fate> &fates, bool chinese)
{
    const Texts t = texts(chinese);
    QStringList lines{t.accepted};
    for (int k = 0; k < total; ++k) {
        lines << t.progress.arg(k + 1).arg(total);
        switch (fates.value(k, Fate::Clean)) {
        case Fate::Clean:
            break;
        case Fate::DataError:
            lines << ackHex(k, 2) << t.dataError;
            break;
        case Fate::NoAnswer:
            lines << t.waitTimeout;
            break;
        }
        lines << ackHex(k, 1);
    }
    lines << t.written << t.completed;
    return lines;
}

// Splits a finished run's log at the accept line: the request lines and the accept frames
// before it are checked here, and the rest is returned with the accept frames taken out (a
// request sent while the device's answer to the previous one was still in the framer gets
// its own accept, which may land after the accept line).
struct SplitLog
{
    int requests = 0;
    int accepts = 0;
    bool acceptBeforeAcceptLine = false;
    QStringList leading; // lines before the accept line that are neither
    QStringList transfer;
};

inline SplitLog splitLog(const QStringList &lines, bool chinese)
{
    const Texts t = texts(chinese);
    SplitLog s;
    const int at = lines.indexOf(t.accepted);
    for (int i = 0; i < lines.size(); ++i) {
        const QString &l = lines.at(i);
        if (l == acceptHex()) {
            ++s.accepts;
            if (i == at - 1)
                s.acceptBeforeAcceptLine = true;
            continue;
        }
        if (at < 0 || i < at) {
            if (l == t.request)
                ++s.requests;
            else
                s.leading << l;
        } else {
            s.transfer << l;
        }
    }
    return s;
}

// The window sends its request on every tick until it has framed the device's answer, and the
// device answers every copy. A window slow to read (a loaded machine, the sanitizers) may get
// the answer to a copy in one burst with the acknowledgement of package 0; its framer drops
// such a burst whole, and package 0 waits and goes again. True when the log shows just that:
// an answer the device sent (`answered`: the requests it answered) is missing, and package 0
// waited.
inline bool firstAckShared(const SplitLog &log, int answered)
{
    return log.accepts < answered && log.transfer.size() > 2 &&
           log.transfer.at(2) == texts(false).waitTimeout;
}

// Debug output of the framer and the hex conversion would bury the test log.
inline void quietDebugOutput()
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
}

// Runs the event loop until `done` holds or `timeoutMs` have passed; whether it holds. QTRY_*
// and QTest::qWait() sleep 10 ms (more on a loaded machine) between their passes over the
// events, and the window would read the line and see its timers that much late: the rows
// that depend on its 30 ms quiet gap and 50 ms tick wait here, in an event loop that wakes
// for each event as the program's own does.
template <typename Done> bool runUntil(Done done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer check;
    QTimer deadline;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    check.start(10);
    deadline.setSingleShot(true);
    deadline.start(timeoutMs);
    loop.exec();
    return done();
}

} // namespace e2e

namespace e2e {

// A simulator and the window that talks to it, shown offscreen, the simulator's port first
// in the port list. The window goes before the simulator, so the end of a test never looks
// like a device that went away.
class Rig
{
public:
    ~Rig() { stop(); }

    void start(const QStringList &simArgs)
    {
        QVERIFY(dir.isValid());
        outPath = dir.filePath(QStringLiteral("received.bin"));
        sim.reset(new Sim(QStringList{QStringLiteral("--out"), outPath} + simArgs));
        QVERIFY2(sim->path().startsWith(QLatin1String("/dev/")), qPrintable(sim->path()));
        window.reset(new MainWindow(QStringList{sim->path()}));
        ui = window->form();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }
    void stop()
    {
        window.reset();
        sim.reset();
    }

    // Picks the simulator's port and clicks Open.
    void openPort()
    {
        QCOMPARE(ui->comboBox->itemText(0), sim->path());
        ui->comboBox->setCurrentIndex(0);
        QCOMPARE(ui->openPortButton->text(), openLabel());
        QTest::mouseClick(ui->openPortButton, Qt::LeftButton);
        QVERIFY(window->serialLink()->isOpen());
        QCOMPARE(ui->openPortButton->text(), closeLabel());
        QVERIFY(!ui->comboBox->isEnabled());
        QVERIFY(!ui->refreshButton->isEnabled());
    }
    void closePort()
    {
        QCOMPARE(ui->openPortButton->text(), closeLabel());
        QTest::mouseClick(ui->openPortButton, Qt::LeftButton);
        QVERIFY(!window->serialLink()->isOpen());
        QCOMPARE(ui->openPortButton->text(), openLabel());
        QVERIFY(ui->comboBox->isEnabled());
        QVERIFY(ui->refreshButton->isEnabled());
    }

    // Loads the image and clicks Download; the run has started (Cancel label, Requesting).
    void startUpgrade(const QByteArray &image, const QString &name = QStringLiteral("fw.bin"))
    {
        const QString path = writeFile(dir, name, image);
        QVERIFY(!path.isEmpty());
        window->loadFirmware(path);
        QVERIFY(ui->iapDownLoadButton->isEnabled());
        QCOMPARE(ui->iapDownLoadButton->text(), downloadLabel());
        QTest::mouseClick(ui->iapDownLoadButton, Qt::LeftButton);
        QCOMPARE(ui->iapDownLoadButton->text(), cancelLabel());
        QCOMPARE(window->context()->state, 1);
        QVERIFY(logLines(window.get()).isEmpty()); // the summary is cleared at the press
    }

    // Waits for state Finished and the simulator's report of the `completeCount`-th image,
    // then checks the window's end state and the saved image.
    void finishUpgrade(const QByteArray &image, int completeCount = 1, int timeoutMs = 60000)
    {
        QVERIFY2(runUntil([&] { return window->context()->state == 3; }, timeoutMs),
                 qPrintable(logLines(window.get()).join(QLatin1Char('\n'))));
        QCOMPARE(ui->iapDownLoadButton->text(), downloadLabel());
        QVERIFY(!MainWindowProbe::iapTimer(window.get())->isActive());
        QVERIFY(ui->iapLoadFileButton->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(sim->events(QStringLiteral("complete")).size(), completeCount,
                                  5000);
        report = sim->events(QStringLiteral("complete")).at(completeCount - 1);
        QCOMPARE(report.value(QStringLiteral("bytes")).toInt(), image.size());
        QCOMPARE(report.value(QStringLiteral("out")).toString(), outPath);
        QVERIFY2(readFile(outPath) == image, "the device's image differs from the file");
    }

    QString openLabel() const
    {
        return window->chinese() ? QString::fromUtf8("打开") : QStringLiteral("Open");
    }
    QString closeLabel() const
    {
        return window->chinese() ? QString::fromUtf8("关闭") : QStringLiteral("Close");
    }
    QString downloadLabel() const
    {
        return window->chinese() ? QString::fromUtf8("下载固件") : QStringLiteral("Download");
    }
    QString cancelLabel() const
    {
        return window->chinese() ? QString::fromUtf8("取消") : QStringLiteral("Cancel");
    }

    QTemporaryDir dir;
    QString outPath;
    std::unique_ptr<Sim> sim;
    std::unique_ptr<MainWindow> window;
    MainWindowUi *ui = nullptr;
    QJsonObject report; // the simulator's "complete" line of the last finished run
};

inline int packageCount(int bytes)
{
    return (bytes + 1023) / 1024;
}

} // namespace e2e
