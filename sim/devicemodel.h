#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

// Which packages a fault hits: listed indices the first time each is answered, or every
// package every time ("all").
struct FaultSet
{
    QSet<int> indices;
    bool all = false;

    bool hits(int index, bool firstAnswer) const
    {
        return all || (firstAnswer && indices.contains(index));
    }
    bool isEmpty() const { return !all && indices.isEmpty(); }
    // "3,5,7" or "all"; false on anything else.
    static bool parse(const QString &text, FaultSet *out);
};

struct DeviceOptions
{
    FaultSet loseAck;     // no reply
    FaultSet errorStatus; // reply with status 2
    FaultSet corruptAck;  // reply with a wrong CRC trailer
    FaultSet noise;       // one 0x00 byte just before the reply
    FaultSet split;       // reply in two pieces
    // Faults of devices that break the protocol itself, kept apart from the line faults above.
    FaultSet shortAck;       // answer F1 82 idx CRC (8 bytes, no status byte); nothing written
    bool trustTotal = false; // take the request's package total at its word, not its length
    int pad = 0;             // uninterpreted bytes after the status byte of every acknowledgement
    int ignoreRequests = 0;
    bool silent = false;
    bool echo = false;      // every byte received goes back at once, before any answer
    int writeMs = 0;        // time a package takes to write: its answer comes this much later
    int keepAliveMs = 0;    // while a package is written, a keep-alive frame this often
    double faultRate = 0.0; // seeded random faults on each package's first answer
    quint64 seed = 1;
};

// The boot loader as a pure object: bytes from the tool go in with the time they arrived,
// reply frames come out. It reassembles the image from the data packages, resynchronises
// on garbage and applies the configured faults. No clock, no file, no tty.
//
// Wire format (all fields big-endian, CRC-32 trailer over everything before it):
//   request  F1 01 len32 total16 crc32                      (12 bytes)
//   package  F1 02 idx16 payload crc32                      (1032 bytes, or the final short
//                                                            one: remainder + 8 bytes)
//   accepted F1 81 00 00 crc32                              (8 bytes)
//   ack      F1 82 idxHi idxLo status [pad] crc32           (9 bytes without pad)
//   busy     F1 80 00 00 crc32                              (8 bytes, --keep-alive)
class DeviceModel
{
public:
    static constexpr int PacketSize = 1024;
    static constexpr qint64 MaxImageBytes = 65536LL * PacketSize;

    enum class Fault
    {
        Lose = 1,
        ErrorStatus = 2,
        Corrupt = 4,
        Noise = 8,
        Split = 16,
        ShortAck = 32
    };

    struct Reply
    {
        QByteArray bytes;        // written at once (a noise byte included)
        QByteArray second;       // --split: written a little later; empty otherwise
        qint64 delayUs = 0;      // written this long after the package was received
        int index = -1;          // package answered; -1 for the reply to a request
        int faults = 0;          // Fault bits applied
        qint64 frameStartUs = 0; // arrival of the first byte of the package answered
        int frameBytes = 0;      // length of the package answered
    };

    struct Completion
    {
        QByteArray image;
        int requests = 0;
        int packages = 0;
        int resends = 0;
        qint64 firstRequestUs = 0;
        qint64 doneUs = 0;
    };

    struct Output
    {
        QVector<Reply> replies;
        QVector<Completion> completions; // at most one per image
        QStringList log;                 // one line per event
    };

    explicit DeviceModel(const DeviceOptions &options = DeviceOptions());

    // Bytes from the tool, arrived at nowUs.
    Output feed(const QByteArray &bytes, qint64 nowUs);
    // The line has been quiet: what is pending is all that came. A data package whose
    // length cannot be decided (the short form of the final package with a bad CRC) is
    // answered now, anything else incomplete is dropped.
    Output lineIdle(qint64 nowUs);

    // Counters since the last completed image (or the start).
    int requests() const { return m_requests; }
    int packages() const { return m_packages; }
    int resends() const { return m_resends; }
    // Data packages written since the start (every image), for --hangup-after.
    int packagesWritten() const { return m_written; }
    bool imageActive() const { return m_active; }
    qint64 imageLength() const { return m_length; }
    QByteArray image() const { return m_image; }
    int pendingBytes() const { return m_in.size(); }

    // The reply frames, without faults.
    static QByteArray acceptedFrame();
    static QByteArray ackFrame(int index, int status, int pad = 0);
    // An acknowledgement cut short: no status byte before the CRC trailer (8 bytes).
    static QByteArray shortAckFrame(int index);
    // F1 80 00 00 and its CRC: a valid frame that means nothing to the tool.
    static QByteArray keepAliveFrame();

private:
    enum class Parse
    {
        NeedMore,
        Consumed
    };
    Parse parseOne(Output &out, bool idle);
    void dropGarbage(int count, Output &out);
    void handleRequest(const QByteArray &frame, Output &out);
    void handlePackage(const QByteArray &frame, bool crcOk, Output &out);
    void answerPackage(int index, int status, int frameBytes, Output &out);
    int randomFault(int index) const;
    qint64 arrivalOf(qint64 streamOffset) const;
    void consume(int count);

    DeviceOptions m_options;
    QByteArray m_in;                         // bytes not yet parsed
    qint64 m_consumed = 0;                   // stream offset of m_in[0]
    QVector<QPair<qint64, qint64>> m_chunks; // (stream offset past the chunk, arrival time)
    qint64 m_frameStartUs = 0;

    // The image being received.
    bool m_active = false;
    bool m_complete = false;
    qint64 m_length = 0;
    int m_count = 0; // packages in the image
    int m_expected = 0;
    QByteArray m_image;
    QVector<bool> m_have; // package written
    QVector<bool> m_seen; // package received (valid) at least once
    int m_haveCount = 0;

    int m_ignoreLeft = 0;
    int m_requests = 0;
    int m_packages = 0;
    int m_resends = 0;
    int m_written = 0;
    bool m_requestTimed = false;
    qint64 m_firstRequestUs = 0;
    QSet<int> m_answered; // packages answered at least once, over the whole run
};
