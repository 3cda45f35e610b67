#include "firmwarefile.h"

#include "iapcontext.h"

#include <QFile>
#include <QFileInfo>

namespace iap {

namespace {

// A HEX, S-record or ELF file: converted by its own reader.
FirmwareFile loadStructured(QFile &file, ImageFormat format, const ImageOptions &options,
                            FirmwareFile result)
{
    ConvertedImage converted = convertFile(file, format, options);
    result.error = converted.error;
    result.fault = converted.fault;
    result.format = format;
    if (converted.error == IapError::FileUnreadable)
        result.detail = file.errorString();
    else if (converted.error == IapError::FileTooLarge)
        result.detail = QString::number(result.size);
    if (converted.error != IapError::None)
        return result;
    result.image = std::move(converted.image);
    result.base = converted.base;
    result.last = converted.last;
    return result;
}

} // namespace

FirmwareFile loadFirmwareFile(const QString &path, const ImageOptions &options)
{
    FirmwareFile result;
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists()) {
        result.error = IapError::FileNotFound;
        return result;
    }
    result.size = info.size();
    if (info.isDir()) {
        result.error = IapError::FileUnreadable;
        result.detail = QStringLiteral("is a directory");
        return result;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = IapError::FileUnreadable;
        result.detail = file.errorString();
        return result;
    }
    const ImageFormat format = options.format != ImageFormat::Auto ? options.format : [&file] {
        const QByteArray start = file.peek(DetectBytes);
        return detectFormat(start.constData(), start.size());
    }();
    if (format != ImageFormat::Binary)
        return loadStructured(file, format, options, result);
    // Sequential files (pipes, character devices) report no size; read at most one byte
    // past the limit so an endless source cannot exhaust memory.
    if (!file.isSequential() && !IapContext::imageFits(file.size())) {
        result.error = IapError::FileTooLarge;
        result.detail = QString::number(file.size());
        return result;
    }
    // Read in pieces: QIODevice::read(n) reserves n bytes up front, which would cost 64 MiB
    // of memory for every image however small.
    QByteArray image;
    while (image.size() <= IapContext::MaxImageBytes) {
        const QByteArray piece =
            file.read(qMin<qint64>(64 * 1024, IapContext::MaxImageBytes + 1 - image.size()));
        if (piece.isEmpty())
            break;
        image += piece;
    }
    if (file.error() != QFileDevice::NoError) {
        result.error = IapError::FileUnreadable;
        result.detail = file.errorString();
        return result;
    }
    if (!IapContext::imageFits(image.size())) {
        result.error = IapError::FileTooLarge;
        result.detail = QStringLiteral("%1+").arg(IapContext::MaxImageBytes);
        return result;
    }
    if (image.isEmpty()) {
        result.error = IapError::FileEmpty;
        return result;
    }
    result.size = image.size();
    if (!placeRaw(image.size(), options, &result.base, &result.last)) {
        result.error = IapError::ImageMalformed;
        result.fault.record = RecordFault::AddressOverflow;
        return result;
    }
    result.image = image;
    return result;
}

IapError checkImage(const QByteArray &image)
{
    if (image.isEmpty())
        return IapError::EmptyImage;
    if (!IapContext::imageFits(image.size()))
        return IapError::FileTooLarge;
    return IapError::None;
}

} // namespace iap
