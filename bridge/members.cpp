#include "bridge/members.h"

#include <QLocale>
#include <QMetaType>
#include <QRegularExpression>
#include <climits>
#include <cmath>
#include <limits>

namespace kelv {
namespace {

bool isNumber(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return true;
    default:
        return false;
    }
}

QString numberText(double number)
{
    // Integral values print without a fraction (12, not 12.0); others use the
    // shortest form that reads back as the same double.
    if (std::isfinite(number) && number == std::floor(number) && std::fabs(number) < 9.0e15)
        return QString::number(qint64(number));
    return QString::number(number, 'g', QLocale::FloatingPointShortest);
}

} // namespace

bool hasMembers(const Members &members, std::initializer_list<const char *> names)
{
    for (const char *name : names) {
        if (!members.contains(QString::fromLatin1(name)))
            return false;
    }
    return true;
}

QString memberText(const Members &members, const QString &name)
{
    const QVariant value = members.value(name);
    if (!value.isValid() || value.isNull())
        return QString();
    if (value.typeId() == QMetaType::Bool)
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (isNumber(value))
        return numberText(value.toDouble());
    if (value.typeId() == QMetaType::QString)
        return value.toString();
    return QString();
}

qint64 memberInt(const Members &members, const QString &name)
{
    const QVariant value = members.value(name);
    // A whole number beyond the 64-bit range reads as the nearest 64-bit
    // value, so it stays beyond every range a command checks (a property, a
    // table position) instead of reading as 0, a valid value for most.
    constexpr qint64 kMax = std::numeric_limits<qint64>::max();
    constexpr qint64 kMin = std::numeric_limits<qint64>::min();
    if (isNumber(value)) {
        const double number = value.toDouble();
        if (std::isnan(number))
            return 0;
        if (std::fabs(number) > 9.0e18)
            return number > 0 ? kMax : kMin;
        return qint64(std::llround(number));
    }
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString().trimmed();
        bool ok = false;
        const qint64 number = text.toLongLong(&ok, 10);
        if (ok)
            return number;
        // Digits only (after an optional sign), just too many of them.
        static const QRegularExpression decimal(QStringLiteral("^[+-]?[0-9]+$"));
        if (decimal.match(text).hasMatch())
            return text.startsWith(QLatin1Char('-')) ? kMin : kMax;
    }
    return 0;
}

qint64 memberHex(const Members &members, const QString &name)
{
    return parseHexLikeStrtol(memberText(members, name));
}

qint64 parseHexLikeStrtol(const QString &text)
{
    int i = 0;
    const int n = int(text.size());
    auto isSpace = [](QChar c) {
        return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') ||
               c == QLatin1Char('\v') || c == QLatin1Char('\f') || c == QLatin1Char('\r');
    };
    while (i < n && isSpace(text.at(i)))
        ++i;
    bool negative = false;
    if (i < n && (text.at(i) == QLatin1Char('+') || text.at(i) == QLatin1Char('-'))) {
        negative = text.at(i) == QLatin1Char('-');
        ++i;
    }
    auto digit = [](QChar c) -> int {
        const ushort u = c.unicode();
        if (u >= '0' && u <= '9')
            return u - '0';
        if (u >= 'a' && u <= 'f')
            return u - 'a' + 10;
        if (u >= 'A' && u <= 'F')
            return u - 'A' + 10;
        return -1;
    };
    // "0x" counts as a prefix only when a hex digit follows it; otherwise the
    // "0" alone is the number (as strtol does).
    if (i + 2 < n && text.at(i) == QLatin1Char('0') &&
        (text.at(i + 1) == QLatin1Char('x') || text.at(i + 1) == QLatin1Char('X')) &&
        digit(text.at(i + 2)) >= 0)
        i += 2;
    // strtol saturates at LONG_MAX / LONG_MIN on overflow.
    const quint64 limit = negative ? quint64(LONG_MAX) + 1 : quint64(LONG_MAX);
    quint64 value = 0;
    bool overflow = false;
    for (; i < n; ++i) {
        const int d = digit(text.at(i));
        if (d < 0)
            break;
        if (!overflow) {
            if (value > (limit - quint64(d)) / 16)
                overflow = true;
            else
                value = value * 16 + quint64(d);
        }
    }
    if (overflow)
        return negative ? qint64(LONG_MIN) : qint64(LONG_MAX);
    return negative ? qint64(quint64(0) - value) : qint64(value);
}

QString loggedText(const QString &text)
{
    constexpr qsizetype kShown = 120;
    if (text.size() <= kShown)
        return text;
    return text.left(kShown) + QStringLiteral("... (%1 characters)").arg(text.size());
}

} // namespace kelv
