#pragma once

#include <QJsonArray>
#include <QString>
#include <QVariantMap>

namespace kelv {

// Structured replies (getDevicesList, getConf): a JSON array serialised
// compactly (no blanks, no line breaks), object members in ascending order
// of their names (code-unit order: upper-case letters before lower-case).
QString jsonReply(const QJsonArray &array);
// The same for a list of objects given as variant maps.
QString jsonReply(const QList<QVariantMap> &objects);

} // namespace kelv
