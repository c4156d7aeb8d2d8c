#include "desktop/qxt_global_shortcut.h"

#include "platform/global_hotkey.h"

#include <QHash>

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

} // namespace

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
    m_shortcut = shortcut;
    platform::HotKeyChord chord;
    if (shortcut.isEmpty() || !chordFor(shortcut[0], &chord))
        return false;
    // The callback runs on the platform's reader thread: hand the press to
    // this object's thread. Destroying the registration waits for a running
    // callback, and Qt drops events posted to an object that is gone.
    m_registration = platform::GlobalHotKey::registerChord(chord, [this] {
        QMetaObject::invokeMethod(this, &QxtGlobalShortcut::onPressed, Qt::QueuedConnection);
    });
    return m_registration != nullptr;
}

bool QxtGlobalShortcut::unsetShortcut()
{
    const bool wasRegistered = m_registration != nullptr;
    m_registration.reset();
    m_shortcut = QKeySequence();
    return wasRegistered;
}

void QxtGlobalShortcut::onPressed()
{
    if (m_enabled && m_registration)
        emit activated();
}

} // namespace kelv
