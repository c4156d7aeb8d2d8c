#pragma once

#include <QString>

class QWebEngineProfile;

namespace kelv {

// The one browser profile every web view of the process shares: persistent
// cookies and storage, the HTTP cache in the user's cache folder's
// "kelv/Cache", downloads into the user's documents folder through the save
// dialog, and the 20 MiB storage quota.
class WebProfile
{
public:
    // The shared profile, created on first use (Qt main thread).
    static QWebEngineProfile *shared();

    // Before the first shared(): keep cache and storage below root instead of
    // the system temporary folder and the user's data folder. Tests and
    // benchmarks use it so parallel runs never share a Chromium cache.
    static void setStorageRoot(const QString &root);

    // The storage quota the page may have: at most 20 MiB (20971520 bytes).
    static constexpr qint64 QuotaLimit = 20971520;
    static bool quotaGranted(qint64 requestedBytes) { return requestedBytes <= QuotaLimit; }

    // Where a download with this suggested name is offered: the documents
    // folder (created when missing) joined with the name; empty when the
    // platform knows no documents folder.
    static QString downloadTarget(const QString &suggestedName);

    // Full path of the last completed download (empty before the first one).
    static QString lastDownloadFile();
};

} // namespace kelv
