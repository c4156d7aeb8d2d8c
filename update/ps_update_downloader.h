#pragma once

#include <QFile>
#include <QMutex>
#include <QNetworkReply>
#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QThread;

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
    QString kindFolder() const;
    qint64 already() const;
    qint64 full() const;

    // The package reader; runs in the worker thread.
    void unpackPackage();

signals:
    void finishPart(qint64 got, qint64 total);
    void downLoadFinished();
    void unpressFinished(const QString &version);
    void downLoadFailed();

public slots:
    void start();
    void sendRequest();
    void partMetaGot();
    void partFinished(qint64 got, qint64 total);
    void partFailed(QNetworkReply::NetworkError error);

private:
    void prepareOutput();
    void fatalFailure(bool abort = true);
    // Forgets the running reply; abort stops it first (not from inside its
    // own error signal).
    void dropReply(bool abort = true);
    // Appends what the reply has available to the output file.
    bool appendAvailable();

    QString m_url;
    QString m_kind;
    QNetworkAccessManager *m_manager;
    QNetworkReply *m_reply = nullptr;
    qint64 m_already = 0;
    qint64 m_full = 0;
    QFile m_outputFile;
    mutable QMutex m_mutex;
};

} // namespace kelv
