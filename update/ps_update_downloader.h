#pragma once

#include "update/package_unpacker.h"

#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QMutex>
#include <QNetworkReply>
#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QThread;
class QTimer;

namespace kelv {

// "Update refused: <reason>" in the user's language (the reason one of the
// refusal texts, translated too).
QString updateRefusedText(const QString &reason);

// Downloads one update package of a kind ("client", "html", "firmware") into
// tupdates/download/<kind>.pkg under the working folder (a fixed name: nothing
// of the package address ever names a file), resuming a partial file with a
// range request from a multiple of 102400 bytes, then verifies it and unpacks
// it into tupdates/<kind>/ready; a firmware package is kept whole as
// tupdates/firmware/firmware.pkg instead. Lives on its own thread; reports by
// queued signals. What it does with a downloaded package is in
// ps_update_unpack.cpp.
class PsUpdateDownloader final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PsUpdateDownloader)

public:
    static constexpr qint64 kPartSize = 102400;
    // A download that receives nothing for this long fails (the partial file
    // stays for resuming).
    static constexpr int kStallTimeoutMs = 30000;
    // A download that receives less than kSlowBytesPerSecond on average over
    // this window fails the same way.
    static constexpr int kSlowWindowMs = 60000;
    static constexpr qint64 kSlowBytesPerSecond = 1024;

    // Moves itself to thread, connects thread->started() to start() and
    // prepares the output file (folder clean-up, resumable size).
    PsUpdateDownloader(QThread *thread, const QString &url, const QString &kind);
    ~PsUpdateDownloader() override;

    // The installed version the package must be newer than (the client's,
    // the page's, the mouse's firmware); set before the thread starts.
    void setInstalledVersion(const QString &version) { m_installedVersion = version; }

    // working folder + "tupdates/download/": the packages being downloaded,
    // nothing else.
    static QString downloadFolder();

    // The complete size a Content-Range header value names after its slash
    // ("bytes 0-99/1000" gives 1000; a number too large for 64 bits gives 0).
    // False when the value names none.
    static bool contentRangeFull(const QByteArray &value, qint64 *full);

    // downloadFolder() + kind + ".pkg"
    QString outputPath() const { return m_outputFile.fileName(); }
    // The file beside the package that keeps the first response's ETag or
    // Last-Modified, sent as If-Range when the download resumes.
    QString validatorPath() const { return outputPath() + QStringLiteral(".validator"); }
    QString kindFolder() const;
    qint64 already() const;
    qint64 full() const;

    // The package reader; runs in the worker thread.
    void unpackPackage();

    // Tests shorten the stall time-out and the slow-download window, and
    // lower the largest package; 0 restores the constants.
    static void setStallTimeoutForTests(int ms);
    static void setSlowWindowForTests(int ms);
    static void setSizeLimitForTests(qint64 bytes);
    // The most bytes a package file may have (kMaxPackageSize).
    static qint64 sizeLimit();

signals:
    void finishPart(qint64 got, qint64 total);
    void downLoadFinished();
    void unpressFinished(const QString &version);
    void downLoadFailed();
    // The download or the package was refused or failed in a way that
    // network trouble does not explain (an HTTP error status, an address
    // that is not https, a package the reader refused, a server that sends
    // more than it announced or too slowly); message is for the user.
    void downLoadError(const QString &message);
    // A good package that is not newer than the installed version: nothing
    // is installed unless the user chooses installAnyway(). message says so.
    void notNewerOffered(const QString &version, const QString &message);

public slots:
    void start();
    void sendRequest();
    void partMetaGot();
    void partFinished(qint64 got, qint64 total);
    void partFailed(QNetworkReply::NetworkError error);
    // Data arrived: the stall time-out starts again.
    void partDataArrived();
    // Nothing arrived for the stall time-out: keeps what the reply holds and
    // fails.
    void partStalled();
    // Looks at what the slow-download window received.
    void checkRate();
    // The user chose to install the package offered by notNewerOffered().
    void installAnyway();

private:
    void prepareOutput();
    void fatalFailure(bool abort = true);
    // Ends the running request, keeping what arrived for resuming; false
    // when keeping it failed (and ended the download).
    bool endKeepingPart();
    // Refuses the download (too large, more than announced) and removes it.
    void refuse(const QString &log, const QString &reason);
    package::UnpackResult keepFirmwarePackage();
    // Forgets the running reply; abort stops it first (not from inside its
    // own error signal).
    void dropReply(bool abort = true);
    // Appends what the reply has available to the output file.
    bool appendAvailable();
    // Remembers the first response's ETag or Last-Modified for If-Range.
    void storeValidator();
    QByteArray storedValidator() const;
    void httpError(int status, bool abort);

    QString m_url;
    QString m_kind;
    QNetworkAccessManager *m_manager;
    QNetworkReply *m_reply = nullptr;
    QTimer *m_stallTimer;
    QElapsedTimer m_lastData; // since the reply's last sign of life
    QTimer *m_rateTimer;
    QElapsedTimer m_requestClock;
    struct Sample
    {
        qint64 at;
        qint64 received;
    };
    QList<Sample> m_samples; // what the running request had received, and when
    qint64 m_received = 0;
    QString m_installedVersion;
    bool m_allowOlder = false;
    qint64 m_already = 0;
    qint64 m_full = 0;
    QString m_refusal;        // set when a redirect was refused
    qint64 m_requestFrom = 0; // the range start of the running request
    QFile m_outputFile;
    mutable QMutex m_mutex;
};

} // namespace kelv
