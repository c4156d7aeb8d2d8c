// Renders the update dialog's artwork (the SVG sources beside this file) to
// the PNG files the resource file embeds. Run by render.sh; the PNGs are
// committed so the build needs no SVG renderer.
//
//   render_artwork <svg folder> <png folder>

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: render_artwork <svg folder> <png folder>\n");
        return 2;
    }
    const QDir source(QString::fromLocal8Bit(argv[1]));
    const QDir target(QString::fromLocal8Bit(argv[2]));
    QDir().mkpath(target.path());
    const QStringList files = source.entryList({QStringLiteral("*.svg")}, QDir::Files);
    for (const QString &file : files) {
        QSvgRenderer renderer(source.filePath(file));
        if (!renderer.isValid()) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(file));
            return 1;
        }
        QImage image(renderer.defaultSize(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
        painter.end();
        const QString out =
            target.filePath(QFileInfo(file).completeBaseName() + QStringLiteral(".png"));
        if (!image.save(out)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(out));
            return 1;
        }
        std::printf("%s %dx%d\n", qPrintable(out), image.width(), image.height());
    }
    return 0;
}
