// The window without a serial line: languages and labels, the catalogue lookup, the firmware
// file with its summaries and errors, the About box, the link, the command line, plain-text
// messages and starting/cancelling a run.
#include "catalogue.h"
#include "iapcontext.h"
#include "mainwindow.h"
#include "mainwindowui.h"
#include "serial.h"
#include "startoptions.h"
#include "windowtest.h"

#include <QCommandLineParser>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTimer>
#include <QUrl>
#include <QtTest>
#include <memory>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString VelquorTitle = QStringLiteral("Velquor_Upgrade_Assistant");
const QString LinkText = QStringLiteral("<a href = https://www.example.com/upgrade-assistant "
                                        "><img src=:/Res/Img/20240818-210319.png width =150 "
                                        "height=40>");

QString englishSummary(int length, int total)
{
    return QStringLiteral("Firmware Length: %1\r\n Package size: 1024\r\n Package total: %2")
        .arg(length)
        .arg(total);
}

QString chineseSummary(int length, int total)
{
    return QString::fromUtf8("固件长度：%1\r\n包大小：1024\r\n包总数：%2").arg(length).arg(total);
}

// What the information window shows of a text set into it: each line break starts a
// paragraph.
QString shown(QString text)
{
    return text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
}

// Chooses path in the file dialog that the window opens next (or cancels it when empty),
// after checking the dialog's caption, filter and start folder.
struct DialogSeen
{
    QString title;
    QStringList filters;
    QString directory;
    bool seen = false;
};

void answerFileDialog(const QString &path, DialogSeen *seen)
{
    whenModalAppears<QFileDialog>([path, seen](QFileDialog *dialog) {
        seen->seen = true;
        seen->title = dialog->windowTitle();
        seen->filters = dialog->nameFilters();
        seen->directory = dialog->directory().absolutePath();
        if (path.isEmpty()) {
            dialog->reject();
        } else {
            dialog->selectFile(path);
            // The dialog lists its folder in the background, and a selection made before the
            // list is complete can be lost: type the path as the operator would.
            if (dialog->selectedFiles() != QStringList{path}) {
                if (auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                    edit->setText(path);
            }
            static_cast<QDialog *>(dialog)->accept(); // QFileDialog::accept checks the choice
            if (dialog->isVisible()) {
                qWarning() << "the file dialog refused" << dialog->selectedFiles();
                dialog->reject();
            }
        }
    });
}

class UrlSink : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void handle(const QUrl &url) { urls.append(url); }
};

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void startUp();
    void titleSequence();
    void languageOperations();
    void labelsDuringUpgrade();
    void catalogueLookupOrder();
    void installedCatalogueFolders();
    void catalogueSearch_data();
    void catalogueSearch();
    void desktopFileName();
    void summaries_data();
    void summaries();
    void cancelledDialogKeepsImage();
    void cancelledDialogBeforeAnyFile();
    void selectDisabledDuringRun();
    void badFiles_data();
    void badFiles();
    void badFileAfterGoodOne();
    void convertedFiles_data();
    void convertedFiles();
    void markupShowsLiterally();
    void aboutBox_data();
    void aboutBox();
    void webLink();
    void clearButton();
    void receiveTimeoutLine();
    void downloadAndCancel();
    void refusedStart();
    void commandLine_data();
    void commandLine();
    void commandLineProcess_data();
    void commandLineProcess();
    void downloadNeedsOpenPort_data();
    void downloadNeedsOpenPort();
    void diagnosticsOnlyWhenAsked_data();
    void diagnosticsOnlyWhenAsked();

private:
    MainWindow *newWindow(const QStringList &ports = {});
    // Opens a line nobody answers in window (Download needs an open port).
    void openSilentLine(MainWindow *window);
    void chooseFile(const QString &path, DialogSeen *seen = nullptr);

    QTemporaryDir work;
    QString savedCwd;
    std::unique_ptr<PtyLine> line;
    MainWindow *w = nullptr;
    MainWindowUi *ui = nullptr;
};

void TestWindow::initTestCase()
{
    QVERIFY(work.isValid());
    savedCwd = QDir::currentPath();
    // A working folder without a catalogue: the English texts come from the built-in copy.
    QVERIFY(QDir::setCurrent(work.path()));
}

void TestWindow::cleanupTestCase()
{
    QDir::setCurrent(savedCwd);
}

void TestWindow::init()
{
    w = newWindow();
}

void TestWindow::cleanup()
{
    delete w;
    w = nullptr;
    ui = nullptr;
    line.reset();
}

void TestWindow::openSilentLine(MainWindow *window)
{
    line = std::make_unique<PtyLine>();
    QVERIFY(!line->name().isEmpty());
    MainWindowUi *form = window->form();
    form->comboBox->addItem(line->name());
    form->comboBox->setCurrentIndex(form->comboBox->count() - 1);
    form->openPortButton->click();
    QVERIFY(window->serialLink()->isOpen());
}

MainWindow *TestWindow::newWindow(const QStringList &ports)
{
    auto *window = new MainWindow(ports);
    window->setWindowTitle(VelquorTitle); // as the program's entry does
    ui = window->form();
    return window;
}

void TestWindow::chooseFile(const QString &path, DialogSeen *seen)
{
    DialogSeen local;
    DialogSeen *s = seen ? seen : &local;
    answerFileDialog(path, s);
    ui->iapLoadFileButton->click();
    QVERIFY(s->seen);
}

void TestWindow::startUp()
{
    delete w;
    {
        DebugCapture debug;
        w = newWindow();
        QStringList ports;
        for (const QString &line : debug.captured()) {
            if (line.startsWith(QLatin1String("newportnum:")))
                ports.append(line);
        }
        QCOMPARE(ports.size(), 1);
        QCOMPARE(ports.first(), QStringLiteral("newportnum:%1").arg(ui->comboBox->count()));
    }
    QVERIFY(!w->chinese());
    QCOMPARE(w->windowTitle(), VelquorTitle);
    // English form texts from the built-in catalogue.
    QCOMPARE(ui->groupBox_3->title(), QStringLiteral("Load firmware"));
    QCOMPARE(ui->label->text(), QStringLiteral("Firmware path:"));
    QCOMPARE(ui->menu_2->title(), QStringLiteral("Help"));
    QCOMPARE(ui->openPortButton->text(), QStringLiteral("Open"));
    QCOMPARE(ui->iapDownLoadButton->text(), QStringLiteral("Download"));
    QVERIFY(!ui->iapDownLoadButton->isEnabled());
    QVERIFY(ui->iapLoadFileButton->isEnabled());
    QVERIFY(ui->comboBox->isEnabled());
    QVERIFY(ui->refreshButton->isEnabled());
    QVERIFY(ui->tb_IAPMsg->toPlainText().isEmpty());
    QCOMPARE(ui->label_Logo->text(), LinkText);
    QVERIFY(!MainWindowProbe::frameTimer(w)->isActive());
    QVERIFY(!MainWindowProbe::replyTimer(w)->isActive());
    QVERIFY(!MainWindowProbe::iapTimer(w)->isActive());
    QVERIFY(!MainWindowProbe::frameTimer(w)->isSingleShot());
    QVERIFY(!MainWindowProbe::iapTimer(w)->isSingleShot());
    QVERIFY(!MainWindowProbe::frameTimer(w)->parent());
    QCOMPARE(w->context()->state, 0);
    QCOMPARE(w->context()->packetSize, 1024);
    QCOMPARE(w->context()->waitLimit, 100);
    // No translator stays installed: a lookup now gives the source text.
    QCOMPARE(QCoreApplication::translate("MainWindow", "加载固件"), QString::fromUtf8("加载固件"));
}

void TestWindow::titleSequence()
{
    QCOMPARE(w->windowTitle(), VelquorTitle);
    ui->actionchinese->trigger();
    QCOMPARE(w->windowTitle(), QStringLiteral("Upgrade Assistant"));
    w->setWindowTitle(VelquorTitle);
    ui->actionenglish->trigger();
    QCOMPARE(w->windowTitle(), QStringLiteral("Upgrade Assistant"));
}

void TestWindow::languageOperations()
{
    ui->tb_IAPMsg->setPlainText(QStringLiteral("kept"));

    ui->actionchinese->trigger();
    QVERIFY(w->chinese());
    QCOMPARE(ui->tb_IAPMsg->toPlainText(), QStringLiteral("kept")); // Chinese keeps it
    QCOMPARE(ui->groupBox_3->title(), QString::fromUtf8("加载固件"));
    QCOMPARE(ui->label_serial->text(), QString::fromUtf8("端口号："));
    QCOMPARE(ui->actionenglish->text(), QStringLiteral("English"));
    QCOMPARE(ui->actionchinese->text(), QString::fromUtf8("中文"));
    QCOMPARE(ui->openPortButton->text(), QString::fromUtf8("打开"));
    QCOMPARE(ui->iapDownLoadButton->text(), QString::fromUtf8("下载固件"));
    QCOMPARE(ui->label_web->text(), QString());
    QCOMPARE(ui->label_Logo->text(), LinkText);
    QCOMPARE(ui->label_Logo->textFormat(), Qt::RichText);

    ui->actionchinese->trigger(); // again: the same state, window still kept
    QVERIFY(w->chinese());
    QCOMPARE(ui->tb_IAPMsg->toPlainText(), QStringLiteral("kept"));

    ui->actionenglish->trigger();
    QVERIFY(!w->chinese());
    QVERIFY(ui->tb_IAPMsg->toPlainText().isEmpty()); // English clears it
    QCOMPARE(ui->groupBox_3->title(), QStringLiteral("Load firmware"));
    QCOMPARE(ui->label_serial->text(), QStringLiteral("Port:"));
    QCOMPARE(ui->openPortButton->text(), QStringLiteral("Open"));
    QCOMPARE(ui->iapDownLoadButton->text(), QStringLiteral("Download"));
    QCOMPARE(ui->label_web->text(), QString());
    QCOMPARE(ui->label_Logo->text(), LinkText);

    ui->tb_IAPMsg->setPlainText(QStringLiteral("again"));
    ui->actionenglish->trigger();
    QVERIFY(ui->tb_IAPMsg->toPlainText().isEmpty());
    QCOMPARE(QCoreApplication::translate("MainWindow", "打开"), QString::fromUtf8("打开"));
}

void TestWindow::labelsDuringUpgrade()
{
    const QString path =
        writeFile(QDir(work.path()), QStringLiteral("run.bin"), patternImage(5000));
    w->loadFirmware(path);
    openSilentLine(w);
    ui->iapDownLoadButton->click();
    QCOMPARE(ui->iapDownLoadButton->text(), QStringLiteral("Cancel"));
    QVERIFY(MainWindowProbe::iapTimer(w)->isActive());

    ui->actionchinese->trigger();
    QCOMPARE(ui->iapDownLoadButton->text(), QString::fromUtf8("取消"));
    QCOMPARE(ui->openPortButton->text(), QString::fromUtf8("关闭"));
    QVERIFY(MainWindowProbe::iapTimer(w)->isActive());
    QCOMPARE(w->context()->state, 1);

    ui->actionenglish->trigger();
    QCOMPARE(ui->iapDownLoadButton->text(), QStringLiteral("Cancel"));
    QVERIFY(MainWindowProbe::iapTimer(w)->isActive());

    // The press after the switch cancels; it does not start the run afresh.
    ui->iapDownLoadButton->click();
    QCOMPARE(ui->iapDownLoadButton->text(), QStringLiteral("Download"));
    QVERIFY(!MainWindowProbe::iapTimer(w)->isActive());
    QCOMPARE(w->context()->state, 0);

    ui->actionchinese->trigger();
    QCOMPARE(ui->iapDownLoadButton->text(), QString::fromUtf8("下载固件"));
    ui->iapDownLoadButton->click();
    QCOMPARE(ui->iapDownLoadButton->text(), QString::fromUtf8("取消"));
    QCOMPARE(w->context()->state, 1);
    ui->iapDownLoadButton->click();
    QCOMPARE(ui->iapDownLoadButton->text(), QString::fromUtf8("下载固件"));
    QCOMPARE(w->context()->state, 0);
}

void TestWindow::catalogueLookupOrder()
{
    delete w;
    w = nullptr;
    QTemporaryDir other;
    QVERIFY(other.isValid());
    QVERIFY(QFile::copy(QStringLiteral(WORKDIR_CATALOGUE), other.filePath("IAP_en_US.qm")));
    QVERIFY(QDir::setCurrent(other.path()));

    // The catalogue in the working folder wins over the built-in copy.
    auto *window = new MainWindow;
    ui = window->form();
    QCOMPARE(window->windowTitle(), QStringLiteral("Catalogue of the working folder"));
    QCOMPARE(ui->groupBox_3->title(), QStringLiteral("Firmware (working folder)"));
    // Entries it lacks keep their source text; the operational labels are the program's own
    // whatever the catalogue says for them ("Open it", "Start").
    QCOMPARE(ui->groupBox_5->title(), QString::fromUtf8("通信操作"));
    QCOMPARE(ui->openPortButton->text(), QStringLiteral("Open"));
    QCOMPARE(ui->iapDownLoadButton->text(), QStringLiteral("Download"));

    // The first press starts the run although the catalogue's text differs.
    const QString path = writeFile(QDir(other.path()), QStringLiteral("a.bin"), patternImage(10));
    window->loadFirmware(path);
    openSilentLine(window);
    ui->iapDownLoadButton->click();
    QCOMPARE(window->context()->state, 1);
    QCOMPARE(ui->iapDownLoadButton->text(), QStringLiteral("Cancel"));
    ui->iapDownLoadButton->click();

    // Without it, the next English operation falls back to the built-in copy.
    QVERIFY(QFile::remove(other.filePath("IAP_en_US.qm")));
    ui->actionenglish->trigger();
    QCOMPARE(ui->groupBox_3->title(), QStringLiteral("Load firmware"));
    QCOMPARE(ui->groupBox_5->title(), QStringLiteral("Communication"));
    QCOMPARE(window->windowTitle(), QStringLiteral("Upgrade Assistant"));

    delete window;
    QVERIFY(QDir::setCurrent(work.path()));
    w = newWindow();
}

void TestWindow::installedCatalogueFolders()
{
    // For an executable in <prefix>/bin: the working folder, the executable's folder, then
    // <prefix>/share/upgrade-assistant/translations.
    QTemporaryDir prefix;
    QVERIFY(prefix.isValid());
    const QString bin = prefix.filePath(QStringLiteral("bin"));
    QCOMPARE(
        catalogue::defaultSearchFolders(bin),
        (QStringList{QString(), bin,
                     prefix.filePath(QStringLiteral("share/upgrade-assistant/translations"))}));
    // Unless replaced, the window looks where the running executable is.
    QCOMPARE(catalogue::searchFolders(),
             catalogue::defaultSearchFolders(QCoreApplication::applicationDirPath()));
}

void TestWindow::catalogueSearch_data()
{
    QTest::addColumn<bool>("inWorkingFolder");
    QTest::addColumn<bool>("besideExecutable");
    QTest::addColumn<bool>("inShareFolder");
    QTest::addColumn<QString>("title");

    const QString work = QStringLiteral("Catalogue of the working folder");
    const QString exe = QStringLiteral("Catalogue beside the executable");
    const QString share = QStringLiteral("Catalogue of the share folder");
    const QString builtIn = QStringLiteral("Upgrade Assistant");
    QTest::newRow("share folder only") << false << false << true << share;
    QTest::newRow("executable's folder only") << false << true << false << exe;
    QTest::newRow("executable's folder before share folder") << false << true << true << exe;
    QTest::newRow("working folder before both") << true << true << true << work;
    QTest::newRow("none: the built-in copy") << false << false << false << builtIn;
}

// An installation laid out in a temporary folder (<prefix>/bin and
// <prefix>/share/upgrade-assistant/translations), searched as for an executable in its bin.
void TestWindow::catalogueSearch()
{
    QFETCH(bool, inWorkingFolder);
    QFETCH(bool, besideExecutable);
    QFETCH(bool, inShareFolder);
    QFETCH(QString, title);

    delete w;
    w = nullptr;
    QTemporaryDir prefix;
    QTemporaryDir cwd;
    QVERIFY(prefix.isValid() && cwd.isValid());
    const QDir root(prefix.path());
    QVERIFY(root.mkpath(QStringLiteral("bin")));
    QVERIFY(root.mkpath(QStringLiteral("share/upgrade-assistant/translations")));
    if (inWorkingFolder)
        QVERIFY(QFile::copy(QStringLiteral(WORKDIR_CATALOGUE), cwd.filePath("IAP_en_US.qm")));
    if (besideExecutable)
        QVERIFY(QFile::copy(QStringLiteral(EXE_CATALOGUE), root.filePath("bin/IAP_en_US.qm")));
    if (inShareFolder)
        QVERIFY(QFile::copy(QStringLiteral(SHARE_CATALOGUE),
                            root.filePath("share/upgrade-assistant/translations/IAP_en_US.qm")));
    QVERIFY(QDir::setCurrent(cwd.path()));
    catalogue::setSearchFolders(catalogue::defaultSearchFolders(root.filePath("bin")));

    // At start-up and at the English entry alike.
    auto *window = new MainWindow;
    QCOMPARE(window->windowTitle(), title);
    window->form()->actionchinese->trigger();
    window->form()->actionenglish->trigger();
    QCOMPARE(window->windowTitle(), title);
    delete window;

    catalogue::setSearchFolders({});
    QVERIFY(QDir::setCurrent(work.path()));
    w = newWindow();
}

void TestWindow::desktopFileName()
{
    // The window belongs to the installed desktop entry (its app id on Wayland).
    QCOMPARE(QGuiApplication::desktopFileName(), QStringLiteral("com.example.upgradeassistant"));
}

void TestWindow::summaries_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<int>("total");
    QTest::addColumn<int>("full");
    QTest::addColumn<int>("last");
    const struct
    {
        int length, total, full, last;
    } rows[] = {{1, 1, 0, 1},    {1023, 1, 0, 1023}, {1024, 1, 1, 0},
                {1025, 2, 1, 1}, {2048, 2, 2, 0},    {5000, 5, 4, 904}};
    for (const auto &r : rows) {
        for (bool zh : {false, true}) {
            QTest::addRow("%d bytes, %s", r.length, zh ? "zh" : "en")
                << r.length << zh << r.total << r.full << r.last;
        }
    }
}

void TestWindow::summaries()
{
    QFETCH(int, length);
    QFETCH(bool, chinese);
    QFETCH(int, total);
    QFETCH(int, full);
    QFETCH(int, last);
    if (chinese)
        ui->actionchinese->trigger();
    const QString path =
        writeFile(QDir(work.path()), QStringLiteral("fw%1.bin").arg(length), patternImage(length));
    DialogSeen seen;
    DebugCapture debug;
    chooseFile(path, &seen);

    QCOMPARE(seen.title, QString::fromUtf8("选择固件")); // in both languages
    QCOMPARE(seen.filters, QStringList{QStringLiteral("(*.bin)")});
    QCOMPARE(seen.directory, QDir::currentPath());
    QVERIFY(debug.captured().contains(QStringLiteral("load firmware")));
    QVERIFY(debug.captured().contains(QStringLiteral("size:%1").arg(length)));

    const QString summary = chinese ? chineseSummary(length, total) : englishSummary(length, total);
    QCOMPARE(ui->tb_IAPMsg->toPlainText(), shown(summary));
    QCOMPARE(ui->b_FirmwarePath->text(), path);
    QVERIFY(ui->iapDownLoadButton->isEnabled());
    IapContext *c = w->context();
    QCOMPARE(c->firmwarePath, path);
    QCOMPARE(c->firmware, patternImage(length));
    QCOMPARE(c->packetTotal, total);
    QCOMPARE(c->fullPacketCount, full);
    QCOMPARE(c->lastPacketLength, last);
    QCOMPARE(c->state, 0);
}

void TestWindow::cancelledDialogKeepsImage()
{
    const QString path =
        writeFile(QDir(work.path()), QStringLiteral("keep.bin"), patternImage(5000));
    chooseFile(path);
    QCOMPARE(ui->tb_IAPMsg->toPlainText(), shown(englishSummary(5000, 5)));

    chooseFile(QString()); // cancel
    QCOMPARE(w->context()->firmwarePath, QString());
    QCOMPARE(ui->b_FirmwarePath->text(), path);
    QCOMPARE(w->context()->firmware, patternImage(5000));
    QCOMPARE(w->context()->packetTotal, 5);
    QVERIFY(ui->iapDownLoadButton->isEnabled());
    QCOMPARE(ui->tb_IAPMsg->toPlainText(), shown(englishSummary(5000, 5)));
}

void TestWindow::cancelledDialogBeforeAnyFile()
{
    chooseFile(QString());
    QVERIFY(!ui->iapDownLoadButton->isEnabled());
    QCOMPARE(ui->b_FirmwarePath->text(), QString());
    QVERIFY(ui->tb_IAPMsg->toPlainText().isEmpty());
}

void TestWindow::selectDisabledDuringRun()
{
    const QString path =
        writeFile(QDir(work.path()), QStringLiteral("sel.bin"), patternImage(3000));
    w->loadFirmware(path);
    openSilentLine(w);
    ui->iapDownLoadButton->click();
    QVERIFY(!ui->iapLoadFileButton->isEnabled());
    ui->iapDownLoadButton->click(); // cancel
    QVERIFY(ui->iapLoadFileButton->isEnabled());
}

void TestWindow::badFiles_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QString>("expected"); // %1 = the path
    QTest::newRow("missing, en") << "missing" << false
                                 << QStringLiteral(
                                        "Cannot open firmware file \"%1\": no such file");
    QTest::newRow("missing, zh") << "missing" << true
                                 << QString::fromUtf8("无法打开固件文件“%1”：文件不存在");
    QTest::newRow("directory, en")
        << "directory" << false
        << QStringLiteral("Cannot read firmware file \"%1\": is a directory");
    QTest::newRow("directory, zh")
        << "directory" << true << QString::fromUtf8("无法读取固件文件“%1”：is a directory");
    QTest::newRow("empty, en") << "empty" << false
                               << QStringLiteral("Firmware file \"%1\" is empty: nothing to send");
    QTest::newRow("empty, zh") << "empty" << true
                               << QString::fromUtf8("固件文件“%1”为空，没有可发送的数据");
    QTest::newRow("too large, en")
        << "large" << false
        << QStringLiteral("Firmware file \"%1\" is too large: 67107841 bytes, at most 67107840 "
                          "bytes (65535 packages) can be sent");
    QTest::newRow("too large, zh")
        << "large" << true
        << QString::fromUtf8("固件文件“%1”过大：67107841 字节，最多 67107840 字节（65535 包）");
    QTest::newRow("65536 packages, en")
        << "65536" << false
        << QStringLiteral("Firmware file \"%1\" is too large: 67108864 bytes, at most 67107840 "
                          "bytes (65535 packages) can be sent");
    QTest::newRow("fifo, en") << "fifo" << false
                              << QStringLiteral("Cannot read firmware file \"%1\": not a regular "
                                                "file (a pipe, a device or a socket)");
    QTest::newRow("fifo, zh") << "fifo" << true
                              << QString::fromUtf8(
                                     "无法读取固件文件“%1”：不是普通文件（管道、设备或套接字）");
    QTest::newRow("link loop, en")
        << "loop" << false
        << QStringLiteral("Cannot open firmware file \"%1\": its symbolic links form a loop");
    QTest::newRow("hex checksum, en")
        << "hexsum" << false << QStringLiteral("Firmware file \"%1\": checksum error on line 2");
    QTest::newRow("hex checksum, zh")
        << "hexsum" << true << QString::fromUtf8("固件文件“%1”：第 2 行校验和错误");
}

void TestWindow::badFiles()
{
    QFETCH(QString, kind);
    QFETCH(bool, chinese);
    QFETCH(QString, expected);
    if (chinese)
        ui->actionchinese->trigger();
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("bad.bin"));
    if (kind == QLatin1String("directory")) {
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("bad.bin")));
    } else if (kind == QLatin1String("empty")) {
        writeFile(QDir(dir.path()), QStringLiteral("bad.bin"), QByteArray());
    } else if (kind == QLatin1String("large")) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(qint64(65535) * 1024 + 1)); // sparse: one byte over 65535 packages
    } else if (kind == QLatin1String("65536")) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(qint64(65536) * 1024)); // would be announced as 0 packages
    } else if (kind == QLatin1String("fifo")) {
        // Without a writer, a plain open of it would wait for ever.
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (kind == QLatin1String("loop")) {
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("other.bin")), path));
        QVERIFY(QFile::link(path, dir.filePath(QStringLiteral("other.bin"))));
    } else if (kind == QLatin1String("hexsum")) {
        // A HEX file whose second record's checksum is off by one.
        writeFile(QDir(dir.path()), QStringLiteral("bad.bin"),
                  ":0100000011EE\n:0100010022DB\n:00000001FF\n");
    }

    w->loadFirmware(path);
    QCOMPARE(ui->tb_IAPMsg->toPlainText(), expected.arg(path));
    QCOMPARE(ui->b_FirmwarePath->text(), path);
    QVERIFY(!ui->iapDownLoadButton->isEnabled());
    QVERIFY(w->context()->firmware.isEmpty());
    QCOMPARE(w->context()->packetTotal, 0);
}

void TestWindow::badFileAfterGoodOne()
{
    QTemporaryDir dir;
    const QString good =
        writeFile(QDir(dir.path()), QStringLiteral("good.bin"), patternImage(2000));
    const QString empty = writeFile(QDir(dir.path()), QStringLiteral("empty.bin"), QByteArray());
    chooseFile(good);
    QVERIFY(ui->iapDownLoadButton->isEnabled());
    chooseFile(empty);
    QVERIFY(!ui->iapDownLoadButton->isEnabled());
    QVERIFY(w->context()->firmware.isEmpty());
    QCOMPARE(ui->tb_IAPMsg->toPlainText(),
             QStringLiteral("Firmware file \"%1\" is empty: nothing to send").arg(empty));
    chooseFile(good);
    QVERIFY(ui->iapDownLoadButton->isEnabled());
    QCOMPARE(ui->tb_IAPMsg->toPlainText(), shown(englishSummary(2000, 2)));
}

// A HEX file chosen in the dialog (its name says .bin; the content decides): one more line
// before the summary tells the format and the addresses, and the image is what the records
// hold, with the gap between them erased flash (0xFF).
void TestWindow::convertedFiles_data()
{
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QString>("firstLine");
    QTest::newRow("en") << false
                        << "Intel HEX file: addresses 0x08000000-0x08000405; the image starts "
                           "at 0x08000000 (the device receives it from its first byte)";
    QTest::newRow("zh") << true
                        << QString::fromUtf8("Intel HEX 文件：地址 0x08000000-0x08000405；镜像从 "
                                             "0x08000000 开始（设备从镜像的第一个字节开始接收）");
}

void TestWindow::convertedFiles()
{
    QFETCH(bool, chinese);
    QFETCH(QString, firstLine);
    if (chinese)
        ui->actionchinese->trigger();
    QTemporaryDir dir;
    // Two bytes at 0x08000000 and two at 0x08000404: 1030 bytes, two packages.
    const QString path = writeFile(QDir(dir.path()), QStringLiteral("app.bin"),
                                   ":020000040800F2\n:020000001122CB\n:0204040033447F\n"
                                   ":00000001FF\n");
    chooseFile(path);
    const QString summary = chinese ? chineseSummary(1030, 2) : englishSummary(1030, 2);
    QCOMPARE(ui->tb_IAPMsg->toPlainText(), shown(firstLine + QStringLiteral("\r\n") + summary));
    QVERIFY(ui->iapDownLoadButton->isEnabled());
    const QByteArray expected =
        QByteArray("\x11\x22") + QByteArray(1026, '\xFF') + QByteArray("\x33\x44");
    QCOMPARE(w->context()->firmware, expected);
    QCOMPARE(w->context()->packetTotal, 2);
    QCOMPARE(w->context()->lastPacketLength, 6);
}

void TestWindow::markupShowsLiterally()
{
    QTemporaryDir dir;
    const QString path =
        writeFile(QDir(dir.path()), QStringLiteral("<b>fw<i>&amp;.bin"), QByteArray());
    QVERIFY(!path.isEmpty());
    w->loadFirmware(path);
    const QString text = ui->tb_IAPMsg->toPlainText();
    QVERIFY2(text.contains(QStringLiteral("<b>fw<i>&amp;.bin")), qPrintable(text));
    // Later lines are plain text as well, and each is its own paragraph.
    QMetaObject::invokeMethod(w, "timeoutUpdate");
    QCOMPARE(ui->tb_IAPMsg->document()->blockCount(), 2);
    QCOMPARE(ui->tb_IAPMsg->document()->lastBlock().text(), QString::fromUtf8("接收信息超时!"));
    QVERIFY(!ui->tb_IAPMsg->toHtml().contains(QStringLiteral("<b>fw")));
}

void TestWindow::aboutBox_data()
{
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QString>("title");
    QTest::newRow("en") << false << QStringLiteral("About");
    QTest::newRow("zh") << true << QString::fromUtf8("关于");
}

void TestWindow::aboutBox()
{
    QFETCH(bool, chinese);
    QFETCH(QString, title);
    if (chinese)
        ui->actionchinese->trigger();
    QString seenTitle, seenText;
    QMessageBox::StandardButtons buttons;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QWidget *parent = w;
    whenModalAppears<QMessageBox>([&](QMessageBox *box) {
        seenTitle = box->windowTitle();
        seenText = box->text();
        buttons = box->standardButtons();
        icon = box->icon();
        parent = box->parentWidget();
        box->button(QMessageBox::Ok)->click();
    });
    ui->actionabout->trigger();
    QCOMPARE(seenTitle, title);
    QCOMPARE(seenText, QStringLiteral("Dranvel Upgrade Assistant V1.0"));
    QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(icon, QMessageBox::Information);
    QCOMPARE(parent, nullptr);
    // The About entry's own text follows the form's language.
    QCOMPARE(ui->actionabout->text(),
             chinese ? QString::fromUtf8("关于") : QStringLiteral("About"));
}

void TestWindow::webLink()
{
    QCOMPARE(ui->label_Logo->text(), LinkText);
    QCOMPARE(ui->label_Logo->textFormat(), Qt::RichText);
    UrlSink sink;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &sink, "handle");
    emit ui->label_Logo->linkActivated(QStringLiteral("https://www.example.com/upgrade-assistant"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QCOMPARE(sink.urls.size(), 1);
    QCOMPARE(sink.urls.first(), QUrl(QStringLiteral("https://www.example.com/upgrade-assistant")));
}

void TestWindow::clearButton()
{
    ui->tb_IAPMsg->setPlainText(QStringLiteral("x\ny"));
    ui->iapClearButton->click();
    QVERIFY(ui->tb_IAPMsg->toPlainText().isEmpty());
}

void TestWindow::receiveTimeoutLine()
{
    QMetaObject::invokeMethod(w, "timeoutUpdate");
    QCOMPARE(ui->tb_IAPMsg->toPlainText(), QString::fromUtf8("接收信息超时!"));
    QVERIFY(!MainWindowProbe::replyTimer(w)->isActive());
}

void TestWindow::downloadAndCancel()
{
    const QString path = writeFile(QDir(work.path()), QStringLiteral("dl.bin"), patternImage(5000));
    w->loadFirmware(path);
    openSilentLine(w);
    ui->iapDownLoadButton->click();
    QVERIFY(ui->tb_IAPMsg->toPlainText().isEmpty()); // cleared at the start
    QCOMPARE(ui->iapDownLoadButton->text(), QStringLiteral("Cancel"));
    QCOMPARE(MainWindowProbe::iapTimer(w)->interval(), 50);
    QVERIFY(MainWindowProbe::iapTimer(w)->isActive());
    // Nobody answers: the request is asked again on every tick.
    QTRY_VERIFY(ui->tb_IAPMsg->document()->blockCount() >= 2);
    QCOMPARE(ui->tb_IAPMsg->document()->firstBlock().text(),
             QStringLiteral("Request firmware update!"));
    QCOMPARE(ui->tb_IAPMsg->document()->firstBlock().next().text(),
             QStringLiteral("Request firmware update!"));
    ui->iapDownLoadButton->click();
    QCOMPARE(ui->iapDownLoadButton->text(), QStringLiteral("Download"));
    QVERIFY(!MainWindowProbe::iapTimer(w)->isActive());
    QCOMPARE(w->context()->state, 0);
    const int lines = ui->tb_IAPMsg->document()->blockCount();
    QTest::qWait(120);
    QCOMPARE(ui->tb_IAPMsg->document()->blockCount(), lines); // nothing more after Cancel
}

void TestWindow::refusedStart()
{
    const QString path = writeFile(QDir(work.path()), QStringLiteral("r.bin"), patternImage(100));
    w->loadFirmware(path);
    openSilentLine(w);
    w->context()->setImage(QByteArray()); // the image is gone behind the window's back
    ui->iapDownLoadButton->click();
    QCOMPARE(ui->tb_IAPMsg->document()->lastBlock().text(),
             QStringLiteral("No usable firmware loaded: choose a non-empty firmware file first"));
    QCOMPARE(ui->iapDownLoadButton->text(), QStringLiteral("Download"));
    QVERIFY(!MainWindowProbe::iapTimer(w)->isActive());
    QCOMPARE(w->context()->state, 0);
}

void TestWindow::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QStringList>("ports");
    QTest::addColumn<bool>("withFirmware");
    QTest::addColumn<bool>("chinese");
    QTest::newRow("nothing") << QStringList{} << true << QStringList{} << false << false;
    QTest::newRow("two ports") << QStringList{"--port", "/dev/pts/91", "-p", "/dev/pts/92"} << true
                               << QStringList{"/dev/pts/91", "/dev/pts/92"} << false << false;
    QTest::newRow("firmware") << QStringList{"@FW@"} << true << QStringList{} << true << false;
    QTest::newRow("port and firmware, zh")
        << QStringList{"--lang", "zh", "--port=/dev/pts/93", "@FW@"} << true
        << QStringList{"/dev/pts/93"} << true << true;
    QTest::newRow("bad language") << QStringList{"--lang", "fr"} << false << QStringList{} << false
                                  << false;
    QTest::newRow("two files") << QStringList{"a.bin", "b.bin"} << false << QStringList{} << false
                               << false;
}

void TestWindow::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(bool, ok);
    QFETCH(QStringList, ports);
    QFETCH(bool, withFirmware);
    QFETCH(bool, chinese);
    const QString fw = writeFile(QDir(work.path()), QStringLiteral("cli.bin"), patternImage(1500));
    args.replaceInStrings(QStringLiteral("@FW@"), fw);
    args.prepend(QStringLiteral("upgrade-assistant"));

    QCommandLineParser parser;
    configureParser(parser);
    QVERIFY(parser.parse(args));
    StartOptions options;
    QString error;
    QCOMPARE(readStartOptions(parser, &options, &error), ok);
    if (!ok) {
        QVERIFY(!error.isEmpty());
        return;
    }
    QCOMPARE(options.ports, ports);

    delete w;
    w = newWindow(options.ports);
    applyStartOptions(*w, options);
    QVERIFY(ui->comboBox->count() >= ports.size());
    for (int i = 0; i < ports.size(); ++i)
        QCOMPARE(ui->comboBox->itemText(i), ports.at(i)); // before the enumerated ports
    QCOMPARE(w->chinese(), chinese);
    if (withFirmware) {
        QCOMPARE(ui->b_FirmwarePath->text(), fw);
        QCOMPARE(w->context()->firmwarePath, fw);
        QVERIFY(ui->iapDownLoadButton->isEnabled());
        QCOMPARE(ui->tb_IAPMsg->toPlainText(),
                 shown(chinese ? chineseSummary(1500, 2) : englishSummary(1500, 2)));
    } else {
        QVERIFY(!ui->iapDownLoadButton->isEnabled());
    }
    // A refresh keeps the given ports at the top.
    ui->refreshButton->click();
    for (int i = 0; i < ports.size(); ++i)
        QCOMPARE(ui->comboBox->itemText(i), ports.at(i));
}

// --help and --version (and -V) need no display: run them where none can be reached.
void TestWindow::commandLineProcess_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("noDisplay");
    QTest::newRow("help") << QStringList{"--help"} << 0 << "--port <NAME>" << false;
    QTest::newRow("version") << QStringList{"--version"} << 0 << "upgrade-assistant 1.0.0" << false;
    QTest::newRow("help, no display") << QStringList{"--help"} << 0 << "--port <NAME>" << true;
    QTest::newRow("-h, no display") << QStringList{"-h"} << 0 << "-V, --version" << true;
    QTest::newRow("version, no display")
        << QStringList{"--version"} << 0 << "upgrade-assistant 1.0.0\n"
        << true;
    QTest::newRow("-V, no display") << QStringList{"-V"} << 0 << "upgrade-assistant 1.0.0\n"
                                    << true;
    QTest::newRow("-v is no version option")
        << QStringList{"-v"} << 1 << "Unknown option 'v'" << false;
    QTest::newRow("unknown option")
        << QStringList{"--bogus"} << 1 << "Unknown option 'bogus'" << false;
    QTest::newRow("bad language") << QStringList{"--lang", "fr"} << 1 << "unknown language"
                                  << false;
    // The window itself needs a display: said in words, exit 1, a usage error first.
    QTest::newRow("window, no display")
        << QStringList() << 1
        << "upgrade-assistant: the window needs a display, and there is none (neither DISPLAY "
           "nor WAYLAND_DISPLAY is set). Start it in a desktop session; iap-flash flashes "
           "without a display"
        << true;
    QTest::newRow("window, no display, zh")
        << QStringList{"--lang", "zh"} << 1
        << QString::fromUtf8("upgrade-assistant: 窗口需要图形显示") << true;
    QTest::newRow("bad language, no display")
        << QStringList{"--lang", "fr"} << 1 << "unknown language \"fr\": use en or zh" << true;
}

void TestWindow::commandLineProcess()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(bool, noDisplay);
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (noDisplay) {
        // The X11 platform with no display to reach: anything that needs one aborts.
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    } else {
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    }
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(APP_EXE), args);
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), exitCode);
    const QString out = QString::fromLocal8Bit(p.readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(p.readAllStandardError());
    QVERIFY2((out + err).contains(output), qPrintable(out + err));
    if (exitCode == 0) {
        QVERIFY2(err.isEmpty(), qPrintable(err));
        if (output.endsWith(QLatin1Char('\n')))
            QCOMPARE(out, output);
    }
}

// Download with no open port would send requests into nothing, 20 a second, for ever: it is
// refused with a line saying what to do, and no run starts.
void TestWindow::downloadNeedsOpenPort_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QString>("expected");
    const QString en = QStringLiteral(
        "No serial port is open: choose and open the port first, then press Download.");
    const QString zh = QString::fromUtf8("串口未打开：请先选择并打开串口，再点击下载。");
    QTest::newRow("never opened, en") << "nothing" << false << en;
    QTest::newRow("never opened, zh") << "nothing" << true << zh;
    QTest::newRow("open failed, en") << "failed" << false << en;
    QTest::newRow("opened and closed, zh") << "closed" << true << zh;
}

void TestWindow::downloadNeedsOpenPort()
{
    QFETCH(QString, before);
    QFETCH(bool, chinese);
    QFETCH(QString, expected);
    if (chinese)
        ui->actionchinese->trigger();
    w->loadFirmware(writeFile(QDir(work.path()), QStringLiteral("np.bin"), patternImage(3000)));
    if (before == QLatin1String("failed")) {
        ui->comboBox->addItem(
            QStringLiteral("/nonexistent/ttyIAP%1").arg(QCoreApplication::applicationPid()));
        ui->comboBox->setCurrentIndex(ui->comboBox->count() - 1);
        ui->openPortButton->click();
        QVERIFY(!w->serialLink()->isOpen());
    } else if (before == QLatin1String("closed")) {
        openSilentLine(w);
        ui->openPortButton->click();
        QVERIFY(!w->serialLink()->isOpen());
    }
    const QString label = ui->iapDownLoadButton->text();
    ui->iapDownLoadButton->click();
    QCOMPARE(ui->tb_IAPMsg->document()->lastBlock().text(), expected);
    QCOMPARE(ui->iapDownLoadButton->text(), label);
    QVERIFY(!MainWindowProbe::iapTimer(w)->isActive());
    QCOMPARE(w->context()->state, 0);
    QVERIFY(ui->iapLoadFileButton->isEnabled());
    const int lines = ui->tb_IAPMsg->document()->blockCount();
    QTest::qWait(150); // three ticks: no request line appears
    QCOMPARE(ui->tb_IAPMsg->document()->blockCount(), lines);
}

// The program's diagnostics (a line per byte of every reply) go to stderr only when asked
// for. The firmware file is named on the command line, so "size:N" shows that it was loaded;
// a name that is not valid UTF-8 is given to the program as raw bytes through the shell.
void TestWindow::diagnosticsOnlyWhenAsked_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("rules"); // QT_LOGGING_RULES; empty: not set
    QTest::addColumn<bool>("rawName");
    QTest::addColumn<bool>("shown");
    QTest::newRow("by default") << QStringList() << QString() << false << false;
    QTest::newRow("--verbose") << QStringList{"--verbose"} << QString() << false << true;
    QTest::newRow("QT_LOGGING_RULES") << QStringList() << "default.debug=true" << false << true;
    QTest::newRow("other rules only") << QStringList() << "qt.foo.debug=true" << false << false;
    QTest::newRow("--verbose, name not UTF-8")
        << QStringList{"--verbose"} << QString() << true << true;
}

void TestWindow::diagnosticsOnlyWhenAsked()
{
    QFETCH(QStringList, options);
    QFETCH(QString, rules);
    QFETCH(bool, rawName);
    QFETCH(bool, shown);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Tells when the program has read its firmware file.
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(watch >= 0);
    QVERIFY(::inotify_add_watch(watch, QFile::encodeName(dir.path()).constData(),
                                IN_CLOSE_NOWRITE) >= 0);
    RemovedAtEnd removed; // a name that is not UTF-8, below
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("QT_LOGGING_RULES"));
    if (!rules.isEmpty())
        env.insert(QStringLiteral("QT_LOGGING_RULES"), rules);
    env.insert(QStringLiteral("DIR"), dir.path());
    p.setProcessEnvironment(env);
    if (rawName) {
        const QByteArray native = QFile::encodeName(dir.path()) + "/\xff\xfe-fw.bin";
        removed.native = native;
        const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        QVERIFY(fd >= 0);
        QFile f;
        QVERIFY(f.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle));
        QCOMPARE(f.write(patternImage(1500)), qint64(1500));
        f.close();
        // printf turns the octal escapes into the bytes 0xFF 0xFE.
        p.start(QStringLiteral("/bin/sh"),
                QStringList{"-c",
                            "exec \"$0\" \"$@\" \"$(printf '%s/\\377\\376-fw.bin' \"$DIR\")\"",
                            QStringLiteral(APP_EXE)} +
                    options);
    } else {
        const QString fw =
            writeFile(QDir(dir.path()), QStringLiteral("fw.bin"), patternImage(1500));
        p.start(QStringLiteral(APP_EXE), options << fw);
    }
    QVERIFY(p.waitForStarted(10000));
    QByteArray err;
    if (shown) {
        QTRY_VERIFY_WITH_TIMEOUT((err += p.readAllStandardError()).contains("size:1500"), 20000);
    } else {
        // The file has been read (closed again), and the window's main thread then sleeps in
        // its event loop: whatever it was going to write about the file is written by then.
        char event[sizeof(inotify_event) + 256];
        bool read = false;
        QTRY_VERIFY_WITH_TIMEOUT(read = read || ::read(watch, event, sizeof event) > 0, 20000);
        const QString stat = QStringLiteral("/proc/%1/stat").arg(p.processId());
        QTRY_VERIFY_WITH_TIMEOUT(
            QString::fromLatin1(readFile(stat)).section(QLatin1Char(' '), 2, 2) ==
                QLatin1String("S"),
            20000);
        err = p.readAllStandardError();
    }
    ::close(watch);
    QCOMPARE(p.state(), QProcess::Running); // the window is up, no failure ended it
    p.terminate();
    QVERIFY(p.waitForFinished(10000));
    err += p.readAllStandardError();
    QCOMPARE(err.contains("newportnum:"), shown);
    QCOMPARE(err.contains("size:"), shown);
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
