#include "boardlog.h"

#include "clitext.h"
#include "flashjob.h"
#include "iapcontext.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSerialPortInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace flash {

PortIdentity lookUpPort(const QString &path)
{
    PortIdentity identity;
    const QString device = QFileInfo(path).canonicalFilePath();
    if (device.isEmpty())
        return identity;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        if (info.systemLocation() != device)
            continue;
        identity.serial = info.serialNumber();
        if (info.hasVendorIdentifier())
            identity.vid = info.vendorIdentifier();
        if (info.hasProductIdentifier())
            identity.pid = info.productIdentifier();
        break;
    }
    return identity;
}

ImageDigest digestOf(const QByteArray &image)
{
    ImageDigest digest;
    digest.sha256 =
        QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());
    digest.crc32 = QStringLiteral("%1").arg(IapContext::crc32(image.constData(), image.size()), 8,
                                            16, QLatin1Char('0'));
    return digest;
}

QString timestamp()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

} // namespace flash

BoardLog::~BoardLog()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool BoardLog::open(const QString &path, QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    m_fd = ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        *error = QStringLiteral("cannot open the log %1: %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    m_path = path;
    return true;
}

QJsonObject BoardLog::record(const FlashJob &job, const QString &firmware,
                             const flash::ImageDigest &digest, const flash::PortIdentity &port)
{
    const auto hex4 = [](int id) {
        return id < 0 ? QJsonValue(QJsonValue::Null)
                      : QJsonValue(QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')));
    };
    const bool ok = job.failure() == FlashJob::Failure::None;
    return QJsonObject{
        {QStringLiteral("time"), flash::timestamp()},
        {QStringLiteral("port"), job.options().port},
        {QStringLiteral("file"), firmware},
        {QStringLiteral("bytes"), job.imageBytes()},
        {QStringLiteral("written"), job.bytesDone()},
        {QStringLiteral("sha256"), digest.sha256},
        {QStringLiteral("crc32"), digest.crc32},
        {QStringLiteral("result"), ok ? QStringLiteral("ok") : flash::failureReason(job)},
        {QStringLiteral("exit"), int(job.exitCode())},
        {QStringLiteral("seconds"), qRound64(job.seconds() * 1000) / 1000.0},
        {QStringLiteral("resends"), job.resendsTotal()},
        {QStringLiteral("serial"),
         port.serial.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(port.serial)},
        {QStringLiteral("vid"), hex4(port.vid)},
        {QStringLiteral("pid"), hex4(port.pid)},
    };
}

bool BoardLog::append(const QJsonObject &record, QString *error)
{
    if (m_fd < 0)
        return true;
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    // With O_APPEND every write lands after whatever is there, earlier lines included.
    qsizetype done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(m_fd, line.constData() + done, size_t(line.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = QStringLiteral("cannot write the log %1: %2")
                         .arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        done += n;
    }
    while (::fsync(m_fd) != 0) {
        if (errno == EINTR)
            continue;
        if (errno == EINVAL) // a pipe or a terminal: nothing to flush to
            break;
        *error = QStringLiteral("cannot write the log %1 to the disk: %2")
                     .arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}
