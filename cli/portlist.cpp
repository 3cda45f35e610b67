#include "portlist.h"

#include "exitcodes.h"
#include "serial.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>
#include <QTextStream>
#include <QVector>
#include <cstdio>
#include <unistd.h>

int listPorts(bool json)
{
    Serial serial;
    const QStringList names = serial.availablePortNames();
    QVector<QStringList> rows;
    QList<QJsonObject> objects;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        if (!names.contains(info.portName()) && !names.contains(info.systemLocation()))
            continue;
        const auto orNull = [](const QString &text) {
            return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
        };
        const auto hex4 = [](quint16 id) {
            return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0'));
        };
        const bool ids = info.hasVendorIdentifier() && info.hasProductIdentifier();
        const QString vid = ids ? hex4(info.vendorIdentifier()) : QString();
        const QString pid = ids ? hex4(info.productIdentifier()) : QString();
        rows.append({info.systemLocation(), info.description(), info.manufacturer(),
                     ids ? vid + QLatin1Char(':') + pid : QString()});
        objects.append({{QStringLiteral("port"), info.systemLocation()},
                        {QStringLiteral("description"), orNull(info.description())},
                        {QStringLiteral("manufacturer"), orNull(info.manufacturer())},
                        {QStringLiteral("vid"), orNull(vid)},
                        {QStringLiteral("pid"), orNull(pid)},
                        {QStringLiteral("serial"), orNull(info.serialNumber())}});
    }
    if (rows.isEmpty()) {
        std::fputs("no serial ports found\n", stderr);
        return flash::Success;
    }
    QTextStream out(stdout);
    if (json) {
        for (const QJsonObject &o : qAsConst(objects))
            out << QJsonDocument(o).toJson(QJsonDocument::Compact) << '\n';
        return flash::Success;
    }
    const auto trimmed = [](QStringList fields) {
        while (fields.size() > 1 && fields.constLast().isEmpty())
            fields.removeLast();
        return fields;
    };
    if (::isatty(STDOUT_FILENO) != 1) {
        for (const QStringList &row : qAsConst(rows))
            out << trimmed(row).join(QLatin1Char('\t')) << '\n';
        return flash::Success;
    }
    rows.prepend({QStringLiteral("PORT"), QStringLiteral("DESCRIPTION"),
                  QStringLiteral("MANUFACTURER"), QStringLiteral("VID:PID")});
    int columns = 1;
    QVector<int> widths(rows.constFirst().size(), 0);
    for (int r = 1; r < rows.size(); ++r)
        columns = qMax(columns, int(trimmed(rows.at(r)).size()));
    for (const QStringList &row : qAsConst(rows)) {
        for (int c = 0; c < columns; ++c)
            widths[c] = qMax(widths.at(c), int(row.at(c).size()));
    }
    for (const QStringList &row : qAsConst(rows)) {
        QString text;
        for (int c = 0; c < columns; ++c)
            text += c + 1 < columns ? row.at(c).leftJustified(widths.at(c) + 2) : row.at(c);
        out << text.trimmed() << '\n';
    }
    return flash::Success;
}
