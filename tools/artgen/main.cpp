// Renders one SVG to a 24-bit BMP of an exact size, so the window's pictures
// are fixed bitmaps and never depend on an SVG renderer at run time; or to a
// PNG with transparency, for the program's icon at its theme sizes.
//
//   artgen <in.svg> <out.bmp> <width> <height> [--background <#rrggbb>]
//          [--preview <out.png> <scale>]
//   artgen <in.svg> <out.png> <width> <height>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QString>
#include <QSvgRenderer>
#include <cstdio>
#include <optional>

namespace {

void fail(const QString& message) {
    std::fprintf(stderr, "artgen: %s\n", qPrintable(message));
}

std::optional<int> positiveNumber(const QString& text) {
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value <= 0)
        return std::nullopt;
    return value;
}

// Renders the whole SVG scaled to fill the size, on the background colour
// where it leaves anything transparent (a bitmap without alpha has to show
// some colour there: the colour of the panel the picture sits on). An icon
// keeps its transparency and may be rendered at any size of its proportions,
// since a theme wants it at several.
std::optional<QImage> render(const QString& svgPath, QSize size, const QColor& background,
                             bool icon) {
    QSvgRenderer renderer(svgPath);
    if (!renderer.isValid()) {
        fail(QStringLiteral("cannot read SVG %1").arg(svgPath));
        return std::nullopt;
    }
    const QSize drawn = renderer.defaultSize();
    const bool fits =
        icon ? qint64(drawn.width()) * size.height() == qint64(drawn.height()) * size.width()
             : drawn == size;
    if (!fits) {
        fail(QStringLiteral("%1 is drawn for %2 x %3, which does not fit %4 x %5")
                 .arg(svgPath)
                 .arg(renderer.defaultSize().width())
                 .arg(renderer.defaultSize().height())
                 .arg(size.width())
                 .arg(size.height()));
        return std::nullopt;
    }
    QImage canvas(size, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(icon ? QColor(Qt::transparent) : background);
    {
        QPainter painter(&canvas);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
        renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
    }
    return canvas.convertToFormat(icon ? QImage::Format_ARGB32 : QImage::Format_RGB888);
}

} // namespace

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    const QStringList all = app.arguments().mid(1);
    const QString usage = QStringLiteral("usage: artgen <in.svg> <out.bmp> <width> <height> "
                                         "[--background <#rrggbb>] [--preview <out.png> <scale>]");
    if (all.size() < 4) {
        fail(usage);
        return 2;
    }
    const QStringList args = all.mid(0, 4);
    QColor background(Qt::white);
    QString previewPath;
    std::optional<int> scale(1);
    for (qsizetype i = 4; i < all.size(); ++i) {
        if (all[i] == QLatin1String("--background") && i + 1 < all.size()) {
            background = QColor(all[++i]);
        } else if (all[i] == QLatin1String("--preview") && i + 2 < all.size()) {
            previewPath = all[++i];
            scale = positiveNumber(all[++i]);
        } else {
            fail(usage);
            return 2;
        }
    }
    const auto width = positiveNumber(args[2]);
    const auto height = positiveNumber(args[3]);
    if (!width || !height || !scale || !background.isValid()) {
        fail(QStringLiteral("width, height and scale must be positive whole numbers and the "
                            "background a colour"));
        return 2;
    }

    const bool icon = args[1].endsWith(QLatin1String(".png"), Qt::CaseInsensitive);
    if (icon && all.size() > 4) {
        fail(QStringLiteral("an icon keeps its transparency: no background or preview"));
        return 2;
    }
    const auto image = render(args[0], QSize(*width, *height), background, icon);
    if (!image)
        return 1;
    // Qt writes an RGB888 image as an uncompressed 24-bit BMP.
    if (!image->save(args[1], icon ? "PNG" : "BMP")) {
        fail(QStringLiteral("cannot write %1").arg(args[1]));
        return 1;
    }
    if (!previewPath.isEmpty()) {
        // Nearest-neighbour enlargement, to judge the pixels themselves.
        const QImage preview =
            image->scaled(image->size() * *scale, Qt::IgnoreAspectRatio, Qt::FastTransformation);
        if (!preview.save(previewPath, "PNG")) {
            fail(QStringLiteral("cannot write %1").arg(previewPath));
            return 1;
        }
    }
    return 0;
}
