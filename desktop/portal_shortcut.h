#pragma once

#include <QDBusObjectPath>
#include <QObject>
#include <QString>
#include <QVariantMap>

namespace kelv {

// One global shortcut given by the desktop through the XDG desktop portal's
// GlobalShortcuts interface: the way a program gets a system-wide hot key in
// a Wayland session. The portal owns the key; the desktop may ask the user
// before it binds it and may change the trigger.
//
// The exchange is asynchronous: CreateSession, then BindShortcuts, each
// answered by a Response signal of its request object; Activated signals of
// the session follow for every press.
class PortalShortcut final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PortalShortcut)

public:
    explicit PortalShortcut(QObject *parent = nullptr);
    ~PortalShortcut() override;

    // Whether the session bus has a desktop portal offering GlobalShortcuts;
    // when not, *why says so in a sentence for the log and the page.
    static bool isOffered(QString *why);

    // The portal's trigger text of a Qt key sequence ("CTRL+ALT+m").
    static QString triggerFor(const QString &portableSequence);

    // Asks for the shortcut; bound() or refused() follows.
    void bind(const QString &id, const QString &description, const QString &trigger);

    bool isBound() const { return m_bound; }

signals:
    void bound();
    void refused(const QString &reason);
    void activated();

private slots:
    void onSessionResponse(uint response, const QVariantMap &results);
    void onBindResponse(uint response, const QVariantMap &results);
    void onActivated(const QDBusObjectPath &session, const QString &id, qulonglong timestamp,
                     const QVariantMap &options);

private:
    // The request object a call with this token will answer on; its Response
    // is connected before the call, so no answer can be missed.
    QString requestPath(const QString &token) const;
    bool call(const QString &method, const QVariantList &arguments, const QString &token,
              const char *responseSlot);
    void closeSession();

    QString m_id;
    QString m_description;
    QString m_trigger;
    QString m_session;
    QString m_pendingRequest;
    const char *m_pendingSlot = nullptr;
    bool m_bound = false;
};

} // namespace kelv
