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
// --early-acks ahead: the gap between an acknowledgement and the one made up after it.
constexpr useconds_t AheadGapUs = 200;
// Waits shorter than this are slept through in place: a timer has whole milliseconds.
constexpr qint64 SleepUnderNs = 1000 * 1000;
// How often the device's clock ticks while the line is at a switched rate.
constexpr int ClockMs = 20;

// The rate of a termios speed constant; 0 for one not known here.
qint32 rateOf(speed_t speed)
{
    static const struct
    {
        speed_t speed;
        qint32 rate;
    } rates[] = {
        {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
        {B115200, 115200},   {B230400, 230400},
#ifdef B460800
        {B460800, 460800},   {B500000, 500000},   {B576000, 576000},   {B921600, 921600},
        {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000}, {B2000000, 2000000},
        {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
#endif
    };
    for (const auto &r : rates)
        if (r.speed == speed)
            return r.rate;
    return 0;
}

void sleepNs(qint64 ns)
{
    timespec t{time_t(ns / 1000000000), long(ns % 1000000000)};
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

DeviceOptions deviceOptions(const RunnerOptions &options)
{
    DeviceOptions device = options.device;
    device.lineBaud = options.baud;
    return device;
}

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
    : QObject(parent), m_options(options), m_model(deviceOptions(options)), m_baud(options.baud)
{
    m_clock.start();
    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(IdleMs);
    connect(&m_idleTimer, &QTimer::timeout, this, &PtyRunner::onIdle);
    m_pumpTimer.setSingleShot(true);
    m_pumpTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_pumpTimer, &QTimer::timeout, this, &PtyRunner::pump);
    m_drainTimer.setInterval(5);
    connect(&m_drainTimer, &QTimer::timeout, this, &PtyRunner::finishWhenDelivered);
    m_clockTimer.setInterval(ClockMs);
    connect(&m_clockTimer, &QTimer::timeout, this, &PtyRunner::onClock);
}

PtyRunner::~PtyRunner()
{
    closeLine();
}

qint64 PtyRunner::nowUs() const
{
    return m_clock.nsecsElapsed() / 1000;
}

qint64 PtyRunner::nowNs() const
{
    return m_clock.nsecsElapsed();
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
    if (garbled(false)) {
        log(QStringLiteral("%1 byte(s) lost: the two ends are not at one rate").arg(bytes.size()));
        return;
    }
    if (m_options.hangupAfter == 0) {
        log(QStringLiteral("%1 byte(s) received; hanging up").arg(bytes.size()));
        hangUp();
        return;
    }
    const qint64 now = nowUs();
    handle(m_model.feed(bytes, now));
    m_idleTimer.start();
    onClock();
}

qint32 PtyRunner::toolBaud() const
{
    termios tio{};
    if (m_slave < 0 || ::tcgetattr(m_slave, &tio) != 0)
        return 0;
    return rateOf(::cfgetospeed(&tio));
}

bool PtyRunner::garbled(bool sending)
{
    const quint32 device = sending ? m_sendBaud : m_model.deviceBaud();
    if (device != 0 && m_options.device.rateFails)
        return true;
    const qint32 tool = toolBaud();
    const qint32 expected = device != 0 ? qint32(device) : m_toolStartBaud;
    return tool != 0 && expected != 0 && tool != expected;
}

void PtyRunner::onClock()
{
    if (m_model.deviceBaud() == 0 && m_sendBaud == 0) {
        m_clockTimer.stop();
        return;
    }
    if (!m_clockTimer.isActive())
        m_clockTimer.start();
    const DeviceModel::Output out = m_model.clock(nowUs());
    for (const QString &line : out.log)
        log(line);
    if (m_model.deviceBaud() == 0 && m_queue.isEmpty()) {
        m_sendBaud = 0;
        m_baud = m_options.baud;
        m_clockTimer.stop();
    }
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
    const qint64 now = nowNs();
    for (const QString &line : output.log)
        log(line);
    for (const DeviceModel::Reply &reply : output.replies) {
        Pending first;
        first.bytes = reply.bytes;
        first.unlessHeard = reply.unlessHeard;
        first.gapNs = reply.gapUs * 1000;
        first.beforePackage = reply.beforePackage;
        // Not before the frame answered has come in whole at the line's pace, nor before the
        // device has done the work it was given before (one write at a time).
        qint64 ready = qMax(paced() ? reply.frameEndNs : now, m_deviceFreeNs);
        if (reply.workUs > 0) { // erasing, writing
            ready += reply.workUs * 1000;
            m_deviceFreeNs = ready;
        }
        if (reply.delayUs > 0 || reply.workUs > 0 || paced())
            first.notBeforeNs = ready + reply.delayUs * 1000;
        Pending *last = &first;
        Pending second;
        if (!reply.second.isEmpty()) {
            second.bytes = reply.second;
            second.gapNs = qint64(m_options.splitGapMs) * 1000 * 1000;
            last = &second;
        }
        last->baudAfter = qint32(reply.baudAfter);
        m_queue.enqueue(first);
        if (!reply.second.isEmpty())
            m_queue.enqueue(second);
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

// Never late by a rounding: the timer wakes at or before the time, and pump() sleeps the
// rest (under a millisecond) in place.
void PtyRunner::schedulePump(qint64 delayNs)
{
    const int ms = int(qBound(qint64(0), delayNs / (1000 * 1000), qint64(60 * 1000)));
    m_pumpTimer.start(ms);
}

void PtyRunner::pump()
{
    if (m_master < 0)
        return;
    while (!m_queue.isEmpty()) {
        Pending &item = m_queue.head();
        qint64 now = nowNs();
        if (!item.started) {
            item.started = true;
            if (item.gapNs > 0 || paced())
                item.notBeforeNs = qMax(item.notBeforeNs, m_lineFreeNs + item.gapNs);
        }
        const qint64 due = item.notBeforeNs + DeviceModel::wireNs(item.written, m_baud);
        if (now < due) {
            if (due - now >= SleepUnderNs) {
                schedulePump(due - now);
                return;
            }
            sleepNs(due - now);
            now = nowNs();
        }
        if (item.written == 0 && garbled(true)) {
            log(QStringLiteral("reply lost: the two ends are not at one rate"));
            if (item.baudAfter > 0)
                m_sendBaud = quint32(item.baudAfter);
            m_queue.dequeue();
            continue;
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
                enqueue(m_model.feed(bytes, now / 1000)); // (item may have moved)
            if (m_model.packageHeard()) {
                log(QStringLiteral("early acknowledgement not sent: its package is coming"));
                m_queue.dequeue();
            }
            continue;
        }
        if (item.baudAfter > 0 && item.written == 0 && m_toolStartBaud == 0) {
            // The tool's rate now is the starting one; once the answer is out it may switch
            // before this process looks again.
            m_toolStartBaud = toolBaud();
        }
        const int remaining = item.bytes.size() - item.written;
        int n = remaining;
        if (paced()) { // only the bytes whose time on the wire has come
            const qint64 sinceStart = qMax(qint64(0), now - item.notBeforeNs);
            const qint64 due = sinceStart * m_baud / (10LL * 1000 * 1000 * 1000) + 1;
            n = int(qBound(qint64(1), due - item.written, qint64(remaining)));
        }
        const ssize_t written = ::write(m_master, item.bytes.constData() + item.written, size_t(n));
        if (written < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                schedulePump(2 * 1000 * 1000);
                return;
            }
            log(QStringLiteral("write failed: %1")
                    .arg(QString::fromLocal8Bit(std::strerror(errno))));
            m_queue.clear();
            break;
        }
        item.written += int(written);
        m_lineFreeNs = paced() ? item.notBeforeNs + DeviceModel::wireNs(item.written, m_baud) : now;
        if (item.written < item.bytes.size()) {
            schedulePump(paced() ? m_lineFreeNs - now : 1000 * 1000);
            return;
        }
        if (item.baudAfter > 0) {
            // The device changes its rate once this reply has left the line: from here on the
            // two ends must agree.
            m_sendBaud = quint32(item.baudAfter);
            if (paced())
                m_baud = item.baudAfter;
            log(QStringLiteral("line now at %1 baud").arg(item.baudAfter));
            onClock();
        }
        m_queue.dequeue();
    }
    if ((m_exitPending || m_hangupPending) && !m_drainTimer.isActive()) {
        m_drainStartUs = nowUs();
        m_drainTimer.start();
        finishWhenDelivered();
    }
}

// The last reply has been written to the pty: wait until the tool has read it (nothing is
// left for the slave side to read), or give up after a while, then end. Bytes written to the
// master reach the slave's input queue a little later, by the kernel's hand, and TIOCINQ
// does not count them until then; poll() on the slave moves them there first.
void PtyRunner::finishWhenDelivered()
{
    bool unread = false;
    if (m_slave >= 0) {
        pollfd input = {m_slave, POLLIN, 0};
        int queued = 0;
        unread = ::poll(&input, 1, 0) > 0 && (input.revents & POLLIN);
        unread = unread || (::ioctl(m_slave, TIOCINQ, &queued) == 0 && queued > 0);
    }
    const qint64 waited = nowUs() - m_drainStartUs;
    if (unread && waited < DeliveryWaitUs)
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
