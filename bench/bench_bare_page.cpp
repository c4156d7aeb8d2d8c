// The engine's floor for bench_startup: a bare Qt WebEngine view showing an
// empty local page, nothing else. Prints "page loaded" to standard error when
// the page's load has finished, and stays until it is ended.
//
// Usage: bench_bare_page <empty html file>
#include <QApplication>
#include <QUrl>
#include <QWebEngineView>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication application(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_bare_page <html file> [<width>x<height>]\n");
        return 2;
    }
    QSize size(800, 600);
    if (argc > 2) {
        const QStringList parts = QString::fromLocal8Bit(argv[2]).split(QLatin1Char('x'));
        size = QSize(parts.value(0).toInt(), parts.value(1).toInt());
        if (size.isEmpty()) {
            std::fprintf(stderr, "bench_bare_page: no size in %s\n", argv[2]);
            return 2;
        }
    }
    QWebEngineView view;
    QObject::connect(&view, &QWebEngineView::loadFinished, [](bool ok) {
        std::fprintf(stderr, ok ? "page loaded\n" : "page failed to load\n");
    });
    view.resize(size);
    view.load(QUrl::fromLocalFile(QString::fromLocal8Bit(argv[1])));
    view.show();
    return application.exec();
}
