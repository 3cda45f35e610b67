#pragma once
// Images and files for the suites: random images from a seed, and files in a temporary folder.
#include <QByteArray>
#include <QFile>
#include <QRandomGenerator>
#include <QString>
#include <QTemporaryDir>
#include <unistd.h>

inline QByteArray randomImage(int size, quint32 seed)
{
    QRandomGenerator gen(seed);
    QByteArray image(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        image[i] = char(gen.bounded(256));
    return image;
}

// A recognisable image: no two neighbouring packages look alike.
inline QByteArray patternImage(int n)
{
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = char((i * 7 + i / 1024 * 13 + 3) & 0xFF);
    return b;
}

// True when the file was written whole.
inline bool writeFileAt(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// The path of the file written in the folder (a QDir or a QTemporaryDir), or an empty string
// when it could not be written whole.
template <typename Folder>
QString writeFile(const Folder &folder, const QString &name, const QByteArray &bytes)
{
    const QString path = folder.filePath(name);
    return writeFileAt(path, bytes) ? path : QString();
}

// The whole file, or "<missing>" so that a comparison names what went wrong.
inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Removes a file by its bytes when it goes out of scope. QTemporaryDir cannot remove a name
// that is not valid in the locale's encoding and would leave its folder behind: declare this
// after the folder, so that it goes first.
struct RemovedAtEnd
{
    QByteArray native;
    ~RemovedAtEnd() { ::unlink(native.constData()); }
};
