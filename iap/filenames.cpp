#include "filenames.h"

#include <QFile>

namespace iap {
namespace {

constexpr ushort EscapeBase = 0xDC00; // a stray byte b becomes U+DC00 + b (b >= 0x80)

bool isEscape(const QString &name, int i)
{
    const ushort u = name.at(i).unicode();
    if (u < EscapeBase + 0x80 || u > EscapeBase + 0xFF)
        return false;
    // A low surrogate that completes a pair is a real character.
    return i == 0 || !name.at(i - 1).isHighSurrogate();
}

// Length of the UTF-8 sequence that starts at b[i] if it is a valid one, else 0.
int validSequence(const QByteArray &b, int i)
{
    const uchar lead = uchar(b.at(i));
    const int n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (n == 0 || i + n > b.size())
        return 0;
    const QByteArray piece = b.mid(i, n);
    const QString decoded = QString::fromUtf8(piece);
    if (decoded.contains(QChar::ReplacementCharacter) || decoded.toUtf8() != piece)
        return 0;
    return n;
}

} // namespace

QString fileNameFromNative(const QByteArray &bytes)
{
    const QString plain = QFile::decodeName(bytes);
    if (QFile::encodeName(plain) == bytes)
        return plain;
    QString name;
    name.reserve(bytes.size());
    for (int i = 0; i < bytes.size();) {
        const uchar c = uchar(bytes.at(i));
        if (c < 0x80) {
            name += QLatin1Char(char(c));
            ++i;
            continue;
        }
        const int n = validSequence(bytes, i);
        if (n > 0) {
            name += QString::fromUtf8(bytes.constData() + i, n);
            i += n;
        } else {
            name += QChar(ushort(EscapeBase + c));
            ++i;
        }
    }
    return name;
}

QByteArray nativeFileName(const QString &name)
{
    QByteArray out;
    int chunkStart = 0;
    for (int i = 0; i < name.size(); ++i) {
        if (!isEscape(name, i))
            continue;
        out += QFile::encodeName(name.mid(chunkStart, i - chunkStart));
        out += char(name.at(i).unicode() - EscapeBase);
        chunkStart = i + 1;
    }
    if (chunkStart == 0)
        return QFile::encodeName(name);
    out += QFile::encodeName(name.mid(chunkStart));
    return out;
}

QStringList argumentsFromNative(int argc, const char *const *argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << fileNameFromNative(QByteArray(argv[i]));
    return arguments;
}

} // namespace iap
