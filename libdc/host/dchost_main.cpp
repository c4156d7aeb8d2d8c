// dchost: loads the device library (on Windows the mouse maker's 32-bit libdc.dll, by its
// bare name, so the host's own folder is searched first) and serves its eighteen entry
// points to the program over the channels its first argument names (wire.h). The library's
// event and data callbacks are forwarded as they come. The host ends when the program
// closes the channels (or goes away).
//
//   dchost <endpoint> [library file]
//
// Arguments are UTF-8, as the program gives them (platform/program_arguments.h).

#include "libdc/dc_entries.h"
#include "libdc/host/host_system.h"
#include "libdc/host/wire.h"
#include "platform/program_arguments.h"

#include <cstdio>
#include <mutex>
#include <type_traits>

using namespace kelv;
using namespace kelv::dchost;

namespace {

DcEntries g_entries;
std::unique_ptr<Channel> g_events;
std::mutex g_eventsMutex;

void forward(const WireWriter &message)
{
    std::lock_guard<std::mutex> lock(g_eventsMutex);
    writeFrame(*g_events, message); // a program that went away ends the host's main loop
}

bool DC_CALL forwardEvent(uint32_t event)
{
    WireWriter message;
    message.u8(std::uint8_t(EventKind::DeviceEvent)).u64(steadyNanoseconds()).u32(event);
    forward(message);
    return true;
}

bool DC_CALL forwardData(const DcDataRecord *record, uint32_t reserved)
{
    WireWriter message;
    message.u8(std::uint8_t(EventKind::DeviceData)).u64(steadyNanoseconds());
    const std::uint32_t size = record && record->data ? record->size : 0;
    message.bytes(record ? record->data : nullptr, size < kMaxReport ? size : kMaxReport);
    message.u32(reserved);
    forward(message);
    return true;
}

const DcEventCallback kEventHolder = forwardEvent;
const DcDataCallback kDataHolder = forwardData;
const DcEventCallback kNoEvent = nullptr;
const DcDataCallback kNoData = nullptr;

template <typename Callback>
const Callback *holderFor(std::uint8_t state, const Callback *forwarding, const Callback *none)
{
    switch (Holder(state)) {
    case Holder::HoldsCallback:
        return forwarding;
    case Holder::HoldsNull:
        return none;
    default:
        return nullptr;
    }
}

// One call: its arguments as the program sent them, the entry called with them, and the
// buffers it may have written. A malformed request is answered DC_BAD_ARGUMENT.
class Request
{
public:
    explicit Request(const std::string &payload) : m_in(payload) {}

    void answer(Channel &calls)
    {
        std::uint8_t call = 0;
        const int32_t result = m_in.u8(&call) ? serve(Call(call)) : DC_BAD_ARGUMENT;
        WireWriter reply;
        if (result == kMalformed) {
            reply.u32(std::uint32_t(DC_BAD_ARGUMENT));
        } else {
            reply.u32(std::uint32_t(result));
            reply.raw(m_out.payload().data(), m_out.payload().size());
        }
        writeFrame(calls, reply);
    }

private:
    static constexpr int32_t kMalformed = -1;

    bool device() { return m_in.text(&m_id) && m_in.text(&m_sub) && m_in.u32(&m_code); }

    template <typename Entry, typename Invoke> int32_t run(Entry entry, bool parsed, Invoke invoke)
    {
        if (!parsed || !m_in.atEnd())
            return kMalformed;
        return entry ? invoke(entry) : DC_BAD_ARGUMENT;
    }

    int32_t serve(Call call)
    {
        const DcEntries &e = g_entries;
        std::uint32_t a = 0;
        std::uint32_t b = 0;
        std::uint16_t value = 0;
        std::uint8_t state = 0;
        std::optional<std::string> buffer;
        switch (call) {
        case Call::DeviceExist:
            return run(e.dcDeviceExist, m_in.text(&m_id), [&](auto f) { return f(id()); });
        case Call::Devices: {
            DcFilter filter{};
            bool parsed = true;
            for (std::uint32_t &word : filter.words)
                parsed = parsed && m_in.u32(&word);
            parsed = parsed && m_in.u32(&a) && m_in.bytes(&buffer);
            return run(e.dcDevices, parsed, [&](auto f) {
                const int32_t r = f(filter, pointerTo(buffer), a);
                m_out.bytes(pointerTo(buffer), buffer ? buffer->size() : 0);
                return r;
            });
        }
        case Call::OnDeviceEvent:
            return run(e.dcOnDeviceEvent, m_in.u8(&state),
                       [&](auto f) { return f(holderFor(state, &kEventHolder, &kNoEvent)); });
        case Call::OnDeviceData:
            return run(e.dconDeviceData,
                       m_in.text(&m_id) && m_in.text(&m_sub) && m_in.u32(&m_code) &&
                           m_in.u8(&state),
                       [&](auto f) {
                           return f(id(), sub(), m_code, holderFor(state, &kDataHolder, &kNoData));
                       });
        case Call::Ask:
            return run(e.dcAsk, device() && m_in.u32(&a) && m_in.u32(&b) && m_in.bytes(&buffer),
                       [&](auto f) {
                           const int32_t r = f(id(), sub(), m_code, a,
                                               reinterpret_cast<char *>(pointerTo(buffer)), b);
                           return written(r, buffer);
                       });
        case Call::Reset:
        case Call::Notify:
            return run(call == Call::Reset ? e.dcReset : e.dcNotify,
                       device() && m_in.u16(&value) && m_in.bytes(&buffer, 1) && m_in.u32(&a),
                       [&](auto f) {
                           return written(f(id(), sub(), m_code, value, pointerTo(buffer), a),
                                          buffer);
                       });
        case Call::Read:
        case Call::ReadProp:
            return run(call == Call::Read ? e.dcRead : e.dcReadProp,
                       device() && m_in.u32(&a) && m_in.u32(&b) && m_in.bytes(&buffer),
                       [&](auto f) {
                           return written(f(id(), sub(), m_code, pointerTo(buffer), a, b), buffer);
                       });
        case Call::Write:
        case Call::WriteProp:
        case Call::BornRom: {
            const auto entry = call == Call::Write       ? e.dcWrite
                               : call == Call::WriteProp ? e.dcWriteProp
                                                         : e.dcBornRom;
            return run(entry, device() && m_in.u32(&a) && m_in.u32(&b) && m_in.bytes(&buffer),
                       [&](auto f) { return f(id(), sub(), m_code, pointerTo(buffer), a, b); });
        }
        case Call::ScriptOut:
            return run(e.dcScriptOut, device() && m_in.u32(&a) && m_in.bytes(&buffer), [&](auto f) {
                return written(
                    f(id(), sub(), m_code, reinterpret_cast<char *>(pointerTo(buffer)), a), buffer);
            });
        case Call::IDWrite:
            return run(e.dcIDWrite, device() && m_in.bytes(&buffer), [&](auto f) {
                return f(id(), sub(), m_code, buffer ? buffer->c_str() : nullptr);
            });
        case Call::RebootRom:
            return run(e.dcRebootRom, device(), [&](auto f) { return f(id(), sub(), m_code); });
        case Call::FinishUpdateRom:
            return run(e.dcFinishUpdateRom, device(),
                       [&](auto f) { return f(id(), sub(), m_code); });
        case Call::EraseRom:
            return run(e.dcEraseRom, device(), [&](auto f) { return f(id(), sub(), m_code); });
        case Call::CheckRom:
            return run(e.dcCheckRom, device() && m_in.u32(&a) && m_in.u32(&b),
                       [&](auto f) { return f(id(), sub(), m_code, a, b); });
        }
        return kMalformed;
    }

    int32_t written(int32_t result, std::optional<std::string> &buffer)
    {
        m_out.bytes(pointerTo(buffer), buffer ? buffer->size() : 0);
        return result;
    }

    const char16_t *id() const { return pointerTo(m_id); }
    const char16_t *sub() const { return pointerTo(m_sub); }

    WireReader m_in;
    WireWriter m_out;
    std::optional<std::u16string> m_id;
    std::optional<std::u16string> m_sub;
    std::uint32_t m_code = 0;
};

WireWriter hello(const HostLibrary &library)
{
    std::uint32_t mask = 0;
    unsigned index = 0;
    forEachDcEntry(g_entries, [&](const char *name, auto &entry) {
        entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(library.find(name));
        if (entry)
            mask |= 1u << index;
        ++index;
    });
    WireWriter message;
    message.raw(kHelloMagic, 4).u32(kProtocolVersion).u8(library.loaded() ? 1 : 0).u32(mask);
    message.bytes(library.error().data(), library.error().size());
    return message;
}

} // namespace

int main(int argc, char **argv)
{
    const std::vector<std::string> arguments = platform::programArguments(argc, argv);
    if (arguments.size() < 2 || arguments.size() > 3) {
        std::fputs("usage: dchost <endpoint> [library file]\n", stderr);
        return 2;
    }
    std::unique_ptr<Channel> calls;
    if (!openHostChannels(arguments[1], &calls, &g_events)) {
        std::fputs("dchost: cannot open the program's channels\n", stderr);
        return 2;
    }
    const HostLibrary library(arguments.size() == 3 ? arguments[2] : HostLibrary::defaultFile());
    if (!writeFrame(*calls, hello(library)))
        return 1;
    // Without the library the hello said why; the host waits until the program has read it
    // and closes the channels.
    std::string payload;
    while (readFrame(*calls, &payload)) {
        if (library.loaded())
            Request(payload).answer(*calls);
    }
    return library.loaded() ? 0 : 1;
}
