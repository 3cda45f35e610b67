// Build-time helper: writes the window's icon (a Windows .ico) as the PNG desktop icon.
#include <QCoreApplication>
#include <QImage>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: icontopng ICON.ico SIZE OUT.png\n");
        return 1;
    }
    QImage image(QString::fromLocal8Bit(argv[1]));
    if (image.isNull()) {
        std::fprintf(stderr, "icontopng: cannot read %s\n", argv[1]);
        return 1;
    }
    const int size = QByteArray(argv[2]).toInt();
    if (image.width() != size || image.height() != size)
        image = image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (!image.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
        std::fprintf(stderr, "icontopng: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
