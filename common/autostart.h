#pragma once

#include <QString>

namespace kelv {

// Starting the program with the user's desktop session. On Linux an XDG
// autostart entry ($XDG_CONFIG_HOME/autostart/kelv.desktop, ~/.config when
// unset) that runs this program with "-autostart", so it starts in the tray;
// every desktop that follows the XDG autostart rules (GNOME, KDE Plasma, Xfce,
// Cinnamon, MATE) reads it at login. On Windows the user's Run key.
class Autostart
{
public:
    // The entry's file (Linux) or registry value (Windows).
    static QString entryPath();
    // True when the entry exists and the user has not switched it off in the
    // desktop's own start-up settings (Hidden, X-GNOME-Autostart-enabled).
    static bool isEnabled();
    // Writes the entry for `program` (the running executable when empty) or
    // removes it. False, with the reason in *error, when the entry could not
    // be written or removed; nothing half-written is left.
    static bool setEnabled(bool enabled, QString *error = nullptr,
                           const QString &program = QString());

    // The entry's text for a program path (Exec quoted as the desktop entry
    // rules require).
    static QString entryText(const QString &program);
    // One argument of an Exec line, quoted and escaped when it needs to be.
    static QString execArgument(const QString &argument);
};

} // namespace kelv
