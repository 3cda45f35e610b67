#pragma once
// Shared by the fuzz targets: an independent CRC-32, a check that aborts (libFuzzer and the
// corpus replay both treat an abort as a finding), and a silent Qt message handler so the
// diagnostics of the code under test do not slow the fuzzer down.
#include <QByteArray>
#include <QtGlobal>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);    \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzz {

// CRC-32/ISO-HDLC written from its definition (reflected polynomial 0xEDB88320, preset and
// final inversion), independent of the code under test; the table is built bit by bit.
inline quint32 crc32(const QByteArray &bytes, int count)
{
    static const struct Table
    {
        quint32 t[256];
        Table()
        {
            for (quint32 i = 0; i < 256; ++i) {
                quint32 r = i;
                for (int bit = 0; bit < 8; ++bit)
                    r = (r & 1u) ? (r >> 1) ^ 0xEDB88320u : (r >> 1);
                t[i] = r;
            }
        }
    } table;
    if (count <= 0)
        return 0;
    quint32 r = 0xFFFFFFFFu;
    const char *p = bytes.constData();
    for (int i = 0; i < count; ++i)
        r = (r >> 8) ^ table.t[(r ^ quint8(p[i])) & 0xFFu];
    return ~r;
}

// The bytes followed by their CRC-32, most significant byte first.
inline QByteArray withCrc(QByteArray body)
{
    const quint32 c = crc32(body, body.size());
    body.append(char(c >> 24)).append(char(c >> 16)).append(char(c >> 8)).append(char(c));
    return body;
}

// A reply frame the tool may store: at least 8 bytes, 0xF1 first, CRC-32 trailer.
inline bool isValidReply(const QByteArray &b)
{
    if (b.size() < 8 || quint8(b.at(0)) != 0xF1)
        return false;
    const quint32 c = crc32(b, b.size() - 4);
    const int n = b.size();
    return quint8(b.at(n - 4)) == quint8(c >> 24) && quint8(b.at(n - 3)) == quint8(c >> 16) &&
           quint8(b.at(n - 2)) == quint8(c >> 8) && quint8(b.at(n - 1)) == quint8(c);
}

inline void silentHandler(QtMsgType, const QMessageLogContext &, const QString &) {}

inline void silenceQt()
{
    static const bool done = (qInstallMessageHandler(silentHandler), true);
    (void)done;
}

// Reads the fuzz input front to back; past the end every byte is 0.
class Input
{
public:
    Input(const uint8_t *data, size_t size) : m_p(data), m_n(size) {}
    bool atEnd() const { return m_n == 0; }
    size_t left() const { return m_n; }
    uint8_t byte()
    {
        if (m_n == 0)
            return 0;
        --m_n;
        return *m_p++;
    }
    QByteArray bytes(size_t n)
    {
        n = n < m_n ? n : m_n;
        QByteArray out(reinterpret_cast<const char *>(m_p), int(n));
        m_p += n;
        m_n -= n;
        return out;
    }

private:
    const uint8_t *m_p;
    size_t m_n;
};

} // namespace fuzz
