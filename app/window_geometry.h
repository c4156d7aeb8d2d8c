#pragma once

#include <QList>
#include <QRect>
#include <QSize>

namespace kelv {

// Where a window request may put a window. The page sends any integers it
// likes (a move by dx, dy to width x height); the window system and the web
// view behind it cannot take every size: a window of 2147483647 x 2147483647
// pixels brings the browser down. The window is kept within area (the
// available area of a screen, task bars excluded), never smaller than
// minimum (at least 1 x 1): when the area is smaller than that, the minimum
// wins and the window starts at the area's top-left corner. The arithmetic is
// done in 64 bits, so no sum of request values overflows.
QRect fitWindowGeometry(qint64 x, qint64 y, qint64 width, qint64 height, const QRect &area,
                        const QSize &minimum);

// Which of the screens (their whole geometries, in the order Qt lists them) a
// window with the frame is on: the one that holds the frame's centre, as a
// move places the window by its centre; with the centre between or beyond
// the screens, the one the frame overlaps most. -1 when it overlaps none
// (the caller then keeps to the window's own screen).
qsizetype screenOfWindow(const QRect &frame, const QList<QRect> &screens);

} // namespace kelv
