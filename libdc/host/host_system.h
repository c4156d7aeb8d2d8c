#pragma once

// The system calls of the device-library host and of its client, one implementation per
// system (host_system_win.cpp: named pipes, CreateProcessW, LoadLibraryW;
// host_system_posix.cpp: socket pairs handed to the child, posix_spawn, dlopen).

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kelv::dchost {

class WireWriter;

// One end of a byte stream to the other process. One reader and one writer at a time.
class Channel
{
public:
    struct Impl;
    explicit Channel(std::unique_ptr<Impl> impl);
    ~Channel();
    Channel(const Channel &) = delete;
    Channel &operator=(const Channel &) = delete;

    // Fills the whole buffer; false when the stream ended, failed, was shut down or (with a
    // timeout) nothing complete arrived in time.
    bool read(void *data, std::size_t size,
              std::chrono::milliseconds timeout = std::chrono::milliseconds(-1));
    bool write(const void *data, std::size_t size);
    // Makes a read or write blocked on another thread return false, and every later one.
    void shutdown();

private:
    std::unique_ptr<Impl> m_impl;
};

// A frame (see wire.h) whole, or false.
bool readFrame(Channel &channel, std::string *payload,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(-1));
bool writeFrame(Channel &channel, const WireWriter &message);

// The program's side: the started host process and its two channels.
class HostProcess
{
public:
    struct Impl;
    // Starts hostProgram with the endpoint of two new channels as its first argument and
    // then the extra arguments, and waits (at most the timeout) until it has connected
    // both. Null with a reason in *error when it could not be started or did not connect.
    static std::unique_ptr<HostProcess> start(const std::string &hostProgram,
                                              const std::vector<std::string> &arguments,
                                              std::chrono::milliseconds timeout,
                                              std::string *error);
    explicit HostProcess(std::unique_ptr<Impl> impl);
    // Shuts both channels down, gives the host a moment to end by itself, then ends it.
    ~HostProcess();
    HostProcess(const HostProcess &) = delete;
    HostProcess &operator=(const HostProcess &) = delete;

    Channel &calls();
    Channel &events();
    std::uint64_t pid() const;
    // True once the process has ended; *exitCode then holds its exit code.
    bool ended(long *exitCode = nullptr) const;

private:
    std::unique_ptr<Impl> m_impl;
};

// The host's side: the channels its first argument names. False when they cannot be opened.
bool openHostChannels(const std::string &endpoint, std::unique_ptr<Channel> *calls,
                      std::unique_ptr<Channel> *events);

// The device library as the host loads it.
class HostLibrary
{
public:
    // file: a path, or a bare name the system searches for (the host's own folder first).
    explicit HostLibrary(const std::string &file);
    ~HostLibrary(); // the library stays loaded: its thread may still call back
    HostLibrary(const HostLibrary &) = delete;
    HostLibrary &operator=(const HostLibrary &) = delete;

    bool loaded() const { return m_handle != nullptr; }
    const std::string &error() const { return m_error; }
    void *find(const char *name) const;

    // The library's file name when none is given: "libdc.dll" by bare name on Windows,
    // libdc.so beside the host on Linux.
    static std::string defaultFile();

private:
    void *m_handle = nullptr;
    std::string m_error;
};

} // namespace kelv::dchost
