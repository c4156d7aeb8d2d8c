#pragma once

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

namespace kelv {

class ClientSettings;
class HttpRequestWorker;
class UpdateHost;
class updateDlg;

// What a reply of the update service asks for, worked out by plain code.
struct UpdateDecision
{
    enum Action { ShowNothing, ShowOffer, ShowLatest, ShowMessage };

    Action action = ShowNothing;
    bool findNewVersion = false; // code 0 with a ret object
    QStringList deployment;
    QJsonObject ret;
    QString logText;
    QString message; // ShowMessage: the text of the information page
};

// Asks the update service whether newer packages exist and opens the update
// dialog when it offers one. One check per object; the application object
// replaces it for every check.
class UpdateCheck final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UpdateCheck)

public:
    // The largest reply of the update service that is read (a larger one is
    // an error, logged only).
    static constexpr qint64 kMaxReplySize = 1024 * 1024;

    explicit UpdateCheck(QObject *parent = nullptr, UpdateHost *host = nullptr);
    ~UpdateCheck() override;

    void setHost(UpdateHost *host) { m_host = host; }

    void doCheckUpdate(const QString &deviceId, const QString &firmwareVersion,
                       const QString &clientVersion, bool interactive);

    // The update service's base address: the environment variable
    // KELV_UPDATE_SERVER when set, else the "updateServer" client setting.
    // Empty: no service configured.
    static QString serviceAddress(const ClientSettings *settings);

    // Interprets one finished request (error or body).
    static UpdateDecision interpret(bool failed, const QString &errorText,
                                    const QByteArray &response, bool interactive);

    // The decision for a program that does not update its own files (its
    // folder is the package manager's): the program and page packages are
    // taken out of an offer; an offer of nothing else becomes a message that
    // says who installs the new version (when the user asked) or nothing.
    static UpdateDecision withoutProgramUpdates(UpdateDecision decision, bool interactive);

    bool interactive() const { return m_interactive; }
    // The dialog the latest reply opened (owned), or null.
    updateDlg *dialog() const { return m_dialog; }

signals:
    void FindNewVersion();
    // The user chose to restart for an update.
    void closeApp();
    // The reply has been handled (after any dialog it opened has closed).
    void checkFinished(int action);

public slots:
    void handle_doCheckUpdate(kelv::HttpRequestWorker *worker);
    void on_needupdate();

private:
    void openDialog(const UpdateDecision &decision);

    UpdateHost *m_host;
    QPointer<HttpRequestWorker> m_worker;
    updateDlg *m_dialog = nullptr;
    bool m_interactive = false;
};

// Creates a checker (child of parent) and starts a check with the host's
// first device and client version. The application object's checkForUpdates
// deletes the previous checker, calls this and connects closeApp().
UpdateCheck *startUpdateCheck(UpdateHost *host, QObject *parent, bool interactive);

// Set by the update dialog when a client package is ready; main() reads it
// after the event loop and starts the updater (launchUpdater()).
bool runUpdaterAtExit();
void setRunUpdaterAtExit(bool run);
bool launchUpdater();

} // namespace kelv
