// The window operations of the page requests (move, minimise, maximise, restore,
// hide): they act on the window active last, the main window or its popup.

#include "app/app_log.h"
#include "app/main_window.h"
#include "app/window_geometry.h"
#include "browser/client_handler.h"

#include <QGuiApplication>
#include <QScreen>
#include <algorithm>
#include <climits>

namespace kelv {
namespace shell {

void kelv::hideWindow()
{
    // The close button of the popup's own page closes the popup (the window
    // that was active last); hiding the main window behind it instead would
    // leave the popup open on its own.
    if (m_popup && m_popup->isVisible() && requestWindow() == m_popup) {
        saveModifiedProfiles();
        showMouseConf();
        return;
    }
    closeToBackground();
}

// The window that the move and minimise requests act on: the top-level
// window of the main window or of the popup, whichever was active last.
QWidget *kelv::requestWindow() const
{
    ClientHandler *client = ClientHandler::instance();
    QWidget *handle = client ? client->mainWindowHandle() : nullptr;
    return handle ? handle->window() : const_cast<kelv *>(this);
}

namespace {

// The available area (task bars excluded) of the screen that holds point;
// of the fallback screen when no screen does (a point between or beyond the
// screens).
QRect availableAreaAt(qint64 x, qint64 y, QScreen *fallback)
{
    const QPoint point(int(std::clamp<qint64>(x, INT_MIN, INT_MAX)),
                       int(std::clamp<qint64>(y, INT_MIN, INT_MAX)));
    QScreen *screen = QGuiApplication::screenAt(point);
    if (!screen)
        screen = fallback ? fallback : QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

// Puts a window at x, y with the given size, kept within the available area
// of the screen under the new rectangle's centre and at least at its minimum
// size (see fitWindowGeometry).
void placeWindow(QWidget *window, qint64 x, qint64 y, qint64 width, qint64 height)
{
    const QRect area = availableAreaAt(x + width / 2, y + height / 2, window->screen());
    if (area.isEmpty()) {
        qCInfo(lcApp) << "no screen to place the window on; request ignored";
        return;
    }
    window->setGeometry(fitWindowGeometry(x, y, width, height, area, window->minimumSize()));
}

} // namespace

void kelv::moveWindow(int dx, int dy, int width, int height)
{
    QWidget *window = requestWindow();
    const QRect frame = window->geometry();
    if (window->isMaximized() || window->isMinimized()) {
        // Back to the normal state at the same place with the new size.
        window->showNormal();
        placeWindow(window, frame.left(), frame.top(), width, height);
        return;
    }
    placeWindow(window, qint64(frame.left()) + dx, qint64(frame.top()) + dy, width, height);
}

void kelv::toggleMinimised()
{
    QWidget *window = requestWindow();
    if (window->isMinimized())
        window->showNormal();
    else
        window->showMinimized();
}

// Maximise and restore act, like move and minimise, on the window active last:
// the popup's page maximises the popup, not the main window behind it. Each
// window keeps its own geometry to go back to.
QRect &kelv::savedGeometryOf(QWidget *window)
{
    return window == m_popup.data() ? m_popupSavedGeometry : m_savedGeometry;
}

void kelv::maximiseWindow()
{
    QWidget *window = requestWindow();
    savedGeometryOf(window) = window->geometry();
    // The whole available area of the screen the window is on (it used to be
    // the primary screen always), unless that is smaller than the window's
    // minimum size.
    const QList<QScreen *> screens = QGuiApplication::screens();
    QList<QRect> geometries;
    for (const QScreen *screen : screens)
        geometries << screen->geometry();
    const qsizetype on = screenOfWindow(window->geometry(), geometries);
    QScreen *screen = on >= 0 ? screens.at(on) : window->screen();
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (screen) {
        const QRect area = screen->availableGeometry();
        window->setGeometry(fitWindowGeometry(area.x(), area.y(), area.width(), area.height(), area,
                                              window->minimumSize()));
    }
}

void kelv::restoreWindow()
{
    QWidget *window = requestWindow();
    const QRect saved = savedGeometryOf(window);
    // Before any maximise there is no geometry to go back to; shrinking the
    // window to nothing would lose it.
    if (saved.isNull())
        return;
    // The screens may have changed since: the kept geometry is fitted to
    // them like a move.
    placeWindow(window, saved.x(), saved.y(), saved.width(), saved.height());
}

} // namespace shell
} // namespace kelv
