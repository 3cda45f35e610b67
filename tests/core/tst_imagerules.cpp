// The rules a HEX, S-record or ELF file must follow, at the loader: what makes a file a record
// file (its text as a whole, not a perfect first line), the 4 GiB address space of the 32-bit
// formats, ELF segment sizes, a start address far below the data, and the number of separate
// pieces of data. Each row: the file, the result (error, message in the language of the row,
// or the image and its addresses).
#include "firmwarefile.h"
#include "imagefiles.h"
#include "messages.h"
#include "testfiles.h"

#include <QtTest>

using iap::FirmwareFile;
using iap::IapError;
using iap::ImageFormat;

Q_DECLARE_METATYPE(iap::IapError)
Q_DECLARE_METATYPE(iap::ImageFormat)

namespace {

constexpr int MaxPieces = 1048576; // the documented limit of separate pieces of data

// The text as UTF-16 (its characters are ASCII), with or without a byte order mark.
QByteArray utf16(const QByteArray &text, bool little, bool bom)
{
    QByteArray out = bom ? QByteArray(little ? "\xFF\xFE" : "\xFE\xFF") : QByteArray();
    for (char c : text)
        out += little ? QByteArray(1, c) + '\0' : '\0' + QByteArray(1, c);
    return out;
}

// count one-byte HEX records, record k holding byte k % 251 at address(k), with an extended
// linear address record wherever the upper half changes. *line: the line of the last record.
// (Written straight into one buffer: a million records through hexRecord() take a minute
// under the sanitizers.)
template <typename Address>
QByteArray oneByteRecords(int count, Address address, int *line = nullptr)
{
    static const char digits[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(count * 14 + 64);
    quint32 upper = 0xFFFFFFFF;
    for (int k = 0, lines = 0; k < count; ++k, ++lines) {
        if (address(k) >> 16 != upper) {
            upper = address(k) >> 16;
            out += hexUpper(quint16(upper));
            ++lines;
        }
        // :01 AAAA 00 DD CC
        const quint16 at = quint16(address(k));
        const quint8 fields[5] = {1, quint8(at >> 8), quint8(at), 0, quint8(k % 251)};
        char text[14];
        text[0] = ':';
        quint8 sum = 0;
        for (int i = 0; i < 5; ++i) {
            sum = quint8(sum + fields[i]);
            text[1 + 2 * i] = digits[fields[i] >> 4];
            text[2 + 2 * i] = digits[fields[i] & 0xF];
        }
        const quint8 check = quint8(0x100 - sum);
        text[11] = digits[check >> 4];
        text[12] = digits[check & 0xF];
        text[13] = '\n';
        out.append(text, 14);
        if (line)
            *line = lines + 1;
    }
    return out + hexEnd();
}

} // namespace

class TestImageRules : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void recordText_data();
    void recordText() { verifyLoad(); }
    void addressSpace_data();
    void addressSpace() { verifyLoad(); }
    void startAddress_data();
    void startAddress() { verifyLoad(); }
    void pieces_data();
    void pieces() { verifyLoad(); }

private:
    static void addColumns();
    static void refused(const char *name, const QByteArray &content, qint64 base, bool chinese,
                        IapError error, const QString &message);
    static void loaded(const char *name, const QByteArray &content, qint64 base, ImageFormat format,
                       const QByteArray &image, quint64 first);
    void verifyLoad();

    QTemporaryDir m_dir;
};

void TestImageRules::addColumns()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qint64>("base"); // --base, -1 for none
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<IapError>("error");
    QTest::addColumn<QString>("message"); // %1 stands for the path
    QTest::addColumn<ImageFormat>("format");
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<quint64>("first"); // the address of the image's first byte
}

void TestImageRules::refused(const char *name, const QByteArray &content, qint64 base, bool chinese,
                             IapError error, const QString &message)
{
    QTest::newRow(name) << content << base << chinese << error << message << ImageFormat::Auto
                        << QByteArray() << quint64(0);
}

void TestImageRules::loaded(const char *name, const QByteArray &content, qint64 base,
                            ImageFormat format, const QByteArray &image, quint64 first)
{
    QTest::newRow(name) << content << base << false << IapError::None << QString() << format
                        << image << first;
}

void TestImageRules::verifyLoad()
{
    QFETCH(QByteArray, content);
    QFETCH(qint64, base);
    QFETCH(bool, chinese);
    QFETCH(IapError, error);
    QFETCH(QString, message);
    QFETCH(ImageFormat, format);
    QFETCH(QByteArray, image);
    QFETCH(quint64, first);

    const QString path = writeFile(m_dir, QStringLiteral("firmware.bin"), content);
    QVERIFY(!path.isEmpty());
    iap::ImageOptions options;
    options.hasBase = base >= 0;
    options.base = quint64(base);
    const FirmwareFile file = iap::loadFirmwareFile(path, options);
    QCOMPARE(file.error, error);
    QCOMPARE(file.size, qint64(content.size()));
    if (error != IapError::None) {
        QVERIFY(file.image.isEmpty());
        QCOMPARE(iap::errorText(file.error,
                                (chinese ? iap::Language::Chinese : iap::Language::English), path,
                                file.detail, file.fault),
                 message.arg(path));
        return;
    }
    QCOMPARE(file.format, format);
    QCOMPARE(file.image.size(), image.size());
    QVERIFY(file.image == image);
    QCOMPARE(file.base, first);
    QCOMPARE(file.last, first + quint64(image.size()) - 1);
}

// Damage on the first line is refused like damage on any other line: a text file whose first
// record starts with ':' or 'S' is a record file. Lines may end with CR alone (a file that
// loads so, and lower-case S-records, are tst_imageformats' textVariants).
void TestImageRules::recordText_data()
{
    addColumns();
    const QByteArray d16 = randomImage(16, 21);
    const QByteArray one = hexRecord(0, 0x0000, d16);
    const QByteArray two = hexRecord(0, 0x0010, d16) + hexEnd();
    const QByteArray line1 = one.left(one.size() - 1); // without its line end
    auto malformed = [](int line, const char *reason) {
        return QStringLiteral("Firmware file \"%1\": malformed record on line %2: %3")
            .arg(QStringLiteral("%1"), QString::number(line), QString::fromUtf8(reason));
    };

    refused("hex, 'Z' after line 1", line1 + "Z\r\n" + two, -1, false, IapError::ImageMalformed,
            malformed(1, "a character that is not a hexadecimal digit"));
    refused("hex, NUL after line 1, chinese", line1 + QByteArray("\0\n", 2) + two, -1, true,
            IapError::ImageMalformed,
            QString::fromUtf8("固件文件“%1”：第 1 行记录格式错误：含有非文本字节（0x00）"));
    refused("hex, Ctrl-Z after the end record", one + two + "\x1A", -1, false,
            IapError::ImageMalformed, malformed(4, "a byte that is not text (0x1A)"));
    refused("hex, a word on line 1", ":hello, this is a text file\n", -1, false,
            IapError::ImageMalformed, malformed(1, "a character that is not a hexadecimal digit"));
    refused("hex, too few digits", ":00000001\n", -1, false, IapError::ImageMalformed,
            malformed(1, "the length byte does not match the line"));
    refused("hex, odd digits", ":00000001F\n", -1, false, IapError::ImageMalformed,
            malformed(1, "the length byte does not match the line"));
    QByteArray crOnly = one + two;
    crOnly.replace('\n', '\r');
    QByteArray crBad = crOnly;
    crBad[crBad.indexOf('\r') + 6] = 'F'; // an address digit of line 2
    refused("hex, CR only, damage on line 2", crBad, -1, false, IapError::ImageChecksum,
            "Firmware file \"%1\": checksum error on line 2");

    const QByteArray sHead = sRecord(0, 0, "hdr");
    const QByteArray sData = sRecord(1, 0x100, d16);
    const QByteArray sEnd = sRecord(9, 0, {});
    refused("srec, a digit missing on line 1", sHead.left(5) + sHead.mid(6) + sData + sEnd, -1,
            false, IapError::ImageMalformed,
            malformed(1, "the length byte does not match the line"));
    refused("srec, lower case, junk after line 1", sData.toLower().trimmed() + "zz\n" + sEnd, -1,
            false, IapError::ImageMalformed,
            malformed(1, "a character that is not a hexadecimal digit"));

    auto wide = [](const char *format) {
        return QStringLiteral("Firmware file \"%1\" is %2 text saved as UTF-16: save it as ASCII "
                              "or UTF-8 and load it again")
            .arg(QStringLiteral("%1"), QString::fromUtf8(format));
    };
    refused("hex, UTF-16 little-endian with a byte order mark", utf16(one + two, true, true), -1,
            false, IapError::ImageMalformed, wide("Intel HEX"));
    refused("hex, UTF-16 big-endian without one", utf16(one + two, false, false), -1, false,
            IapError::ImageMalformed, wide("Intel HEX"));
    refused("srec, UTF-16, chinese", utf16(sHead + sData + sEnd, true, false), -1, true,
            IapError::ImageMalformed,
            QString::fromUtf8("固件文件“%1”是 UTF-16 编码的 Motorola S-record 文本：请将其另存为 "
                              "ASCII 或 UTF-8 后再加载"));

    // 2000 good records (88 000 bytes of text), a NUL in the one on line 1601, past the first
    // 64 KiB the format is decided from: still a record file, refused at that line.
    QByteArray late;
    for (int k = 0; k < 2000; ++k)
        late += hexRecord(0, quint16(16 * k), d16);
    late.insert(1600 * one.size() + 20, '\0');
    QVERIFY(late.indexOf('\0') > 65536);
    refused("hex, a NUL past the first 64 KiB", late + hexEnd(), -1, false,
            IapError::ImageMalformed, malformed(1601, "a byte that is not text (0x00)"));
}

// 32-bit formats end at 0xFFFFFFFF. HEX segment addresses are segment × 16 + offset, without
// a wrap at 64 KiB or 1 MiB. An ELF segment holds no more bytes in the file than in memory.
void TestImageRules::addressSpace_data()
{
    addColumns();
    const QByteArray d16 = randomImage(16, 22);
    const QString past = QStringLiteral("Firmware file \"%1\": malformed record on line 2: data "
                                        "beyond the end of the address space");
    loaded("hex, up to 0xFFFFFFFF", hexUpper(0xFFFF) + hexRecord(0, 0xFFF0, d16) + hexEnd(), -1,
           ImageFormat::IntelHex, d16, 0xFFFFFFF0);
    refused("hex, 8 bytes past 4 GiB", hexUpper(0xFFFF) + hexRecord(0, 0xFFF8, d16) + hexEnd(), -1,
            false, IapError::ImageMalformed, past);
    refused("hex, 8 bytes past 4 GiB, chinese",
            hexUpper(0xFFFF) + hexRecord(0, 0xFFF8, d16) + hexEnd(), -1, true,
            IapError::ImageMalformed,
            QString::fromUtf8("固件文件“%1”：第 2 行记录格式错误：数据超出地址空间末尾"));
    loaded("hex segment, a record across the 64 KiB offset",
           hexRecord(2, 0, QByteArray("\xF0\x00", 2)) + hexRecord(0, 0xFFF8, d16) + hexEnd(), -1,
           ImageFormat::IntelHex, d16, 0xFFFF8);
    loaded("hex segment, the highest",
           hexRecord(2, 0, QByteArray("\xFF\xFF", 2)) + hexRecord(0, 0xFFF8, d16) + hexEnd(), -1,
           ImageFormat::IntelHex, d16, 0x10FFE8);
    const QByteArray sHead = sRecord(0, 0, "hdr");
    loaded("srec S3, up to 0xFFFFFFFF", sHead + sRecord(3, 0xFFFFFFF0, d16) + sRecord(7, 0, {}), -1,
           ImageFormat::SRecord, d16, 0xFFFFFFF0);
    refused("srec S3, 8 bytes past 4 GiB", sHead + sRecord(3, 0xFFFFFFF8, d16) + sRecord(7, 0, {}),
            -1, false, IapError::ImageMalformed, past);

    const QByteArray payload = d16 + d16;
    loaded("elf32, up to 0xFFFFFFFF", elf32({{1, 0xFFFFFFE0, ElfData, 32}, {4, 0, 0, 0}}, payload),
           -1, ImageFormat::Elf, payload, 0xFFFFFFE0);
    refused("elf32, 8 bytes past 4 GiB",
            elf32({{1, 0xFFFFFFE8, ElfData, 32}, {4, 0, 0, 0}}, payload), -1, false,
            IapError::ImageMalformed,
            "Firmware file \"%1\": malformed ELF file: data beyond the end of the address space");
    refused("elf, more bytes in the file than in memory",
            elf32({{1, 0x1000, ElfData, 32, 16}, {4, 0, 0, 0}}, payload), -1, false,
            IapError::ImageMalformed,
            "Firmware file \"%1\": malformed ELF file: a segment is larger in the file than in "
            "memory");
    refused(
        "elf, more bytes in the file than in memory, chinese",
        elf32({{1, 0x1000, ElfData, 32, 31}, {4, 0, 0, 0}}, payload), -1, true,
        IapError::ImageMalformed,
        QString::fromUtf8("固件文件“%1”：ELF 文件格式错误：某个段在文件中的大小超过其内存大小"));
    // .data followed by .bss: only the bytes in the file are sent.
    loaded("elf, fewer bytes in the file than in memory",
           elf32({{1, 0x1000, ElfData, 32, 4096}, {4, 0, 0, 0}}, payload), -1, ImageFormat::Elf,
           payload, 0x1000);
}

// --base below the data: at most 1 MiB of 0xFF before it, as between two pieces of data.
void TestImageRules::startAddress_data()
{
    addColumns();
    const QByteArray d16 = randomImage(16, 23);
    const QByteArray hex = hexUpper(0x0820) + hexRecord(0, 0, d16) + hexEnd();
    loaded("1 MiB of 0xFF before the data", hex, 0x08100000, ImageFormat::IntelHex,
           QByteArray(1 << 20, '\xFF') + d16, 0x08100000);
    const QString far = QStringLiteral("Firmware file \"%1\": the start address 0x080FFFFF lies "
                                       "more than 1 MiB below the data (0x08200000-0x0820000F): "
                                       "0x080FFFFF-0x081FFFFF would be sent as 0xFF; check the "
                                       "start address");
    refused("1 MiB and 1 byte", hex, 0x080FFFFF, false, IapError::ImageBaseGap, far);
    refused(
        "1 MiB and 1 byte, chinese", hex, 0x080FFFFF, true, IapError::ImageBaseGap,
        QString::fromUtf8("固件文件“%1”：起始地址 0x080FFFFF 比数据（0x08200000-0x0820000F）"
                          "低 1 MiB 以上：0x080FFFFF-0x081FFFFF 将全部作为 0xFF 发送；请检查起始"
                          "地址"));
    refused("elf at 0x08000000, --base 0", elf32({{1, 0x08000000, ElfData, 16}, {4, 0, 0, 0}}, d16),
            0, false, IapError::ImageBaseGap,
            "Firmware file \"%1\": the start address 0x00000000 lies more than 1 MiB below the "
            "data (0x08000000-0x0800000F): 0x00000000-0x07FFFFFF would be sent as 0xFF; check "
            "the start address");
}

// At most 1 048 576 separate pieces of data. Records that follow one another in address,
// upwards, or downwards when of one length, are one piece.
void TestImageRules::pieces_data()
{
    addColumns();
    QByteArray spread((2 * MaxPieces) - 1, '\xFF');
    for (int k = 0; k < MaxPieces; ++k)
        spread[2 * k] = char(k % 251);
    loaded("1048576 pieces, a byte every other address",
           oneByteRecords(MaxPieces, [](int k) { return quint32(2 * k); }), -1,
           ImageFormat::IntelHex, spread, 0);
    int line = 0;
    const QByteArray tooMany = oneByteRecords(
        MaxPieces + 1, [](int k) { return quint32(2 * k); }, &line);
    QCOMPARE(line, MaxPieces + 1 + 33); // and an address record for every 64 KiB before it
    refused("1048577 pieces", tooMany, -1, false, IapError::ImageMalformed,
            QStringLiteral("Firmware file \"%1\": malformed record on line %2: more than 1048576 "
                           "separate pieces of data")
                .arg(QStringLiteral("%1"), QString::number(line)));

    const int down = MaxPieces + 1;
    QByteArray downImage(down, '\0');
    for (int k = 0; k < down; ++k)
        downImage[down - 1 - k] = char(k % 251);
    loaded("1048577 one-byte records written downwards",
           oneByteRecords(down, [down](int k) { return quint32(0x20000000 + down - 1 - k); }), -1,
           ImageFormat::IntelHex, downImage, 0x20000000);

    // 16-byte records from the top down, then one of 8 bytes at the bottom, then 16-byte ones
    // down again: three pieces that meet.
    const QByteArray image = randomImage(100 * 16 + 8, 24);
    QByteArray hex = hexUpper(0x0800);
    for (int k = 99; k >= 50; --k)
        hex += hexRecord(0, quint16(8 + 16 * k), image.mid(8 + 16 * k, 16));
    hex += hexRecord(0, 0, image.left(8));
    for (int k = 49; k >= 0; --k)
        hex += hexRecord(0, quint16(8 + 16 * k), image.mid(8 + 16 * k, 16));
    loaded("16-byte records written downwards, one of 8 bytes among them", hex + hexEnd(), -1,
           ImageFormat::IntelHex, image, 0x08000000);
    const QByteArray d16 = randomImage(16, 25);
    refused("downwards, overlapping the record before",
            hexRecord(0, 0x20, d16) + hexRecord(0, 0x10, d16) + hexRecord(0, 0x08, d16) + hexEnd(),
            -1, false, IapError::ImageOverlap,
            "Firmware file \"%1\": overlapping data: 0x00000008-0x00000017 and "
            "0x00000010-0x0000002F");
}

QTEST_GUILESS_MAIN(TestImageRules)
#include "tst_imagerules.moc"
