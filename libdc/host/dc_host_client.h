#pragma once

// The program's side of the device-library host: a 64-bit program cannot load the mouse
// maker's 32-bit libdc.dll, so the 32-bit host process dchost.exe loads it and serves its
// eighteen entry points over two named pipes (wire.h). A HostConnection starts the host
// and gives an entry table of plain function pointers with the library's own signatures:
// the device manager uses it exactly like the table of a library loaded into the process.
// Callbacks registered through it run on the connection's own thread, in the order the
// library made them. The transfer calls (dcRead, dcWrite, dcReadProp, dcWriteProp,
// dcBornRom) take whole transfer blocks, DC_TRANSFER_SIZE bytes (or size when larger), as
// the library's interface has them; their whole block travels.

#include "libdc/dc_entries.h"

#include <cstdint>
#include <memory>
#include <string>

namespace kelv::dchost {

// How long callbacks took from the library's call in the host to the call in this process.
struct CallbackDelays
{
    std::uint64_t count = 0;
    double lastMs = 0;
    double minMs = 0;
    double maxMs = 0;
    double totalMs = 0;
};

class HostConnection
{
public:
    // Starts hostProgram, which loads libraryFile (empty: its default, see
    // HostLibrary::defaultFile), and waits for its hello. Null with a reason in *error when
    // the host could not be started, did not answer within a few seconds, or could not load
    // the library.
    static std::unique_ptr<HostConnection>
    start(const std::string &hostProgram, const std::string &libraryFile, std::string *error);
    // Ends the host (its library's callbacks stop) after the last callback in progress.
    ~HostConnection();
    HostConnection(const HostConnection &) = delete;
    HostConnection &operator=(const HostConnection &) = delete;

    // The entry points; null where the host's library lacks the name. One connection serves
    // the process at a time: the entries always reach the latest one started. While there
    // is none, or when its host has gone away, every entry answers DC_DEVICE_FAULT (and a
    // listing leaves the block as it was).
    const DcEntries &entries() const { return m_entries; }
    std::uint64_t hostPid() const;
    CallbackDelays callbackDelays() const;

    struct Session;

private:
    explicit HostConnection(std::shared_ptr<Session> session);

    std::shared_ptr<Session> m_session;
    DcEntries m_entries;
};

} // namespace kelv::dchost
