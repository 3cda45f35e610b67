#pragma once

#include "imageformats.h"

#include <QByteArray>
#include <deque>
#include <limits>

// The pieces of data a HEX, S-record or ELF reader finds, gathered and laid out as one flat
// image. Used by the readers and the loader; the rest of the program sees ConvertedImage.
namespace iap {

// The highest address of a 32-bit format (HEX, S-record, ELF32) and of a 64-bit one.
constexpr quint64 Top32 = 0xFFFFFFFFu;
constexpr quint64 Top64 = std::numeric_limits<quint64>::max();

// A refusal with nothing in it but the reason.
ConvertedImage imageFailure(IapError error, ImageFormat format,
                            RecordFault record = RecordFault::None, qint64 line = 0);

class ImageLayout
{
public:
    ImageLayout(ImageFormat format, quint64 top) : m_format(format), m_top(top) {}

    // n bytes of data at address, copied. False when they cannot belong to any image (past
    // the top address, more data than the package limit, too many pieces); failure() says why.
    bool add(quint64 address, const char *data, qint64 n);
    // Checks the layout (overlaps, gaps, the start address, the limit) and builds the image.
    ConvertedImage finish(const ImageOptions &options);
    const ConvertedImage &failure() const { return m_failure; }

    // One piece: addresses start..start+length-1, its bytes at offset in the data, in file
    // order. step > 0: a run of records of step bytes each, every one just below the one
    // before (a file written downwards); their bytes are turned round before the layout.
    struct Block
    {
        quint64 start;
        quint64 offset : 27; // both at most the package limit (< 2^26)
        quint64 length : 27;
        quint64 step : 8; // a record holds at most 255 bytes
        quint64 last() const { return start + length - 1; }
    };

private:
    ConvertedImage fail(IapError error, RecordFault record = RecordFault::None);
    void turnRunsRound();
    ConvertedImage checkLayout(const ImageOptions &options, quint64 *low, quint64 *high);

    ImageFormat m_format;
    quint64 m_top;
    QByteArray m_data;
    std::deque<Block> m_blocks; // grows without copying what it holds
    bool m_lastIsOneRecord = false;
    ConvertedImage m_failure;
};

} // namespace iap
