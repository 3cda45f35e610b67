#include "firmwarefile.h"

#include "filenames.h"
#include "iapcontext.h"
#include "imagelayout.h"

#include <QFile>
#include <QFileInfo>

#include <cstring>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace iap {
namespace {

#ifdef Q_OS_UNIX
// Why a path cannot be looked at or opened, from the system's error number.
void refuse(int error, FirmwareFile *result)
{
    if (error == ENOENT || error == ENOTDIR) {
        result->error = IapError::FileNotFound;
    } else if (error == ELOOP) {
        result->error = IapError::FileLinkLoop;
    } else {
        result->error = IapError::FileUnreadable;
        result->detail = qt_error_string(error);
    }
}

IapError kindError(mode_t mode, QString *detail)
{
    if (S_ISREG(mode))
        return IapError::None;
    if (S_ISDIR(mode)) {
        *detail = QStringLiteral("is a directory");
        return IapError::FileUnreadable;
    }
    return IapError::FileNotRegular;
}
#endif

// Opens path for reading only if it is a regular file, after following links. A pipe, a
// device or a socket is refused without being opened in a way that could wait: the open of a
// pipe with no writer never returns, and a device such as /dev/zero never ends.
bool openRegularFile(const QString &path, QFile *file, FirmwareFile *result)
{
#ifdef Q_OS_UNIX
    const QByteArray native = nativeFileName(path);
    struct stat st = {};
    if (::stat(native.constData(), &st) != 0) {
        refuse(errno, result);
        return false;
    }
    result->size = qint64(st.st_size); // also for what is refused next, as the window logs it
    result->error = kindError(st.st_mode, &result->detail);
    if (result->error != IapError::None)
        return false;
    // Non-blocking, so that a file swapped for a pipe after the check above cannot hold us;
    // the kind is checked again on what was actually opened.
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        refuse(errno, result);
        return false;
    }
    if (::fstat(fd, &st) != 0) {
        result->error = IapError::FileUnreadable;
        result->detail = qt_error_string(errno);
    } else {
        result->error = kindError(st.st_mode, &result->detail);
    }
    if (result->error != IapError::None) {
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        result->error = IapError::FileUnreadable;
        result->detail = file->errorString();
        ::close(fd);
        return false;
    }
    return true;
#else
    const QFileInfo info(path);
    if (!info.exists()) {
        result->error = IapError::FileNotFound;
        return false;
    }
    result->size = info.size();
    if (info.isDir()) {
        result->error = IapError::FileUnreadable;
        result->detail = QStringLiteral("is a directory");
        return false;
    }
    if (!info.isFile()) {
        result->error = IapError::FileNotRegular;
        return false;
    }
    file->setFileName(path);
    if (!file->open(QIODevice::ReadOnly)) {
        result->error = IapError::FileUnreadable;
        result->detail = file->errorString();
        return false;
    }
    return true;
#endif
}

} // namespace

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
    if (path.isEmpty()) {
        result.error = IapError::FileNotFound;
        return result;
    }
    QFile file;
    if (!openRegularFile(path, &file, &result))
        return result;
    const QByteArray start =
        options.format == ImageFormat::Auto ? file.peek(DetectBytes) : QByteArray();
    const ImageFormat format = options.format != ImageFormat::Auto
                                   ? options.format
                                   : detectFormat(start.constData(), start.size());
    if (format != ImageFormat::Binary)
        return loadStructured(file, format, options, result);
    if (options.format == ImageFormat::Auto && options.refuseText &&
        isText(start.constData(), start.size())) {
        result.error = IapError::ImageText;
        return result;
    }
    if (!IapContext::imageFits(file.size())) {
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

ConvertedImage convertImage(const QByteArray &content, const ImageOptions &options)
{
    const ImageFormat format = options.format == ImageFormat::Auto
                                   ? detectFormat(content.constData(), content.size())
                                   : options.format;
    switch (format) {
    case ImageFormat::Elf:
        return convertElf(content.constData(), content.size(), options);
    case ImageFormat::IntelHex:
    case ImageFormat::SRecord: {
        qint64 at = 0;
        return convertText(
            format,
            [&](char *buffer, qint64 max) {
                const qint64 n = qMin(max, qint64(content.size()) - at);
                std::memcpy(buffer, content.constData() + at, size_t(n));
                at += n;
                return n;
            },
            options);
    }
    case ImageFormat::Auto:
    case ImageFormat::Binary:
        break;
    }
    ConvertedImage r;
    if (content.isEmpty())
        return imageFailure(IapError::FileEmpty, ImageFormat::Binary);
    if (!IapContext::imageFits(content.size()))
        return imageFailure(IapError::FileTooLarge, ImageFormat::Binary);
    if (!placeRaw(content.size(), options, &r.base, &r.last))
        return imageFailure(IapError::ImageMalformed, ImageFormat::Binary,
                            RecordFault::AddressOverflow);
    r.image = content;
    return r;
}

ConvertedImage convertFile(QFile &file, ImageFormat format, const ImageOptions &options)
{
    if (format == ImageFormat::Elf) {
        // Mapped, not read: an ELF file with debug information can be many times its image.
        const qint64 size = file.size();
        if (!file.isSequential() && size > 0) {
            if (const uchar *map = file.map(0, size)) {
                ConvertedImage r = convertElf(reinterpret_cast<const char *>(map), size, options);
                file.unmap(const_cast<uchar *>(map));
                return r;
            }
        }
        const QByteArray content = file.read(4 * IapContext::MaxImageBytes + 1);
        if (file.error() != QFileDevice::NoError)
            return imageFailure(IapError::FileUnreadable, format);
        if (content.size() > 4 * IapContext::MaxImageBytes)
            return imageFailure(IapError::FileTooLarge, format);
        return convertElf(content.constData(), content.size(), options);
    }
    return convertText(
        format, [&file](char *buffer, qint64 max) { return file.read(buffer, max); }, options);
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
