#include "update/ps_update_downloader.h"

#include "common/app_paths.h"
#include "update/package_format.h"
#include "update/update_log.h"
#include "update/update_transport.h"

#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>
#include <atomic>

namespace kelv {
namespace {

std::atomic<int> g_stallTimeoutMs{0};

int stallTimeoutMs()
{
    const int ms = g_stallTimeoutMs.load();
    return ms > 0 ? ms : PsUpdateDownloader::kStallTimeoutMs;
}

bool isHttpError(int status)
{
    return status >= 400;
}

QString baseFolder()
{
    return workingFolder() + QStringLiteral("tupdates/");
}

// Deletes every file (not folder) directly in folder except the package and
// its validator; creates the folder when it does not exist.
void cleanFolder(const QString &folder, const QString &keep)
{
    QDir dir(folder);
    if (!dir.exists()) {
        QDir().mkpath(folder);
        return;
    }
    const QFileInfoList files = dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &file : files) {
        if (file.absoluteFilePath() != keep &&
            file.absoluteFilePath() != keep + QStringLiteral(".validator"))
            QFile::remove(file.absoluteFilePath());
    }
}

} // namespace

PsUpdateDownloader::PsUpdateDownloader(QThread *thread, const QString &url, const QString &kind)
    : m_url(url), m_kind(kind), m_manager(new QNetworkAccessManager(this)),
      m_stallTimer(new QTimer(this))
{
    m_stallTimer->setSingleShot(true);
    connect(m_stallTimer, &QTimer::timeout, this, &PsUpdateDownloader::partStalled);
    moveToThread(thread);
    connect(thread, &QThread::started, this, &PsUpdateDownloader::start);
    prepareOutput();
}

PsUpdateDownloader::~PsUpdateDownloader()
{
    dropReply();
    if (m_outputFile.isOpen())
        m_outputFile.close();
}

QString PsUpdateDownloader::fileNameForUrl(const QString &url)
{
    static const QRegularExpression pattern(QStringLiteral("/([^/\\?]+)(\\?|$)"));
    const QRegularExpressionMatch match = pattern.match(url);
    // "." and ".." would name the kind folder itself or its parent, and a
    // backslash is a folder separator on Windows: such a URL gives no name.
    const QString name = match.captured(1);
    if (match.hasMatch() && name != QLatin1String(".") && name != QLatin1String("..") &&
        !name.contains(QLatin1Char('\\')))
        return name;
    return QStringLiteral("tupdate-%1").arg(QRandomGenerator::global()->bounded(2147483647));
}

QString PsUpdateDownloader::kindFolder() const
{
    return baseFolder() + m_kind + QLatin1Char('/');
}

qint64 PsUpdateDownloader::already() const
{
    QMutexLocker lock(&m_mutex);
    return m_already;
}

qint64 PsUpdateDownloader::full() const
{
    QMutexLocker lock(&m_mutex);
    return m_full;
}

void PsUpdateDownloader::prepareOutput()
{
    const QString output = QFileInfo(kindFolder() + fileNameForUrl(m_url)).absoluteFilePath();
    cleanFolder(baseFolder(), output);
    cleanFolder(kindFolder(), output);
    m_outputFile.setFileName(output);

    const QFileInfo info(output);
    qint64 resumable = 0;
    if (info.exists() && info.size() < 2147483647) {
        const qint64 size = info.size();
        resumable = size / kPartSize * kPartSize;
        if (resumable == size) {
            m_already = size;
        } else if (resumable != 0) {
            QByteArray kept;
            if (m_outputFile.open(QIODevice::ReadOnly)) {
                kept = m_outputFile.read(resumable);
                m_outputFile.close();
                if (kept.size() == resumable && m_outputFile.open(QIODevice::WriteOnly)) {
                    if (m_outputFile.write(kept) == resumable)
                        m_already = resumable;
                    m_outputFile.close();
                }
            }
        }
    }
    if (m_already == 0) {
        QFile::remove(output);
        QFile::remove(validatorPath());
    }
}

void PsUpdateDownloader::setStallTimeoutForTests(int ms)
{
    g_stallTimeoutMs = ms;
}

void PsUpdateDownloader::start()
{
    sendRequest();
}

void PsUpdateDownloader::sendRequest()
{
    const QUrl url(m_url);
    const QString refusal = updateUrlRefusal(url);
    if (!refusal.isEmpty()) {
        qCInfo(lcPspecificWnd).noquote()
            << QStringLiteral("Update Error: package address %1 refused: %2").arg(m_url, refusal);
        emit downLoadError(refusedAddressMessage(url));
        return;
    }
    QNetworkRequest request{url};
    const qint64 from = already();
    m_requestFrom = from;
    request.setRawHeader("Range", "bytes=" + QByteArray::number(from) + "-");
    // A package replaced on the server since the first part arrived comes
    // back whole (200) instead of its tail being appended to the old head.
    const QByteArray validator = from > 0 ? storedValidator() : QByteArray();
    if (!validator.isEmpty())
        request.setRawHeader("If-Range", validator);
    request.setAttribute(QNetworkRequest::HttpPipeliningAllowedAttribute, true);
    secureUpdateRequest(&request);
    dropReply();
    m_refusal.clear();
    m_reply = m_manager->get(request);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &PsUpdateDownloader::partFinished);
    connect(m_reply, &QNetworkReply::errorOccurred, this, &PsUpdateDownloader::partFailed);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &PsUpdateDownloader::partMetaGot);
    connect(m_reply, &QNetworkReply::readyRead, this, &PsUpdateDownloader::partDataArrived);
    m_lastData.start();
    m_stallTimer->start(stallTimeoutMs());
    guardRedirects(m_reply, [this](const QString &message) { m_refusal = message; });
}

QByteArray PsUpdateDownloader::storedValidator() const
{
    QFile file(validatorPath());
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll().trimmed();
}

void PsUpdateDownloader::storeValidator()
{
    // If-Range takes a strong ETag, else the date; a weak ETag cannot be used.
    QByteArray validator = m_reply->rawHeader("ETag").trimmed();
    if (validator.isEmpty() || validator.startsWith("W/"))
        validator = m_reply->rawHeader("Last-Modified").trimmed();
    QFile::remove(validatorPath());
    if (validator.isEmpty() || validator.contains('\n') || validator.contains('\r'))
        return;
    QFile file(validatorPath());
    if (file.open(QIODevice::WriteOnly))
        file.write(validator);
}

void PsUpdateDownloader::dropReply(bool abort)
{
    m_stallTimer->stop();
    if (!m_reply)
        return;
    m_reply->disconnect(this);
    if (abort && m_reply->isRunning())
        m_reply->abort();
    m_reply->deleteLater();
    m_reply = nullptr;
}

void PsUpdateDownloader::partMetaGot()
{
    if (!m_reply || sender() != m_reply)
        return;
    m_lastData.start();
    const QList<QNetworkReply::RawHeaderPair> headers = m_reply->rawHeaderPairs();
    for (const auto &header : headers) {
        if (header.first.toLower() != "content-range")
            continue;
        qint64 full = 0;
        if (contentRangeFull(header.second, &full)) {
            QMutexLocker lock(&m_mutex);
            m_full = full;
        }
    }
}

bool PsUpdateDownloader::contentRangeFull(const QByteArray &value, qint64 *full)
{
    static const QRegularExpression pattern(QStringLiteral("/(\\d+)([^\\d]|$)"));
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(value));
    if (!match.hasMatch())
        return false;
    *full = match.captured(1).toLongLong();
    return true;
}

void PsUpdateDownloader::partFinished(qint64 got, qint64 total)
{
    if (!m_reply || sender() != m_reply)
        return;
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid()) {
        const int code = status.toInt();
        // The body of an error reply (a server's HTML page) never becomes
        // package bytes; the reply's error signal handles it.
        if (isHttpError(code))
            return;
        // A redirect is checked and followed (or refused) by its own signal.
        if (m_reply->attribute(QNetworkRequest::RedirectionTargetAttribute).isValid())
            return;
        if (code != 200 && code != 206) {
            httpError(code, true);
            return;
        }
    }
    {
        QMutexLocker lock(&m_mutex);
        // Only a request from the start names the complete size by its total.
        if (m_requestFrom == 0 && m_full == 0)
            m_full = total;
    }
    emit finishPart(got, total);

    if (!appendAvailable())
        return;
    // An unknown total (-1) is only complete with the final report, which Qt
    // gives as (got, got) when the reply ends.
    if (total >= 0 && got >= total) {
        dropReply();
        m_outputFile.close();
        emit downLoadFinished();
        unpackPackage();
    }
}

void PsUpdateDownloader::partDataArrived()
{
    // Only noted here; the timer checks it when it runs out (restarting a
    // timer for every chunk costs more).
    if (m_reply && sender() == m_reply)
        m_lastData.start();
}

void PsUpdateDownloader::partStalled()
{
    if (!m_reply)
        return;
    const qint64 quiet = m_lastData.elapsed();
    if (quiet < stallTimeoutMs()) {
        m_stallTimer->start(int(stallTimeoutMs() - quiet));
        return;
    }
    // What the reply holds unread (Qt reports progress at most every 300 ms)
    // is kept for resuming before the reply goes.
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if ((status == 200 || status == 206) && !appendAvailable())
        return;
    qCInfo(lcPspecificWnd).noquote()
        << QStringLiteral("Update Error: download of %1 received nothing for %2 s")
               .arg(m_url)
               .arg(stallTimeoutMs() / 1000.0);
    dropReply();
    if (m_outputFile.isOpen())
        m_outputFile.close();
    emit downLoadFailed();
}

void PsUpdateDownloader::httpError(int status, bool abort)
{
    qCInfo(lcPspecificWnd).noquote()
        << QStringLiteral("Update Error: server answered %1 for %2").arg(status).arg(m_url);
    fatalFailure(abort);
    emit downLoadError(QStringLiteral("Download failed: the server answered %1").arg(status));
}

bool PsUpdateDownloader::appendAvailable()
{
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (!m_outputFile.isOpen()) {
        // A server that ignores the range sends the whole file again: start
        // the file over instead of appending the beginning to its end.
        const bool restart = status == 200 && already() > 0;
        if (!m_outputFile.open(restart ? QIODevice::WriteOnly | QIODevice::Truncate
                                       : QIODevice::Append)) {
            qCInfo(lcPspecificWnd).noquote()
                << QStringLiteral("Update Error: cant open '%1' for appending")
                       .arg(m_outputFile.fileName());
            fatalFailure();
            return false;
        }
        if (restart) {
            QMutexLocker lock(&m_mutex);
            m_already = 0;
        }
        if (status == 200 || already() == 0)
            storeValidator();
    }
    const QByteArray data = m_reply->readAll();
    if (!data.isEmpty()) {
        if (m_outputFile.write(data) != data.size()) {
            qCInfo(lcPspecificWnd).noquote()
                << QStringLiteral("Update Error: cant write '%1'").arg(m_outputFile.fileName());
            fatalFailure();
            return false;
        }
        m_outputFile.flush();
        QMutexLocker lock(&m_mutex);
        m_already += data.size();
    }
    return true;
}

void PsUpdateDownloader::partFailed(QNetworkReply::NetworkError error)
{
    if (!m_reply || sender() != m_reply)
        return;
    const QVariant statusAttribute = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const int status = statusAttribute.toInt();
    const QString errorText = m_reply->errorString();
    if (!m_refusal.isEmpty()) {
        // A redirect to an address the rules refuse.
        dropReply(false);
        if (m_outputFile.isOpen())
            m_outputFile.close();
        emit downLoadError(m_refusal);
        return;
    }
    if (statusAttribute.isValid() && status == 416) {
        // The range starts at the end of the file: it is already complete.
        // The reply's body is not appended.
        dropReply(false);
        if (m_outputFile.isOpen())
            m_outputFile.close();
        unpackPackage();
        return;
    }
    if (statusAttribute.isValid() && status != 200 && status != 206) {
        // An HTTP error status, before or during the transfer.
        httpError(status, false);
        return;
    }
    if (status == 200 || status == 206) {
        // Keep what arrived before the connection broke or stalled: the next
        // attempt resumes from it.
        if (!appendAvailable())
            return;
    }
    dropReply(false);
    if (m_outputFile.isOpen())
        m_outputFile.close();
    qCInfo(lcPspecificWnd).noquote()
        << QStringLiteral("Update Error: download of %1 failed: %2 (%3)")
               .arg(m_url, errorText)
               .arg(int(error));
    emit downLoadFailed();
}

void PsUpdateDownloader::unpackPackage()
{
    QString version;
    QString refusal;
    const package::TrustedKeys keys =
        package::TrustedKeys::load(package::TrustedKeys::defaultPath());
    if (package::unpackPackageFile(m_outputFile.fileName(), kindFolder(), keys, &version,
                                   &refusal)) {
        QFile::remove(validatorPath());
        emit unpressFinished(version);
        return;
    }
    fatalFailure();
    emit downLoadError(QStringLiteral("Update refused: %1").arg(refusal));
}
void PsUpdateDownloader::fatalFailure(bool abort)
{
    dropReply(abort);
    if (m_outputFile.isOpen())
        m_outputFile.close();
    // Only this package's own folder goes: a broken page package must not
    // destroy a client update that is ready.
    package::deleteFolderTree(workingFolder() + QStringLiteral("tupdates/") + m_kind);
}

} // namespace kelv
