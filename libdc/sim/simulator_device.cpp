#include "libdc/libdc.h"
#include "libdc/sim/simulator.h"
#include "libdc/sim/simulator_lock.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kelv::sim {

// --- device calls --------------------------------------------------------------------

int32_t Simulator::admitLocked(const char16_t *id, uint32_t code, Visible needs, Visible *which)
{
    if (code != kProductCode)
        return DC_WRONG_PRODUCT;
    const Visible visible = visibleDevice(m_state);
    Visible named = Visible::None;
    if (visible == Visible::Mouse && sameId(id, kMouseHardwareId))
        named = Visible::Mouse;
    else if (visible == Visible::Boot && sameId(id, kBootHardwareId))
        named = Visible::Boot;
    if (named == Visible::None)
        return DC_NOT_PRESENT;
    if (needs != Visible::None && named != needs)
        return DC_WRONG_MODE;
    if (which)
        *which = named;
    return DC_OK;
}

int32_t Simulator::faultLocked(unsigned fault, OpKind kind)
{
    if (m_state.faults & fault)
        return DC_DEVICE_FAULT;
    if (m_state.unplugAfter < 0)
        return DC_OK;
    static const char *const kinds[] = {"read", "write", "notify", "rom"};
    if (m_state.unplugOp != "any" && m_state.unplugOp != kinds[int(kind)])
        return DC_OK;
    if (m_state.unplugAfter > 0) {
        --m_state.unplugAfter;
        saveStateLocked();
        return DC_OK;
    }
    // The device goes away in the middle of this call.
    const Visible before = visibleDevice(m_state);
    m_state.plugged = false;
    m_state.unplugAfter = -1;
    saveStateLocked();
    logLocked(std::string("unplugged during ") + kinds[int(kind)]);
    emitVisibilityChangeLocked(before);
    return DC_NOT_PRESENT;
}

int32_t Simulator::deviceExist(const char16_t *id)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    return admitLocked(id, kProductCode, Visible::None, nullptr);
}

int32_t Simulator::list(const uint32_t filter[20], std::vector<dc::Record> *out)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    const Visible visible = visibleDevice(m_state);
    const bool boot = visible == Visible::Boot;
    if (visible == Visible::None ||
        !dc::filterAdmits(filter, boot ? kBootInterface : kMouseInterface))
        return DC_OK;
    dc::Record r;
    r.deviceId = boot ? kBootDeviceId : kMouseDeviceId;
    r.version = boot ? "boot" : m_state.version;
    r.sn = m_state.serial;
    r.mask = boot ? "00" : "01";
    r.devicePath = boot ? kBootDevicePath : kMouseDevicePath;
    r.hardwareId = boot ? kBootHardwareId : kMouseHardwareId;
    out->push_back(std::move(r));
    return DC_OK;
}

int32_t Simulator::subscribeCheck(const char16_t *id, uint32_t code)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    return admitLocked(id, code, Visible::None, nullptr);
}

int32_t Simulator::ask(const char16_t *id, uint32_t code, uint32_t question, char *answer,
                       uint32_t size)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    Visible which = Visible::None;
    if (const int32_t r = admitLocked(id, code, Visible::None, &which))
        return r;
    std::string text;
    switch (question) {
    case 1:
        text = which == Visible::Boot ? "boot" : m_state.version;
        break;
    case 2:
        text = m_state.serial;
        break;
    case 3:
        text = which == Visible::Boot ? "boot" : "mouse";
        break;
    default:
        return DC_BAD_ARGUMENT;
    }
    return copyText(text, answer, size);
}

int32_t Simulator::reset(const char16_t *id, uint32_t code, uint16_t value, uint8_t *out)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    if (out)
        *out = 0;
    Visible which = Visible::None;
    int32_t r = admitLocked(id, code, Visible::None, &which);
    if (r == DC_OK && value != 1)
        r = DC_BAD_ARGUMENT;
    if (r == DC_OK)
        r = faultLocked(FaultNotify, OpKind::Notify);
    if (r == DC_OK && which == Visible::Mouse) {
        const Visible before = visibleDevice(m_state);
        setModeLocked(Mode::ToBoot);
        saveStateLocked();
        emitVisibilityChangeLocked(before);
    }
    logLocked("reset value=" + std::to_string(value) + " result=" + std::to_string(r));
    if (r == DC_OK && out)
        *out = 1;
    return r;
}

void Simulator::sendStageReportLocked(int stage)
{
    QueueItem item;
    item.kind = QueueItem::Data;
    const uint16_t dpi = stageDpi(m_state, stage);
    item.data = {0x01, uint8_t(stage), uint8_t(dpi & 0xff), uint8_t(dpi >> 8), 0, 0, 0, 0};
    emitLocked(item);
}

int32_t Simulator::notify(const char16_t *id, uint32_t code, uint16_t value, uint8_t *out)
{
    Lock lock(*this);
    if (!lock.held())
        return m_lastResult = DC_BUSY;
    if (out)
        *out = 0;
    const unsigned type = value & 0xff, data = value >> 8;
    int32_t r = admitLocked(id, code, Visible::Mouse, nullptr);
    // Factory reset (2) and save (4) take no data: anything but 0 is refused.
    if (r == DC_OK && (type < 1 || type > 4 || (type == 1 && data >= m_state.props[1][0]) ||
                       ((type == 2 || type == 4) && data != 0)))
        r = DC_BAD_ARGUMENT;
    if (r == DC_OK)
        r = faultLocked(FaultNotify, OpKind::Notify);
    if (r == DC_OK) {
        switch (type) {
        case 1:
            m_state.props[2][0] = uint8_t(data);
            saveStateLocked();
            sendStageReportLocked(int(data));
            break;
        case 2:
            setFactoryProperties(m_state);
            m_memory.assign(kMemorySize, 0);
            saveStateLocked();
            saveMemoryLocked();
            break;
        case 3:
            logLocked("identify: blinking for " + std::to_string(data) + " s");
            break;
        default:
            break;
        }
    }
    logLocked("notify type=" + std::to_string(type) + " data=" + std::to_string(data) +
              " result=" + std::to_string(r));
    if (r == DC_OK && out)
        *out = 1;
    m_lastResult = r;
    return r;
}

int32_t Simulator::read(const char16_t *id, uint32_t code, uint8_t *buf, uint32_t size,
                        uint32_t address)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    if (const int32_t r = admitLocked(id, code, Visible::Mouse, nullptr))
        return r;
    if (!buf || size > DC_TRANSFER_SIZE || uint64_t(address) + size > kMemorySize)
        return DC_BAD_ARGUMENT;
    if (const int32_t r = faultLocked(FaultRead, OpKind::Read))
        return r;
    std::memcpy(buf, m_memory.data() + address, size);
    return DC_OK;
}

int32_t Simulator::write(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t size,
                         uint32_t address)
{
    Lock lock(*this);
    if (!lock.held())
        return m_lastResult = DC_BUSY;
    int32_t r = admitLocked(id, code, Visible::Mouse, nullptr);
    if (r == DC_OK && (!buf || size > DC_TRANSFER_SIZE || uint64_t(address) + size > kMemorySize))
        r = DC_BAD_ARGUMENT;
    if (r == DC_OK)
        r = faultLocked(FaultWrite, OpKind::Write);
    if (r == DC_OK && size > 0) {
        std::memcpy(m_memory.data() + address, buf, size);
        saveMemoryLocked();
    }
    char line[96];
    std::snprintf(line, sizeof line, "write address=0x%04x size=%u result=%d", unsigned(address),
                  unsigned(size), int(r));
    logLocked(line);
    m_lastResult = r;
    return r;
}

int32_t Simulator::readProp(const char16_t *id, uint32_t code, uint8_t *buf, uint32_t size,
                            uint32_t propId)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    if (const int32_t r = admitLocked(id, code, Visible::Mouse, nullptr))
        return r;
    const bool answered = propId == DC_PROP_DESCRIPTION || propId == DC_PROP_LAST_RESULT;
    if (!buf || size > DC_TRANSFER_SIZE || (propertySize(propId) == 0 && !answered))
        return DC_BAD_ARGUMENT;
    if (const int32_t r = faultLocked(FaultRead, OpKind::Read))
        return r;
    if (answered) {
        std::vector<uint8_t> bytes;
        if (propId == DC_PROP_LAST_RESULT) {
            bytes.push_back(uint8_t(m_lastResult));
        } else {
            const std::string text = mouseDescription();
            bytes.assign(text.begin(), text.end());
        }
        const uint32_t n = std::min<uint32_t>(size, uint32_t(bytes.size()));
        std::memcpy(buf, bytes.data(), n);
        std::memset(buf + n, 0, size - n);
        return DC_OK;
    }
    const std::vector<uint8_t> &value = m_state.props[propId];
    const uint32_t n = std::min<uint32_t>(size, uint32_t(value.size()));
    std::memcpy(buf, value.data(), n);
    std::memset(buf + n, 0, size - n);
    return DC_OK;
}

int32_t Simulator::writeProp(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t size,
                             uint32_t propId)
{
    Lock lock(*this);
    if (!lock.held())
        return m_lastResult = DC_BUSY;
    int32_t r = admitLocked(id, code, Visible::Mouse, nullptr);
    MouseState changed = m_state;
    if (r == DC_OK) {
        if (!buf || propertySize(propId) == 0 || size > propertySize(propId)) {
            r = DC_BAD_ARGUMENT;
        } else {
            std::copy_n(buf, size, changed.props[propId].begin());
            // Fewer stages than the active one: the last stage becomes active.
            if (propId == 1 && changed.props[2][0] >= changed.props[1][0] &&
                changed.props[1][0] >= 1)
                changed.props[2][0] = uint8_t(changed.props[1][0] - 1);
            if (!propertiesValid(changed))
                r = DC_BAD_ARGUMENT;
        }
    }
    if (r == DC_OK)
        r = faultLocked(FaultWrite, OpKind::Write);
    if (r == DC_OK && size > 0) {
        changed.unplugAfter = m_state.unplugAfter; // the countdown may have moved
        const uint8_t stageBefore = m_state.props[2][0];
        const uint8_t effectBefore = m_state.props[8][0];
        m_state = changed;
        saveStateLocked();
        // The mouse reports what changed on it, whichever way the change came.
        if (m_state.props[2][0] != stageBefore)
            sendStageReportLocked(m_state.props[2][0]);
        if (m_state.props[8][0] != effectBefore) {
            QueueItem item;
            item.kind = QueueItem::Data;
            item.data = {0x04, m_state.props[8][0], 0, 0, 0, 0, 0, 0};
            emitLocked(item);
        }
    }
    logLocked("writeProp id=" + std::to_string(propId) + " size=" + std::to_string(size) +
              " result=" + std::to_string(r));
    m_lastResult = r;
    return r;
}

int32_t Simulator::scriptOut(const char16_t *id, uint32_t code, char *script, uint32_t size)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    if (const int32_t r = admitLocked(id, code, Visible::Mouse, nullptr))
        return r;
    std::string text;
    for (int p = 1; p <= kPropertyCount; ++p)
        text += "prop " + std::to_string(p) + " " +
                hexBytes(m_state.props[p].data(), m_state.props[p].size()) + "\n";
    return copyText(text, script, size);
}

int32_t Simulator::idWrite(const char16_t *id, uint32_t code, const char *serial)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    int32_t r = admitLocked(id, code, Visible::Mouse, nullptr);
    std::string value;
    if (r == DC_OK) {
        value = serial ? std::string(serial, strnlen(serial, 14)) : std::string();
        bool ok = !value.empty() && value.size() <= 13;
        for (char c : value)
            ok = ok && c > 0x20 && c < 0x7f;
        if (!ok)
            r = DC_BAD_ARGUMENT;
    }
    if (r == DC_OK)
        r = faultLocked(FaultWrite, OpKind::Write);
    if (r == DC_OK) {
        m_state.serial = value;
        saveStateLocked();
    }
    logLocked("idWrite result=" + std::to_string(r));
    return r;
}

} // namespace kelv::sim
