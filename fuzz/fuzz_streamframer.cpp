// The flasher's stream framer fed arbitrary byte streams cut into arbitrary reads. It must
// find exactly the frames an independent, slow model of the same rule finds (each start byte
// opens a candidate; a candidate ends at the first byte where a CRC-32 trailer matches, at
// least 8 and at most MaxFrame bytes; the earliest start wins; at most MaxCandidates open,
// the oldest given up first; after a frame everything starts afresh), whatever the cuts; every
// frame must be a valid reply; no byte may be lost from the accounting.
//
// Input: a sequence of commands, each one control byte c:
//   c >> 6 == 0: the next (c & 0x3F) bytes of the input arrive as one read
//   c >> 6 == 1: a valid frame arrives in one read: 0xF1, then the next (c & 0x3F) bytes,
//                then their CRC-32 (shorter than 8 bytes when c & 0x3F < 3)
//   c >> 6 == 2: a run of (c & 0x3F) + 1 start bytes arrives, cut into reads of the size
//                given by the next byte (at least 1)
//   c >> 6 == 3: the next (c & 0x3F) + 1 bytes arrive repeated (next byte % 32 + 1) * 8 times
#include "fuzzcheck.h"
#include "streamframer.h"

#include <QList>
#include <QVector>

#include <cstddef>
#include <cstdint>

namespace {

// The rule written out plainly, with its own bit-by-bit CRC: each candidate keeps the CRC of
// all its bytes but the last four, and is a frame when those four are that CRC.
class Model
{
public:
    void append(const QByteArray &bytes, QVector<QByteArray> *frames)
    {
        for (const char byte : bytes) {
            for (Candidate &c : m_open)
                c.bytes.append(byte);
            while (!m_open.isEmpty() && m_open.first().bytes.size() > links::StreamFramer::MaxFrame)
                m_open.removeFirst();
            bool found = false;
            for (Candidate &c : m_open) {
                const int n = c.bytes.size();
                if (n < 5)
                    break;
                c.crc = step(c.crc, quint8(c.bytes.at(n - 5)));
                if (n >= 8 && ~c.crc == trailer(c.bytes)) {
                    frames->append(c.bytes);
                    found = true;
                    break;
                }
            }
            if (found) {
                m_open.clear();
                continue;
            }
            if (quint8(byte) == 0xF1) {
                if (m_open.size() == links::StreamFramer::MaxCandidates)
                    m_open.removeFirst();
                m_open.append({QByteArray(1, byte), 0xFFFFFFFFu});
            }
        }
    }

private:
    struct Candidate
    {
        QByteArray bytes;
        quint32 crc;
    };
    static quint32 step(quint32 r, quint8 b)
    {
        r ^= b;
        for (int bit = 0; bit < 8; ++bit)
            r = (r & 1u) ? (r >> 1) ^ 0xEDB88320u : (r >> 1);
        return r;
    }
    static quint32 trailer(const QByteArray &b)
    {
        const int n = b.size();
        return quint32(quint8(b.at(n - 4))) << 24 | quint32(quint8(b.at(n - 3))) << 16 |
               quint32(quint8(b.at(n - 2))) << 8 | quint32(quint8(b.at(n - 1)));
    }

    QList<Candidate> m_open; // in the order they opened
};

// The bytes of the frames found, in order.
QVector<QByteArray> bytesOf(const QVector<links::StreamFramer::Frame> &frames)
{
    QVector<QByteArray> out;
    for (const links::StreamFramer::Frame &f : frames)
        out << f.bytes;
    return out;
}

// Streams stop growing here, so that one input stays fast.
constexpr qint64 MaxStream = 16 * 1024;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::silenceQt();
    fuzz::Input in(data, size);

    links::StreamFramer framer;
    links::StreamFramer byteByByte;
    Model model;
    QVector<QByteArray> frames, single, expected;
    qint64 total = 0;
    qint64 framed = 0; // bytes in the frames checked so far
    int checked = 0;

    const auto arrive = [&](const QByteArray &read) {
        frames += bytesOf(framer.append(read));
        for (const char b : read)
            single += bytesOf(byteByByte.append(&b, 1));
        model.append(read, &expected);
        total += read.size();
    };

    while (!in.atEnd() && total < MaxStream) {
        const uint8_t c = in.byte();
        switch (c >> 6) {
        case 0:
            arrive(in.bytes(c & 0x3F));
            break;
        case 1: {
            QByteArray body(1, char(0xF1));
            body += in.bytes(c & 0x3F);
            arrive(fuzz::withCrc(body));
            break;
        }
        case 2: {
            const QByteArray run((c & 0x3F) + 1, char(0xF1));
            const int step = qMax(1, int(in.byte()));
            for (int i = 0; i < run.size(); i += step)
                arrive(run.mid(i, step));
            break;
        }
        case 3: {
            const QByteArray unit = in.bytes((c & 0x3F) + 1);
            arrive(unit.repeated((in.byte() % 32 + 1) * 8));
            break;
        }
        }
        FUZZ_CHECK(frames.size() == expected.size());
        FUZZ_CHECK(single.size() == frames.size());
        FUZZ_CHECK(framer.pendingBytes() <= links::StreamFramer::MaxFrame);
        FUZZ_CHECK(framer.openCandidates() <= links::StreamFramer::MaxCandidates);
        for (; checked < frames.size(); ++checked) {
            const QByteArray &f = frames.at(checked);
            FUZZ_CHECK(f == expected.at(checked));
            FUZZ_CHECK(f == single.at(checked));
            FUZZ_CHECK(fuzz::isValidReply(f));
            FUZZ_CHECK(f.size() <= links::StreamFramer::MaxFrame);
            framed += f.size();
        }
        // Every byte is in a frame, skipped, or still held.
        FUZZ_CHECK(framed + framer.skippedBytes() + framer.pendingBytes() == total);
    }
    return 0;
}
