#include "imagelayout.h"

#include "iapcontext.h"

#include <algorithm>
#include <cstring>

namespace iap {

ConvertedImage imageFailure(IapError error, ImageFormat format, RecordFault record, qint64 line)
{
    ConvertedImage r;
    r.error = error;
    r.format = format;
    r.fault.format = format;
    r.fault.record = record;
    r.fault.line = line;
    return r;
}

ConvertedImage ImageLayout::fail(IapError error, RecordFault record)
{
    m_failure = imageFailure(error, m_format, record);
    return m_failure;
}

bool ImageLayout::add(quint64 address, const char *data, qint64 n)
{
    if (n <= 0)
        return true;
    if (address > m_top || quint64(n - 1) > m_top - address) {
        fail(IapError::ImageMalformed, RecordFault::AddressOverflow);
        return false;
    }
    if (m_data.size() + n > IapContext::MaxImageBytes) {
        // More data than any image can hold, whatever its layout.
        fail(IapError::ImageTooLarge);
        quint64 low = address;
        quint64 high = address + quint64(n) - 1;
        for (const Block &b : m_blocks) {
            low = qMin(low, b.start);
            high = qMax(high, b.last());
        }
        m_failure.fault.firstLow = low;
        m_failure.fault.firstHigh = high;
        m_failure.fault.expected = m_data.size() + n;
        return false;
    }
    const quint64 length = quint64(n);
    if (!m_blocks.empty()) {
        Block &b = m_blocks.back();
        if (b.step == 0 && address > b.start && address - b.start == b.length) {
            b.length += length; // the next record up, as build tools write them
            m_lastIsOneRecord = false;
            m_data.append(data, int(n));
            return true;
        }
        // The next record down, of the same length as the ones before it.
        const bool sameStep =
            b.step == length || (b.step == 0 && m_lastIsOneRecord && b.length == length);
        if (length <= 0xFF && sameStep && address < b.start && b.start - address == length) {
            b.step = length;
            b.start = address;
            b.length += length;
            m_lastIsOneRecord = false;
            m_data.append(data, int(n));
            return true;
        }
    }
    if (m_blocks.size() >= size_t(MaxBlocks)) {
        fail(IapError::ImageMalformed, RecordFault::TooManyBlocks);
        return false;
    }
    m_blocks.push_back(Block{address, quint64(m_data.size()), length, 0});
    m_lastIsOneRecord = true;
    m_data.append(data, int(n));
    return true;
}

// A run written downwards holds its records last first: reversing its bytes and then each
// record puts them in address order, in the same place.
void ImageLayout::turnRunsRound()
{
    char *p = nullptr;
    for (Block &b : m_blocks) {
        if (b.step == 0)
            continue;
        if (!p)
            p = m_data.data();
        char *first = p + b.offset;
        std::reverse(first, first + b.length);
        for (quint64 at = 0; at < b.length; at += b.step)
            std::reverse(first + at, first + at + b.step);
        b.step = 0;
    }
}

// The blocks in address order: no overlap, no large gap, the start address not above the
// data nor far below it, the whole within the package limit. low and high: the image's first
// and last address.
ConvertedImage ImageLayout::checkLayout(const ImageOptions &options, quint64 *low, quint64 *high)
{
    for (size_t i = 1; i < m_blocks.size(); ++i) {
        const Block &a = m_blocks.at(i - 1);
        const Block &b = m_blocks.at(i);
        if (b.start <= a.last()) {
            ConvertedImage r = fail(IapError::ImageOverlap);
            r.fault.firstLow = a.start;
            r.fault.firstHigh = a.last();
            r.fault.secondLow = b.start;
            r.fault.secondHigh = b.last();
            return r;
        }
    }
    const quint64 lowest = m_blocks.front().start;
    *high = m_blocks.back().last();
    for (size_t i = 1; i < m_blocks.size(); ++i) {
        const Block &a = m_blocks.at(i - 1);
        const Block &b = m_blocks.at(i);
        if (b.start - a.last() - 1 > quint64(MaxGapBytes)) {
            ConvertedImage r = fail(IapError::ImageGap);
            r.fault.firstLow = lowest;
            r.fault.firstHigh = a.last();
            r.fault.secondLow = b.start;
            r.fault.secondHigh = *high;
            return r;
        }
    }
    if (options.hasBase && options.base > lowest) {
        ConvertedImage r = fail(IapError::ImageBelowBase);
        r.fault.firstLow = options.base;
        r.fault.secondLow = lowest;
        return r;
    }
    if (options.hasBase && lowest - options.base > quint64(MaxGapBytes)) {
        // The same rule as between two pieces: megabytes of 0xFF are a mistaken address.
        ConvertedImage r = fail(IapError::ImageBaseGap);
        r.fault.firstLow = options.base;
        r.fault.firstHigh = lowest - 1;
        r.fault.secondLow = lowest;
        r.fault.secondHigh = *high;
        return r;
    }
    *low = options.hasBase ? options.base : lowest;
    if (*high - *low >= quint64(IapContext::MaxImageBytes)) {
        ConvertedImage r = fail(IapError::ImageTooLarge);
        r.fault.firstLow = *low;
        r.fault.firstHigh = *high;
        r.fault.expected = *high - *low >= quint64(std::numeric_limits<qint64>::max())
                               ? std::numeric_limits<qint64>::max()
                               : qint64(*high - *low + 1);
        return r;
    }
    return ConvertedImage();
}

ConvertedImage ImageLayout::finish(const ImageOptions &options)
{
    if (m_blocks.empty())
        return fail(IapError::ImageNoData);
    turnRunsRound();
    bool ascending = true;
    for (size_t i = 1; i < m_blocks.size() && ascending; ++i)
        ascending = m_blocks.at(i).start > m_blocks.at(i - 1).start;
    if (!ascending) // in place; equal starts (an overlap) stay in file order
        std::sort(m_blocks.begin(), m_blocks.end(), [](const Block &a, const Block &b) {
            return a.start != b.start ? a.start < b.start : a.offset < b.offset;
        });

    quint64 low = 0;
    quint64 high = 0;
    ConvertedImage r = checkLayout(options, &low, &high);
    if (r.error != IapError::None)
        return r;
    const int span = int(high - low + 1);
    r.format = m_format;
    r.base = low;
    r.last = high;
    if (ascending) {
        // Records in address order, as build tools write them: the image is built inside the
        // data. Each block moves up to its place, last first (a block only ever moves up),
        // then the space between them is filled.
        m_data.reserve(span); // exactly the image: resize alone would round up to a power of 2
        m_data.resize(span);
        char *p = m_data.data();
        for (auto b = m_blocks.crbegin(); b != m_blocks.crend(); ++b)
            std::memmove(p + (b->start - low), p + b->offset, size_t(b->length));
        quint64 at = low;
        for (const Block &b : m_blocks) {
            std::memset(p + (at - low), 0xFF, size_t(b.start - at));
            at = b.start + b.length;
        }
        r.image = std::move(m_data);
    } else {
        // Any other order costs one copy.
        QByteArray image(span, char(0xFF));
        char *p = image.data();
        for (const Block &b : m_blocks)
            std::memcpy(p + (b.start - low), m_data.constData() + b.offset, size_t(b.length));
        r.image = std::move(image);
    }
    m_data = QByteArray();
    m_blocks = std::deque<Block>();
    return r;
}

bool placeRaw(qint64 size, const ImageOptions &options, quint64 *base, quint64 *last)
{
    *base = options.hasBase ? options.base : 0;
    if (quint64(size) - 1 > std::numeric_limits<quint64>::max() - *base)
        return false;
    *last = *base + quint64(size) - 1;
    return true;
}

} // namespace iap
