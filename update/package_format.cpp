#include "update/package_format.h"

#include "update/client_install.h"

#include <QRegularExpression>
#include <QtEndian>
#include <algorithm>

namespace kelv::package {
namespace {

QString kindText(QByteArrayView field)
{
    const qsizetype end = field.indexOf('\0');
    return QString::fromLatin1(end < 0 ? field : field.first(end));
}

// A NUL-padded text field: the text, then only NULs.
bool paddedText(QByteArrayView field, QString *text)
{
    const qsizetype end = field.indexOf('\0');
    const QByteArrayView used = end < 0 ? field : field.first(end);
    if (end >= 0 && field.sliced(end).count('\0') != field.size() - end)
        return false;
    if (!std::all_of(used.begin(), used.end(), [](char c) { return c > 0x20 && c < 0x7f; }))
        return false;
    *text = QString::fromLatin1(used);
    return true;
}

void setPaddedText(QByteArray *header, int offset, int size, const QString &text)
{
    const QByteArray bytes = text.toLatin1().left(size);
    header->replace(offset, bytes.size(), bytes);
}

} // namespace

QStringList packageKinds()
{
    return {QStringLiteral("client"), QStringLiteral("html"), QStringLiteral("firmware")};
}

bool isDottedVersion(const QString &version)
{
    static const QRegularExpression pattern(QStringLiteral("^\\d{1,9}(\\.\\d{1,9})*$"));
    return pattern.match(version).hasMatch();
}

int compareVersions(const QString &a, const QString &b)
{
    const QStringList left = a.split(QLatin1Char('.'));
    const QStringList right = b.split(QLatin1Char('.'));
    for (qsizetype i = 0; i < qMax(left.size(), right.size()); ++i) {
        const uint x = i < left.size() ? left.at(i).toUInt() : 0;
        const uint y = i < right.size() ? right.at(i).toUInt() : 0;
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

bool isNewerVersion(const QString &candidate, const QString &installed)
{
    if (!isDottedVersion(installed))
        return true;
    return isDottedVersion(candidate) && compareVersions(candidate, installed) > 0;
}

QByteArray headerOf(const Manifest &manifest)
{
    QByteArray header(kHeaderSize, '\0');
    setPaddedText(&header, kKindOffset, kKindSize, manifest.kind);
    qToLittleEndian<quint32>(manifest.product, header.data() + kProductOffset);
    setPaddedText(&header, kVersionOffset, kVersionSize, manifest.version);
    qToLittleEndian<quint64>(manifest.bodyLength, header.data() + kBodyLengthOffset);
    header.replace(kBodyDigestOffset, kBodyDigestSize,
                   manifest.bodyDigest.leftJustified(kBodyDigestSize, '\0', true));
    return header;
}

bool parseManifest(QByteArrayView header, Manifest *manifest, QString *error)
{
    if (header.size() < kHeaderSize) {
        *error = QStringLiteral("the header is shorter than %1 bytes").arg(kHeaderSize);
        return false;
    }
    if (!paddedText(header.sliced(kKindOffset, kKindSize), &manifest->kind) ||
        !packageKinds().contains(manifest->kind)) {
        *error = QStringLiteral("unknown package kind '%1'")
                     .arg(kindText(header.sliced(kKindOffset, kKindSize)));
        return false;
    }
    manifest->product = qFromLittleEndian<quint32>(header.data() + kProductOffset);
    if (!paddedText(header.sliced(kVersionOffset, kVersionSize), &manifest->version) ||
        !isDottedVersion(manifest->version)) {
        *error = QStringLiteral("the version is not a dotted number");
        return false;
    }
    manifest->bodyLength = qFromLittleEndian<quint64>(header.data() + kBodyLengthOffset);
    manifest->bodyDigest = header.sliced(kBodyDigestOffset, kBodyDigestSize).toByteArray();
    const QByteArrayView rest = header.sliced(kManifestUsedEnd, kHeaderSize - kManifestUsedEnd);
    if (rest.count('\0') != rest.size()) {
        *error = QStringLiteral("the manifest holds data this reader does not know");
        return false;
    }
    return true;
}

QString relativePathOf(const QString &storedName, bool *unsafe)
{
    // One rule for every installer: what the Updater would refuse to put in
    // place is refused here, before anything is written.
    *unsafe = !install::isSafeRelativePath(storedName);
    const qsizetype slash = storedName.indexOf(QLatin1Char('/'));
    if (*unsafe || slash < 0)
        return QString();
    return storedName.mid(slash + 1);
}

} // namespace kelv::package
