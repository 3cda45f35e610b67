#include "boardlog.h"

#include "clitext.h"
#include "crc32.h"
#include "exitcodes.h"
#include "flashjob.h"
#include "verification.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSerialPortInfo>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

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
    digest.crc32 = QStringLiteral("%1").arg(iap::crc::of(image), 8, 16, QLatin1Char('0'));
    return digest;
}

QString timestamp()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

namespace {

QString reasonOf(int errorNumber)
{
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

QString cannotOpenText(const QString &path, const QString &reason, iap::Language language)
{
    return language == iap::Language::Chinese
               ? QStringLiteral("无法打开日志 %1：%2").arg(path, reason)
               : QStringLiteral("cannot open the log %1: %2").arg(path, reason);
}

QString notRegularText(iap::Language language)
{
    return language == iap::Language::Chinese
               ? QStringLiteral("不是普通文件（设备、管道、套接字和文件夹不能作为日志）")
               : QStringLiteral("not a regular file (a device, a pipe, a socket or a "
                                "folder cannot hold the log)");
}

QString keptText(const QString &path, const QString &reason, const QString &port,
                 iap::Language language)
{
    return language == iap::Language::Chinese
               ? QStringLiteral("无法写入日志 %1（%2）：%3 的记录已保留，"
                                "将在下一条记录之前及运行结束时再次写入")
                     .arg(path, reason, port)
               : QStringLiteral("cannot write the log %1 (%2): the record of %3 is kept and "
                                "written again before the next record and at the end")
                     .arg(path, reason, port);
}

QString lockedText(const QString &path, const QString &port, iap::Language language)
{
    return language == iap::Language::Chinese
               ? QStringLiteral("日志 %1 被其他程序锁定：%2 的记录已保留，锁释放后立即写入"
                                "（运行结束时最多等待 %3 秒）")
                     .arg(path, port)
                     .arg(BoardLog::LockWait.count() / 1000)
               : QStringLiteral("the log %1 is locked by another program: the record of %2 "
                                "is kept and written as soon as the lock is released (at the "
                                "end, after at most %3 s of waiting)")
                     .arg(path, port)
                     .arg(BoardLog::LockWait.count() / 1000);
}

QString lockReason(iap::Language language)
{
    return language == iap::Language::Chinese ? QStringLiteral("被其他程序锁定")
                                              : QStringLiteral("locked by another program");
}

QString lostText(const QString &path, const QString &reason, const QStringList &ports,
                 iap::Language language)
{
    const QString list = ports.join(QStringLiteral(", "));
    return language == iap::Language::Chinese
               ? QStringLiteral("板卡日志 %1 未能保存：%2 块板卡的记录未写入（%3）：%4")
                     .arg(path)
                     .arg(ports.size())
                     .arg(reason, list)
               : QStringLiteral("the board log %1 could not be kept: the records of %2 "
                                "board(s) are not written (%3): %4")
                     .arg(path)
                     .arg(ports.size())
                     .arg(reason, list);
}

} // namespace

BoardLog::~BoardLog()
{
    m_retry.stop();
    if (m_fd >= 0)
        ::close(m_fd);
}

bool BoardLog::open(const QString &path, iap::Language language, QString *error)
{
    m_language = language;
    QString reason;
    const int fd = openFile(path, &reason);
    if (fd < 0) {
        *error = cannotOpenText(path, reason, m_language);
        return false;
    }
    m_fd = fd;
    m_path = path;
    m_retry.setSingleShot(true);
    m_retry.setInterval(LockRetry);
    QObject::connect(&m_retry, &QTimer::timeout, [this] { retry(); });
    // A size limit (RLIMIT_FSIZE) must make a write fail, not end the process half-way
    // through a record.
    std::signal(SIGXFSZ, SIG_IGN);
    return true;
}

int BoardLog::openFile(const QString &path, QString *reason) const
{
    const QByteArray name = QFile::encodeName(path);
    // A FIFO would block the open until a reader comes, so the name is looked at first and
    // the open itself does not wait; what was opened is looked at again (the name may have
    // changed in between).
    struct stat st = {};
    if (::stat(name.constData(), &st) == 0 && !S_ISREG(st.st_mode)) {
        *reason = notRegularText(m_language);
        return -1;
    }
    // Read access to look at the last byte; a log that may only be written is still taken.
    const int flags = O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    int fd = ::open(name.constData(), O_RDWR | flags, 0644);
    if (fd < 0 && errno == EACCES)
        fd = ::open(name.constData(), O_WRONLY | flags, 0644);
    if (fd < 0) {
        const int saved = errno;
        *reason = saved == ENXIO || saved == EISDIR ? notRegularText(m_language) : reasonOf(saved);
        return -1;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *reason = notRegularText(m_language);
        return -1;
    }
    ::fcntl(fd, F_SETFL, O_APPEND);
    return fd;
}

bool BoardLog::reopenIfReplaced(QString *reason)
{
    const QByteArray name = QFile::encodeName(m_path);
    struct stat atPath = {};
    struct stat open = {};
    if (m_fd >= 0 && ::stat(name.constData(), &atPath) == 0 && ::fstat(m_fd, &open) == 0 &&
        atPath.st_dev == open.st_dev && atPath.st_ino == open.st_ino)
        return true;
    // Moved away or deleted (or no new log could be made there last time): a new one now.
    const int fd = openFile(m_path, reason);
    if (fd < 0)
        return false;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
    return true;
}

bool BoardLog::writeLine(const QByteArray &record, int *errorNumber)
{
    // Never waited for: a lock held by another program keeps the record for later. A file
    // system without locks still gets the record; only the cut may then meet another writer's
    // bytes.
    int locking = 0;
    while ((locking = ::flock(m_fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    m_locked = locking != 0 && errno == EWOULDBLOCK;
    if (m_locked) {
        *errorNumber = EWOULDBLOCK;
        return false;
    }
    QByteArray line = record;
    struct stat st = {};
    char last = '\n';
    if (::fstat(m_fd, &st) == 0 && st.st_size > 0 && ::pread(m_fd, &last, 1, st.st_size - 1) == 1 &&
        last != '\n')
        line.prepend('\n'); // the last line was cut off: ours starts on a line of its own
    off_t start = -1;       // where the first byte of this record landed
    qsizetype done = 0;
    int failure = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(m_fd, line.constData() + done, size_t(line.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            failure = n < 0 ? errno : ENOSPC;
            break;
        }
        if (start < 0)
            start = ::lseek(m_fd, 0, SEEK_CUR) - n;
        done += n;
    }
    while (failure == 0 && ::fsync(m_fd) != 0) {
        if (errno != EINTR)
            failure = errno;
    }
    if (failure != 0 && start >= 0 && ::fstat(m_fd, &st) == 0 && st.st_size == start + done) {
        // Back to the end the file had before: no part of a record stays behind.
        while (::ftruncate(m_fd, start) != 0 && errno == EINTR) {
        }
        ::fsync(m_fd);
    }
    ::flock(m_fd, LOCK_UN);
    *errorNumber = failure;
    return failure == 0;
}

bool BoardLog::flushKept()
{
    while (!m_kept.isEmpty()) {
        if (!reopenIfReplaced(&m_lastReason))
            break;
        int errorNumber = 0;
        if (!writeLine(m_kept.constFirst(), &errorNumber)) {
            m_lastReason = m_locked ? lockReason(m_language) : reasonOf(errorNumber);
            if (m_locked && !m_hurry)
                m_retry.start();
            break;
        }
        m_kept.removeFirst();
        m_keptPorts.removeFirst();
    }
    return m_kept.isEmpty();
}

QJsonObject BoardLog::record(const FlashJob &job, const QString &firmware,
                             const flash::ImageDigest &digest, const flash::PortIdentity &port)
{
    const auto hex4 = [](int id) {
        return id < 0 ? QJsonValue(QJsonValue::Null)
                      : QJsonValue(QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')));
    };
    const bool ok = job.failure() == FlashJob::Failure::None;
    // --verify: whether the device holds the image (null when it was not asked, or the upgrade
    // did not get that far), and the CRC it said it holds.
    const iap::Verification *v = job.verification();
    const bool asked = job.options().verify && v;
    const QJsonValue verified =
        asked ? QJsonValue(v->result() == iap::Verification::Result::Verified) : QJsonValue();
    const QJsonValue deviceCrc =
        asked && v->answered() ? QJsonValue(flash::crcText(v->deviceCrc())) : QJsonValue();
    return QJsonObject{
        {QStringLiteral("time"), flash::timestamp()},
        {QStringLiteral("port"), job.options().port},
        {QStringLiteral("file"), firmware},
        {QStringLiteral("bytes"), job.run().imageBytes()},
        {QStringLiteral("written"), job.run().bytesDone()},
        {QStringLiteral("sha256"), digest.sha256},
        {QStringLiteral("crc32"), digest.crc32},
        {QStringLiteral("result"), ok ? QStringLiteral("ok") : flash::failureReason(job)},
        {QStringLiteral("exit"), int(job.exitCode())},
        {QStringLiteral("seconds"), qRound64(job.seconds() * 1000) / 1000.0},
        {QStringLiteral("resends"), job.run().resendsTotal()},
        {QStringLiteral("baud"), job.baudInUse()},
        {QStringLiteral("window"), job.windowInUse()},
        {QStringLiteral("verified"), verified},
        {QStringLiteral("device_crc32"), deviceCrc},
        {QStringLiteral("serial"),
         port.serial.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(port.serial)},
        {QStringLiteral("vid"), hex4(port.vid)},
        {QStringLiteral("pid"), hex4(port.pid)},
    };
}

bool BoardLog::append(const QJsonObject &record, QString *error)
{
    if (!isOpen())
        return true;
    m_kept << QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    m_keptPorts << record.value(QStringLiteral("port")).toString();
    if (flushKept())
        return true;
    error->clear();
    if (!m_locked)
        *error = keptText(m_path, m_lastReason, m_keptPorts.constLast(), m_language);
    else if (!std::exchange(m_lockTold, true))
        *error = lockedText(m_path, m_keptPorts.constLast(), m_language);
    return false;
}

void BoardLog::retry()
{
    const bool done = flushKept();
    if (done)
        m_lockTold = false; // a later lock is told again
    if (m_done && (done || !m_locked || m_hurry || m_finishing.elapsed() >= LockWait.count()))
        finish(std::exchange(m_done, {}));
}

void BoardLog::finish(const Finished &done)
{
    if (flushKept()) {
        done(flash::Success, QString());
        return;
    }
    if (m_locked && !m_hurry &&
        (!m_finishing.isValid() || m_finishing.elapsed() < LockWait.count())) {
        if (!m_finishing.isValid())
            m_finishing.start();
        m_done = done;
        m_retry.start();
        return;
    }
    m_retry.stop();
    done(flash::LogLost, lostText(m_path, m_lastReason, m_keptPorts, m_language));
}

void BoardLog::stopWaiting()
{
    m_hurry = true;
    m_retry.stop();
    if (m_done)
        finish(std::exchange(m_done, {}));
}

} // namespace flash
