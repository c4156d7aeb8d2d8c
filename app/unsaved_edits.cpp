#include "app/unsaved_edits.h"

#include "app/app_log.h"
#include "bridge/profile_store.h"
#include "common/dialogs.h"
#include "common/ui_texts.h"

#include <QDir>
#include <QFileInfo>

namespace kelv {

bool saveBeforeQuit(ProfileStore &profiles, QWidget *parent, bool ask, UiLanguage language)
{
    if (profiles.modified().isEmpty() || profiles.saveModified())
        return true;
    const QString folder = profiles.unwritableFolder();
    const QString where = QDir::toNativeSeparators(
        folder.isEmpty() ? QFileInfo(profiles.modified().constFirst()).absolutePath() : folder);
    if (!ask) {
        qCWarning(lcApp).noquote() << "quitting with edits that could not be saved in" << where;
        return true;
    }
    useQtTranslations(language); // the buttons too
    // Lost without a word, the user's edits would simply be gone at the next
    // start: the user decides, told why and what to do.
    const QString text =
        folder.isEmpty()
            ? uiText(QStringLiteral("kelv could not save your changes in %1 (is the disk full?). "
                                    "Quit anyway and lose them?"),
                     language)
            : uiText(QStringLiteral("kelv cannot save your changes: it may not write to the "
                                    "folder %1. Quit anyway and lose them? To keep them, cancel, "
                                    "make the folder writable for your user and try again."),
                     language);
    const auto answer = Dialogs::current().message(
        parent, QMessageBox::Warning, uiText(QStringLiteral("Changes not saved"), language),
        text.arg(where), QMessageBox::Discard | QMessageBox::Cancel);
    if (answer != QMessageBox::Discard) {
        qCInfo(lcApp).noquote() << "quit cancelled: edits could not be saved in" << where;
        return false;
    }
    qCWarning(lcApp).noquote() << "quitting without the edits that could not be saved in" << where;
    return true;
}

void tellQuitWaitsForFirmware(QWidget *parent, UiLanguage language)
{
    Dialogs::current().notify(
        parent, QMessageBox::Information, uiText(QStringLiteral("Firmware update"), language),
        uiText(QStringLiteral("kelv will close as soon as the firmware update has finished."),
               language));
}

} // namespace kelv
