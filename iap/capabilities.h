#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace iap {

// What a device says it can do and what fits it: the capability answer (F1 83). The answer
// grows by fields appended at its end; a field is read only when the frame is long enough to
// hold it, and bytes after the fields known here are ignored. A device that knows only the
// flags answers 8 bytes: nothing about its area is known then.
struct Capabilities
{
    quint16 flags = 0;
    bool hasArea = false;  // capacity and version were in the answer
    quint32 base = 0;      // the application area's first address (when hasBase())
    quint32 capacity = 0;  // bytes the area takes
    quint32 version = 0;   // the boot loader's own version (0: not given)
    bool hasBoost = false; // the rate and the window were in the answer
    quint32 maxBaud = 0;   // the highest rate it switches the line to (0: none)
    quint16 window = 1;    // packages it takes in flight

    // The rate to propose: the highest both allow (`cap` 0: no cap of the user's), 0 when the
    // device offers none above `current`.
    quint32 boostBaud(quint32 current, quint32 cap) const;
    // Packages to keep in flight: 1 unless the device offers more.
    int packagesInFlight() const { return hasBoost ? qMax(1, int(window)) : 1; }

    bool canVerify() const;
    bool hasBase() const;
    // False for a frame that is not a capability answer.
    static bool decode(const QByteArray &frame, Capabilities *out);
};

// A request the device refused (F1 C1 reason capacity), sent only by devices that know it.
struct Refusal
{
    enum Reason : quint8
    {
        TooLarge = 1,  // longer than the capacity
        Malformed = 2, // empty, or a total that is not the length in packages
        NotReady = 3,  // the device could not prepare its flash
    };
    quint8 reason = 0;
    quint32 capacity = 0;

    // False for a frame that is not a refusal.
    static bool decode(const QByteArray &frame, Refusal *out);
};

// Where an image goes. A HEX, S-record or ELF file places its bytes (placed: first and last
// address); a raw image, or one moved by --base, is judged by its size alone.
struct ImageSpan
{
    qint64 bytes = 0;
    bool placed = false;
    quint64 first = 0;
    quint64 last = 0;
};

enum class Fit
{
    Fits,     // or nothing is known that says otherwise
    Outside,  // placed outside the application area
    TooLarge, // more bytes than the area takes
};

Fit judgeImage(const Capabilities &device, const ImageSpan &image);

} // namespace iap
