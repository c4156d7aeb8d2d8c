#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace kelv::test {

// OpenRazer's real daemon (Debian's openrazer-daemon, unpacked by scripts/openrazer-daemon.sh)
// on a private session bus of the test's own, serving fake mice: device folders this fixture
// writes in a sysfs-like tree (bus/hid/devices/<id> linked to devices/.../<usb port>/...), with
// the files the daemon's hardware classes read and write (dpi, dpi_stages, poll_rate,
// charge_level, the logo effect files...). While the object lives, DBUS_SESSION_BUS_ADDRESS
// points at the private bus and KELV_SYSFS_ROOT at the tree, so libdc finds both there.
// Values are read back from the fake devices' files, never from kelv.
class RazerDaemon
{
public:
    // Models of OpenRazer 3.5.1's mouse classes, by what they offer.
    enum class Model {
        DeathAdderV2,          // wired; DPI without stages; logo and scroll wheel zones
        ViperUltimateWireless, // wireless: battery, stages, idle time, low-battery threshold
        DeathAdder35G,         // old: a list of DPI values, logo and scroll on or off only
        Viper8KHz,             // the daemon lists its report rates (up to 8000 Hz)
    };

    // Starts the private bus (not the daemon).
    RazerDaemon();
    ~RazerDaemon();
    RazerDaemon(const RazerDaemon &) = delete;
    RazerDaemon &operator=(const RazerDaemon &) = delete;

    // Empty when the real daemon can run here; otherwise why it cannot (the suites skip).
    static QString unavailable();

    bool busRunning() const { return m_bus.state() == QProcess::Running && !m_address.isEmpty(); }
    QString busAddress() const { return m_address; }
    QString sysfsRoot() const;

    // Writes a fake mouse of the model (its HID device number n, on the USB port) and returns
    // its folder. Serial "" leaves device_serial empty (the daemon then makes one up).
    QString addMouse(Model model, const QString &serial, int n, const QString &port);
    // Removes the mouse's folder (and its link).
    void removeMouse(const QString &folder);
    // The content of a fake device's file (trimmed for text files: trimmed=true).
    QByteArray file(const QString &folder, const QString &name, bool trimmed = true) const;
    bool setFile(const QString &folder, const QString &name, const QByteArray &content);

    // Starts the daemon and waits until it lists `mice` devices.
    bool start(int mice);
    void kill();    // SIGKILL, as a crash
    void suspend(); // SIGSTOP: a daemon that hangs
    void resume();
    bool running() const { return m_daemon.state() == QProcess::Running; }
    // Makes the daemon look at its device folders again (see razer_daemon_run.py) and waits
    // until it lists `mice` devices.
    bool replug(int mice);
    // The daemon's getDevices; ok false when it did not answer.
    QStringList serials(bool *ok = nullptr) const;

    // busctl on the private bus (--user semantics): its standard output.
    QByteArray busctl(const QStringList &arguments, bool *ok = nullptr) const;
    QString log() const;

private:
    QTemporaryDir m_root;
    QProcess m_bus;
    QProcess m_daemon;
    QString m_address;
    QByteArray m_savedAddress, m_savedRoot;
    bool m_hadAddress = false, m_hadRoot = false;
};

} // namespace kelv::test
