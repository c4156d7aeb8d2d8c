// CrashReporter: started by kelv's crash handler as "CrashReporter <folder>/<id>.dmp".
#include "common/client_settings.h"
#include "common/ui_texts.h"
#include "common/user_folders.h"
#include "tools/crashreporter/crash_report.h"
#include "tools/crashreporter/reporter_window.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("CrashReporter"));
    QApplication::setApplicationVersion(QStringLiteral(KELV_VERSION));

    // The language of kelv's settings: those of the same program folder, or
    // the user's own where the program folder is shared.
    kelv::ClientSettings settings;
    settings.load(kelv::UserFolders::forProgramFolder(QCoreApplication::applicationDirPath())
                      .profilePath(QStringLiteral("Resources/profiles/conf.xml")));
    kelv::setUiLanguage(kelv::uiLanguageFromSetting(settings.value(QStringLiteral("language"))));

    const QString path = kelv::CrashReport::reportPathFromArguments(QCoreApplication::arguments());
    kelv::ReporterWindow window(kelv::CrashReport::load(path),
                                QCoreApplication::applicationDirPath());
    window.show();
    return app.exec();
}
