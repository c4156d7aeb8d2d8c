#pragma once

// What the program does about updates at start-up, before anything else: an
// install that was cut off is finished or rolled back, an install that waits
// for its first start is handed to the Updater for its health check, and a
// start that is that health check reports once its window and page are up.

#include "common/ui_texts.h"

#include <QString>
#include <QStringList>

namespace kelv {

class ClientSettings;

struct StartupInstallCheck
{
    enum class Outcome {
        Continue,   // start normally
        HandedOver, // the Updater checks the new version and starts it: exit now
        Restart,    // files were rolled back under this process: start the
                    // program again from disk and exit now
    };
    Outcome outcome = Outcome::Continue;
    // This start is the new version's health check: report once the main
    // window is shown and the page loaded (reportStarted()).
    bool trialStart = false;
    // What the user is to be told on this start (a roll-back and why).
    QString notice;
};

// A roll-back notice as the user reads it: the title, and the text in the
// language when it is one the program wrote itself (a notice the Updater wrote
// is shown as written).
struct UpdateNoticeMessage
{
    QString title;
    QString text;
};
UpdateNoticeMessage updateNoticeMessage(const QString &notice, UiLanguage language);

// How the program was started: the version the Updater starts for this start
// starts the same way.
enum class StartMode { Window, Tray };

// Runs the check on the working folder. log receives one line per action.
StartupInstallCheck checkInstallAtStartup(QStringList *log, StartMode mode = StartMode::Window);

// The health report of a trial start: true when it counted; the new version
// is then recorded in settings (memory and conf.xml).
bool reportStarted(ClientSettings &settings, QStringList *log);

} // namespace kelv
