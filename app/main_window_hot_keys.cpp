// The main window's two system-wide hot keys.

#include "app/main_window.h"
#include "desktop/qxt_global_shortcut.h"

#include <QKeySequence>

namespace kelv {
namespace shell {

namespace {
const QString ShowConfKey = QStringLiteral("showConf");
const QString TestToolKey = QStringLiteral("testTool");
} // namespace

QxtGlobalShortcut *kelv::hotKey(const QString &key) const
{
    if (key == ShowConfKey)
        return m_showConf;
    if (key == TestToolKey)
        return m_testTool;
    return nullptr;
}

bool &kelv::hotKeyFlag(const QString &key)
{
    return key == ShowConfKey ? m_showConfRegistered : m_testToolRegistered;
}

bool kelv::registerHotKey(const QString &key, const QString &sequence)
{
    QxtGlobalShortcut *shortcut = hotKey(key);
    if (!shortcut)
        return false;
    const QKeySequence keys(sequence, QKeySequence::NativeText);
    if (!shortcut->shortcut().isEmpty())
        shortcut->unsetShortcut();
    const bool registered = shortcut->setShortcut(keys);
    hotKeyFlag(key) = registered;
    return registered;
}

bool kelv::hotKeyRegistered(const QString &key) const
{
    if (key == ShowConfKey)
        return m_showConfRegistered;
    if (key == TestToolKey)
        return m_testToolRegistered;
    return false;
}

} // namespace shell
} // namespace kelv
