// CrashReporter: started by kelv's crash handler as "CrashReporter <folder>/<id>.dmp".
#include "common/client_settings.h"
#include "common/ui_texts.h"
#include "tools/crashreporter/crash_report.h"
#include "tools/crashreporter/reporter_window.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("CrashReporter"));
    QApplication::setApplicationVersion(QStringLiteral(KELV_VERSION));

    // The language of kelv's settings in the same program folder.
    kelv::ClientSettings settings;
    settings.load(QCoreApplication::applicationDirPath() +
                  QStringLiteral("/Resources/profiles/conf.xml"));
    kelv::setUiLanguage(kelv::uiLanguageFromSetting(settings.value(QStringLiteral("language"))));

    const QString path = kelv::CrashReport::reportPathFromArguments(QCoreApplication::arguments());
    kelv::ReporterWindow window(kelv::CrashReport::load(path),
                                QCoreApplication::applicationDirPath());
    window.show();
    return app.exec();
}
