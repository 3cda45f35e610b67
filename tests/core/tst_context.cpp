#include "filenames.h"
#include "firmwarefile.h"
#include "iapcontext.h"
#include "messages.h"
#include "testfiles.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using iap::IapError;

class TestContext : public QObject
{
    Q_OBJECT
private slots:
    void initialValues();
    void arithmetic_data();
    void arithmetic();
    void imageLimit_data();
    void imageLimit();
    void loadFile_data();
    void loadFile();
    void loadUnreadableFile();
    void loadSpecialFiles_data();
    void loadSpecialFiles();
    void nativeFileNames_data();
    void nativeFileNames();
    void texts_data();
    void texts();
    void errorTexts_data();
    void errorTexts();
};

void TestContext::initialValues()
{
    IapContext c;
    QCOMPARE(c.state, 0);
    QVERIFY(c.firmwarePath.isEmpty());
    QCOMPARE(c.packetSize, 1024);
    QCOMPARE(c.packetTotal, 0);
    QCOMPARE(c.fullPacketCount, 0);
    QCOMPARE(c.lastPacketLength, 0);
    QCOMPARE(c.packetIndex, 0);
    QVERIFY(c.response.isEmpty());
    QVERIFY(c.firmware.isEmpty());
    QCOMPARE(c.waitLimit, 100);
    QCOMPARE(c.waitTicks, 0);
}

void TestContext::arithmetic_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("full");
    QTest::addColumn<int>("last");
    QTest::addColumn<int>("total");
    QTest::newRow("0") << 0 << 0 << 0 << 0;
    QTest::newRow("1") << 1 << 0 << 1 << 1;
    QTest::newRow("1023") << 1023 << 0 << 1023 << 1;
    QTest::newRow("1024") << 1024 << 1 << 0 << 1;
    QTest::newRow("1025") << 1025 << 1 << 1 << 2;
    QTest::newRow("2048") << 2048 << 2 << 0 << 2;
    QTest::newRow("5000") << 5000 << 4 << 904 << 5;
    QTest::newRow("65553") << 65553 << 64 << 17 << 65;
}

void TestContext::arithmetic()
{
    QFETCH(int, n);
    QFETCH(int, full);
    QFETCH(int, last);
    QFETCH(int, total);
    IapContext c;
    c.state = IapContext::Transferring;
    c.packetIndex = 3;
    c.waitTicks = 7;
    c.response = "kept";
    c.setImage(QByteArray(5000, 'a')); // an earlier image is replaced whole
    c.setImage(QByteArray(n, 'b'));
    QCOMPARE(c.firmware, QByteArray(n, 'b'));
    QCOMPARE(c.fullPacketCount, full);
    QCOMPARE(c.lastPacketLength, last);
    QCOMPARE(c.packetTotal, total);
    // Loading touches nothing that belongs to a run.
    QCOMPARE(c.state, 2);
    QCOMPARE(c.packetIndex, 3);
    QCOMPARE(c.waitTicks, 7);
    QCOMPARE(c.response, QByteArray("kept"));
}

void TestContext::imageLimit_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<bool>("fits");
    QTest::newRow("empty") << qint64(0) << true;
    QTest::newRow("65534 packages and a bit") << qint64(65534 * 1024 + 1) << true;
    QTest::newRow("exactly 65535 packages") << qint64(67107840) << true;
    QTest::newRow("65535 packages and 1 byte") << qint64(67107841) << false;
    QTest::newRow("exactly 65536 packages (would announce 0)") << qint64(67108864) << false;
    QTest::newRow("4 GiB") << (qint64(1) << 32) << false;
}

void TestContext::imageLimit()
{
    QFETCH(qint64, bytes);
    QFETCH(bool, fits);
    QCOMPARE(IapContext::imageFits(bytes), fits);
}

void TestContext::loadFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("size"); // -1: no file, -2: a directory
    QTest::addColumn<int>("error");
    QTest::newRow("missing") << "missing.bin" << qint64(-1) << int(IapError::FileNotFound);
    QTest::newRow("empty name") << "" << qint64(-1) << int(IapError::FileNotFound);
    QTest::newRow("directory") << "dir.bin" << qint64(-2) << int(IapError::FileUnreadable);
    QTest::newRow("empty") << "empty.bin" << qint64(0) << int(IapError::FileEmpty);
    QTest::newRow("one byte") << "one.bin" << qint64(1) << int(IapError::None);
    QTest::newRow("5000 bytes") << "fw.bin" << qint64(5000) << int(IapError::None);
    QTest::newRow("exactly 65535 packages") << "max.bin" << qint64(67107840) << int(IapError::None);
    QTest::newRow("65535 packages + 1 byte")
        << "big.bin" << qint64(67107841) << int(IapError::FileTooLarge);
    QTest::newRow("65536 packages") << "big.bin" << qint64(67108864) << int(IapError::FileTooLarge);
}

void TestContext::loadFile()
{
    QFETCH(QString, name);
    QFETCH(qint64, size);
    QFETCH(int, error);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = name.isEmpty() ? QString() : dir.filePath(name);
    if (size == -2) {
        QVERIFY(QDir(dir.path()).mkdir(name));
    } else if (size >= 0) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        if (size <= 5000) {
            QByteArray content(int(size), '\0');
            for (int i = 0; i < content.size(); ++i)
                content[i] = char(i * 31);
            f.write(content);
        } else {
            QVERIFY(f.resize(size)); // sparse
        }
    }
    const iap::FirmwareFile r = iap::loadFirmwareFile(path);
    QCOMPARE(int(r.error), error);
    // The size the file system reports, also for what is refused (the window logs it); 0 for
    // a path that does not exist.
    struct stat st = {};
    const bool exists = !path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &st) == 0;
    QCOMPARE(exists, size != -1);
    QCOMPARE(r.size, exists ? qint64(st.st_size) : qint64(0));
    if (r.error == IapError::None) {
        QCOMPARE(qint64(r.image.size()), size);
        QCOMPARE(r.size, size);
        if (size <= 5000)
            QCOMPARE(quint8(r.image.at(int(size) - 1)), quint8((size - 1) * 31));
    } else {
        QVERIFY(r.image.isEmpty());
    }
    if (r.error == IapError::FileTooLarge)
        QCOMPARE(r.detail, QString::number(size));
}

void TestContext::loadUnreadableFile()
{
    if (geteuid() == 0)
        QSKIP("root reads files whatever their mode");
    QTemporaryDir dir;
    const QString path = dir.filePath("locked.bin");
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("data");
    f.close();
    QVERIFY(f.setPermissions(QFileDevice::Permissions()));
    const iap::FirmwareFile r = iap::loadFirmwareFile(path);
    QCOMPARE(int(r.error), int(IapError::FileUnreadable));
    QVERIFY(!r.detail.isEmpty());
    QCOMPARE(r.size, qint64(4));
}

// Anything that is not a regular file, after links, is refused without being opened in a
// way that waits: a FIFO without a writer would block the open for ever, /dev/zero never ends.
void TestContext::loadSpecialFiles_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("error");
    QTest::newRow("fifo") << "fifo" << int(IapError::FileNotRegular);
    QTest::newRow("link to a fifo") << "link-fifo" << int(IapError::FileNotRegular);
    QTest::newRow("/dev/zero") << "zero" << int(IapError::FileNotRegular);
    QTest::newRow("/dev/null") << "null" << int(IapError::FileNotRegular);
    QTest::newRow("link loop") << "loop" << int(IapError::FileLinkLoop);
    QTest::newRow("dangling link") << "dangling" << int(IapError::FileNotFound);
    QTest::newRow("link to a file") << "link-file" << int(IapError::None);
}

void TestContext::loadSpecialFiles()
{
    QFETCH(QString, kind);
    QFETCH(int, error);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString fifo = dir.filePath("fifo");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString file = dir.filePath("file.bin");
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("abc");
    f.close();
    QString path;
    if (kind == QLatin1String("fifo")) {
        path = fifo;
    } else if (kind == QLatin1String("link-fifo")) {
        path = dir.filePath("to-fifo.bin");
        QVERIFY(QFile::link(fifo, path));
    } else if (kind == QLatin1String("zero")) {
        path = QStringLiteral("/dev/zero");
    } else if (kind == QLatin1String("null")) {
        path = QStringLiteral("/dev/null");
    } else if (kind == QLatin1String("loop")) {
        path = dir.filePath("a.bin");
        QVERIFY(QFile::link(dir.filePath("b.bin"), path));
        QVERIFY(QFile::link(path, dir.filePath("b.bin")));
    } else if (kind == QLatin1String("dangling")) {
        path = dir.filePath("dangling.bin");
        QVERIFY(QFile::link(dir.filePath("gone.bin"), path));
    } else {
        path = dir.filePath("to-file.bin");
        QVERIFY(QFile::link(file, path));
    }
    QElapsedTimer clock;
    clock.start();
    const iap::FirmwareFile r = iap::loadFirmwareFile(path); // a blocking open never returns
    QCOMPARE(int(r.error), error);
    QVERIFY2(clock.elapsed() < 5000, "the loader waited on the file");
    if (error == int(IapError::None))
        QCOMPARE(r.image, QByteArray("abc"));
    else
        QVERIFY(r.image.isEmpty());
}

// Names from the command line are bytes; those that are not valid UTF-8 must still name the
// file, and valid ones decode as usual.
void TestContext::nativeFileNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("ascii") << QByteArray("fw.bin");
    QTest::newRow("utf-8") << QByteArray("固件.bin");
    QTest::newRow("latin-1 byte") << QByteArray("fw-\xe9.bin");
    QTest::newRow("stray bytes") << QByteArray("\xff\xfe\x80.bin");
    QTest::newRow("cut sequence") << QByteArray("\xe5\x9b.bin");
    QTest::newRow("encoded surrogate") << QByteArray("\xed\xb3\xbf.bin");
    QTest::newRow("mixed") << QByteArray("\xe5\x9b\xba-\xff.bin");
}

void TestContext::nativeFileNames()
{
    QFETCH(QByteArray, name);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray native = QFile::encodeName(dir.path()) + '/' + name;
    const RemovedAtEnd removed{native};
    {
        const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, "xyz", 3), ssize_t(3));
        ::close(fd);
    }
    const char *argv[] = {"prog", native.constData()};
    const QStringList args = iap::argumentsFromNative(2, argv);
    QCOMPARE(args.size(), 2);
    QCOMPARE(iap::nativeFileName(args.at(1)), native);
    if (QString::fromUtf8(name).toUtf8() == name) // valid names read as they always did
        QCOMPARE(args.at(1), QFile::decodeName(native));
    const iap::FirmwareFile r = iap::loadFirmwareFile(args.at(1));
    QCOMPARE(int(r.error), int(IapError::None));
    QCOMPARE(r.image, QByteArray("xyz"));
}

void TestContext::texts_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("english");
    QTest::addColumn<QString>("chinese");
    using iap::Text;
    QTest::newRow("summary") << int(Text::Summary)
                             << "Firmware Length: %1\r\n Package size: %2\r\n Package total: %3"
                             << QString::fromUtf8("固件长度：%1\r\n包大小：%2\r\n包总数：%3");
    QTest::newRow("request") << int(Text::RequestUpdate) << "Request firmware update!"
                             << QString::fromUtf8("请求更新固件!");
    QTest::newRow("accepted") << int(Text::ResponseAccepted)
                              << "Receive the response, enter the firmware brush process!"
                              << QString::fromUtf8("收到响应，进入刷固件流程!");
    QTest::newRow("progress") << int(Text::Progress)
                              << "Packet %1 has been sent, for a total of %2 packets"
                              << QString::fromUtf8("已发送第%1包,共%2包");
    QTest::newRow("flash ok") << int(Text::FlashWriteSuccess) << "Flash write success!"
                              << QString::fromUtf8("Flash写入成功!");
    QTest::newRow("completed") << int(Text::UpdateCompleted) << "update completed"
                               << QString::fromUtf8("更新完成!");
    QTest::newRow("data error") << int(Text::DataErrorResend) << "Data error, resend!"
                                << QString::fromUtf8("数据错误，重新发送!");
    QTest::newRow("wait timeout") << int(Text::WaitTimeoutResend) << "Wait timeout, resend!"
                                  << QString::fromUtf8("等待超时,重发!");
    QTest::newRow("reply timeout, Chinese only")
        << int(Text::ReceiveTimeout) << QString::fromUtf8("接收信息超时!")
        << QString::fromUtf8("接收信息超时!");
    QTest::newRow("download") << int(Text::DownloadLabel) << "Download"
                              << QString::fromUtf8("下载固件");
    QTest::newRow("cancel") << int(Text::CancelLabel) << "Cancel" << QString::fromUtf8("取消");
    QTest::newRow("open") << int(Text::OpenLabel) << "Open" << QString::fromUtf8("打开");
    QTest::newRow("close") << int(Text::CloseLabel) << "Close" << QString::fromUtf8("关闭");
    QTest::newRow("about title") << int(Text::AboutTitle) << "About" << QString::fromUtf8("关于");
    QTest::newRow("about text") << int(Text::AboutText) << "Dranvel Upgrade Assistant V1.0"
                                << "Dranvel Upgrade Assistant V1.0";
}

void TestContext::texts()
{
    QFETCH(int, id);
    QFETCH(QString, english);
    QFETCH(QString, chinese);
    QCOMPARE(iap::text(iap::Text(id), iap::Language::English), english);
    QCOMPARE(iap::text(iap::Text(id), iap::Language::Chinese), chinese);
}

void TestContext::errorTexts_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QString>("expected");
    const QString p = "/tmp/<b>fw</b>.bin";
    QTest::newRow("missing, en")
        << int(IapError::FileNotFound) << false
        << "Cannot open firmware file \"/tmp/<b>fw</b>.bin\": no such file";
    QTest::newRow("missing, zh") << int(IapError::FileNotFound) << true
                                 << QString::fromUtf8(
                                        "无法打开固件文件“/tmp/<b>fw</b>.bin”：文件不存在");
    QTest::newRow("empty, en") << int(IapError::FileEmpty) << false
                               << "Firmware file \"/tmp/<b>fw</b>.bin\" is empty: nothing to send";
    QTest::newRow("too large, en")
        << int(IapError::FileTooLarge) << false
        << "Firmware file \"/tmp/<b>fw</b>.bin\" is too large: 99999999 bytes, at most 67107840 "
           "bytes (65535 packages) can be sent";
    QTest::newRow("too large, zh")
        << int(IapError::FileTooLarge) << true
        << QString::fromUtf8(
               "固件文件“/tmp/<b>fw</b>.bin”过大：99999999 字节，最多 67107840 字节（65535 包）");
    QTest::newRow("link loop, en")
        << int(IapError::FileLinkLoop) << false
        << "Cannot open firmware file \"/tmp/<b>fw</b>.bin\": its symbolic links form a loop";
    QTest::newRow("link loop, zh")
        << int(IapError::FileLinkLoop) << true
        << QString::fromUtf8("无法打开固件文件“/tmp/<b>fw</b>.bin”：符号链接构成循环");
    QTest::newRow("not regular, en")
        << int(IapError::FileNotRegular) << false
        << "Cannot read firmware file \"/tmp/<b>fw</b>.bin\": not a regular file (a pipe, a "
           "device or a socket)";
    QTest::newRow("not regular, zh")
        << int(IapError::FileNotRegular) << true
        << QString::fromUtf8(
               "无法读取固件文件“/tmp/<b>fw</b>.bin”：不是普通文件（管道、设备或套接字）");
    QTest::newRow("no image, en")
        << int(IapError::EmptyImage) << false
        << "No usable firmware loaded: choose a non-empty firmware file first";
}

void TestContext::errorTexts()
{
    QFETCH(int, error);
    QFETCH(bool, chinese);
    QFETCH(QString, expected);
    QCOMPARE(iap::errorText(IapError(error),
                            (chinese ? iap::Language::Chinese : iap::Language::English),
                            "/tmp/<b>fw</b>.bin", "99999999"),
             expected);
}

QTEST_APPLESS_MAIN(TestContext)
#include "tst_context.moc"
