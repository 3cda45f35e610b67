#pragma once
// Images and files for the suites: random images from a seed, and files in a temporary folder.
#include <QByteArray>
#include <QFile>
#include <QRandomGenerator>
#include <QString>
#include <QTemporaryDir>

inline QByteArray randomImage(int size, quint32 seed)
{
    QRandomGenerator gen(seed);
    QByteArray image(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        image[i] = char(gen.bounded(256));
    return image;
}

// The path of the file written, or an empty string when it could not be written whole.
inline QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        return QString();
    return path;
}

// The whole file, or "<missing>" so that a comparison names what went wrong.
inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}
