#pragma once

#include <QString>
#include <QVariantMap>

namespace kelv {

// The members of a JSON page request, as QJsonObject::toVariantMap() gives
// them: strings stay texts, numbers are doubles, true/false booleans, null an
// empty (null) QVariant. A member is present when its name is a key, whatever
// its value.
using Members = QVariantMap;

inline bool hasMember(const Members &members, const QString &name)
{
    return members.contains(name);
}

// True when every name is present (checked in the given order).
bool hasMembers(const Members &members, std::initializer_list<const char *> names);

// Text: a string unchanged, a number as its decimal text, a boolean as "true"
// or "false", an absent or null member as the empty text.
QString memberText(const Members &members, const QString &name);

// Integer: a number rounded to the nearest integer, a string holding a decimal
// integer as that integer, anything else 0. Beyond the 64-bit range both give
// the nearest 64-bit value.
qint64 memberInt(const Members &members, const QString &name);

// Hexadecimal: the text form parsed like strtol(text, 0, 16): leading blanks
// skipped, optional sign, optional 0x/0X, stop at the first non-digit, no
// digits gives 0. The JSON number 256 therefore reads as 0x256.
qint64 memberHex(const Members &members, const QString &name);

// strtol(text, nullptr, 16) on a QString (also used for PARAMDATA items).
qint64 parseHexLikeStrtol(const QString &text);

// A member text as a log line shows it: the first 120 characters and the
// length of the rest, so a request of a megabyte does not write one.
QString loggedText(const QString &text);

} // namespace kelv
