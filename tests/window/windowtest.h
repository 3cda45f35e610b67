#pragma once

// Helpers shared by the window suites.
#include "testfiles.h"
#include "windowprobe.h"

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <functional>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

// Collects Qt's debug output while alive.
class DebugCapture
{
public:
    DebugCapture()
    {
        lines().clear();
        m_previous = qInstallMessageHandler(&DebugCapture::handler);
        previous() = m_previous;
    }
    ~DebugCapture() { qInstallMessageHandler(m_previous); }
    QStringList captured() const { return lines(); }

private:
    static QStringList &lines()
    {
        static QStringList l;
        return l;
    }
    static QtMessageHandler &previous()
    {
        static QtMessageHandler h = nullptr;
        return h;
    }
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
    {
        if (type == QtDebugMsg)
            lines().append(msg);
        else if (previous())
            previous()(type, context, msg);
    }
    QtMessageHandler m_previous = nullptr;
};

// Runs action on the first modal widget of type T that appears (a message box, the file
// dialog), from a timer, because the code under test blocks in its own event loop.
template <typename T> void whenModalAppears(std::function<void(T *)> action)
{
    auto *poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, action] {
        if (T *w = qobject_cast<T *>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            action(w);
        }
    });
    poll->start();
}

// The device end of a pseudo-terminal: the window opens the other end by its path. Kept
// open, it is a line that nobody answers; a test can also write replies into it, read what
// the window wrote, or close it to make the device go away.
class PtyLine
{
public:
    PtyLine()
    {
        int slave = -1;
        char name[128] = {};
        if (::openpty(&m_master, &slave, name, nullptr, nullptr) != 0)
            return;
        ::close(slave); // the window opens it by name
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
        m_name = QString::fromLocal8Bit(name);
    }
    ~PtyLine() { closeMaster(); }
    PtyLine(const PtyLine &) = delete;
    PtyLine &operator=(const PtyLine &) = delete;
    bool ok() const { return m_master >= 0; }
    QString name() const { return m_name; }
    // True when all of the bytes went into the line.
    bool write(const QByteArray &bytes)
    {
        return ::write(m_master, bytes.constData(), size_t(bytes.size())) == ssize_t(bytes.size());
    }
    // What the window has written so far.
    QByteArray drain()
    {
        QByteArray out;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(m_master, buf, sizeof buf)) > 0)
            out.append(buf, int(n));
        return out;
    }
    void closeMaster()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

private:
    int m_master = -1;
    QString m_name;
};
