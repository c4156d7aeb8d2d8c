#include "app/window_geometry.h"

#include <algorithm>

namespace kelv {
namespace {

// A length within [minimum, available], the minimum winning when the
// available length is smaller.
qint64 fitLength(qint64 length, qint64 available, qint64 minimum)
{
    minimum = std::max<qint64>(minimum, 1);
    return std::max(std::min(length, std::max<qint64>(available, 0)), minimum);
}

// The start of a span of the given length inside [start, start + available):
// as asked when it fits, moved in when it does not, at start when it is
// longer than the area.
qint64 fitStart(qint64 wanted, qint64 length, qint64 start, qint64 available)
{
    const qint64 last = start + std::max<qint64>(available - length, 0);
    return std::clamp(wanted, start, last);
}

} // namespace

QRect fitWindowGeometry(qint64 x, qint64 y, qint64 width, qint64 height, const QRect &area,
                        const QSize &minimum)
{
    const qint64 w = fitLength(width, area.width(), minimum.width());
    const qint64 h = fitLength(height, area.height(), minimum.height());
    return QRect(int(fitStart(x, w, area.left(), area.width())),
                 int(fitStart(y, h, area.top(), area.height())), int(w), int(h));
}

qsizetype screenOfWindow(const QRect &frame, const QList<QRect> &screens)
{
    const QPoint centre = frame.center();
    for (qsizetype i = 0; i < screens.size(); ++i) {
        if (screens.at(i).contains(centre))
            return i;
    }
    qsizetype best = -1;
    qint64 bestArea = 0;
    for (qsizetype i = 0; i < screens.size(); ++i) {
        const QRect common = screens.at(i).intersected(frame);
        const qint64 area = qint64(common.width()) * common.height();
        if (area > bestArea) {
            best = i;
            bestArea = area;
        }
    }
    return best;
}

} // namespace kelv
