// Firmware files as build tools write them: Intel HEX, Motorola S-record and ELF, made by
// binutils (objcopy, ld) and the system compiler, loaded through the one firmware loader and
// compared byte for byte with what those tools say the image is. Every refusal with its
// exact message; raw images that only look like text stay raw.
#include "firmwarefile.h"
#include "iapcontext.h"
#include "imagefiles.h"
#include "messages.h"
#include "testfiles.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using iap::FirmwareFile;
using iap::IapError;
using iap::ImageFormat;
using iap::ImageOptions;

Q_DECLARE_METATYPE(iap::IapError)
Q_DECLARE_METATYPE(iap::ImageFormat)

class TestImageFormats : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void roundTrip_data();
    void roundTrip();
    void refusals_data();
    void refusals();
    void gapFill_data();
    void gapFill();
    void gapLimit_data();
    void gapLimit();
    void options_data();
    void options();
    void textVariants_data();
    void textVariants();
    void rawLookalikes_data();
    void rawLookalikes();

private:
    QString tool(const char *name);
    bool run(const QString &program, const QStringList &args);
    QString write(const QString &name, const QByteArray &bytes);
    QByteArray read(const QString &name);

    QTemporaryDir m_dir;
    QString m_objcopy;
    QString m_ld;
    QString m_cc;
};

QString TestImageFormats::tool(const char *name)
{
    return QStandardPaths::findExecutable(QString::fromLatin1(name));
}

bool TestImageFormats::run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.setWorkingDirectory(m_dir.path());
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning() << program << args << p.readAll();
        return false;
    }
    return true;
}

QString TestImageFormats::write(const QString &name, const QByteArray &bytes)
{
    const QString path = m_dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        return QString();
    return path;
}

QByteArray TestImageFormats::read(const QString &name)
{
    QFile f(m_dir.filePath(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void TestImageFormats::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // binutils and the compiler make the files; scripts/deps.sh installs them.
    m_objcopy = tool("objcopy");
    m_ld = tool("ld");
    m_cc = tool("cc");
    QVERIFY2(!m_objcopy.isEmpty() && !m_ld.isEmpty(), "binutils (objcopy, ld) is needed");
    QVERIFY2(!m_cc.isEmpty(), "a C compiler (cc) is needed");
}

// Each file is made by a tool that is not ours; the expected image is the input of that tool
// or, for a compiled program, what objcopy extracts from it (gaps filled with 0xFF).
void TestImageFormats::roundTrip_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("toolArgs");
    QTest::addColumn<int>("size");
    QTest::addColumn<quint64>("address");
    QTest::addColumn<ImageFormat>("format");
    QTest::addColumn<QByteArray>("mustContain"); // proves the file has the records meant

    const QStringList ihex{"-I", "binary", "-O", "ihex"};
    const QStringList srec{"-I", "binary", "-O", "srec"};
    QTest::newRow("hex, linear addresses")
        << "objcopy" << ihex << 5000 << quint64(0x08000000) << ImageFormat::IntelHex
        << QByteArray(":020000040800F2");
    QTest::newRow("hex, across a 64 KiB boundary")
        << "objcopy" << ihex << 70000 << quint64(0x0800F000) << ImageFormat::IntelHex
        << QByteArray(":020000040801F1");
    QTest::newRow("hex, segment addresses")
        << "objcopy" << ihex << 70000 << quint64(0) << ImageFormat::IntelHex
        << QByteArray(":020000021000EC");
    QTest::newRow("hex, one byte") << "objcopy" << ihex << 1 << quint64(0x100)
                                   << ImageFormat::IntelHex << QByteArray(":01010000");
    QTest::newRow("srec S1") << "objcopy" << srec << 3000 << quint64(0x1000) << ImageFormat::SRecord
                             << QByteArray("\nS113");
    QTest::newRow("srec S2") << "objcopy" << srec << 70000 << quint64(0x20000)
                             << ImageFormat::SRecord << QByteArray("\nS214");
    QTest::newRow("srec S3") << "objcopy" << srec << 5000 << quint64(0x08000000)
                             << ImageFormat::SRecord << QByteArray("\nS315");
    QTest::newRow("srec S3 forced")
        << "objcopy" << (srec + QStringList{"--srec-forceS3"}) << 2000 << quint64(0x400)
        << ImageFormat::SRecord << QByteArray("\nS31500000400");
    QTest::newRow("elf32 little-endian")
        << "ld" << QStringList{"elf32-little"} << 5000 << quint64(0x08000000) << ImageFormat::Elf
        << QByteArray("\x7F"
                      "ELF\x01\x01");
    QTest::newRow("elf32 big-endian")
        << "ld" << QStringList{"elf32-big"} << 4321 << quint64(0x00400000) << ImageFormat::Elf
        << QByteArray("\x7F"
                      "ELF\x01\x02");
    QTest::newRow("elf64 little-endian")
        << "ld" << QStringList{"elf64-little"} << 3000 << quint64(0x20000000) << ImageFormat::Elf
        << QByteArray("\x7F"
                      "ELF\x02\x01");
    QTest::newRow("elf64 big-endian")
        << "ld" << QStringList{"elf64-big"} << 1025 << quint64(0x1000) << ImageFormat::Elf
        << QByteArray("\x7F"
                      "ELF\x02\x02");
    // Code at 0x08000000 and initialised data that runs at 0x20000000 but is stored at
    // 0x08001000: two segments, placed by physical address, 0xFF between them.
    QTest::newRow("elf compiled, two segments")
        << "cc" << QStringList() << 0 << quint64(0x08000000) << ImageFormat::Elf
        << QByteArray("\x7F"
                      "ELF");
}

void TestImageFormats::roundTrip()
{
    QFETCH(QString, kind);
    QFETCH(QStringList, toolArgs);
    QFETCH(int, size);
    QFETCH(quint64, address);
    QFETCH(ImageFormat, format);
    QFETCH(QByteArray, mustContain);

    QByteArray expected = randomImage(size, quint32(size) ^ quint32(address));
    QVERIFY(!write(QStringLiteral("input.bin"), expected).isEmpty());
    const QString made = m_dir.filePath(QStringLiteral("made.bin")); // the name says nothing
    QFile::remove(made);
    const QString at = QStringLiteral("0x%1").arg(address, 0, 16);
    if (kind == QLatin1String("objcopy")) {
        QVERIFY(
            run(m_objcopy, toolArgs + QStringList{"--change-addresses", at, "input.bin", made}));
    } else if (kind == QLatin1String("ld")) {
        QVERIFY(run(m_ld, {"-N", "-e", "0", "--section-start=.data=" + at, "--oformat",
                           toolArgs.first(), "-o", made, "-b", "binary", "input.bin"}));
    } else {
        QVERIFY(!write(QStringLiteral("prog.c"),
                       "const unsigned char table[300] = {1, 2, 3, 4, 5, 6, 7, 8, 9};\n"
                       "unsigned char ram[64] = {0x55, 0x66, 0x77};\n"
                       "int entry(int x) { return table[x] + ram[x]; }\n")
                     .isEmpty());
        QVERIFY(!write(QStringLiteral("link.ld"),
                       "SECTIONS {\n"
                       "  .text 0x08000000 : { *(.text*) *(.rodata*) }\n"
                       "  .data 0x20000000 : AT(0x08001000) { *(.data*) }\n"
                       "  /DISCARD/ : { *(.comment) *(.note*) *(.eh_frame*) }\n"
                       "}\n")
                     .isEmpty());
        QVERIFY(run(m_cc, {"-O1", "-ffreestanding", "-fno-pic", "-nostdlib", "-static",
                           "-Wl,--build-id=none", "-Wl,-T,link.ld", "-Wl,-e,entry", "-o", made,
                           "prog.c"}));
        QVERIFY(run(m_objcopy, {"-O", "binary", "--gap-fill", "0xff", made, "expected.bin"}));
        expected = read(QStringLiteral("expected.bin"));
        QCOMPARE(expected.size(), 0x1000 + 64); // code page, then the 64 bytes of data
    }
    QVERIFY(read(QStringLiteral("made.bin")).contains(mustContain));

    const FirmwareFile file = iap::loadFirmwareFile(made);
    QCOMPARE(file.error, IapError::None);
    QCOMPARE(file.format, format);
    QCOMPARE(file.image.size(), expected.size());
    QVERIFY(file.image == expected);
    QCOMPARE(file.base, address);
    QCOMPARE(file.last, address + quint64(expected.size()) - 1);
}

void TestImageFormats::refusals_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<IapError>("error");
    QTest::addColumn<QString>("message"); // %1 stands for the path

    const QByteArray d16 = randomImage(16, 16);
    const QByteArray good = hexRecord(0, 0x0000, d16);
    QByteArray badSum = hexRecord(0, 0x0010, d16);
    badSum[badSum.size() - 2] = badSum.at(badSum.size() - 2) == '0' ? '1' : '0';

    QTest::newRow("hex checksum") << good + badSum + hexEnd() << false << IapError::ImageChecksum
                                  << "Firmware file \"%1\": checksum error on line 2";
    QTest::newRow("hex checksum, chinese")
        << good + badSum + hexEnd() << true << IapError::ImageChecksum
        << QString::fromUtf8("固件文件“%1”：第 2 行校验和错误");
    QTest::newRow("hex not a digit")
        << good + ":10001000G0" + good.mid(11) + hexEnd() << false << IapError::ImageMalformed
        << "Firmware file \"%1\": malformed record on line 2: a character that is not a "
           "hexadecimal digit";
    QTest::newRow("hex length byte")
        << good + ":0F" + good.mid(3) + hexEnd() << false << IapError::ImageMalformed
        << "Firmware file \"%1\": malformed record on line 2: the length byte does not match "
           "the line";
    QTest::newRow("hex odd digits")
        << good + good.left(good.size() - 2) + "\n" + hexEnd() << false << IapError::ImageMalformed
        << "Firmware file \"%1\": malformed record on line 2: the "
           "length byte does not match the line";
    QTest::newRow("hex unknown type")
        << good + hexRecord(6, 0, "AB") + hexEnd() << false << IapError::ImageMalformed
        << "Firmware file \"%1\": malformed record on line 2: unknown record type";
    QTest::newRow("hex address record length")
        << good + hexRecord(4, 0, "\x08") + hexEnd() << false << IapError::ImageMalformed
        << "Firmware file \"%1\": malformed record on line 2: an address record of the wrong "
           "length";
    QTest::newRow("hex line without colon")
        << good + "hello\n" + hexEnd() << false << IapError::ImageMalformed
        << "Firmware file \"%1\": malformed record on line 2: the line does not start with ':'";
    QTest::newRow("hex line too long")
        << good + ':' + QByteArray(600, '0') + "\n" + hexEnd() << false << IapError::ImageMalformed
        << "Firmware file \"%1\": malformed record on line 2: longer than any record";
    QTest::newRow("hex missing end") << good << false << IapError::ImageNoEnd
                                     << "Firmware file \"%1\": no end-of-file record (type 01): "
                                        "the file is cut short";
    QTest::newRow("hex missing end, chinese")
        << good << true << IapError::ImageNoEnd
        << QString::fromUtf8("固件文件“%1”：缺少文件结束记录（类型 01），文件不完整");
    QTest::newRow("hex data after end")
        << good + hexEnd() + hexRecord(0, 0x10, d16) << false << IapError::ImageMalformed
        << "Firmware file \"%1\": malformed record on line 3: records after the end record";
    QTest::newRow("hex end with data")
        << good + hexRecord(1, 0, "\x01") << false << IapError::ImageMalformed
        << "Firmware file \"%1\": malformed record on line 2: an end record of the wrong length";
    QTest::newRow("hex overlap")
        << hexUpper(0x0800) + hexRecord(0, 0x0000, d16) + hexRecord(0, 0x0008, d16) + hexEnd()
        << false << IapError::ImageOverlap
        << "Firmware file \"%1\": overlapping data: 0x08000000-0x0800000F and "
           "0x08000008-0x08000017";
    QTest::newRow("hex overlap, chinese")
        << hexRecord(0, 0x0020, d16) + hexRecord(0, 0x0010, d16 + d16) + hexEnd() << true
        << IapError::ImageOverlap
        << QString::fromUtf8("固件文件“%1”：数据重叠：0x00000010-0x0000002F 与 "
                             "0x00000020-0x0000002F");
    QTest::newRow("hex no data") << hexUpper(0x0800) + hexEnd() << false << IapError::ImageNoData
                                 << "Firmware file \"%1\" holds no data: nothing to send";
    // A boot loader at 0x08000000 and an application at 0x08200000.
    QTest::newRow("hex two images")
        << hexUpper(0x0800) + hexRecord(0, 0, d16) + hexUpper(0x0820) + hexRecord(0, 0, d16) +
               hexRecord(0, 0x10, d16) + hexEnd()
        << false << IapError::ImageGap
        << "Firmware file \"%1\" holds two images more than 1 MiB apart: "
           "0x08000000-0x0800000F and 0x08200000-0x0820001F; flash them one at a time";
    QTest::newRow("hex two images, chinese")
        << hexUpper(0x0800) + hexRecord(0, 0, d16) + hexUpper(0x0820) + hexRecord(0, 0, d16) +
               hexEnd()
        << true << IapError::ImageGap
        << QString::fromUtf8("固件文件“%1”包含两个相距超过 1 MiB 的镜像：0x08000000-0x0800000F 与 "
                             "0x08200000-0x0820000F；请分别烧写");
    {
        // 65 bytes, each exactly 1 MiB after the previous one: no gap is too large, but the
        // image from the first to the last is over the package limit.
        QByteArray spread;
        for (int k = 0; k <= 64; ++k) {
            const quint32 a = quint32(k) * 0x100001;
            spread += hexUpper(quint16(a >> 16)) + hexRecord(0, quint16(a), "\x5A");
        }
        const qint64 span = 64LL * 0x100001 + 1;
        QTest::newRow("hex over the package limit")
            << spread + hexEnd() << false << IapError::ImageTooLarge
            << QStringLiteral("Firmware file \"%1\": the image 0x00000000-0x%2 is %3 bytes, over "
                              "the package limit (%4 packages): at most %5 bytes can be sent")
                   .arg(QStringLiteral("%1"),
                        QString::number(span - 1, 16).toUpper().rightJustified(8, '0'),
                        QString::number(span), QString::number(IapContext::MaxImageBytes / 1024),
                        QString::number(IapContext::MaxImageBytes));
    }

    const QByteArray s16 = randomImage(16, 17);
    const QByteArray sHead = sRecord(0, 0, "hdr");
    QByteArray sBad = sRecord(1, 0x10, s16);
    sBad[4] = sBad.at(4) == '0' ? '1' : '0'; // an address digit
    QTest::newRow("srec checksum")
        << sHead + sRecord(1, 0, s16) + sBad + sRecord(9, 0, {}) << false << IapError::ImageChecksum
        << "Firmware file \"%1\": checksum error on line 3";
    QTest::newRow("srec count")
        << sHead + sRecord(1, 0, s16) + sRecord(1, 0x10, s16) + sRecord(5, 3, {}) +
               sRecord(9, 0, {})
        << false << IapError::ImageCountMismatch
        << "Firmware file \"%1\": the record count on line 4 says 3 data records, the file has 2";
    QTest::newRow("srec no termination")
        << sHead + sRecord(1, 0, s16) << false << IapError::ImageNoEnd
        << "Firmware file \"%1\": no termination record (S7, S8 or S9): the file is cut short";
    QTest::newRow("srec S4") << sHead + sRecord(4, 0, s16) + sRecord(9, 0, {}) << false
                             << IapError::ImageMalformed
                             << "Firmware file \"%1\": malformed record on line 2: unknown record "
                                "type";
    QTest::newRow("srec line start")
        << sHead + "X1130000\n" + sRecord(9, 0, {}) << false << IapError::ImageMalformed
        << "Firmware file \"%1\": malformed record on line 2: the line does not start with S and "
           "a record type";
    QTest::newRow("srec no data") << sHead + sRecord(9, 0, {}) << false << IapError::ImageNoData
                                  << "Firmware file \"%1\" holds no data: nothing to send";

    const QByteArray payload = randomImage(64, 64);
    QTest::newRow("elf header cut short")
        << QByteArray("\x7F"
                      "ELF\x01\x01\x01",
                      7) +
               QByteArray(20, '\0')
        << false << IapError::ImageMalformed
        << "Firmware file \"%1\": malformed ELF file: the header is cut short or names an "
           "unknown class or byte order";
    QTest::newRow("elf unknown class")
        << QByteArray("\x7F"
                      "ELF\x03\x01\x01",
                      7) +
               QByteArray(60, '\0')
        << false << IapError::ImageMalformed
        << "Firmware file \"%1\": malformed ELF file: the header is cut short or names an "
           "unknown class or byte order";
    QTest::newRow("elf segment outside")
        << elf32({{1, 0x1000, ElfData, 32}, {1, 0x1020, ElfData + 32, 64}}, payload) << false
        << IapError::ImageMalformed
        << "Firmware file \"%1\": malformed ELF file: a segment's bytes lie outside the file";
    QTest::newRow("elf program headers outside")
        << elf32({{1, 0x1000, ElfData, 32}, {1, 0x1020, ElfData + 32, 32}}, QByteArray()).left(90)
        << false << IapError::ImageMalformed
        << "Firmware file \"%1\": malformed ELF file: the program headers lie outside the file "
           "or have the wrong size";
    QTest::newRow("elf short program header entries")
        << elf32({{1, 0x1000, 52 + 2 * 24, 32}, {1, 0x1020, 52 + 2 * 24 + 32, 32}}, payload, 24)
        << false << IapError::ImageMalformed
        << "Firmware file \"%1\": malformed ELF file: the program headers lie outside the file "
           "or have the wrong size";
    QTest::newRow("elf overlap")
        << elf32({{1, 0x1000, ElfData, 32}, {1, 0x101F, ElfData + 32, 32}}, payload) << false
        << IapError::ImageOverlap
        << "Firmware file \"%1\": overlapping data: 0x00001000-0x0000101F and "
           "0x0000101F-0x0000103E";
    // A note segment and a load segment with nothing in the file (.bss only).
    QTest::newRow("elf no loadable bytes")
        << elf32({{4, 0x1000, ElfData, 32}, {1, 0x2000, ElfData, 0}}, payload) << false
        << IapError::ImageNoData << "Firmware file \"%1\" holds no data: nothing to send";
    QTest::newRow("elf two images")
        << elf32({{1, 0x08000000, ElfData, 32}, {1, 0x08100021, ElfData + 32, 32}}, payload)
        << false << IapError::ImageGap
        << "Firmware file \"%1\" holds two images more than 1 MiB apart: "
           "0x08000000-0x0800001F and 0x08100021-0x08100040; flash them one at a time";
}

void TestImageFormats::refusals()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, chinese);
    QFETCH(IapError, error);
    QFETCH(QString, message);

    const QString path = write(QStringLiteral("refused.bin"), content);
    QVERIFY(!path.isEmpty());
    const FirmwareFile file = iap::loadFirmwareFile(path);
    QCOMPARE(file.error, error);
    QVERIFY(file.image.isEmpty());
    QCOMPARE(iap::errorText(file.error, (chinese ? iap::Language::Chinese : iap::Language::English),
                            path, file.detail, file.fault),
             message.arg(path));
}

// Two pieces of data with space between them: the space is erased flash (0xFF), whatever
// the order of the records.
void TestImageFormats::gapFill_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<quint64>("base");

    const QByteArray a("\x01\x02\x03\x04", 4);
    const QByteArray b("\x00\x11", 2);
    const QByteArray c("\x21\x22", 2);
    const QByteArray image = a + QByteArray(4, '\xFF') + c + QByteArray(6, '\xFF') + b;
    QTest::newRow("hex, in order")
        << hexRecord(0, 0x100, a) + hexRecord(0, 0x108, c) + hexRecord(0, 0x110, b) + hexEnd()
        << image << quint64(0x100);
    QTest::newRow("hex, out of order")
        << hexRecord(0, 0x110, b) + hexRecord(0, 0x100, a) + hexRecord(0, 0x108, c) + hexEnd()
        << image << quint64(0x100);
    QTest::newRow("srec, out of order")
        << sRecord(0, 0, {}) + sRecord(2, 0x10108, c) + sRecord(2, 0x10110, b) +
               sRecord(2, 0x10100, a) + sRecord(8, 0x10100, {})
        << image << quint64(0x10100);
    QTest::newRow("hex with start address records")
        << hexRecord(3, 0, QByteArray("\x00\x00\x01\x00", 4)) + hexRecord(0, 0x100, a) +
               hexRecord(0, 0x108, c) + hexRecord(5, 0, QByteArray("\x00\x00\x01\x01", 4)) +
               hexRecord(0, 0x110, b) + hexEnd()
        << image << quint64(0x100);
    QTest::newRow("srec with an S5 count")
        << sRecord(0, 0, "hdr") + sRecord(1, 0x100, a) + sRecord(1, 0x108, c) +
               sRecord(1, 0x110, b) + sRecord(5, 3, {}) + sRecord(9, 0x100, {})
        << image << quint64(0x100);
    QTest::newRow("srec with an S6 count")
        << sRecord(1, 0x100, a) + sRecord(1, 0x108, c) + sRecord(1, 0x110, b) + sRecord(6, 3, {}) +
               sRecord(9, 0, {})
        << image << quint64(0x100);
    QTest::newRow("elf, out of order")
        << elf32({{1, 0x2010, ElfData, 2}, {1, 0x2000, ElfData + 2, 4}}, b + a + c)
        << a + QByteArray(12, '\xFF') + b << quint64(0x2000);
}

void TestImageFormats::gapFill()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, expected);
    QFETCH(quint64, base);

    const FirmwareFile file = iap::loadFirmwareFile(write(QStringLiteral("gaps.bin"), content));
    QCOMPARE(file.error, IapError::None);
    QCOMPARE(file.image.toHex(), expected.toHex());
    QCOMPARE(file.base, base);
    QCOMPARE(file.last, base + quint64(expected.size()) - 1);
}

// A gap of exactly 1 MiB is one image; one byte more is two.
void TestImageFormats::gapLimit_data()
{
    QTest::addColumn<int>("gap");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("1 MiB - 1") << (1 << 20) - 1 << true;
    QTest::newRow("1 MiB") << (1 << 20) << true;
    QTest::newRow("1 MiB + 1") << (1 << 20) + 1 << false;
}

void TestImageFormats::gapLimit()
{
    QFETCH(int, gap);
    QFETCH(bool, accepted);

    const QByteArray first = randomImage(16, 1);
    const QByteArray second = randomImage(8, 2);
    const quint32 at = 0x08000000u + 16u + quint32(gap);
    const QByteArray hex = hexUpper(0x0800) + hexRecord(0, 0, first) + hexUpper(quint16(at >> 16)) +
                           hexRecord(0, quint16(at), second) + hexEnd();
    const FirmwareFile file = iap::loadFirmwareFile(write(QStringLiteral("gap.bin"), hex));
    if (!accepted) {
        QCOMPARE(file.error, IapError::ImageGap);
        QCOMPARE(file.fault.firstHigh, quint64(0x0800000F));
        QCOMPARE(file.fault.secondLow, quint64(at));
        return;
    }
    QCOMPARE(file.error, IapError::None);
    QCOMPARE(file.image.size(), 16 + gap + 8);
    QVERIFY(file.image.startsWith(first));
    QVERIFY(file.image.endsWith(second));
    QCOMPARE(file.image.mid(16, gap), QByteArray(gap, '\xFF'));
}

// A forced format and a start address of one's own.
void TestImageFormats::options_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<ImageFormat>("forced");
    QTest::addColumn<bool>("hasBase");
    QTest::addColumn<quint64>("base");
    QTest::addColumn<IapError>("error");
    QTest::addColumn<ImageFormat>("format");
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<quint64>("last");

    QByteArray elfLike = QByteArray("\x7F"
                                    "ELF",
                                    4) +
                         randomImage(3000, 3);
    elfLike[4] = 0; // no ELF class: not a readable ELF file
    const QByteArray d = randomImage(16, 4);
    const QByteArray hex = hexUpper(0x0800) + hexRecord(0, 0x0010, d) + hexEnd();

    QTest::newRow("raw that starts like ELF, detected")
        << elfLike << ImageFormat::Auto << false << quint64(0) << IapError::ImageMalformed
        << ImageFormat::Elf << QByteArray() << quint64(0);
    QTest::newRow("raw that starts like ELF, --format bin")
        << elfLike << ImageFormat::Binary << false << quint64(0) << IapError::None
        << ImageFormat::Binary << elfLike << quint64(2999 + 4);
    QTest::newRow("hex sent as text with --format bin")
        << hex << ImageFormat::Binary << false << quint64(0) << IapError::None
        << ImageFormat::Binary << hex << quint64(hex.size() - 1);
    QTest::newRow("hex read as srec")
        << hex << ImageFormat::SRecord << false << quint64(0) << IapError::ImageMalformed
        << ImageFormat::SRecord << QByteArray() << quint64(0);
    QTest::newRow("raw read as hex")
        << randomImage(100, 5) << ImageFormat::IntelHex << false << quint64(0)
        << IapError::ImageMalformed << ImageFormat::IntelHex << QByteArray() << quint64(0);
    QTest::newRow("--base below the data")
        << hex << ImageFormat::Auto << true << quint64(0x08000000) << IapError::None
        << ImageFormat::IntelHex << QByteArray(16, '\xFF') + d << quint64(0x0800001F);
    QTest::newRow("--base at the data")
        << hex << ImageFormat::Auto << true << quint64(0x08000010) << IapError::None
        << ImageFormat::IntelHex << d << quint64(0x0800001F);
    QTest::newRow("--base above the data")
        << hex << ImageFormat::Auto << true << quint64(0x08000011) << IapError::ImageBelowBase
        << ImageFormat::IntelHex << QByteArray() << quint64(0);
    QTest::newRow("--base too high for a raw image")
        << d << ImageFormat::Auto << true << quint64(0xFFFFFFFFFFFFFFF8ull)
        << IapError::ImageMalformed << ImageFormat::Binary << QByteArray() << quint64(0);
    QTest::newRow("--base with a raw image")
        << d << ImageFormat::Auto << true << quint64(0x08000000) << IapError::None
        << ImageFormat::Binary << d << quint64(0x0800000F);
}

void TestImageFormats::options()
{
    QFETCH(QByteArray, content);
    QFETCH(ImageFormat, forced);
    QFETCH(bool, hasBase);
    QFETCH(quint64, base);
    QFETCH(IapError, error);
    QFETCH(ImageFormat, format);
    QFETCH(QByteArray, image);
    QFETCH(quint64, last);

    ImageOptions options;
    options.format = forced;
    options.hasBase = hasBase;
    options.base = base;
    const QString path = write(QStringLiteral("options.bin"), content);
    const FirmwareFile file = iap::loadFirmwareFile(path, options);
    QCOMPARE(file.error, error);
    QCOMPARE(file.format, format);
    QCOMPARE(file.image.toHex(), image.toHex());
    if (error != IapError::None) {
        if (error == IapError::ImageBelowBase)
            QCOMPARE(
                iap::errorText(file.error, iap::Language::English, path, file.detail, file.fault),
                QStringLiteral("Firmware file \"%1\": data at 0x08000010 lies below the "
                               "start address 0x08000011")
                    .arg(path));
        if (format == ImageFormat::Binary)
            QCOMPARE(
                iap::errorText(file.error, iap::Language::English, path, file.detail, file.fault),
                QStringLiteral("Firmware file \"%1\": malformed binary file: data beyond "
                               "the end of the address space")
                    .arg(path));
        return;
    }
    QCOMPARE(file.base, hasBase ? base : quint64(0));
    QCOMPARE(file.last, last);
}

// The same objcopy file with Unix or old Mac line ends, lower-case digits and record letters,
// blank lines and blanks at the line ends: the same image.
void TestImageFormats::textVariants_data()
{
    QTest::addColumn<QString>("output"); // objcopy's name of the format
    QTest::addColumn<QString>("variant");
    QTest::newRow("as written (CRLF)") << "ihex"
                                       << "none";
    QTest::newRow("LF") << "ihex"
                        << "lf";
    QTest::newRow("CRLF and lower-case digits") << "ihex"
                                                << "lower";
    QTest::newRow("LF and lower case") << "ihex"
                                       << "lf+lower";
    QTest::newRow("CR only") << "ihex"
                             << "cr";
    QTest::newRow("blank lines and trailing blanks") << "ihex"
                                                     << "blanks";
    QTest::newRow("no line end after the last record") << "ihex"
                                                       << "chop";
    QTest::newRow("byte order mark and indented records") << "ihex"
                                                          << "bom";
    QTest::newRow("srec as written") << "srec"
                                     << "none";
    QTest::newRow("srec lower case, s0 s3 s7") << "srec"
                                               << "lower";
    QTest::newRow("srec CR only") << "srec"
                                  << "cr";
}

void TestImageFormats::textVariants()
{
    QFETCH(QString, output);
    QFETCH(QString, variant);
    const QByteArray image = randomImage(70000, 70000);
    QVERIFY(!write(QStringLiteral("input.bin"), image).isEmpty());
    QVERIFY(run(m_objcopy, {"-I", "binary", "-O", output, "--change-addresses", "0x08000000",
                            "input.bin", "variant.hex"}));
    QByteArray hex = read(QStringLiteral("variant.hex"));
    const bool srec = output == QLatin1String("srec");
    QVERIFY(hex.startsWith(srec ? "S0" : ":02000004"));
    QCOMPARE(hex.count('\r'), hex.count('\n')); // objcopy ends its lines with CR LF
    if (variant.contains(QLatin1String("lf")))
        hex.replace("\r\n", "\n");
    if (variant == QLatin1String("cr"))
        hex.replace("\r\n", "\r");
    if (variant.contains(QLatin1String("lower")))
        hex = hex.toLower();
    if (variant == QLatin1String("blanks"))
        hex = "\n\r\n" + hex.replace("\n", " \t\n\n");
    if (variant == QLatin1String("chop"))
        hex.chop(1);
    if (variant == QLatin1String("bom"))
        hex = "\xEF\xBB\xBF  " + hex.replace("\n:", "\n\t:");
    QCOMPARE(hex.contains('\n'), variant != QLatin1String("cr"));
    const FirmwareFile file = iap::loadFirmwareFile(write(QStringLiteral("variant.bin"), hex));
    QCOMPARE(file.error, IapError::None);
    QCOMPARE(file.format, srec ? ImageFormat::SRecord : ImageFormat::IntelHex);
    QVERIFY(file.image == image);
    QCOMPARE(file.base, quint64(0x08000000));
}

// Files that start with ':' or 'S' but are binary, not text: raw images, byte for byte.
void TestImageFormats::rawLookalikes_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("colon, then binary") << ':' + randomImage(5000, 6);
    QTest::newRow("colon and digits, then binary")
        << QByteArray(":10000000") + QByteArray("\x00\x01\xFE", 3) + randomImage(2000, 7);
    QTest::newRow("S1, then binary") << "S1" + randomImage(3000, 8);
    QTest::newRow("S3 and digits, then binary")
        << QByteArray("S315080000") + QByteArray("\xFF\x00", 2) + randomImage(1000, 9);
    QTest::newRow("S and a letter") << QByteArray("Some text that is not a record\n");
    QTest::newRow("colon, text with a NUL in every few bytes")
        << ":00000001FF\n" + QByteArray("abc\0", 4).repeated(1000);
    QTest::newRow("UTF-16 byte order mark, then binary") << "\xFF\xFE" + randomImage(3000, 10);
    QTest::newRow("UTF-8 byte order mark, colon, then binary")
        << "\xEF\xBB\xBF:" + randomImage(3000, 11);
}

void TestImageFormats::rawLookalikes()
{
    QFETCH(QByteArray, content);
    const FirmwareFile file = iap::loadFirmwareFile(write(QStringLiteral("raw.bin"), content));
    QCOMPARE(file.error, IapError::None);
    QCOMPARE(file.format, ImageFormat::Binary);
    QVERIFY(file.image == content);
    QCOMPARE(file.base, quint64(0));
    QCOMPARE(file.last, quint64(content.size() - 1));
}

QTEST_GUILESS_MAIN(TestImageFormats)
#include "tst_imageformats.moc"
