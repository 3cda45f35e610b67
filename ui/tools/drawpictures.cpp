// Draws the two pictures of the window: the icon (one 256 x 256, 32-bit image in an .ico
// file) and the logo (1162 x 227 RGBA PNG). Run by draw-pictures.sh; the pictures are
// committed, so the normal build never runs this.
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QTextStream>

namespace {

const QColor Orange(0xf2, 0x90, 0x24);
const QColor DeepOrange(0xd9, 0x6f, 0x0e);
const QColor Ink(0x33, 0x33, 0x33);

// The emblem: an orange rounded square with a white chip and an arrow going up into it.
void drawEmblem(QPainter &p, const QRectF &r)
{
    const qreal s = r.width();
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, Orange);
    g.setColorAt(1, DeepOrange);
    QPainterPath box;
    box.addRoundedRect(r, s * 0.2, s * 0.2);
    p.fillPath(box, g);

    // The chip with its pins.
    const QRectF chip(r.left() + s * 0.28, r.top() + s * 0.16, s * 0.44, s * 0.30);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRoundedRect(chip, s * 0.04, s * 0.04);
    const qreal pinW = s * 0.045;
    for (int i = 0; i < 4; ++i) {
        const qreal y = chip.top() + s * 0.035 + i * (chip.height() - s * 0.07) / 3 - pinW / 2;
        p.drawRect(QRectF(chip.left() - s * 0.07, y, s * 0.07, pinW));
        p.drawRect(QRectF(chip.right(), y, s * 0.07, pinW));
    }
    p.setBrush(DeepOrange);
    p.drawEllipse(QPointF(chip.left() + s * 0.07, chip.top() + s * 0.07), s * 0.025, s * 0.025);

    // The arrow from the bottom up to the chip.
    p.setBrush(Qt::white);
    const qreal cx = r.center().x();
    QPainterPath arrow;
    arrow.moveTo(cx, chip.bottom() + s * 0.06);
    arrow.lineTo(cx + s * 0.17, chip.bottom() + s * 0.24);
    arrow.lineTo(cx + s * 0.07, chip.bottom() + s * 0.24);
    arrow.lineTo(cx + s * 0.07, r.bottom() - s * 0.1);
    arrow.lineTo(cx - s * 0.07, r.bottom() - s * 0.1);
    arrow.lineTo(cx - s * 0.07, chip.bottom() + s * 0.24);
    arrow.lineTo(cx - s * 0.17, chip.bottom() + s * 0.24);
    arrow.closeSubpath();
    p.drawPath(arrow);
}

QImage icon()
{
    QImage img(256, 256, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    drawEmblem(p, QRectF(8, 8, 240, 240));
    return img;
}

QImage logo()
{
    QImage img(1162, 227, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    drawEmblem(p, QRectF(24, 24, 179, 179));

    // The largest bold size at which the whole name fits beside the emblem.
    QFont name(QStringLiteral("DejaVu Sans"));
    name.setBold(true);
    for (int px = 96; px > 40; px -= 2) {
        name.setPixelSize(px);
        if (QFontMetrics(name).horizontalAdvance(QStringLiteral("Upgrade Assistant")) <= 890)
            break;
    }
    p.setFont(name);
    p.setPen(Ink);
    p.drawText(QRectF(236, 10, 920, 130), Qt::AlignLeft | Qt::AlignBottom,
               QStringLiteral("Upgrade"));
    const int upgradeWidth = QFontMetrics(name).horizontalAdvance(QStringLiteral("Upgrade "));
    p.setPen(Orange);
    p.drawText(QRectF(236 + upgradeWidth, 10, 920, 130), Qt::AlignLeft | Qt::AlignBottom,
               QStringLiteral("Assistant"));

    QFont tag(QStringLiteral("DejaVu Sans"));
    tag.setPixelSize(38);
    p.setFont(tag);
    p.setPen(QColor(0x77, 0x77, 0x77));
    p.drawText(QRectF(240, 140, 920, 60), Qt::AlignLeft | Qt::AlignTop,
               QStringLiteral("serial firmware upgrades"));
    return img;
}

bool save(const QImage &img, const QString &path, const char *format)
{
    QImageWriter w(path, format);
    if (!w.write(img)) {
        QTextStream(stderr) << path << ": " << w.errorString() << '\n';
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    const bool ok = save(icon(), dir + QStringLiteral("/1.ico"), "ico") &&
                    save(logo(), dir + QStringLiteral("/20240818-210319.png"), "png");
    return ok ? 0 : 1;
}
