#pragma once

// Outline of the update check's interface (the update work fills it in).

#include <QObject>
#include <QString>

namespace kelv {

// Asks the update service whether newer packages exist and opens the update
// dialog when it offers one. One check per object; the application object
// replaces it for every check.
class UpdateCheck final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UpdateCheck)

public:
    explicit UpdateCheck(QObject *parent = nullptr);
    ~UpdateCheck() override;

    void doCheckUpdate(const QString &deviceId, const QString &firmwareVersion,
                       const QString &clientVersion, bool interactive);

signals:
    void FindNewVersion();
    // The user chose to restart for an update.
    void closeApp();
};

// Set by the update dialog when a client package is ready; main() reads it
// after the event loop and starts the updater (launchUpdater()).
bool runUpdaterAtExit();
void setRunUpdaterAtExit(bool run);
void launchUpdater();

} // namespace kelv
