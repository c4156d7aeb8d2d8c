#include "libdc/host/dc_host_client.h"

#include "libdc/host/host_system.h"
#include "libdc/host/wire.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

namespace kelv::dchost {

// Starting a 32-bit process the first time may take Windows (or Wine) a few seconds.
constexpr std::chrono::seconds kStartTimeout{20};

struct HostConnection::Session
{
    std::unique_ptr<HostProcess> host;
    std::mutex callMutex;
    bool broken = false; // a call failed half-way: the calls channel is out of step
    std::atomic<DcEventCallback> eventCallback{nullptr};
    std::atomic<DcDataCallback> dataCallback{nullptr};
    std::thread eventThread;
    mutable std::mutex delayMutex;
    CallbackDelays delays;
};

namespace {

using Session = HostConnection::Session;

std::mutex g_currentMutex;
std::shared_ptr<Session> g_current;

std::shared_ptr<Session> currentSession()
{
    std::lock_guard<std::mutex> lock(g_currentMutex);
    return g_current;
}

// Sends one request and takes its reply's payload; false when no host answers.
bool exchange(const WireWriter &request, std::string *reply)
{
    const std::shared_ptr<Session> session = currentSession();
    if (!session)
        return false;
    std::lock_guard<std::mutex> lock(session->callMutex);
    if (session->broken)
        return false;
    if (writeFrame(session->host->calls(), request) && readFrame(session->host->calls(), reply))
        return true;
    session->broken = true;
    return false;
}

// The host's result of one call; readOut takes the buffers the entry wrote. A call that
// got no complete answer is a device that did not answer.
int32_t callHost(const WireWriter &request,
                 const std::function<bool(WireReader &)> &readOut = nullptr)
{
    std::string payload;
    if (!exchange(request, &payload))
        return DC_DEVICE_FAULT;
    WireReader reader(payload);
    std::uint32_t result = 0;
    if (!reader.u32(&result) || (readOut && !readOut(reader)))
        return DC_DEVICE_FAULT;
    return int32_t(result);
}

// A buffer the entry wrote, back into the caller's (size bytes, or none when null).
std::function<bool(WireReader &)> copyBack(void *buffer, std::size_t size)
{
    return [buffer, size](WireReader &reader) {
        std::optional<std::string> bytes;
        if (!reader.bytes(&bytes) || bytes.has_value() != (buffer != nullptr))
            return false;
        if (!buffer)
            return true;
        if (bytes->size() != size)
            return false;
        std::memcpy(buffer, bytes->data(), size);
        return true;
    };
}

WireWriter request(Call call)
{
    WireWriter writer;
    writer.u8(static_cast<std::uint8_t>(call));
    return writer;
}

WireWriter deviceRequest(Call call, const char16_t *id, const char16_t *sub, uint32_t code)
{
    WireWriter writer = request(call);
    writer.text(id).text(sub).u32(code);
    return writer;
}

template <typename Callback> Holder holderState(const Callback *holder)
{
    return !holder ? Holder::Missing : *holder ? Holder::HoldsCallback : Holder::HoldsNull;
}

// The callback is kept here before the library hears of it (so no early call is lost) and
// the previous one comes back when the library refuses the registration.
template <typename Callback>
int32_t registerCallback(std::atomic<Callback> Session::*slot, const Callback *holder,
                         const WireWriter &message)
{
    const std::shared_ptr<Session> session = currentSession();
    if (!session)
        return DC_DEVICE_FAULT;
    std::atomic<Callback> &kept = (*session).*slot;
    const Callback previous = holder ? kept.exchange(*holder) : kept.load();
    const int32_t result = callHost(message);
    if (result != DC_OK && holder) {
        Callback expected = *holder;
        kept.compare_exchange_strong(expected, previous);
    }
    return result;
}

int32_t DC_CALL remoteDeviceExist(const char16_t *id)
{
    WireWriter message = request(Call::DeviceExist);
    message.text(id);
    return callHost(message);
}

int32_t DC_CALL remoteDevices(DcFilter filter, uint8_t *block, uint32_t size)
{
    if (size > kMaxBuffer)
        return DC_BAD_ARGUMENT;
    WireWriter message = request(Call::Devices);
    for (std::uint32_t word : filter.words)
        message.u32(word);
    message.u32(size).bytes(block, size);
    return callHost(message, copyBack(block, size));
}

int32_t DC_CALL remoteOnDeviceEvent(const DcEventCallback *holder)
{
    WireWriter message = request(Call::OnDeviceEvent);
    message.u8(static_cast<std::uint8_t>(holderState(holder)));
    return registerCallback(&Session::eventCallback, holder, message);
}

int32_t DC_CALL remoteOnDeviceData(const char16_t *hardwareId, const char16_t *devicePath,
                                   uint32_t code, const DcDataCallback *holder)
{
    WireWriter message = request(Call::OnDeviceData);
    message.text(hardwareId).text(devicePath).u32(code);
    message.u8(static_cast<std::uint8_t>(holderState(holder)));
    return registerCallback(&Session::dataCallback, holder, message);
}

int32_t DC_CALL remoteAsk(const char16_t *id, const char16_t *sub, uint32_t code, uint32_t question,
                          char *answer, uint32_t size)
{
    if (size > kMaxBuffer)
        return DC_BAD_ARGUMENT;
    WireWriter message = deviceRequest(Call::Ask, id, sub, code);
    message.u32(question).u32(size).bytes(answer, size);
    return callHost(message, copyBack(answer, size));
}

// dcReset and dcNotify: one byte out.
int32_t valueCall(Call call, const char16_t *id, const char16_t *sub, uint32_t code, uint16_t value,
                  uint8_t *out, uint32_t reserved)
{
    WireWriter message = deviceRequest(call, id, sub, code);
    message.u16(value).bytes(out, 1).u32(reserved);
    return callHost(message, copyBack(out, 1));
}

int32_t DC_CALL remoteReset(const char16_t *id, const char16_t *sub, uint32_t code, uint16_t value,
                            uint8_t *out, uint32_t reserved)
{
    return valueCall(Call::Reset, id, sub, code, value, out, reserved);
}

int32_t DC_CALL remoteNotify(const char16_t *id, const char16_t *sub, uint32_t code, uint16_t value,
                             uint8_t *out, uint32_t reserved)
{
    return valueCall(Call::Notify, id, sub, code, value, out, reserved);
}

// The transfer calls' buffers are whole transfer blocks (DC_TRANSFER_SIZE bytes, or size
// when that is larger), as the interface has them: the whole block travels both ways, so a
// library that touches the block past size does so on the host's copy, and what it wrote
// reaches the caller's block as it would in-process.
uint32_t transferBlockSize(uint32_t size)
{
    return size > DC_TRANSFER_SIZE ? size : DC_TRANSFER_SIZE;
}

// dcRead and dcReadProp: the block out.
int32_t readCall(Call call, const char16_t *id, const char16_t *sub, uint32_t code, uint8_t *buf,
                 uint32_t size, uint32_t where)
{
    const uint32_t block = transferBlockSize(size);
    if (block > kMaxBuffer)
        return DC_BAD_ARGUMENT;
    WireWriter message = deviceRequest(call, id, sub, code);
    message.u32(size).u32(where).bytes(buf, block);
    return callHost(message, copyBack(buf, block));
}

// dcWrite, dcWriteProp and dcBornRom: the block in.
int32_t writeCall(Call call, const char16_t *id, const char16_t *sub, uint32_t code,
                  const uint8_t *buf, uint32_t size, uint32_t where)
{
    const uint32_t block = transferBlockSize(size);
    if (block > kMaxBuffer)
        return DC_BAD_ARGUMENT;
    WireWriter message = deviceRequest(call, id, sub, code);
    message.u32(size).u32(where).bytes(buf, block);
    return callHost(message);
}

int32_t DC_CALL remoteRead(const char16_t *id, const char16_t *sub, uint32_t code, uint8_t *buf,
                           uint32_t size, uint32_t address)
{
    return readCall(Call::Read, id, sub, code, buf, size, address);
}

int32_t DC_CALL remoteWrite(const char16_t *id, const char16_t *sub, uint32_t code,
                            const uint8_t *buf, uint32_t size, uint32_t address)
{
    return writeCall(Call::Write, id, sub, code, buf, size, address);
}

int32_t DC_CALL remoteReadProp(const char16_t *id, const char16_t *sub, uint32_t code, uint8_t *buf,
                               uint32_t size, uint32_t propId)
{
    return readCall(Call::ReadProp, id, sub, code, buf, size, propId);
}

int32_t DC_CALL remoteWriteProp(const char16_t *id, const char16_t *sub, uint32_t code,
                                const uint8_t *buf, uint32_t size, uint32_t propId)
{
    return writeCall(Call::WriteProp, id, sub, code, buf, size, propId);
}

int32_t DC_CALL remoteScriptOut(const char16_t *id, const char16_t *sub, uint32_t code,
                                char *script, uint32_t size)
{
    if (size > kMaxBuffer)
        return DC_BAD_ARGUMENT;
    WireWriter message = deviceRequest(Call::ScriptOut, id, sub, code);
    message.u32(size).bytes(script, size);
    return callHost(message, copyBack(script, size));
}

int32_t DC_CALL remoteIDWrite(const char16_t *id, const char16_t *sub, uint32_t code,
                              const char *serial)
{
    const std::size_t length = serial ? strnlen(serial, kMaxBuffer + 1) : 0;
    if (length > kMaxBuffer)
        return DC_BAD_ARGUMENT;
    WireWriter message = deviceRequest(Call::IDWrite, id, sub, code);
    message.bytes(serial, length);
    return callHost(message);
}

int32_t DC_CALL remoteRebootRom(const char16_t *id, const char16_t *sub, uint32_t code)
{
    return callHost(deviceRequest(Call::RebootRom, id, sub, code));
}

int32_t DC_CALL remoteFinishUpdateRom(const char16_t *id, const char16_t *sub, uint32_t code)
{
    return callHost(deviceRequest(Call::FinishUpdateRom, id, sub, code));
}

int32_t DC_CALL remoteCheckRom(const char16_t *id, const char16_t *sub, uint32_t code,
                               uint32_t length, uint32_t check)
{
    WireWriter message = deviceRequest(Call::CheckRom, id, sub, code);
    message.u32(length).u32(check);
    return callHost(message);
}

int32_t DC_CALL remoteBornRom(const char16_t *id, const char16_t *sub, uint32_t code,
                              const uint8_t *buf, uint32_t length, uint32_t offset)
{
    return writeCall(Call::BornRom, id, sub, code, buf, length, offset);
}

int32_t DC_CALL remoteEraseRom(const char16_t *id, const char16_t *sub, uint32_t code)
{
    return callHost(deviceRequest(Call::EraseRom, id, sub, code));
}

const DcEntries kRemoteEntries = {
    remoteDeviceExist, remoteDevices,   remoteOnDeviceEvent,   remoteOnDeviceData,
    remoteAsk,         remoteReset,     remoteNotify,          remoteRead,
    remoteWrite,       remoteReadProp,  remoteWriteProp,       remoteScriptOut,
    remoteIDWrite,     remoteRebootRom, remoteFinishUpdateRom, remoteCheckRom,
    remoteBornRom,     remoteEraseRom,
};

void noteDelay(Session &session, std::uint64_t sentAt)
{
    const std::uint64_t now = steadyNanoseconds();
    const double ms = now > sentAt ? double(now - sentAt) / 1e6 : 0.0;
    std::lock_guard<std::mutex> lock(session.delayMutex);
    CallbackDelays &d = session.delays;
    d.minMs = d.count == 0 || ms < d.minMs ? ms : d.minMs;
    d.maxMs = ms > d.maxMs ? ms : d.maxMs;
    ++d.count;
    d.lastMs = ms;
    d.totalMs += ms;
}

// The connection's own thread: every callback the host forwards, in order, until the
// host goes away or the connection ends.
void deliverCallbacks(Session &session)
{
    std::string payload;
    while (readFrame(session.host->events(), &payload)) {
        WireReader reader(payload);
        std::uint8_t kind = 0;
        std::uint64_t sentAt = 0;
        if (!reader.u8(&kind) || !reader.u64(&sentAt))
            return;
        if (kind == std::uint8_t(EventKind::DeviceEvent)) {
            std::uint32_t event = 0;
            if (!reader.u32(&event))
                return;
            noteDelay(session, sentAt);
            if (const DcEventCallback callback = session.eventCallback.load())
                callback(event);
        } else if (kind == std::uint8_t(EventKind::DeviceData)) {
            std::optional<std::string> data;
            std::uint32_t reserved = 0;
            if (!reader.bytes(&data, kMaxReport) || !reader.u32(&reserved))
                return;
            noteDelay(session, sentAt);
            const DcDataRecord record{data ? pointerTo(data) : nullptr,
                                      data ? std::uint32_t(data->size()) : 0};
            if (const DcDataCallback callback = session.dataCallback.load())
                callback(&record, reserved);
        }
    }
}

// The host's hello: the library loaded (and which entries it has), or why not.
bool readHello(Channel &calls, std::uint32_t *entryMask, std::string *error)
{
    std::string payload;
    if (!readFrame(calls, &payload, kStartTimeout)) {
        *error = "the device-library host did not answer";
        return false;
    }
    WireReader reader(payload);
    char magic[4] = {};
    std::uint32_t version = 0;
    std::uint8_t loaded = 0;
    std::optional<std::string> reason;
    if (!reader.raw(magic, 4) || std::memcmp(magic, kHelloMagic, 4) != 0 || !reader.u32(&version) ||
        version != kProtocolVersion || !reader.u8(&loaded) || !reader.u32(entryMask) ||
        !reader.bytes(&reason)) {
        *error = "the device-library host speaks another protocol";
        return false;
    }
    if (!loaded) {
        *error = reason.value_or("the device-library host could not load the library");
        return false;
    }
    return true;
}

} // namespace

HostConnection::HostConnection(std::shared_ptr<Session> session) : m_session(std::move(session)) {}

std::unique_ptr<HostConnection> HostConnection::start(const std::string &hostProgram,
                                                      const std::string &libraryFile,
                                                      std::string *error)
{
    std::vector<std::string> arguments;
    if (!libraryFile.empty())
        arguments.push_back(libraryFile);
    auto session = std::make_shared<Session>();
    session->host = HostProcess::start(hostProgram, arguments, kStartTimeout, error);
    std::uint32_t entryMask = 0;
    if (!session->host || !readHello(session->host->calls(), &entryMask, error))
        return nullptr;

    std::unique_ptr<HostConnection> connection(new HostConnection(session));
    DcEntries &entries = connection->m_entries;
    entries = kRemoteEntries;
    unsigned index = 0;
    forEachDcEntry(entries, [&](const char *, auto &entry) {
        if (!(entryMask & (1u << index++)))
            entry = nullptr;
    });
    Session *events = session.get();
    session->eventThread = std::thread([events] { deliverCallbacks(*events); });
    std::lock_guard<std::mutex> lock(g_currentMutex);
    g_current = session;
    return connection;
}

HostConnection::~HostConnection()
{
    {
        std::lock_guard<std::mutex> lock(g_currentMutex);
        if (g_current == m_session)
            g_current.reset();
    }
    // A call in progress gives up; the callback thread ends after the callback it runs.
    m_session->host->calls().shutdown();
    m_session->host->events().shutdown();
    if (m_session->eventThread.joinable())
        m_session->eventThread.join();
}

std::uint64_t HostConnection::hostPid() const
{
    return m_session->host->pid();
}

CallbackDelays HostConnection::callbackDelays() const
{
    std::lock_guard<std::mutex> lock(m_session->delayMutex);
    return m_session->delays;
}

} // namespace kelv::dchost
