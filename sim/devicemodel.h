#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

#include "iap_device.h"
#include "receivebuffer.h"
#include "wire.h"

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
    FaultSet corruptStored;  // flip a byte of the package in the stored image once written
    enum class EarlyAcks
    {
        Off,
        Now,     // all at once, right after the acceptance
        Burst,   // all of them 200 ms later, in one write
        Trickle, // one every 10 ms
        Ahead,   // see below
        Spaced   // the acceptance 40 ms late, then one every 50 ms from 45 ms after it
    };
    // Now, Burst, Trickle: acknowledge every package with status 1 right after the
    // acceptance, then write nothing and answer nothing more. Ahead: write and acknowledge the
    // even packages only, and right after each such acknowledgement (0.2 ms) acknowledge the
    // next package too, unless a byte of it has come by then; an odd package is never
    // written nor answered.
    EarlyAcks earlyAcks = EarlyAcks::Off;
    // Answer the verification question right after the capability answer, before it is
    // asked, for the image as it came (not as stored); unless the question has begun to
    // arrive by then.
    bool verifyAhead = false;
    int pad = 0; // uninterpreted bytes after the status byte of every acknowledgement
    int ignoreRequests = 0;
    bool silent = false;
    bool echo = false;       // every byte received goes back at once, before any answer
    int writeMs = 0;         // time a package takes to write: its answer comes this much later
    int eraseMs = 0;         // time each KiB of the area takes to erase
    bool erasePages = false; // erase page by page before each first write, not at the request
    quint32 maxBaud = 0;     // the highest rate the device offers to switch to (0: none)
    int window = 1;          // packages it takes in flight (its receive buffer holds the
                             // ones behind the package written; bytes beyond it are lost)
    int lineBaud = 0;        // the line's rate at the start, for the arrival times (0: unpaced)
    bool rateFails = false;  // the line carries nothing at a switched rate (runner's business)
    int keepAliveMs = 0;     // while a package is written, a keep-alive frame this often
    double faultRate = 0.0;  // seeded random faults on each package's first answer
    quint64 seed = 1;
    // The application area the capability answer names: its capacity (the largest image
    // when 0) and, when set, its first address (the answer then gives the simulator's
    // version too, as a boot loader that names its area does).
    quint32 capacity = 0;
    bool hasBase = false;
    quint32 base = 0;
};

// The boot loader as a pure object: bytes from the tool go in with the time they arrived,
// reply frames come out. The protocol itself is the device core (device/iap_device.c), the
// same code a firmware engineer puts in a boot loader; this class is its port (the image in
// memory, read back for the verification question) and applies the configured faults around
// it: to the results of the port's callbacks (a write refused or not made, a stored byte
// flipped) and to the reply bytes the core sends (lost, damaged, padded, delayed, early).
// No clock, no file, no tty.
//
// Wire format (all fields big-endian, CRC-32 trailer over everything before it):
//   request  F1 01 len32 total16 crc32                      (12 bytes)
//   package  F1 02 idx16 payload crc32                      (1032 bytes, or the final short
//                                                            one: remainder + 8 bytes)
//   accepted F1 81 00 00 crc32                              (8 bytes)
//   ack      F1 82 idxHi idxLo status [pad] crc32           (9 bytes without pad)
//   busy     F1 80 00 00 crc32                              (8 bytes, --keep-alive)
//   and the capability and verification questions (F1 03 / F1 04), answered by the core.
class DeviceModel
{
public:
    static constexpr int PacketSize = int(iap::wire::PackageSize);
    // The largest image a request can describe: its package total is 16 bits.
    static constexpr qint64 MaxImageBytes = iap::wire::MaxImageBytes;
    // The version the capability answer gives with --base: 1.0.0.
    static constexpr quint32 Version = 0x00010000;

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
        QByteArray bytes;           // written at once (a noise byte included)
        QByteArray second;          // --split: written a little later; empty otherwise
        qint64 delayUs = 0;         // written this long after the frame was received
        qint64 gapUs = 0;           // and at least this long after the bytes written before it
        bool beforePackage = false; // not written once a data package has begun to arrive
        bool unlessHeard = false;   // not written once any byte from the tool has come
        qint64 workUs = 0;          // the device is busy this long (erasing, writing) first:
                                    // nothing it says comes out before it is done
        qint64 frameEndNs = 0;      // when the last byte of the frame answered was received,
                                    // the line's pace included
        quint32 baudAfter = 0;      // the line changes to this rate once the reply is out
        int index = -1;             // package answered; -1 for the reply to another frame
        int faults = 0;             // Fault bits applied
        qint64 frameStartUs = 0;    // arrival of the first byte of the frame answered
        int frameBytes = 0;         // length of the frame answered
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
    DeviceModel(const DeviceModel &) = delete;
    DeviceModel &operator=(const DeviceModel &) = delete;

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
    QByteArray image() const { return m_image; }
    // Time passes (the device falls back to the starting rate 1 s after the last valid frame
    // heard at a switched one).
    Output clock(qint64 nowUs);
    // The rate the device switched the line to; 0 at the starting rate.
    quint32 deviceBaud() const { return iap_dev_baud(&m_dev); }
    // The line's rate now (0: unpaced): the arrival times of the bytes fed follow it.
    qint32 lineBaud() const { return m_lineBaud; }
    // Wire time of `bytes` bytes at `baud` (10 bits a byte), in nanoseconds.
    static qint64 wireNs(qint64 bytes, qint64 baud);
    // --early-acks: the tool has begun to send a data package since the acceptance.
    bool packageHeard() const { return m_packageHeard; }
    // Bytes the core holds of frames not decided yet.
    int pendingBytes() const { return m_dev.rx_len; }
    // Bytes of the line lost because they came while the receive buffer was full.
    qint64 bytesLost() const { return m_rx.lost(); }

    // The reply frames, without faults.
    static QByteArray acceptedFrame();
    static QByteArray ackFrame(int index, int status, int pad = 0);
    // An acknowledgement cut short: no status byte before the CRC trailer (8 bytes).
    static QByteArray shortAckFrame(int index);
    // F1 80 00 00 and its CRC: a valid frame that means nothing to the tool.
    static QByteArray keepAliveFrame();

private:
    static void portSend(void *user, const uint8_t *bytes, uint8_t count);
    static iap_dev_result portPrepare(void *user, uint32_t length);
    static iap_dev_result portWrite(void *user, uint32_t offset, const uint8_t *data,
                                    uint16_t count);
    static iap_dev_result portFinish(void *user, uint32_t length);
    static iap_dev_result portRead(void *user, uint32_t offset, uint8_t *data, uint16_t count);
    static iap_dev_result portSetBaud(void *user, uint32_t baud);

    void trustAnnouncedTotal(quint8 byte);
    void onAccepted(const QByteArray &frame, int frameBytes);
    void onAcknowledgement(const QByteArray &frame, int frameBytes);
    void complete(qint64 doneUs);
    Reply replyTo(const QByteArray &bytes, int frameBytes) const;
    // The reply comes after work (erasing, writing): meanwhile what arrives waits.
    void working(const Reply &reply);
    int faultsFor(int index);
    int randomFault(int index) const;
    qint64 arrivalOf(qint64 streamOffset) const;
    qint64 arrivalNs(qint64 streamOffset, bool whole = false) const;

    DeviceOptions m_options;
    iap_dev_port m_port{};
    iap_dev m_dev{};
    Output *m_out = nullptr; // the call being answered
    qint64 m_fed = 0;        // bytes of the line given to the core so far
    qint64 m_extra = 0;      // bytes the core holds that the line never sent
    struct Chunk
    {
        qint64 begin = 0;   // stream offset of its first byte
        qint64 end = 0;     // stream offset past the chunk
        qint64 startNs = 0; // arrival of its first byte, the line's pace included
        qint64 baud = 0;    // the line's rate while it came (0: unpaced, all at once)
    };
    QVector<Chunk> m_chunks;
    qint64 m_inFreeNs = 0; // when the line from the tool is free again
    qint32 m_lineBaud = 0;
    ReceiveBuffer m_rx;
    qint64 m_workUs = 0; // erase time owed by the next answer (at the request)
    QSet<int> m_erased;  // --erase-pages: pages (KiB) erased for the current image

    QByteArray m_image;          // the image being received, as stored
    QByteArray m_asSent;         // --verify-ahead: ... and as it came over the line
    QSet<int> m_seen;            // packages answered since the image was accepted
    bool m_finished = false;     // finish was called: complete once its answer is out
    bool m_mute = false;         // --early-acks: nothing more is heard or said
    bool m_packageHeard = false; // --early-acks: F1 02 came after the acceptance
    char m_lastByte = 0;
    QByteArray m_window;         // --trust-total: the last 12 bytes of the line
    qint64 m_trustedLength = -1; // --trust-total: the announced length while its request is fed
    int m_pendingIndex = -1;     // faults drawn for a package at its write, used at its answer
    int m_pendingFaults = 0;

    int m_ignoreLeft = 0;
    int m_requests = 0;
    int m_packages = 0;
    int m_resends = 0;
    int m_written = 0;
    bool m_requestTimed = false;
    qint64 m_firstRequestUs = 0;
    QSet<int> m_answered; // packages answered at least once, over the whole run
    QSet<int> m_stored;   // packages stored at least once, over the whole run
};
