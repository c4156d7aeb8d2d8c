#pragma once

// The device manager: the one object through which the program reaches the mouse. It
// loads the device library, keeps its entry points, lists the connected devices, turns the
// library's event and data callbacks into signals on the main thread, and offers the read,
// write and notify operations of the device commands.
//
// A library this process cannot load because it is 32-bit (the mouse maker's libdc.dll
// beside the 64-bit program) is loaded by the device-library host dchost instead, whose
// entry points behave exactly like the library's own (libdc/host/dc_host_client.h).

#include "device/device_info.h"

#include <QByteArray>
#include <QLibrary>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QThreadPool>
#include <cstdint>
#include <functional>
#include <memory>

struct DcDataRecord;

namespace kelv {

namespace dchost {
class HostConnection;
}

struct DcEntries;
class FirmwareSession;

class devices_handler final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(devices_handler)

public:
    // The product code passed with every device call, the device-list block and the
    // transfer block sizes of the library's interface.
    static constexpr quint32 kProductCode = 4118;
    static constexpr int kListBlockSize = 42102;
    static constexpr int kBlockSize = 2048;

    // Loads libdc from the application folder and registers the event callback.
    explicit devices_handler(QObject *parent = nullptr);
    // Loads the library from the given file instead (another folder, tests).
    devices_handler(const QString &libraryFile, QObject *parent);
    // Loads the library through the given host program, whatever the library's kind (tests).
    devices_handler(const QString &libraryFile, const QString &hostProgram, QObject *parent);
    ~devices_handler() override;

    // The library file the default constructor loads: libdc.so in the application folder
    // ("libdc.dll" by bare name on Windows, where the application folder is searched first).
    static QString defaultLibraryFile();
    // The host that loads a 32-bit library: dchost in the application folder.
    static QString defaultHostProgram();

    // True when the library is loaded, in this process or by the host.
    bool isLoaded() const;
    bool loadedThroughHost() const { return m_host != nullptr; }
    // The names of the library's entry points that were not found, in lookup order (all
    // eighteen without the library).
    QStringList missingEntries() const;

    // The last listing keyed by DeviceID (first entry: the device the update
    // check reports and the firmware update addresses).
    const DeviceTable &deviceTable() const;
    void refreshDevices();

    // Lists the devices into a zeroed 42102-byte block (count 0 without dcDevices) and
    // subscribes to the first listed device's data.
    QByteArray listDevices();
    // dcNotify with the 16-bit value (low byte: type, high byte: data). True on result 0;
    // false without the entry.
    bool notify(const QString &id, int type, int data);
    // A zeroed 2048-byte block with size bytes read at address (size bounded to 0..2048);
    // the block stays zero without dcRead or when the read fails. failed (when given) tells
    // whether dcRead answered a non-zero result (a missing entry is not a failure here).
    QByteArray read(const QString &id, int size, quint32 address, bool *failed = nullptr);
    // dcWrite of size bytes of data (a 2048-byte block; size bounded to 0..2048) at address.
    // True on result 0; false without the entry.
    bool write(const QString &id, const QByteArray &data, int size, quint32 address);
    // A zeroed 2048-byte block with size bytes of property propId (size bounded to
    // 0..2048); the block stays zero without dcReadProp.
    QByteArray readProp(const QString &id, int size, quint32 propId);
    // dcWriteProp of size bytes of data (bounded like write). True on result 0; false
    // without the entry.
    bool writeProp(const QString &id, const QByteArray &data, int size, quint32 propId);

    // True for a device whose calls may wait for a daemon, as its record in a listing of this
    // manager said (DC_FLAG_CALLS_WAIT: the mice of ratbagd). The device commands run such
    // calls through post(), so the GUI thread never waits for a daemon; every other call
    // (the simulated mouse, a service's state, an ID never listed) stays where it is. A
    // device stays so once listed, so its commands keep their order after it goes away.
    bool callsMayWait(const QString &id) const;
    // Runs job on the manager's worker thread, after every job posted before it (one at a
    // time, in order). The manager stays alive while a job runs: its destructor drops the jobs
    // still waiting and waits for the running one.
    void post(std::function<void()> job);

    // The ROM operations of a firmware update. One session at a time: null while another
    // is open.
    std::unique_ptr<FirmwareSession> openFirmwareSession();
    // True while a firmware session is open (a flash is running).
    bool firmwareSessionOpen() const { return m_firmwareSessionOpen; }

    // The process-wide event counter (0..4): events are acted on when it is 0, so the first
    // event and every fifth after it refresh the table and reach the page.
    static int eventCounter();
    static void resetEventCounter();

signals:
    // Emitted on the main thread: an acted-on device event (low 16 bits) and
    // the first device's data as 16 lowercase hex digits.
    void devicesChanged(int value);
    void deviceData(const QString &hex);
    // The firmware session has closed (the flash has ended, whatever its outcome).
    void firmwareSessionClosed();

private:
    void load(const QString &libraryFile, QString hostProgram);
    void loadInProcess(const QString &libraryFile);
    void loadThroughHost(const QString &libraryFile, const QString &hostProgram);
    void handleDeviceEvent(quint32 value);
    void handleDeviceData(const QString &hex);
    static bool eventCallback(uint32_t event);
    static bool dataCallback(const DcDataRecord *record, uint32_t reserved);

    class RomSession;
    friend class RomSession;

    QLibrary m_library;
    std::unique_ptr<dchost::HostConnection> m_host;
    std::unique_ptr<DcEntries> m_entries;
    QThreadPool m_worker;
    DeviceTable m_table;
    mutable QMutex m_waitingMutex;
    QSet<QString> m_waiting; // hardware IDs in lower case whose calls may wait
    bool m_firmwareSessionOpen = false;
};

} // namespace kelv
