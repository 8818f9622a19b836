// Renders Kestrel's SVG icon to the PNG sizes the icon theme wants. Runs at build
// time only; it is not installed.
//   kestrel-iconrender ICON.svg SIZE OUT.png [SIZE OUT.png ...]

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>

namespace
{

int fail(const QString& message)
{
    std::fprintf(stderr, "kestrel-iconrender: %s\n", qPrintable(message));
    return 1;
}

bool hasOpaqueAndClearPixels(const QImage& image)
{
    bool opaque = false;
    bool clear = false;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const int alpha = qAlpha(image.pixel(x, y));
            opaque = opaque || alpha == 255;
            clear = clear || alpha == 0;
        }
    }
    return opaque && clear;
}

} // namespace

int main(int argc, char* argv[])
{
    // No window is ever shown; the offscreen platform works without a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    const QStringList args = QGuiApplication::arguments().mid(1);
    if (args.size() < 3 || args.size() % 2 == 0)
        return fail(
            QStringLiteral("usage: kestrel-iconrender ICON.svg SIZE OUT.png [SIZE OUT.png ...]"));

    QSvgRenderer renderer(args.at(0));
    if (!renderer.isValid())
        return fail(QStringLiteral("%1 is not a readable SVG").arg(args.at(0)));
    const QRectF box = renderer.viewBoxF();
    if (box.isEmpty() || !qFuzzyCompare(box.width(), box.height()))
        return fail(QStringLiteral("%1 is not square").arg(args.at(0)));

    for (qsizetype i = 1; i < args.size(); i += 2) {
        bool ok = false;
        const int size = args.at(i).toInt(&ok);
        if (!ok || size < 8 || size > 1024)
            return fail(QStringLiteral("bad size %1").arg(args.at(i)));
        const QString& out = args.at(i + 1);

        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
        renderer.render(&painter, QRectF(0, 0, size, size));
        painter.end();

        // A tile with rounded corners: opaque inside, clear in the corners. Anything
        // else means the drawing was lost on the way.
        if (!hasOpaqueAndClearPixels(image))
            return fail(QStringLiteral("%1 rendered at %2 px is blank or has no clear corners")
                            .arg(args.at(0))
                            .arg(size));
        if (!QDir().mkpath(QFileInfo(out).absolutePath()) ||
            !image.convertToFormat(QImage::Format_ARGB32).save(out, "PNG"))
            return fail(QStringLiteral("could not write %1").arg(out));
    }
    return 0;
}
