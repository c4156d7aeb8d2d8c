#pragma once

#include "bridge/dispatcher.h"
#include "tests/testsupport/desktop_session.h"
#include "tests/testsupport/fake_app_host.h"
#include "tests/testsupport/recording_callback.h"
#include "tests/testsupport/temp_program_folder.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

namespace kelv::test {

// A GNOME session of the test's own (a private D-Bus session with the real
// dconf service), so the system-mouse commands change a real desktop store
// and never the desktop of whoever runs the tests. Made before any command
// runs.
class GnomeMouseSettings
{
public:
    GnomeMouseSettings() { m_session.setDesktop(QStringLiteral("GNOME")); }

    DesktopSession &session() { return m_session; }
    // What dconf holds for a key of GNOME's mouse schema; empty when unset.
    QString stored(const QString &key) const
    {
        return m_session.dconf(QStringLiteral("/org/gnome/desktop/peripherals/mouse/") + key);
    }
    // Back to the schema's defaults (every key unset).
    void reset()
    {
        DesktopSession::run(QStringLiteral("dconf"),
                            {QStringLiteral("reset"), QStringLiteral("-f"),
                             QStringLiteral("/org/gnome/desktop/peripherals/mouse/")});
        m_session.setDesktop(QStringLiteral("GNOME"));
    }

private:
    DesktopSession m_session;
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
