#include "libdc/libdc.h"
#include "libdc/sim/simulator.h"
#include "libdc/sim/simulator_lock.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kelv::sim {

int32_t Simulator::rebootRom(const char16_t *id, uint32_t code)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    Visible which = Visible::None;
    int32_t r = admitLocked(id, code, Visible::None, &which);
    // An erased ROM holds no firmware to start: the boot loader stays.
    if (r == DC_OK && which == Visible::Boot && m_state.romErased)
        r = DC_WRONG_MODE;
    if (r == DC_OK) {
        const Visible before = visibleDevice(m_state);
        setModeLocked(Mode::ToMouse);
        saveStateLocked();
        emitVisibilityChangeLocked(before);
    }
    logLocked("reboot result=" + std::to_string(r));
    return r;
}

int32_t Simulator::eraseRom(const char16_t *id, uint32_t code)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    int32_t r = admitLocked(id, code, Visible::Boot, nullptr);
    if (r == DC_OK)
        r = faultLocked(FaultWrite, OpKind::Rom);
    if (r == DC_OK) {
        m_rom.assign(kRomSize, 0xff);
        m_state.romErased = true;
        m_state.romWritten = 0;
        m_state.romChecked = false;
        m_state.romCheckedLength = 0;
        saveRomLocked();
        saveStateLocked();
    }
    logLocked("erase result=" + std::to_string(r));
    return r;
}

int32_t Simulator::bornRom(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t length,
                           uint32_t offset)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    int32_t r = admitLocked(id, code, Visible::Boot, nullptr);
    // An empty chunk is a valid no-op: the flashing sequence ends with one
    // whenever the image length is a multiple of the chunk size.
    if (r == DC_OK && ((!buf && length != 0) || length > DC_ROM_CHUNK_MAX ||
                       uint64_t(offset) + length > kRomSize))
        r = DC_BAD_ARGUMENT;
    if (r == DC_OK && !m_state.romErased)
        r = DC_WRONG_MODE;
    if (r == DC_OK)
        r = faultLocked(FaultWrite, OpKind::Rom);
    if (r == DC_OK && length != 0) {
        std::memcpy(m_rom.data() + offset, buf, length);
        m_state.romWritten = std::max(m_state.romWritten, offset + length);
        m_state.romChecked = false;
        saveRomLocked();
        saveStateLocked();
    }
    logLocked("born offset=" + std::to_string(offset) + " length=" + std::to_string(length) +
              " result=" + std::to_string(r));
    return r;
}

int32_t Simulator::checkRom(const char16_t *id, uint32_t code, uint32_t length, uint32_t check)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    int32_t r = admitLocked(id, code, Visible::Boot, nullptr);
    if (r == DC_OK)
        r = faultLocked(0, OpKind::Rom);
    uint32_t crc = 0;
    if (r == DC_OK) {
        if (length == 0 || length > m_state.romWritten) {
            r = DC_CHECK_FAILED;
        } else {
            crc = crc32(m_rom.data(), length);
            if (crc != check)
                r = DC_CHECK_FAILED;
        }
        m_state.romChecked = r == DC_OK;
        m_state.romCheckedLength = r == DC_OK ? length : 0;
        saveStateLocked();
    }
    char line[128];
    std::snprintf(line, sizeof line, "check length=%u crc=%08x rom=%08x result=%d",
                  unsigned(length), unsigned(check), unsigned(crc), int(r));
    logLocked(line);
    return r;
}

int32_t Simulator::finishUpdateRom(const char16_t *id, uint32_t code)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    int32_t r = admitLocked(id, code, Visible::Boot, nullptr);
    if (r == DC_OK)
        r = faultLocked(0, OpKind::Rom);
    if (r == DC_OK && !m_state.romChecked)
        r = DC_CHECK_FAILED;
    if (r == DC_OK) {
        // The version travels in the firmware: "KFW1" and 16 bytes of text.
        const uint32_t length = m_state.romCheckedLength;
        std::string version;
        if (length >= 20 && std::memcmp(m_rom.data(), "KFW1", 4) == 0) {
            for (uint32_t i = 4; i < 20 && m_rom[i] != 0; ++i) {
                if (m_rom[i] > 0x20 && m_rom[i] < 0x7f)
                    version += char(m_rom[i]);
            }
        }
        if (version.empty())
            version = "1.0." + std::to_string(length);
        m_state.version = version;
        m_state.romErased = false;
        m_state.romChecked = false;
        const Visible before = visibleDevice(m_state);
        setModeLocked(Mode::ToMouse);
        saveStateLocked();
        emitVisibilityChangeLocked(before);
    }
    logLocked("finish version=" + m_state.version + " result=" + std::to_string(r));
    return r;
}

} // namespace kelv::sim
