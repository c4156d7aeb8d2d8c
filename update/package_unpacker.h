#pragma once

#include "update/package_format.h"

#include <QByteArrayView>
#include <QString>
#include <functional>

namespace kelv::package {

// Whether the folder's file system has at least bytes free.
bool hasFreeSpace(const QString &folder, qint64 bytes);

struct UnpackResult
{
    enum Outcome {
        Unpacked, // (checkPackageFile: every check passed)
        Refused,  // reason says why; logged under pspecific_wnd
        NotNewer, // a good package whose version is not newer than the installed one
    };
    Outcome outcome = Refused;
    QString version; // the package's (Unpacked, NotNewer)
    QString reason;  // for people (Refused, NotNewer)
};

// The package reader: verifies the package file against keys and expected
// and unpacks it into kindFolder + "/temp", which becomes kindFolder +
// "/ready" (an earlier ready folder is replaced only then). The package file
// is left where it is. A client package's Resources/update-keys.txt keeps the
// installed file's withdrawals (TrustedKeys::carryWithdrawals), and an older
// version chosen by the user leaves the installed keys as they are.
UnpackResult unpackPackageFile(const QString &packagePath, const QString &kindFolder,
                               const TrustedKeys &keys, const Expectation &expected);

// The same checks and the same reading, writing nothing: each file's content
// goes to sink (relative path, a piece of it) when one is given; a sink that
// answers false stops the reading (Refused, reason empty: the caller says why).
using FileSink = std::function<bool(const QString &relative, QByteArrayView piece)>;
UnpackResult checkPackageFile(const QString &packagePath, const TrustedKeys &keys,
                              const Expectation &expected, const FileSink &sink = {});

// Deletes a folder with all its contents, silently.
void deleteFolderTree(const QString &path);

} // namespace kelv::package
