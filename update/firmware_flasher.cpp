#include "update/firmware_flasher.h"

#include "update/update_log.h"

#include <QCryptographicHash>
#include <QFile>

namespace kelv {

FirmwareFlasher::FirmwareFlasher(FirmwareSession &session, const FirmwareImage &image,
                                 const QString &mouseId, Start start, const Timing &timing)
    : m_session(session), m_image(image), m_mouseId(mouseId), m_timing(timing),
      m_state(start == Start::Mouse ? State::Reset : State::LastLook)
{
}

quint64 FirmwareFlasher::chunkCount() const
{
    // A length that is a multiple of the chunk size ends with an empty chunk.
    return m_image.length() / kChunkSize + 1;
}

void FirmwareFlasher::display(const QString &text)
{
    if (show)
        show(text);
}

int FirmwareFlasher::end(Outcome outcome)
{
    m_outcome = outcome;
    m_state = State::Done;
    return -1;
}

int FirmwareFlasher::step()
{
    const QString id = bootLoaderId();
    switch (m_state) {
    case State::Reset:
        // The mouse leaves normal operation for its boot loader.
        m_session.reset(m_mouseId);
        m_state = State::FirstLook;
        return m_timing.firstWait;
    case State::FirstLook:
        m_state = m_session.present(id) ? State::Erase : State::SecondLook;
        return m_state == State::Erase ? 0 : m_timing.secondWait;
    case State::SecondLook:
        m_state = m_session.present(id) ? State::Erase : State::LastLook;
        return m_state == State::Erase ? 0 : m_timing.lastWait;
    case State::LastLook:
        if (!m_session.present(id)) {
            display(mouseUpdateFailedText());
            return end(BootLoaderMissing);
        }
        m_state = State::Erase;
        return 0;
    case State::Erase:
        m_session.erase(id);
        m_state = State::Write;
        m_chunk = 0;
        return m_timing.afterErase;
    case State::Write: {
        const quint64 length = m_image.length();
        const quint64 offset = quint64(kChunkSize) * m_chunk;
        const quint64 size = qMin<quint64>(length - offset, kChunkSize);
        const QByteArray chunk(m_image.firmware() + offset, qsizetype(size));
        const bool ok = m_session.writeChunk(id, chunk, quint32(offset));
        // Only the last chunk's result counts, as the boot loader reports the write as a
        // whole there.
        if (++m_chunk == chunkCount()) {
            m_written = ok;
            m_state = State::Check;
        }
        return m_timing.perChunk;
    }
    case State::Check:
        display(m_written ? writtenText() : writeFailedText());
        if (!m_session.check(id, quint32(m_image.length()), m_image.checkValue())) {
            display(checkFailedText());
            return end(CheckFailed);
        }
        display(checkPassedText());
        m_state = State::Finish;
        return m_timing.beforeFinish;
    case State::Finish:
        // A boot loader that does not finish (the mouse pulled, a device that stopped
        // answering) keeps the mouse in it: that is no success, whatever the check said.
        if (!m_session.finish(id)) {
            display(mouseUpdateFailedText());
            return end(FinishFailed);
        }
        return end(CheckPassed);
    case State::Done:
        break;
    }
    return -1;
}

namespace {

QByteArray fileDigest(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QByteArray();
    return hash.result();
}

} // namespace

FirmwareUpdate::FirmwareUpdate(std::unique_ptr<FirmwareSession> session, const FirmwareImage &image,
                               const QString &imagePath, const QString &mouseId,
                               FirmwareFlasher::Start start, const FirmwareFlasher::Timing &timing,
                               QObject *parent)
    : QObject(parent), m_session(std::move(session)), m_image(image), m_imagePath(imagePath),
      m_packageDigest(fileDigest(imagePath)), m_flasher(*m_session, m_image, mouseId, start, timing)
{
    m_flasher.show = [this](const QString &text) { emit textShown(text); };
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &FirmwareUpdate::runStep);
}

FirmwareUpdate::~FirmwareUpdate() = default;

void FirmwareUpdate::start()
{
    qCInfo(lcUpdateSystem).noquote()
        << QStringLiteral("Firmware update started: %1 bytes").arg(m_image.length());
    m_timer.start(0);
}

void FirmwareUpdate::runStep()
{
    const int wait = m_flasher.step();
    if (wait >= 0) {
        m_timer.start(wait);
        return;
    }
    const bool completed = m_flasher.outcome() == FirmwareFlasher::CheckPassed;
    if (completed && !m_packageDigest.isEmpty() && fileDigest(m_imagePath) == m_packageDigest)
        QFile::remove(m_imagePath);
    qCInfo(lcUpdateSystem).noquote()
        << QStringLiteral("Firmware update ended: %1%2")
               .arg(int(m_flasher.outcome()))
               .arg(completed ? QStringLiteral(" (completed)") : QString());
    m_session.reset();
    emit finished(int(m_flasher.outcome()));
    deleteLater();
}

} // namespace kelv
