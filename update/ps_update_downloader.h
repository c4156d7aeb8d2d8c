#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QNetworkReply>
#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QThread;
class QTimer;

namespace kelv {

// Downloads one update package of a kind ("client", "html", "firmware") into
// tupdates/<kind>/ under the working folder, resuming a partial file with a
// range request from a multiple of 102400 bytes, then verifies and unpacks it
// into tupdates/<kind>/ready. Lives on its own thread; reports by queued
// signals.
class PsUpdateDownloader final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PsUpdateDownloader)

public:
    static constexpr qint64 kPartSize = 102400;
    // A download that receives nothing for this long fails (the partial file
    // stays for resuming).
    static constexpr int kStallTimeoutMs = 30000;

    // Moves itself to thread, connects thread->started() to start() and
    // prepares the output file (folder clean-up, resumable size).
    PsUpdateDownloader(QThread *thread, const QString &url, const QString &kind);
    ~PsUpdateDownloader() override;

    // The output file name a URL gives: its last path segment before any
    // query, or "tupdate-" and a random number.
    static QString fileNameForUrl(const QString &url);

    // The complete size a Content-Range header value names after its slash
    // ("bytes 0-99/1000" gives 1000; a number too large for 64 bits gives 0).
    // False when the value names none.
    static bool contentRangeFull(const QByteArray &value, qint64 *full);

    QString outputPath() const { return m_outputFile.fileName(); }
    // The file beside the package that keeps the first response's ETag or
    // Last-Modified, sent as If-Range when the download resumes.
    QString validatorPath() const { return outputPath() + QStringLiteral(".validator"); }
    QString kindFolder() const;
    qint64 already() const;
    qint64 full() const;

    // The package reader; runs in the worker thread.
    void unpackPackage();

    // Tests shorten the stall time-out; 0 restores kStallTimeoutMs.
    static void setStallTimeoutForTests(int ms);

signals:
    void finishPart(qint64 got, qint64 total);
    void downLoadFinished();
    void unpressFinished(const QString &version);
    void downLoadFailed();
    // The download or the package was refused or failed in a way that
    // network trouble does not explain (an HTTP error status, an address
    // that is not https, a package the reader refused); message is for the
    // user.
    void downLoadError(const QString &message);

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

private:
    void prepareOutput();
    void fatalFailure(bool abort = true);
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
    qint64 m_already = 0;
    qint64 m_full = 0;
    QString m_refusal;        // set when a redirect was refused
    qint64 m_requestFrom = 0; // the range start of the running request
    QFile m_outputFile;
    mutable QMutex m_mutex;
};

} // namespace kelv
