#include "desktop/qxt_global_shortcut.h"

#include "common/session.h"
#include "desktop/portal_shortcut.h"
#include "platform/global_hotkey.h"

#include <QHash>
#include <QLoggingCategory>

namespace kelv {
namespace {

// Qt keys outside Latin-1 and their X11 keysyms (the values the platform
// layer takes).
std::uint32_t specialKeysym(int key)
{
    static const QHash<int, std::uint32_t> table = {
        {Qt::Key_Escape, 0xff1b},    {Qt::Key_Tab, 0xff09},      {Qt::Key_Backtab, 0xfe20},
        {Qt::Key_Backspace, 0xff08}, {Qt::Key_Return, 0xff0d},   {Qt::Key_Enter, 0xff8d},
        {Qt::Key_Insert, 0xff63},    {Qt::Key_Delete, 0xffff},   {Qt::Key_Pause, 0xff13},
        {Qt::Key_Print, 0xff61},     {Qt::Key_SysReq, 0xff15},   {Qt::Key_Clear, 0xff0b},
        {Qt::Key_Home, 0xff50},      {Qt::Key_End, 0xff57},      {Qt::Key_Left, 0xff51},
        {Qt::Key_Up, 0xff52},        {Qt::Key_Right, 0xff53},    {Qt::Key_Down, 0xff54},
        {Qt::Key_PageUp, 0xff55},    {Qt::Key_PageDown, 0xff56}, {Qt::Key_Menu, 0xff67},
        {Qt::Key_Help, 0xff6a},
    };
    if (key >= Qt::Key_F1 && key <= Qt::Key_F35)
        return 0xffbe + std::uint32_t(key - Qt::Key_F1);
    return table.value(key, 0);
}

Q_LOGGING_CATEGORY(lcHotKey, "kelv.hotkey")

} // namespace

QxtGlobalShortcut::Backend QxtGlobalShortcut::sessionBackend()
{
    return Session::isWayland() ? Backend::Portal : Backend::WindowSystem;
}

QxtGlobalShortcut::QxtGlobalShortcut(QObject *parent) : QObject(parent) {}

QxtGlobalShortcut::QxtGlobalShortcut(const QKeySequence &shortcut, QObject *parent)
    : QObject(parent)
{
    setShortcut(shortcut);
}

QxtGlobalShortcut::~QxtGlobalShortcut() = default;

bool QxtGlobalShortcut::chordFor(QKeyCombination combination, platform::HotKeyChord *chord)
{
    const int key = int(combination.key());
    std::uint32_t keysym = 0;
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        keysym = std::uint32_t(key - Qt::Key_A + 'a'); // the unshifted keysym
    else if (key >= Qt::Key_Space && key <= 0xff)
        keysym = std::uint32_t(key);
    else
        keysym = specialKeysym(key);
    if (keysym == 0)
        return false;
    const Qt::KeyboardModifiers modifiers = combination.keyboardModifiers();
    chord->keysym = keysym;
    chord->shift = modifiers.testFlag(Qt::ShiftModifier);
    chord->control = modifiers.testFlag(Qt::ControlModifier);
    chord->alt = modifiers.testFlag(Qt::AltModifier);
    chord->meta = modifiers.testFlag(Qt::MetaModifier);
    return true;
}

bool QxtGlobalShortcut::setShortcut(const QKeySequence &shortcut)
{
    m_registration.reset();
    delete m_portal;
    m_portal = nullptr;
    m_shortcut = shortcut;
    m_lastError.clear();
    platform::HotKeyChord chord;
    if (shortcut.isEmpty() || !chordFor(shortcut[0], &chord)) {
        m_lastError = QStringLiteral("the key has no system-wide equivalent");
        return false;
    }
    if (m_backend == Backend::Portal)
        return setPortalShortcut(shortcut);
    // The callback runs on the platform's reader thread: hand the press to
    // this object's thread. Destroying the registration waits for a running
    // callback, and Qt drops events posted to an object that is gone.
    m_registration = platform::GlobalHotKey::registerChord(chord, [this] {
        QMetaObject::invokeMethod(this, &QxtGlobalShortcut::onPressed, Qt::QueuedConnection);
    });
    if (!m_registration)
        m_lastError =
            QStringLiteral("the window system refused the key (another program may hold it)");
    return m_registration != nullptr;
}

bool QxtGlobalShortcut::setPortalShortcut(const QKeySequence &shortcut)
{
    QString why;
    if (!PortalShortcut::isOffered(&why)) {
        m_lastError = why;
        qCWarning(lcHotKey).noquote()
            << QStringLiteral("hot key %1 not registered: %2")
                   .arg(shortcut.toString(QKeySequence::PortableText), why);
        return false;
    }
    m_portal = new PortalShortcut(this);
    connect(m_portal, &PortalShortcut::activated, this, &QxtGlobalShortcut::onPressed);
    connect(m_portal, &PortalShortcut::refused, this, [this](const QString &reason) {
        m_lastError = reason;
        qCWarning(lcHotKey).noquote() << "hot key not registered:" << reason;
        m_portal->deleteLater();
        m_portal = nullptr;
        emit registrationFailed(reason);
    });
    const QString sequence = shortcut.toString(QKeySequence::PortableText);
    m_portal->bind(QStringLiteral("kelv-") + sequence,
                   QStringLiteral("Open the mouse configuration"),
                   PortalShortcut::triggerFor(sequence));
    return true;
}

bool QxtGlobalShortcut::unsetShortcut()
{
    const bool wasRegistered = isRegistered();
    m_registration.reset();
    delete m_portal;
    m_portal = nullptr;
    m_shortcut = QKeySequence();
    return wasRegistered;
}

void QxtGlobalShortcut::onPressed()
{
    if (m_enabled && (m_registration || (m_portal && m_portal->isBound())))
        emit activated();
}

} // namespace kelv
