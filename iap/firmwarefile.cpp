#include "firmwarefile.h"

#include "filenames.h"
#include "iapcontext.h"

#include <QFile>
#include <QFileInfo>

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
    result.size = file.size();
    const ImageFormat format = options.format != ImageFormat::Auto ? options.format : [&file] {
        const QByteArray start = file.peek(DetectBytes);
        return detectFormat(start.constData(), start.size());
    }();
    if (format != ImageFormat::Binary)
        return loadStructured(file, format, options, result);
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

IapError checkImage(const QByteArray &image)
{
    if (image.isEmpty())
        return IapError::EmptyImage;
    if (!IapContext::imageFits(image.size()))
        return IapError::FileTooLarge;
    return IapError::None;
}

} // namespace iap
