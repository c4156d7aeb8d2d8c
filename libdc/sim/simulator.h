#pragma once

// The simulated mouse over its state folder. One Simulator lives in every process that
// uses the device (the program through libdc, and dcsim); they share the folder:
//
//   mouse.state  identity, properties, plug state, firmware progress, injected faults
//                (text with a CRC line; written atomically)
//   memory.bin   the 64 KiB onboard memory
//   rom.bin      the firmware bytes written since the last erase
//   queue        device events and data reports, one line each, read by every process
//   lock         flock()ed around every access, so processes see each other's changes
//   dc.log       device and firmware operations with their results
//
// Every call takes the lock, reloads whatever another process changed, acts and saves.
// A missing, damaged or unreadable state file gives the factory-default mouse, plugged in.
//
// The code by role: the folder and construction in simulator.cpp, the lock in
// simulator_lock.cpp, the state files in simulator_storage.cpp, the queue and log in
// simulator_queue.cpp, the device calls in simulator_device.cpp, the firmware calls in
// simulator_firmware.cpp, dcsim's controls in simulator_control.cpp.

#include "libdc/backend.h"
#include "libdc/sim/sim_state.h"
#include "libdc/sim_files.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kelv::sim {

// One line of the queue: a device event or an 8-byte data report.
struct QueueItem
{
    enum Kind { Event, Data } kind = Event;
    uint32_t event = 0;
    std::array<uint8_t, 8> data{};
};

// The interfaces of the composite mouse (mouse, keyboard, consumer control, system
// control, vendor): each arrival or removal reaches the host as this many device events.
constexpr int kInterfaceCount = 5;

// The message of a control call that could not take the state folder's lock.
extern const char kBusyMessage[];

class Simulator
{
public:
    Simulator();
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Points the simulator at a state folder (created when missing). Switching folders
    // forgets everything cached and starts reading the new folder's queue at its end.
    // Returns whether it did so (false: the folder was already the one in use).
    bool setFolder(const std::string &folder);
    // Called (under the simulator's lock) when an item could not go into the
    // state folder's queue and waits in this process for poll(): nothing in the
    // folder changes, so whoever polls must be woken otherwise. Set before any
    // other thread uses the simulator.
    void setLocalItemWake(std::function<void()> wake) { m_localItemWake = std::move(wake); }
    std::string folder() const;

    // --- device calls; ids are UTF-16 hardware IDs, results as in libdc.h ---
    int32_t deviceExist(const char16_t *id);
    // Appends the visible device's record when the filter admits its interface.
    int32_t list(const uint32_t filter[20], std::vector<dc::Record> *out);
    // Checks that id names a visible device that can send data (for dconDeviceData).
    int32_t subscribeCheck(const char16_t *id, uint32_t code);
    int32_t ask(const char16_t *id, uint32_t code, uint32_t question, char *answer, uint32_t size);
    int32_t reset(const char16_t *id, uint32_t code, uint16_t value, uint8_t *out);
    int32_t notify(const char16_t *id, uint32_t code, uint16_t value, uint8_t *out);
    int32_t read(const char16_t *id, uint32_t code, uint8_t *buf, uint32_t size, uint32_t address);
    int32_t write(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t size,
                  uint32_t address);
    int32_t readProp(const char16_t *id, uint32_t code, uint8_t *buf, uint32_t size,
                     uint32_t propId);
    int32_t writeProp(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t size,
                      uint32_t propId);
    int32_t scriptOut(const char16_t *id, uint32_t code, char *script, uint32_t size);
    int32_t idWrite(const char16_t *id, uint32_t code, const char *serial);
    int32_t rebootRom(const char16_t *id, uint32_t code);
    int32_t finishUpdateRom(const char16_t *id, uint32_t code);
    int32_t checkRom(const char16_t *id, uint32_t code, uint32_t length, uint32_t check);
    int32_t bornRom(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t length,
                    uint32_t offset);
    int32_t eraseRom(const char16_t *id, uint32_t code);

    // --- control (dcsim); each returns false with a message when it cannot act ---
    bool plug(bool plugged, std::string *message);
    bool sendData(const std::array<uint8_t, 8> &report, std::string *message);
    bool press(int button, std::string *message);
    bool setFaults(unsigned faults);
    bool setBootDelay(int ms);
    bool setUnplugAfter(int count, const std::string &op);
    bool factoryReset();
    // Takes the folder's lock, calls whileHeld, keeps the lock for ms milliseconds (a
    // device that stops answering half way).
    bool holdLock(int ms, const std::function<void()> &whileHeld);
    // current: false when the lock could not be taken and the state is the last one seen.
    MouseState snapshot(bool *current = nullptr);
    std::vector<uint8_t> memory(uint32_t address, uint32_t size);
    std::vector<uint8_t> rom();
    bool storageWorks();

    // --- the library's watcher: applies timed transitions and returns the events and
    // data reports that arrived since the last poll (own ones and other processes') ---
    // soon: set when the watcher should look again shortly whatever the folder
    // does (a timed transition is due, or there is no folder to watch).
    std::vector<QueueItem> poll(bool *soon = nullptr);

private:
    class Lock;
    friend class Lock;

    void refreshLocked();
    void loadStateLocked();
    void loadMemoryLocked();
    void loadRomLocked();
    void applyTimersLocked();
    // Writes one file of the state folder atomically and remembers its identity.
    bool saveFileLocked(const char *name, const void *data, size_t size, FileId *id);
    bool saveStateLocked();
    bool saveMemoryLocked();
    bool saveRomLocked();
    void emitLocked(const QueueItem &item);
    void emitVisibilityChangeLocked(Visible before);
    void logLocked(const std::string &line);
    void readQueueLocked(std::vector<QueueItem> *items);
    void openQueueAtEndLocked();
    void closeQueueLocked();
    void setModeLocked(Mode mode);

    // Common checks of a device call: product code, presence, the device kind it needs
    // (Visible::None: either), and the injected faults and unplug countdown of its kind.
    int32_t admitLocked(const char16_t *id, uint32_t code, Visible needs, Visible *which);
    int32_t faultLocked(unsigned fault, OpKind kind);
    void sendStageReportLocked(int stage);

    std::string path(const char *name) const;

    mutable std::timed_mutex m_mutex;
    std::atomic<bool> m_lockBusy{false}; // the last wait for the lock timed out
    std::string m_folder;
    int m_lockFd = -1;
    bool m_folderReady = false;
    std::string m_instance;

    bool m_stateLoaded = false;
    FileId m_stateId, m_memoryId, m_romId;
    MouseState m_state;
    std::vector<uint8_t> m_memory;
    std::vector<uint8_t> m_rom;

    int m_queueFd = -1;
    FileId m_queueId;
    std::string m_queuePartial;
    std::deque<QueueItem> m_local; // emitted here; delivered by poll()
    std::function<void()> m_localItemWake;
    // The result of this process's last write call (property 66); also set when the call
    // could not take the lock.
    std::atomic<int32_t> m_lastResult{0};
};

// Case-insensitive comparison of a UTF-16 ID with an ASCII text.
bool sameId(const char16_t *id, const char *ascii);

using dc::copyText;

} // namespace kelv::sim
