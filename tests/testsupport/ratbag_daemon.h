#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace kelv::test {

// libratbag's real daemon ratbagd.devel (built from the release tarball, see
// cmake/ratbagd.cmake) on a private system bus of the test's own (dbus-daemon), serving the
// test devices it is given (LoadTestDevice with a JSON description). While the object
// lives the process's DBUS_SYSTEM_BUS_ADDRESS points at the private bus and
// KELV_RATBAG_BUS_NAME names the development daemon, so libdc finds the daemon there.
// Values are read back from the daemon with busctl, a client of its own.
class RatbagDaemon
{
public:
    static constexpr const char *kBusName = "org.freedesktop.ratbag_devel1";

    enum class Bus {
        Plain,       // the daemon runs when start() starts it
        Installable, // the daemon is not installed on the bus until install()
        Refusing,    // the bus refuses clients the daemon's properties (D-Bus AccessDenied)
    };

    // Starts the private bus (not the daemon).
    explicit RatbagDaemon(Bus kind = Bus::Plain);
    ~RatbagDaemon();
    RatbagDaemon(const RatbagDaemon &) = delete;
    RatbagDaemon &operator=(const RatbagDaemon &) = delete;

    // Empty when the real daemon can run here; otherwise why it cannot (the suites skip).
    static QString unavailable();
    // The D-Bus API version of the daemon the suite runs against ($KELV_RATBAGD_API: 1 for
    // libratbag 0.17, 2 for 0.18), and the release ("0.17").
    static int api();
    static QString release();
    // The profile property that says whether a profile is in use: true when profile is
    // enabled, whichever way round the daemon's API says it (Enabled, Disabled).
    bool profileEnabled(const QString &profile) const;

    bool busRunning() const { return m_bus.state() == QProcess::Running && !m_address.isEmpty(); }
    QString busAddress() const { return m_address; }
    QString folder() const { return m_root.path(); }
    // The daemon's object root, /org/freedesktop/ratbag_devel1.
    static QString root();
    static QString interface(const QString &suffix);

    // Starts the daemon and waits until it serves its default test device.
    bool start();
    // Kills it (SIGKILL) as a crash would; its mice go with it.
    void kill();
    bool running() const { return m_daemon.state() == QProcess::Running; }
    qint64 pid() const { return m_daemon.processId(); }
    // Installs the daemon on an Installable bus (its bus activation file): from then on the
    // bus starts it when a client asks for it. program: what the bus starts instead (a
    // daemon that exits at start).
    bool install(const QString &program = QString());
    // Stops the daemon where it is (SIGSTOP), as a hanging daemon; resume() lets it go on.
    void pause();
    void resume();

    // LoadTestDevice: the daemon's new test device replaces the one before. Returns the new
    // device's object path once the daemon lists it, or empty. json is in 0.17's format; for
    // 0.18 it is made into that release's (forRelease()).
    QString load(const QByteArray &json);
    // A test device in 0.17's format as the daemon of this suite takes it: 0.18 refuses an
    // LED's "type" (0.17 requires it).
    static QByteArray forRelease(const QByteArray &json);
    QStringList devices() const;
    // True while some process owns the daemon's name on the bus.
    bool nameOwned() const;

    // What the daemon holds, read with busctl: the property's "data" (busctl --json=short).
    QJsonValue property(const QString &path, const QString &interfaceSuffix,
                        const QString &name) const;
    // An object path list property (a device's Profiles, a profile's Buttons, ...).
    QStringList paths(const QString &path, const QString &interfaceSuffix,
                      const QString &name) const;
    // Sets a property as another program would (busctl set-property); true when it worked.
    bool setProperty(const QString &path, const QString &interfaceSuffix, const QString &name,
                     const QStringList &signatureAndValues);
    // Calls a method with no arguments (SetActive, Commit, ...).
    bool call(const QString &path, const QString &interfaceSuffix, const QString &method);

    // busctl on the private bus; its standard output.
    QByteArray busctl(const QStringList &arguments, bool *ok = nullptr) const;

private:
    Bus m_kind;
    QTemporaryDir m_root;
    QProcess m_bus;
    QProcess m_daemon;
    QString m_address;
    QByteArray m_savedAddress;
    QByteArray m_savedName;
    bool m_hadAddress = false;
    bool m_hadName = false;
};

// A user data folder of the test's own ($XDG_DATA_HOME while the object lives): where libdc
// keeps what it stores for real mice (their macro slots, which instance each mouse is).
class UserDataHome
{
public:
    UserDataHome();
    ~UserDataHome();
    UserDataHome(const UserDataHome &) = delete;
    UserDataHome &operator=(const UserDataHome &) = delete;

    QString path() const { return m_dir.path(); }
    // libdc's folder of the real mice's files in it.
    QString ratbagFolder() const { return m_dir.filePath(QStringLiteral("kelv/ratbag")); }

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_had = false;
};

} // namespace kelv::test
