#include "ptyrunner.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <util.h>
#else
#include <pty.h>
#endif

namespace {

// Quiet time after which the bytes pending in the model are all that will come.
constexpr int IdleMs = 50;
// How long to wait at the end for the tool to read the last reply.
constexpr qint64 DeliveryWaitUs = 2000 * 1000;
// Bytes written to the master reach the slave's input queue a little later.
constexpr qint64 DeliverySettleUs = 50 * 1000;
// --early-acks ahead: the gap between an acknowledgement and the one made up after it.
constexpr useconds_t AheadGapUs = 200;

void setFlags(int fd)
{
    ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

} // namespace

QString jsonString(const QString &text)
{
    const QByteArray doc = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(doc.mid(1, doc.size() - 2));
}

void printJsonLine(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

PtyRunner::PtyRunner(const RunnerOptions &options, QObject *parent)
    : QObject(parent), m_options(options), m_model(options.device)
{
    m_clock.start();
    if (m_options.baud > 0)
        m_byteUs = qMax<qint64>(1, 10 * 1000 * 1000 / m_options.baud);
    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(IdleMs);
    connect(&m_idleTimer, &QTimer::timeout, this, &PtyRunner::onIdle);
    m_pumpTimer.setSingleShot(true);
    m_pumpTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_pumpTimer, &QTimer::timeout, this, &PtyRunner::pump);
    m_drainTimer.setInterval(5);
    connect(&m_drainTimer, &QTimer::timeout, this, &PtyRunner::finishWhenDelivered);
}

PtyRunner::~PtyRunner()
{
    closeLine();
}

qint64 PtyRunner::nowUs() const
{
    return m_clock.nsecsElapsed() / 1000;
}

bool PtyRunner::open(QString *error)
{
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        *error = QStringLiteral("openpty: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // Raw at once, so nothing the tool writes is echoed back before it configures the line.
    termios tio{};
    ::tcgetattr(m_slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(m_slave, TCSANOW, &tio);
    setFlags(m_master);
    setFlags(m_slave);
    m_slavePath = QString::fromLocal8Bit(name);
    if (!m_options.linkPath.isEmpty()) {
        // Made beside its final name and renamed into place, so whoever watches the folder
        // never sees a half-made link; an old link of the same name is replaced, as a board
        // plugged into the same socket replaces the one before.
        const QByteArray link = QFile::encodeName(m_options.linkPath);
        const QByteArray temp = link + ".new." + QByteArray::number(qint64(::getpid()));
        ::unlink(temp.constData());
        if (::symlink(name, temp.constData()) != 0 || ::rename(temp.constData(), link) != 0) {
            *error = QStringLiteral("cannot make the link %1: %2")
                         .arg(m_options.linkPath, QString::fromLocal8Bit(std::strerror(errno)));
            ::unlink(temp.constData());
            closeLine();
            return false;
        }
        m_linked = true;
    }

    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &PtyRunner::onReadable);
    m_startUs = nowUs();
    return true;
}

void PtyRunner::log(const QString &line) const
{
    if (!m_options.log)
        return;
    const QByteArray bytes =
        QStringLiteral("[%1] %2\n").arg(double(nowUs()) / 1e6, 10, 'f', 3).arg(line).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

QByteArray PtyRunner::readInput()
{
    QByteArray bytes;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, chunk, sizeof chunk);
        if (n > 0) {
            bytes.append(chunk, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // End of the line (cannot happen while we hold a slave fd): stop listening.
        log(QStringLiteral("line closed: %1")
                .arg(n == 0 ? QStringLiteral("end of file")
                            : QString::fromLocal8Bit(std::strerror(errno))));
        m_readNotifier->setEnabled(false);
        break;
    }
    return bytes;
}

void PtyRunner::onReadable()
{
    const QByteArray bytes = readInput();
    if (bytes.isEmpty() || m_hangupPending || m_exitPending)
        return;
    if (m_options.hangupAfter == 0) {
        log(QStringLiteral("%1 byte(s) received; hanging up").arg(bytes.size()));
        hangUp();
        return;
    }
    const qint64 now = nowUs();
    handle(m_model.feed(bytes, now));
    m_idleTimer.start();
}

void PtyRunner::onIdle()
{
    if (m_model.pendingBytes() > 0)
        handle(m_model.lineIdle(nowUs()));
}

void PtyRunner::handle(const DeviceModel::Output &output)
{
    enqueue(output);
    for (const DeviceModel::Completion &completion : output.completions) {
        saveAndReport(completion);
        if (m_options.once)
            m_exitPending = true;
    }
    if (m_options.hangupAfter > 0 && m_model.packagesWritten() >= m_options.hangupAfter)
        m_hangupPending = true;
    pump();
}

void PtyRunner::enqueue(const DeviceModel::Output &output)
{
    const qint64 now = nowUs();
    for (const QString &line : output.log)
        log(line);
    for (const DeviceModel::Reply &reply : output.replies) {
        Pending first;
        first.bytes = reply.bytes;
        first.unlessHeard = reply.unlessHeard;
        first.gapUs = reply.gapUs;
        first.beforePackage = reply.beforePackage;
        if (m_byteUs > 0)
            first.notBeforeUs = reply.frameStartUs + qint64(reply.frameBytes) * m_byteUs;
        if (reply.delayUs > 0) // the package is being written
            first.notBeforeUs = (m_byteUs > 0 ? first.notBeforeUs : now) + reply.delayUs;
        m_queue.enqueue(first);
        if (!reply.second.isEmpty()) {
            Pending second;
            second.bytes = reply.second;
            second.gapUs = qint64(m_options.splitGapMs) * 1000;
            m_queue.enqueue(second);
        }
    }
}

void PtyRunner::saveAndReport(const DeviceModel::Completion &completion)
{
    QString saved;
    if (!m_options.outPath.isEmpty()) {
        QSaveFile file(m_options.outPath);
        if (file.open(QIODevice::WriteOnly) &&
            file.write(completion.image) == completion.image.size() && file.commit()) {
            saved = m_options.outPath;
        } else {
            const QByteArray message = QStringLiteral("iap-device-sim: cannot write %1: %2\n")
                                           .arg(m_options.outPath, file.errorString())
                                           .toLocal8Bit();
            std::fwrite(message.constData(), 1, size_t(message.size()), stderr);
            std::fflush(stderr);
        }
    }
    const double seconds = double(completion.doneUs - completion.firstRequestUs) / 1e6;
    printJsonLine(QStringLiteral("{\"event\":\"complete\",\"bytes\":%1,\"requests\":%2,"
                                 "\"packages\":%3,\"resends\":%4,\"seconds\":%5,\"out\":%6}")
                      .arg(completion.image.size())
                      .arg(completion.requests)
                      .arg(completion.packages)
                      .arg(completion.resends)
                      .arg(seconds, 0, 'f', 3)
                      .arg(jsonString(saved)));
}

void PtyRunner::schedulePump(qint64 delayUs)
{
    const int ms = int(qBound(qint64(0), (delayUs + 999) / 1000, qint64(60 * 1000)));
    m_pumpTimer.start(ms);
}

void PtyRunner::pump()
{
    if (m_master < 0)
        return;
    while (!m_queue.isEmpty()) {
        Pending &item = m_queue.head();
        const qint64 now = nowUs();
        if (!item.started) {
            item.started = true;
            if (item.gapUs > 0 || m_byteUs > 0)
                item.notBeforeUs = qMax(item.notBeforeUs, m_lineFreeUs + item.gapUs);
        }
        if (now < item.notBeforeUs) {
            schedulePump(item.notBeforeUs - now);
            return;
        }
        if (item.unlessHeard && item.written == 0) {
            // A moment after the reply before it (a fraction of the time a package takes
            // to arrive), unless the tool has written something by then.
            ::usleep(AheadGapUs);
            pollfd input = {m_master, POLLIN, 0};
            if (::poll(&input, 1, 0) > 0 && (input.revents & POLLIN)) {
                log(QStringLiteral("early acknowledgement not sent: the tool wrote first"));
                m_queue.dequeue();
                continue;
            }
        }
        if (item.beforePackage && item.written == 0) {
            // What the tool has sent by now is heard first: its package may be on the way.
            item.beforePackage = false;
            const QByteArray bytes = readInput();
            if (!bytes.isEmpty())
                enqueue(m_model.feed(bytes, now)); // (item may have moved)
            if (m_model.packageHeard()) {
                log(QStringLiteral("early acknowledgement not sent: its package is coming"));
                m_queue.dequeue();
            }
            continue;
        }
        const int remaining = item.bytes.size() - item.written;
        int n = remaining;
        if (m_byteUs > 0) // only the bytes whose time on the wire has come
            n = int(qMin<qint64>(remaining, (now - item.notBeforeUs) / m_byteUs + 1));
        const ssize_t written = ::write(m_master, item.bytes.constData() + item.written, size_t(n));
        if (written < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                schedulePump(2000);
                return;
            }
            log(QStringLiteral("write failed: %1")
                    .arg(QString::fromLocal8Bit(std::strerror(errno))));
            m_queue.clear();
            break;
        }
        item.written += int(written);
        if (m_byteUs > 0) {
            item.notBeforeUs += qint64(written) * m_byteUs;
            m_lineFreeUs = item.notBeforeUs;
        } else {
            m_lineFreeUs = now;
        }
        if (item.written < item.bytes.size()) {
            schedulePump(m_byteUs > 0 ? item.notBeforeUs - now : 1000);
            return;
        }
        m_queue.dequeue();
    }
    if ((m_exitPending || m_hangupPending) && !m_drainTimer.isActive()) {
        m_drainStartUs = nowUs();
        m_drainTimer.start();
        finishWhenDelivered();
    }
}

// The last reply has been written to the pty: wait until the tool has read it (the slave's
// input queue is empty), or give up after a while, then end.
void PtyRunner::finishWhenDelivered()
{
    int unread = 0;
    if (m_slave >= 0 && ::ioctl(m_slave, TIOCINQ, &unread) != 0)
        unread = 0;
    const qint64 waited = nowUs() - m_drainStartUs;
    if (waited < DeliverySettleUs || (unread > 0 && waited < DeliveryWaitUs))
        return;
    m_drainTimer.stop();
    if (m_hangupPending) {
        hangUp();
    } else {
        log(QStringLiteral("done"));
        emit finished(0);
    }
}

void PtyRunner::hangUp()
{
    closeLine();
    printJsonLine(QStringLiteral("{\"event\":\"hangup\",\"written\":%1,\"requests\":%2,"
                                 "\"packages\":%3,\"resends\":%4,\"seconds\":%5}")
                      .arg(m_model.packagesWritten())
                      .arg(m_model.requests())
                      .arg(m_model.packages())
                      .arg(m_model.resends())
                      .arg(double(nowUs() - m_startUs) / 1e6, 0, 'f', 3));
    log(QStringLiteral("line closed"));
    emit finished(0);
}

// The link goes only while it still points at this simulator's port.
void PtyRunner::removeLink()
{
    if (!m_linked)
        return;
    m_linked = false;
    const QByteArray link = QFile::encodeName(m_options.linkPath);
    char target[512] = {};
    const ssize_t n = ::readlink(link.constData(), target, sizeof target - 1);
    if (n > 0 && QString::fromLocal8Bit(target, int(n)) == m_slavePath)
        ::unlink(link.constData());
}

void PtyRunner::closeLine()
{
    // An unplugged board: its name goes with its line.
    removeLink();
    m_idleTimer.stop();
    m_pumpTimer.stop();
    m_drainTimer.stop();
    m_queue.clear();
    if (m_readNotifier) {
        m_readNotifier->setEnabled(false);
        delete m_readNotifier;
        m_readNotifier = nullptr;
    }
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
    if (m_slave >= 0) {
        ::close(m_slave);
        m_slave = -1;
    }
}
