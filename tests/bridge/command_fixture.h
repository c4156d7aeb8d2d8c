#pragma once

#include "bridge/dispatcher.h"
#include "tests/testsupport/fake_app_host.h"
#include "tests/testsupport/recording_callback.h"
#include "tests/testsupport/temp_program_folder.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

namespace kelv::test {

// The settings tool the system-mouse code runs, replaced by a recording fake
// (tests/bridge/fake_gsettings.sh) with its own state folder, so tests never
// change the desktop of whoever runs them. Set before any command runs.
class FakeGsettings
{
public:
    FakeGsettings()
    {
        qputenv("KELV_GSETTINGS", (TempProgramFolder::sourceFolder() +
                                   QStringLiteral("/tests/bridge/fake_gsettings.sh"))
                                      .toLocal8Bit());
        qputenv("FAKE_GSETTINGS_DIR", m_dir.path().toLocal8Bit());
    }

    QString dir() const { return m_dir.path(); }

    // Every call so far, one "set org.gnome... key value" line each; clears them.
    QStringList takeCalls()
    {
        QFile file(m_dir.filePath(QStringLiteral("calls")));
        QStringList calls;
        if (file.open(QIODevice::ReadOnly))
            calls = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        file.remove();
        return calls;
    }

    void setMarker(const QString &name, bool on)
    {
        const QString path = m_dir.filePath(name);
        if (on) {
            QFile file(path);
            file.open(QIODevice::WriteOnly);
        } else {
            QFile::remove(path);
        }
    }

    QString stored(const QString &key) const
    {
        QFile file(m_dir.filePath(QStringLiteral("org.gnome.desktop.peripherals.mouse.") + key));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed()
                                              : QString();
    }

private:
    QTemporaryDir m_dir;
};

inline Members requestMembers(const QByteArray &json)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    Q_ASSERT_X(error.error == QJsonParseError::NoError, "requestMembers", json.constData());
    return doc.object().toVariantMap();
}

// Runs one JSON request through the dispatcher; the callback tells the answer.
inline QSharedPointer<RecordingCallback> run(const Dispatcher &dispatcher, const QByteArray &json)
{
    const Members members = requestMembers(json);
    auto callback = RecordingCallback::create();
    dispatcher.dispatch(members.value(QStringLiteral("funcname")).toString(), members, callback);
    return callback;
}

// The answer a query got, as one comparable text.
inline QString reply(const QSharedPointer<RecordingCallback> &cb)
{
    if (!cb->answered())
        return QStringLiteral("(no reply)");
    if (cb->answerCount() > 1)
        return QStringLiteral("(answered %1 times)").arg(cb->answerCount());
    return cb->ok() ? QStringLiteral("success: ") + cb->text()
                    : QStringLiteral("failure %1: ").arg(cb->code()) + cb->text();
}
inline QString success(const QString &text)
{
    return QStringLiteral("success: ") + text;
}
inline QString failure(const QString &text)
{
    return QStringLiteral("failure 0: ") + text;
}

} // namespace kelv::test
