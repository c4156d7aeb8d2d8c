#pragma once

#include "bridge/request_router.h"
#include "browser/client_handler.h"
#include "browser/kelv_page.h"
#include "browser/kelv_web_view.h"
#include "browser/web_profile.h"
#include "tests/testsupport/fake_app_host.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QVariant>
#include <memory>

namespace kelv::test {

// Pages of a test in a temporary folder: "<root>/view/" is the folder whose
// pages may use the bridge; "<root>/elsewhere/" holds pages that may not.
// The browser profile keeps its cache and storage below the root too.
class BrowserFixture
{
public:
    BrowserFixture()
    {
        QDir().mkpath(viewFolder());
        QDir().mkpath(m_root.path() + QStringLiteral("/elsewhere"));
        WebProfile::setStorageRoot(m_root.path() + QStringLiteral("/profile"));
    }

    QString root() const { return m_root.path(); }
    QString viewFolder() const { return m_root.path() + QStringLiteral("/view/"); }

    QUrl writePage(const QString &relative, const QByteArray &html) const
    {
        const QString path = m_root.path() + QLatin1Char('/') + relative;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return QUrl();
        file.write(html);
        return QUrl::fromLocalFile(path);
    }

private:
    QTemporaryDir m_root;
};

// A page of the program wired as the program wires it: the browser client
// (the bridge answers pages of the fixture's view folder only), a request
// router over a recording host whose application folder is the fixture's
// root, and one web view whose requests go straight to the router. The
// router's dispatcher starts empty: each suite adds the commands it needs.
class RoutedView
{
public:
    RoutedView() : host(fixture.root()), router(host)
    {
        client.setPageFolder(fixture.viewFolder());
        client.setRequestRouter(&router);
        view.resize(640, 480);
        connectToRouter(&view, &router);
    }
    ~RoutedView() { client.setRequestRouter(nullptr); }
    RoutedView(const RoutedView &) = delete;
    RoutedView &operator=(const RoutedView &) = delete;

    BrowserFixture fixture;
    FakeAppHost host;
    RequestRouter router;
    ClientHandler client;
    KelvWebView view;
};

// Runs a script in the page's main world and waits for its value.
inline QVariant runJs(QWebEnginePage *page, const QString &script)
{
    QVariant result;
    bool done = false;
    QEventLoop loop;
    page->runJavaScript(script, 0, [&](const QVariant &value) {
        result = value;
        done = true;
        loop.quit();
    });
    if (!done) {
        QTimer::singleShot(20000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return result;
}

// The value of a script that returns JSON text, parsed.
inline QVariant runJsJson(QWebEnginePage *page, const QString &script)
{
    return QJsonDocument::fromJson(
               runJs(page, QStringLiteral("JSON.stringify(") + script + QStringLiteral(")"))
                   .toString()
                   .toUtf8())
        .toVariant();
}

// Processes events until done() is true; false when that takes longer than
// timeoutMs (a hang, not a speed check).
template <typename Predicate> bool waitUntil(Predicate done, int timeoutMs = 20000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(5);
    }
    return true;
}

// Loads url into the view's page and waits for the load to finish.
inline bool loadAndWait(KelvWebView &view, const QUrl &url)
{
    QSignalSpy finished(view.page(), &QWebEnginePage::loadFinished);
    view.setAddress(url);
    if (view.browserState() == KelvWebView::Created)
        view.loadAddress();
    else
        view.showPage();
    return finished.wait(20000) || finished.count() > 0;
}

// A text as a JavaScript string literal (JSON quoting), for building scripts.
inline QString jsString(const QString &text)
{
    return QString::fromUtf8(QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact))
        .mid(1)
        .chopped(1);
}

} // namespace kelv::test
