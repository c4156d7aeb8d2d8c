#include "libdc/sim/sim_backend.h"

namespace kelv::sim {

SimBackend::SimBackend(dc::Outbox &outbox)
{
    // An item the state folder could not take reaches the library's thread without the
    // folder's notice: it is woken as for a post.
    m_sim.setLocalItemWake([&outbox] { outbox.wake(); });
}

void SimBackend::begin(const std::string &stateFolder)
{
    m_sim.setFolder(stateFolder);
}

bool SimBackend::owns(const char16_t *id) const
{
    return sameId(id, kMouseHardwareId) || sameId(id, kBootHardwareId);
}

int32_t SimBackend::list(const uint32_t filter[20], std::vector<dc::Record> *out)
{
    return m_sim.list(filter, out);
}

// Data reports come from the mouse; they reach a subscriber of the mouse only.
std::vector<dc::Item> SimBackend::collect(bool *soon)
{
    std::vector<dc::Item> items;
    for (const QueueItem &queued : m_sim.poll(soon)) {
        dc::Item item;
        item.kind = queued.kind == QueueItem::Data ? dc::Item::Data : dc::Item::Event;
        item.event = queued.event;
        item.data = queued.data;
        if (item.kind == dc::Item::Data)
            item.onlyFor = kMouseHardwareId;
        items.push_back(std::move(item));
    }
    return items;
}

int32_t SimBackend::exists(const char16_t *id)
{
    return m_sim.deviceExist(id);
}

int32_t SimBackend::subscribe(const char16_t *id, uint32_t code)
{
    return m_sim.subscribeCheck(id, code);
}

int32_t SimBackend::ask(const char16_t *id, uint32_t code, uint32_t question, char *answer,
                        uint32_t size)
{
    return m_sim.ask(id, code, question, answer, size);
}

int32_t SimBackend::notify(const char16_t *id, uint32_t code, uint16_t value, uint8_t *out)
{
    return m_sim.notify(id, code, value, out);
}

int32_t SimBackend::read(const char16_t *id, uint32_t code, uint8_t *buf, uint32_t size,
                         uint32_t address)
{
    return m_sim.read(id, code, buf, size, address);
}

int32_t SimBackend::write(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t size,
                          uint32_t address)
{
    return m_sim.write(id, code, buf, size, address);
}

int32_t SimBackend::readProp(const char16_t *id, uint32_t code, uint8_t *buf, uint32_t size,
                             uint32_t propId)
{
    return m_sim.readProp(id, code, buf, size, propId);
}

int32_t SimBackend::writeProp(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t size,
                              uint32_t propId)
{
    return m_sim.writeProp(id, code, buf, size, propId);
}

int32_t SimBackend::scriptOut(const char16_t *id, uint32_t code, char *script, uint32_t size)
{
    return m_sim.scriptOut(id, code, script, size);
}

int32_t SimBackend::reset(const char16_t *id, uint32_t code, uint16_t value, uint8_t *out)
{
    return m_sim.reset(id, code, value, out);
}

int32_t SimBackend::idWrite(const char16_t *id, uint32_t code, const char *serial)
{
    return m_sim.idWrite(id, code, serial);
}

int32_t SimBackend::rebootRom(const char16_t *id, uint32_t code)
{
    return m_sim.rebootRom(id, code);
}

int32_t SimBackend::finishUpdateRom(const char16_t *id, uint32_t code)
{
    return m_sim.finishUpdateRom(id, code);
}

int32_t SimBackend::checkRom(const char16_t *id, uint32_t code, uint32_t length, uint32_t check)
{
    return m_sim.checkRom(id, code, length, check);
}

int32_t SimBackend::bornRom(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t length,
                            uint32_t offset)
{
    return m_sim.bornRom(id, code, buf, length, offset);
}

int32_t SimBackend::eraseRom(const char16_t *id, uint32_t code)
{
    return m_sim.eraseRom(id, code);
}

} // namespace kelv::sim
