#pragma once

#include "bridge/members.h"

#include <QByteArray>
#include <QString>
#include <optional>
#include <string>
#include <vector>

namespace kelv {

// The most attribute names (and values) one modifyProfile or modifyAddProfile
// request may list. The page names a few at a time; a list of a megabyte
// would make every attribute of the profile a lookup in a table of 100,000.
constexpr qsizetype kMaxAttributeItems = 1024;

// A ';'-separated list member (attribute names or values), split in place:
// every separator of its UTF-8 text becomes a NUL, so each item is a C string
// of its own without an allocation per item (a list of a megabyte splits in
// a few milliseconds). As a C string an item ends at a NUL it holds itself,
// as pugixml reads it; size counts up to the separator.
class ItemList
{
public:
    struct Item
    {
        const char *text;
        qsizetype size;
    };

    ItemList(const QString &list, Qt::SplitBehavior behavior) : m_bytes(list.toUtf8())
    {
        char *data = m_bytes.data();
        qsizetype start = 0;
        for (qsizetype i = 0; i <= m_bytes.size(); ++i) {
            if (i < m_bytes.size() && data[i] != ';')
                continue;
            // The last item ends at the array's own terminator, which is
            // not written: an empty array's data is Qt's shared read-only "".
            if (i < m_bytes.size())
                data[i] = '\0';
            if (i > start || behavior == Qt::KeepEmptyParts)
                m_items.push_back({data + start, i - start});
            start = i + 1;
        }
    }

    // Whether the list has more items than the bound (counted before any
    // split, empty ones included).
    static bool isLonger(const QString &list, qsizetype bound)
    {
        return list.count(QLatin1Char(';')) >= bound;
    }

    qsizetype size() const { return qsizetype(m_items.size()); }
    const Item &at(qsizetype i) const { return m_items[size_t(i)]; }

private:
    Q_DISABLE_COPY_MOVE(ItemList) // the items point into m_bytes

    QByteArray m_bytes;
    std::vector<Item> m_items;
};

// The "attribute" and "attributeValue" lists of a request: the names without
// empty items, the values as the command keeps them; pairs is how many names
// have a value (a name without one is left alone).
struct AttributeLists
{
    AttributeLists(const QString &nameList, const QString &valueList, Qt::SplitBehavior valueItems)
        : names(nameList, Qt::SkipEmptyParts), values(valueList, valueItems),
          pairs(std::min(names.size(), values.size()))
    {
    }

    // Reads them into *lists; false, with nothing read, when either list has
    // more items than kMaxAttributeItems.
    static bool read(const Members &m, Qt::SplitBehavior valueItems,
                     std::optional<AttributeLists> *lists)
    {
        const QString nameList = memberText(m, QStringLiteral("attribute"));
        const QString valueList = memberText(m, QStringLiteral("attributeValue"));
        if (ItemList::isLonger(nameList, kMaxAttributeItems) ||
            ItemList::isLonger(valueList, kMaxAttributeItems))
            return false;
        lists->emplace(nameList, valueList, valueItems);
        return true;
    }

    // Whether a value that would be set holds a NUL character: no XML
    // attribute can hold one, and pugixml would keep only what precedes it.
    bool valueHoldsNul() const
    {
        for (qsizetype i = 0; i < pairs; ++i) {
            const ItemList::Item &value = values.at(i);
            if (qsizetype(std::char_traits<char>::length(value.text)) != value.size)
                return true;
        }
        return false;
    }

    ItemList names;
    ItemList values;
    qsizetype pairs;
};

} // namespace kelv
