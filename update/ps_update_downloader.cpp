#include "update/ps_update_downloader.h"

#include "common/app_paths.h"
#include "common/ui_texts.h"
#include "update/package_unpacker.h"
#include "update/update_log.h"
#include "update/update_transport.h"

#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>
#include <atomic>

namespace kelv {
namespace {

std::atomic<int> g_stallTimeoutMs{0};
std::atomic<int> g_slowWindowMs{0};
std::atomic<qint64> g_sizeLimit{0};

int stallTimeoutMs()
{
    const int ms = g_stallTimeoutMs.load();
    return ms > 0 ? ms : PsUpdateDownloader::kStallTimeoutMs;
}

int slowWindowMs()
{
    const int ms = g_slowWindowMs.load();
    return ms > 0 ? ms : PsUpdateDownloader::kSlowWindowMs;
}

bool isHttpError(int status)
{
    return status >= 400;
}

QString baseFolder()
{
    return workingFolder() + QStringLiteral("tupdates/");
}

// The files the download folder may hold: each kind's package and validator.
bool isDownloadFile(const QString &name)
{
    const QStringList kinds = package::packageKinds();
    return std::any_of(kinds.cbegin(), kinds.cend(), [&name](const QString &kind) {
        return name == kind + QStringLiteral(".pkg") ||
               name == kind + QStringLiteral(".pkg.validator");
    });
}

// Deletes every file (not folder) directly in folder that keep() does not
// want; creates the folder when it does not exist.
void cleanFolder(const QString &folder, const std::function<bool(const QString &)> &keep)
{
    QDir dir(folder);
    if (!dir.exists()) {
        QDir().mkpath(folder);
        return;
    }
    const QFileInfoList files = dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &file : files) {
        if (!keep(file.fileName()))
            QFile::remove(file.absoluteFilePath());
    }
}

QString slowMessage()
{
    return uiText(QStringLiteral("Download too slow, please check the network"));
}

} // namespace

QString updateRefusedText(const QString &reason)
{
    return uiText(QStringLiteral("Update refused: %1")).arg(uiText(reason));
}

PsUpdateDownloader::PsUpdateDownloader(QThread *thread, const QString &url, const QString &kind)
    : m_url(url), m_kind(kind), m_manager(new QNetworkAccessManager(this)),
      m_stallTimer(new QTimer(this)), m_rateTimer(new QTimer(this))
{
    m_stallTimer->setSingleShot(true);
    connect(m_stallTimer, &QTimer::timeout, this, &PsUpdateDownloader::partStalled);
    m_rateTimer->setInterval(qBound(50, slowWindowMs() / 12, 5000));
    connect(m_rateTimer, &QTimer::timeout, this, &PsUpdateDownloader::checkRate);
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

QString PsUpdateDownloader::downloadFolder()
{
    return baseFolder() + QStringLiteral("download/");
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
    // The kind folders hold the installer's own files (the ready package, the
    // Updater's journal and backup); downloads live apart from them, under
    // names of their own.
    const QString output =
        QFileInfo(downloadFolder() + m_kind + QStringLiteral(".pkg")).absoluteFilePath();
    cleanFolder(baseFolder(), [](const QString &) { return false; });
    cleanFolder(downloadFolder(), isDownloadFile);
    m_outputFile.setFileName(output);

    const QFileInfo info(output);
    qint64 resumable = 0;
    if (info.exists() && info.size() <= sizeLimit()) {
        const qint64 size = info.size();
        resumable = size / kPartSize * kPartSize;
        if (resumable == size) {
            m_already = size;
        } else if (resumable != 0 && m_outputFile.resize(resumable)) {
            // Cut where it lies: a part of hundreds of MiB is neither read
            // into memory nor written again (this runs on the GUI thread).
            m_already = resumable;
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

void PsUpdateDownloader::setSlowWindowForTests(int ms)
{
    g_slowWindowMs = ms;
}

void PsUpdateDownloader::setSizeLimitForTests(qint64 bytes)
{
    g_sizeLimit = bytes;
}

qint64 PsUpdateDownloader::sizeLimit()
{
    const qint64 bytes = g_sizeLimit.load();
    return bytes > 0 ? bytes : package::kMaxPackageSize;
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
    m_requestClock.start();
    m_received = 0;
    m_samples = {{0, 0}};
    m_rateTimer->start();
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
    m_rateTimer->stop();
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
    qint64 announced = 0;
    for (const auto &header : headers) {
        if (header.first.toLower() != "content-range")
            continue;
        qint64 full = 0;
        if (contentRangeFull(header.second, &full)) {
            QMutexLocker lock(&m_mutex);
            m_full = full;
            announced = full;
        }
    }
    // The size a package response announces (an error page's is not one).
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (announced == 0 && length.isValid())
        announced = (status == 206 ? m_requestFrom : 0) + length.toLongLong();
    if ((status == 200 || status == 206) && announced > sizeLimit())
        refuse(QStringLiteral("Update Error: %1 announces %2 bytes, more than the limit of %3")
                   .arg(m_url)
                   .arg(announced)
                   .arg(sizeLimit()),
               QStringLiteral("the package is too large"));
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
    m_received = got;
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
    qCInfo(lcPspecificWnd).noquote()
        << QStringLiteral("Update Error: download of %1 received nothing for %2 s")
               .arg(m_url)
               .arg(stallTimeoutMs() / 1000.0);
    if (endKeepingPart())
        emit downLoadFailed();
}

bool PsUpdateDownloader::endKeepingPart()
{
    // What the reply holds unread (Qt reports progress at most every 300 ms)
    // is kept for resuming before the reply goes.
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if ((status == 200 || status == 206) && !appendAvailable())
        return false;
    dropReply();
    if (m_outputFile.isOpen())
        m_outputFile.close();
    return true;
}

void PsUpdateDownloader::checkRate()
{
    if (!m_reply)
        return;
    const qint64 now = m_requestClock.elapsed();
    const qint64 window = slowWindowMs();
    m_samples.append({now, m_received});
    // The oldest sample kept is the last one at or before the window's start.
    while (m_samples.size() > 1 && m_samples.at(1).at <= now - window)
        m_samples.removeFirst();
    const Sample &from = m_samples.first();
    if (now - from.at < window)
        return;
    const qint64 bytes = m_received - from.received;
    if (bytes * 1000 >= kSlowBytesPerSecond * (now - from.at))
        return;
    qCInfo(lcPspecificWnd).noquote()
        << QStringLiteral("Update Error: download of %1 received %2 bytes in %3 s, less than "
                          "%4 bytes a second")
               .arg(m_url)
               .arg(bytes)
               .arg((now - from.at) / 1000.0)
               .arg(kSlowBytesPerSecond);
    if (endKeepingPart())
        emit downLoadError(slowMessage());
}

void PsUpdateDownloader::refuse(const QString &log, const QString &reason)
{
    qCInfo(lcPspecificWnd).noquote() << log;
    fatalFailure();
    emit downLoadError(updateRefusedText(reason));
}

void PsUpdateDownloader::httpError(int status, bool abort)
{
    qCInfo(lcPspecificWnd).noquote()
        << QStringLiteral("Update Error: server answered %1 for %2").arg(status).arg(m_url);
    fatalFailure(abort);
    emit downLoadError(
        uiText(QStringLiteral("Download failed: the server answered %1")).arg(status));
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
            refuse(QStringLiteral("Update Error: cant open '%1' for appending")
                       .arg(m_outputFile.fileName()),
                   QStringLiteral("the update folder cannot be written"));
            return false;
        }
        if (restart) {
            QMutexLocker lock(&m_mutex);
            m_already = 0;
        }
        if (status == 200 || already() == 0)
            storeValidator();
    }
    // Never more than the package's announced size, nor more than any
    // package may have: a server that goes on sending is cut off.
    const qint64 announced = full();
    const qint64 cap = announced > 0 ? qMin(announced, sizeLimit()) : sizeLimit();
    const qint64 room = cap - already();
    const QByteArray data =
        m_reply->read(qMin(m_reply->bytesAvailable(), qMax<qint64>(0, room) + 1));
    if (data.size() > room) {
        refuse(QStringLiteral("Update Error: %1 sent more than %2 bytes").arg(m_url).arg(cap),
               announced > 0 && announced <= sizeLimit()
                   ? QStringLiteral("the server sent too much data")
                   : QStringLiteral("the package is too large"));
        return false;
    }
    if (!data.isEmpty()) {
        // A full disk may only show when the buffered bytes are flushed (and
        // a short write sets no error to tell it by).
        if (m_outputFile.write(data) != data.size() || !m_outputFile.flush()) {
            refuse(QStringLiteral("Update Error: cant write '%1'").arg(m_outputFile.fileName()),
                   package::hasFreeSpace(downloadFolder(), data.size())
                       ? QStringLiteral("the update folder cannot be written")
                       : QStringLiteral("there is not enough free disk space"));
            return false;
        }
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

} // namespace kelv
