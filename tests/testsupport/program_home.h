#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

namespace kelv::test {

// A user of its own for starts of the built program: a temporary home with a "tmp" folder,
// the home also being the user's runtime folder (where the instance socket lives), and the
// environment that points the program there, with an instance server name no other test
// shares. Tests add their own entries to a copy of environment().
class ProgramHome
{
public:
    // display: the X display the program shows its windows on (xcb platform), or empty for
    // the offscreen platform with no display at all.
    explicit ProgramHome(const QString &display = QString());

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString &relative) const { return m_dir.filePath(relative); }
    // The instance server's name; its socket is filePath(instanceName()).
    QString instanceName() const { return m_instanceName; }
    const QProcessEnvironment &environment() const { return m_environment; }

private:
    QTemporaryDir m_dir;
    QString m_instanceName;
    QProcessEnvironment m_environment;
};

} // namespace kelv::test
