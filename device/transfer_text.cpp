#include "device/transfer_text.h"

#include <QStringTokenizer>
#include <cstdlib>

namespace kelv {

int boundedTransferSize(qint64 size)
{
    return int(qBound(qint64(0), size, qint64(kTransferBlockSize)));
}

QString byteListText(const QByteArray &block, int size)
{
    static const char digits[] = "0123456789abcdef";
    const int n = qMin(size, int(block.size()));
    if (n <= 0)
        return QString();
    QString text;
    text.reserve(n * 5);
    for (int i = 0; i < n; ++i) {
        const auto byte = static_cast<unsigned char>(block.at(i));
        if (i > 0)
            text += QLatin1Char(',');
        text += QLatin1String("0x");
        text += QLatin1Char(digits[byte >> 4]);
        text += QLatin1Char(digits[byte & 0xf]);
    }
    return text;
}

QByteArray transferBlockFromText(const QString &text, int size)
{
    QByteArray block(kTransferBlockSize, '\0');
    const int n = qMin(size, kTransferBlockSize);
    if (n <= 0)
        return block;
    // Only the first n items are read: a longer list is not split further.
    int i = 0;
    for (const QStringView item : QStringView(text).tokenize(u',')) {
        if (i == n)
            break;
        block[i++] = char(std::strtol(item.toUtf8().constData(), nullptr, 16) & 0xff);
    }
    return block;
}

QString dataHexText(const unsigned char *data, int size)
{
    static const char digits[] = "0123456789abcdef";
    QString text;
    text.reserve(size * 2);
    for (int i = 0; i < size; ++i) {
        text += QLatin1Char(digits[data[i] >> 4]);
        text += QLatin1Char(digits[data[i] & 0xf]);
    }
    return text;
}

} // namespace kelv
