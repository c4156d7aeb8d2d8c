#pragma once

#include <QKeySequence>
#include <QObject>
#include <memory>

namespace kelv {

class PortalShortcut;

namespace platform {
class GlobalHotKey;
struct HotKeyChord;
} // namespace platform

// A system-wide hot key with the interface of LibQxt's class of the same name:
// constructed with a parent, setShortcut() registers a key sequence and
// returns whether the window system accepted it, activated() is emitted on the
// owner's thread each time the key is pressed anywhere on the desktop.
class QxtGlobalShortcut final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QxtGlobalShortcut)

public:
    // Where the key comes from: the window system's key grabs (X11,
    // Windows), or the desktop portal's GlobalShortcuts (Wayland sessions,
    // where no program may grab keys).
    enum class Backend { WindowSystem, Portal };
    static Backend sessionBackend();

    explicit QxtGlobalShortcut(QObject *parent = nullptr);
    explicit QxtGlobalShortcut(const QKeySequence &shortcut, QObject *parent = nullptr);
    ~QxtGlobalShortcut() override;

    // The last sequence given to setShortcut (kept even when the registration
    // failed), or the empty sequence after unsetShortcut.
    QKeySequence shortcut() const { return m_shortcut; }
    bool isRegistered() const { return m_registration != nullptr || m_portal != nullptr; }

    // Before setShortcut (tests use the portal on any platform).
    void setBackend(Backend backend) { m_backend = backend; }
    Backend backend() const { return m_backend; }
    // Why the last registration failed; empty after a success.
    QString lastError() const { return m_lastError; }

    // Releases the current key, then registers the first key of the sequence.
    // Returns false for an empty or unmappable sequence, without a window
    // system, and when another program (or another shortcut) holds the key.
    // Through the portal: false when the session offers no GlobalShortcuts
    // portal; true once the request is made. The desktop may still decline
    // it later (it may ask the user): registrationFailed() says so then.
    bool setShortcut(const QKeySequence &shortcut);
    // Releases the key; returns whether one was registered.
    bool unsetShortcut();

    // A disabled shortcut keeps its key but does not emit activated().
    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled) { m_enabled = enabled; }

    // The chord for a key combination (exposed for tests); false when the key
    // has no system-wide equivalent.
    static bool chordFor(QKeyCombination combination, platform::HotKeyChord *chord);

signals:
    void activated();
    // The portal declined a key that setShortcut had requested.
    void registrationFailed(const QString &reason);

private:
    void onPressed();

    QKeySequence m_shortcut;
    bool m_enabled = true;
    bool setPortalShortcut(const QKeySequence &shortcut);

    Backend m_backend = sessionBackend();
    QString m_lastError;
    std::unique_ptr<platform::GlobalHotKey> m_registration;
    PortalShortcut *m_portal = nullptr; // a child while requested or bound
};

} // namespace kelv
