#pragma once

#include <QLoggingCategory>
#include <QString>

namespace kelv {

Q_DECLARE_LOGGING_CATEGORY(lcUserFolders)

// Where kelv keeps what it writes for its user.
//
// A program folder the user may write (a build folder, the per-user install of
// scripts/install.sh) keeps everything beside the program, as it always has:
// profiles and settings under the folder's own relative paths, firmware
// packages in tupdates/, crash reports in the folder, the log in the working
// directory; kelv also updates its own files there.
//
// A program folder installed by the package manager (it holds the marker
// Resources/packaged) or one this user cannot write is shared by every user
// and left alone: each user's files go to that user's folders, after the XDG
// base directories, and only the package manager updates the program.
class UserFolders
{
public:
    enum class Layout { ProgramFolder, PerUser };

    // The marker file of a packaged program folder, relative to it.
    static QString packagedMarker();

    // Decides the layout for a program folder from the marker, the folder's
    // permissions and the XDG variables of this process's environment.
    static UserFolders forProgramFolder(const QString &programFolder);

    Layout layout() const { return m_layout; }
    bool perUser() const { return m_layout == Layout::PerUser; }
    // True for a program folder of the package manager's (the marker), also
    // where the user could write it (root): the program never updates itself.
    bool packaged() const { return m_packaged; }

    // The program folder the decision was made for (no trailing slash).
    QString programFolder() const { return m_program; }
    // Settings and profiles: the same relative paths as in the program folder
    // (Resources/profiles/conf.xml, view/xml/configuration.xml) below it.
    QString profiles() const { return m_profiles; }
    // Kept data: firmware packages (tupdates/), the simulated mouse's state.
    QString data() const { return m_data; }
    // Logs and crash reports. Empty for the program folder layout: the log
    // goes to the working directory and reports to the program folder there.
    QString state() const { return m_state; }

    // The path of a file that kelv may write, named relative to the program
    // folder: below profiles().
    QString profilePath(const QString &relative) const;

    // Gets the user's folders ready: creates them (private to the user) and,
    // the first time, copies the program folder's settings and mode document
    // into profiles(). Existing files are never touched. Nothing to do for the
    // program folder layout. False (with the reason in *error) when a folder
    // cannot be made; the program then runs on its defaults.
    bool prepare(QString *error = nullptr) const;

    // The files copied into profiles() at a user's first start.
    static QStringList copiedAtFirstStart();

private:
    Layout m_layout = Layout::ProgramFolder;
    bool m_packaged = false;
    QString m_program;
    QString m_profiles;
    QString m_data;
    QString m_state;
};

// The folders of this process, decided once from the application folder at
// the first call. Tests may replace them.
const UserFolders &userFolders();
void setUserFolders(const UserFolders &folders);

} // namespace kelv
