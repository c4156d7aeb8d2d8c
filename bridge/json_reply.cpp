#include "bridge/json_reply.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace kelv {

QString jsonReply(const QJsonArray &array)
{
    // QJsonObject keeps its keys sorted, so members come out in name order.
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

QString jsonReply(const QList<QVariantMap> &objects)
{
    QJsonArray array;
    for (const QVariantMap &object : objects)
        array.append(QJsonObject::fromVariantMap(object));
    return jsonReply(array);
}

} // namespace kelv
