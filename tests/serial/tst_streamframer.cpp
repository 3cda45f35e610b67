// The flasher's stream framer against exact byte streams: noise before, between and after
// frames, start bytes inside noise, frames cut into many reads, several frames in one read,
// and the bounds on frame length and open candidates.
#include "streamframer.h"

#include <QtTest>

#include "wireframes.h"

namespace {

// Frames whose CRC-32 trailers were computed with zlib.
const char *const Accepted = "F1810000FF69DF69";           // request accepted, 8 bytes
const char *const Ack5 = "F182000501FE563493";             // package 5 written
const char *const Ack4 = "F182000401E74D05D2";             // package 4 written
const char *const Ack5Error = "F182000502675F6529";        // package 5 rejected
const char *const Ack5Padded = "F1820005010000003936D873"; // three bytes of padding
const char *const KeepAlive = "F1800000FEABB55E";          // a frame the tool gives no meaning
const char *const Request = "F1010000138800052D7486CF";    // the tool's own request, echoed
const char *const SevenBytes = "F1810069DF69FF";           // 0xF1, two bytes and their CRC

QByteArray hexOf(const QString &text)
{
    return QByteArray::fromHex(text.toLatin1());
}

// The bytes of the frames found, in order.
QVector<QByteArray> bytesOf(const QVector<links::StreamFramer::Frame> &frames)
{
    QVector<QByteArray> out;
    for (const links::StreamFramer::Frame &f : frames)
        out << f.bytes;
    return out;
}

QStringList hexList(const QVector<QByteArray> &frames)
{
    QStringList out;
    for (const QByteArray &f : frames)
        out << QString::fromLatin1(f.toHex().toUpper());
    return out;
}

// A valid frame of exactly n bytes: 0xF1, a filler, and the CRC.
QByteArray frameOfLength(int n)
{
    QByteArray body(n - 4, char(0x5A));
    body[0] = char(0xF1);
    body[1] = char(0x82);
    return withCrc(body);
}

} // namespace

class TestStreamFramer : public QObject
{
    Q_OBJECT

private slots:
    void literalFramesMatchZlib();
    void streams_data();
    void streams();
    void sameFramesHoweverTheReadsAreCut_data();
    void sameFramesHoweverTheReadsAreCut();
    void longestFrame_data();
    void longestFrame();
    void startBytesBeyondTheOpenLimit();
    void pendingBytesStayBounded();
};

void TestStreamFramer::literalFramesMatchZlib()
{
    for (const char *f :
         {Accepted, Ack5, Ack4, Ack5Error, Ack5Padded, KeepAlive, Request, SevenBytes}) {
        const QByteArray frame = hexOf(QLatin1String(f));
        QCOMPARE(withCrc(frame.left(frame.size() - 4)), frame);
    }
}

// Each read is a hex string; the frames the stream yields, in order, and the bytes skipped.
void TestStreamFramer::streams_data()
{
    QTest::addColumn<QStringList>("reads");
    QTest::addColumn<QStringList>("frames");
    QTest::addColumn<int>("skipped");
    QTest::addColumn<int>("pending"); // bytes still held at the end

    const auto s = [](const char *a) { return QString::fromLatin1(a); };

    QTest::newRow("one frame, one read") << QStringList{s(Ack5)} << QStringList{s(Ack5)} << 0 << 0;
    QTest::newRow("eight bytes is a frame")
        << QStringList{s(Accepted)} << QStringList{s(Accepted)} << 0 << 0;
    QTest::newRow("seven bytes with their CRC are not")
        << QStringList{s(SevenBytes)} << QStringList{} << 0 << 7;
    QTest::newRow("a stray byte before")
        << QStringList{"00" + s(Ack5)} << QStringList{s(Ack5)} << 1 << 0;
    QTest::newRow("noise before, in its own read")
        << QStringList{"0102030405", s(Ack5)} << QStringList{s(Ack5)} << 5 << 0;
    QTest::newRow("noise between two frames in one read")
        << QStringList{s(Accepted) + "123456" + s(Ack5)} << QStringList{s(Accepted), s(Ack5)} << 3
        << 0;
    QTest::newRow("noise after a frame")
        << QStringList{s(Ack5) + "FFEE"} << QStringList{s(Ack5)} << 2 << 0;
    QTest::newRow("stray bytes after a frame do not spoil the next")
        << QStringList{s(Ack4) + "F1F1", s(Ack5)} << QStringList{s(Ack4), s(Ack5)} << 2 << 0;
    QTest::newRow("a start byte inside the noise")
        << QStringList{"00F1AB82F1" + s(Ack5)} << QStringList{s(Ack5)} << 5 << 0;
    QTest::newRow("a start byte just before the frame")
        << QStringList{"F1" + s(Ack5)} << QStringList{s(Ack5)} << 1 << 0;
    QTest::newRow("frame cut into single bytes")
        << QStringList{"F1", "82", "00", "05", "01", "FE", "56", "34", "93"} << QStringList{s(Ack5)}
        << 0 << 0;
    QTest::newRow("frame cut through its trailer")
        << QStringList{"00F1820005", "01FE", "5634", "93FF"} << QStringList{s(Ack5)} << 2 << 0;
    QTest::newRow("two frames in one read")
        << QStringList{s(Accepted) + s(Ack5)} << QStringList{s(Accepted), s(Ack5)} << 0 << 0;
    QTest::newRow("three frames cut across reads")
        << QStringList{s(Ack4) + "F182", "00050267", "5F6529" + s(KeepAlive)}
        << QStringList{s(Ack4), s(Ack5Error), s(KeepAlive)} << 0 << 0;
    QTest::newRow("padded acknowledgement taken whole")
        << QStringList{s(Ack5Padded)} << QStringList{s(Ack5Padded)} << 0 << 0;
    QTest::newRow("padded acknowledgement after noise, in two reads")
        << QStringList{"AAF1", s(Ack5Padded).left(10), s(Ack5Padded).mid(10)}
        << QStringList{s(Ack5Padded)} << 2 << 0;
    QTest::newRow("bad trailer: skipped, the next frame found")
        << QStringList{"F182000501FE563494" + s(Accepted)} << QStringList{s(Accepted)} << 9 << 0;
    QTest::newRow("echoed request, then the answer")
        << QStringList{s(Request), s(Accepted)} << QStringList{s(Request), s(Accepted)} << 0 << 0;
    QTest::newRow("incomplete frame held")
        << QStringList{"00F182000501FE56"} << QStringList{} << 1 << 7;
    QTest::newRow("noise only") << QStringList{"000102", "030405"} << QStringList{} << 6 << 0;
    QTest::newRow("nothing") << QStringList{""} << QStringList{} << 0 << 0;
}

void TestStreamFramer::streams()
{
    QFETCH(QStringList, reads);
    QFETCH(QStringList, frames);
    QFETCH(int, skipped);
    QFETCH(int, pending);

    links::StreamFramer framer;
    QVector<QByteArray> found;
    for (const QString &read : reads)
        found += bytesOf(framer.append(hexOf(read)));
    QCOMPARE(hexList(found), frames);
    QCOMPARE(framer.skippedBytes(), qint64(skipped));
    QCOMPARE(framer.pendingBytes(), pending);
}

// The frames found do not depend on where the reads were cut.
void TestStreamFramer::sameFramesHoweverTheReadsAreCut_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("frames");
    QTest::newRow("noise and frames")
        << hexOf(QStringLiteral("00F1") + Accepted + "F1F1F1" + Ack4 + Ack5Padded + "F1" + Ack5)
        << 4;
    QByteArray acks;
    for (int i = 0; i < 50; ++i)
        acks += (i % 3 ? QByteArray() : hex("F1 00")) + ackFrame(i, 1);
    QTest::newRow("fifty acknowledgements, some after noise") << acks << 50;
}

void TestStreamFramer::sameFramesHoweverTheReadsAreCut()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, frames);

    links::StreamFramer whole;
    QVector<QByteArray> expected;
    expected += bytesOf(whole.append(stream));
    QCOMPARE(expected.size(), frames);
    for (int step = 1; step <= 13; step += 3) {
        links::StreamFramer cut;
        QVector<QByteArray> found;
        for (int i = 0; i < stream.size(); i += step)
            found += bytesOf(cut.append(stream.mid(i, step)));
        QCOMPARE(found, expected);
        QCOMPARE(cut.skippedBytes(), whole.skippedBytes());
    }
}

// A reply may be 2048 bytes long, not more.
void TestStreamFramer::longestFrame_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("found");
    QTest::newRow("2047") << 2047 << true;
    QTest::newRow("2048") << 2048 << true;
    QTest::newRow("2049") << 2049 << false;
}

void TestStreamFramer::longestFrame()
{
    QFETCH(int, length);
    QFETCH(bool, found);
    const QByteArray frame = frameOfLength(length);
    links::StreamFramer framer;
    QVector<QByteArray> frames;
    frames += bytesOf(framer.append(hex("00") + frame + ackFrame(1, 1)));
    QVector<QByteArray> expected;
    if (found)
        expected << frame;
    expected << ackFrame(1, 1);
    QCOMPARE(frames, expected);
}

// A long run of start bytes (a line stuck at 0xF1) keeps 64 candidates open, the newest;
// the frame that follows is found all the same.
void TestStreamFramer::startBytesBeyondTheOpenLimit()
{
    links::StreamFramer framer;
    QVector<QByteArray> frames;
    frames += bytesOf(framer.append(QByteArray(500, char(0xF1))));
    QCOMPARE(framer.openCandidates(), 64);
    QCOMPARE(framer.pendingBytes(), 64);
    QCOMPARE(framer.skippedBytes(), qint64(436));
    frames += bytesOf(framer.append(ackFrame(7, 1)));
    QCOMPARE(frames, QVector<QByteArray>{ackFrame(7, 1)});
    QCOMPARE(framer.skippedBytes(), qint64(500));
    QCOMPARE(framer.openCandidates(), 0);
}

// Noise that never forms a frame is not hoarded, and does not hide the reply that follows.
void TestStreamFramer::pendingBytesStayBounded()
{
    links::StreamFramer framer;
    QVector<QByteArray> frames;
    QByteArray noise(100000, '\0');
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = char(i % 97 == 0 ? 0xF1 : (i * 31) & 0x7F);
    for (int i = 0; i < noise.size(); i += 3) {
        frames += bytesOf(framer.append(noise.mid(i, 3)));
        QVERIFY(framer.pendingBytes() <= links::StreamFramer::MaxFrame);
    }
    QCOMPARE(frames.size(), 0);
    QCOMPARE(framer.skippedBytes() + framer.pendingBytes(), qint64(noise.size()));
    // A reply after all that is found whole, with the noise before it skipped.
    frames += bytesOf(framer.append(ackFrame(9, 1) + hex("00")));
    QCOMPARE(frames, QVector<QByteArray>{ackFrame(9, 1)});
    QCOMPARE(framer.skippedBytes(), qint64(noise.size() + 1));
    QCOMPARE(framer.pendingBytes(), 0);
}

QTEST_GUILESS_MAIN(TestStreamFramer)
#include "tst_streamframer.moc"
