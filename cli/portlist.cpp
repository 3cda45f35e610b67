#include "portlist.h"

#include "exitcodes.h"
#include "progressline.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>
#include <QTextStream>
#include <QVector>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace flash {

namespace {

struct Port
{
    QStringList fields; // port, description, manufacturer, VID:PID
    QJsonObject json;
    bool refused = false; // this user may not open it
    QString group;        // ... and joining this group would let them ("dialout")
};

// Whether this user may not read and write the device file, and the group that may.
void checkAccess(const QString &location, Port *port)
{
    const QByteArray path = QFile::encodeName(location);
    if (::access(path.constData(), R_OK | W_OK) == 0 || (errno != EACCES && errno != EPERM))
        return;
    port->refused = true;
    struct stat st = {};
    if (::stat(path.constData(), &st) != 0 ||
        (st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
        return; // its owner's alone
    const struct group *g = ::getgrgid(st.st_gid);
    port->group = g ? QString::fromLocal8Bit(g->gr_name) : QString::number(st.st_gid);
}

QVector<Port> ports()
{
    QVector<Port> list;
    QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    std::sort(infos.begin(), infos.end(), [](const QSerialPortInfo &a, const QSerialPortInfo &b) {
        return a.systemLocation() < b.systemLocation();
    });
    for (const QSerialPortInfo &info : qAsConst(infos)) {
        const auto orNull = [](const QString &text) {
            return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
        };
        const auto hex4 = [](quint16 id) {
            return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0'));
        };
        const bool ids = info.hasVendorIdentifier() && info.hasProductIdentifier();
        const QString vid = ids ? hex4(info.vendorIdentifier()) : QString();
        const QString pid = ids ? hex4(info.productIdentifier()) : QString();
        Port p;
        p.fields = QStringList{info.systemLocation(), info.description(), info.manufacturer(),
                               ids ? vid + QLatin1Char(':') + pid : QString()};
        checkAccess(info.systemLocation(), &p);
        p.json = {{QStringLiteral("port"), info.systemLocation()},
                  {QStringLiteral("description"), orNull(info.description())},
                  {QStringLiteral("manufacturer"), orNull(info.manufacturer())},
                  {QStringLiteral("vid"), orNull(vid)},
                  {QStringLiteral("pid"), orNull(pid)},
                  {QStringLiteral("serial"), orNull(info.serialNumber())},
                  {QStringLiteral("access"), !p.refused}};
        list << p;
    }
    return list;
}

QString noAccessMark(iap::Language language)
{
    return language == iap::Language::Chinese ? QStringLiteral("无权限")
                                              : QStringLiteral("no access");
}

// The one line after a listing with ports this user may not open: the group to join, or, for
// ports only their owner may open, who can change that.
QString accessHint(const QStringList &groups, iap::Language language)
{
    const QString mark = noAccessMark(language);
    if (groups.isEmpty())
        return language == iap::Language::Chinese
                   ? QStringLiteral("标为“%1”的串口当前用户无法打开：只有其所有者可以打开；"
                                    "管理员可以用 udev 规则把它们交给 dialout 组。")
                         .arg(mark)
                   : QStringLiteral("Ports marked \"%1\" cannot be opened by this user: only "
                                    "their owner may open them; an administrator can give "
                                    "them to the group dialout with a udev rule.")
                         .arg(mark);
    const QString names = groups.join(QStringLiteral(", "));
    return language == iap::Language::Chinese
               ? QStringLiteral("标为“%1”的串口当前用户无法打开：请把用户加入 %2 组（sudo "
                                "usermod -aG %3 $USER），然后重新登录。")
                     .arg(mark, names, groups.constFirst())
               : QStringLiteral("Ports marked \"%1\" cannot be opened by this user: add "
                                "yourself to the group %2 (sudo usermod -aG %3 $USER) and log "
                                "in again.")
                     .arg(mark, names, groups.constFirst());
}

QStringList trimmed(QStringList fields)
{
    while (fields.size() > 1 && fields.constLast().isEmpty())
        fields.removeLast();
    return fields;
}

// Aligned columns under a header, no blanks at the end of a line (CJK text takes two columns).
void printTable(QTextStream &out, QVector<QStringList> rows, iap::Language language)
{
    int columns = 1;
    for (const QStringList &row : qAsConst(rows))
        columns = qMax(columns, int(trimmed(row).size()));
    rows.prepend(
        (language == iap::Language::Chinese
             ? QStringList{QStringLiteral("端口"), QStringLiteral("描述"), QStringLiteral("厂商"),
                           QStringLiteral("VID:PID"), QStringLiteral("访问")}
             : QStringList{QStringLiteral("PORT"), QStringLiteral("DESCRIPTION"),
                           QStringLiteral("MANUFACTURER"), QStringLiteral("VID:PID"),
                           QStringLiteral("ACCESS")})
            .mid(0, columns));
    QVector<int> widths(columns, 0);
    for (const QStringList &row : qAsConst(rows)) {
        for (int c = 0; c < columns; ++c)
            widths[c] = qMax(widths.at(c), flash::displayWidth(row.value(c)));
    }
    for (const QStringList &row : qAsConst(rows)) {
        QString text;
        for (int c = 0; c < columns; ++c) {
            text += row.value(c);
            if (c + 1 < columns)
                text +=
                    QString(widths.at(c) + 2 - flash::displayWidth(row.value(c)), QLatin1Char(' '));
        }
        out << text.trimmed() << '\n';
    }
}

} // namespace

QStringList presentPortLines()
{
    QStringList lines;
    for (const Port &p : ports())
        lines << (p.fields.at(1).isEmpty()
                      ? p.fields.at(0)
                      : QStringLiteral("%1 (%2)").arg(p.fields.at(0), p.fields.at(1)));
    return lines;
}

int listPorts(bool json, iap::Language language)
{
    const QVector<Port> list = ports();
    if (list.isEmpty()) {
        std::fputs(language == iap::Language::Chinese ? "没有找到串口\n"
                                                      : "no serial ports found\n",
                   stderr);
        return flash::Success;
    }
    QStringList groups;
    bool refused = false;
    QVector<QStringList> rows;
    for (const Port &p : list) {
        rows << p.fields;
        if (p.refused)
            rows.last() << noAccessMark(language);
        refused = refused || p.refused;
        if (!p.group.isEmpty() && !groups.contains(p.group))
            groups << p.group;
    }
    {
        QTextStream out(stdout);
        if (json) {
            for (const Port &p : list)
                out << QJsonDocument(p.json).toJson(QJsonDocument::Compact) << '\n';
        } else if (::isatty(STDOUT_FILENO) != 1) {
            for (const QStringList &row : qAsConst(rows))
                out << trimmed(row).join(QLatin1Char('\t')) << '\n';
        } else {
            printTable(out, rows, language);
        }
    }
    if (refused)
        std::fprintf(stderr, "%s\n", accessHint(groups, language).toUtf8().constData());
    return flash::Success;
}

} // namespace flash
