// The exported entry points of libdc: each hands its call to the library (library.h), which
// routes it to the backend that answers for the hardware ID.

#include "libdc/libdc.h"

#include "libdc/library.h"
#include "libdc/sim_files.h"

#include <cstdlib>

namespace {

// The state folder: $DC_SIM_DIR, else the one for the library's program folder
// ("simulator" beside the library file itself, or the user's own).
std::string stateFolder()
{
    const char *env = std::getenv("DC_SIM_DIR");
    if (env && *env)
        return env;
    namespace files = kelv::sim::files;
    return files::stateFolderFor(files::moduleFolder(reinterpret_cast<const void *>(&stateFolder)));
}

kelv::dc::Library &library()
{
#ifdef _WIN32
    // Never destroyed: the library is pinned once its thread runs, and at the
    // process's end Windows has already stopped that thread, so a destructor
    // running inside DllMain could only wait for it forever.
    static kelv::dc::Library &instance =
        *new kelv::dc::Library(kelv::dc::libraryBackends(), stateFolder);
#else
    static kelv::dc::Library instance(kelv::dc::libraryBackends(), stateFolder);
#endif
    return instance;
}

} // namespace

extern "C" {

int32_t DC_CALL dcDeviceExist(const char16_t *id)
{
    return library().deviceExist(id);
}

int32_t DC_CALL dcDevices(DcFilter filter, uint8_t *block, uint32_t size)
{
    return library().devices(filter.words, block, size);
}

int32_t DC_CALL dcOnDeviceEvent(const DcEventCallback *holder)
{
    return library().onDeviceEvent(holder);
}

int32_t DC_CALL dconDeviceData(const char16_t *hardwareId, const char16_t *, uint32_t code,
                               const DcDataCallback *holder)
{
    return library().onDeviceData(hardwareId, code, holder);
}

int32_t DC_CALL dcAsk(const char16_t *id, const char16_t *, uint32_t code, uint32_t question,
                      char *answer, uint32_t size)
{
    return library().ask(id, code, question, answer, size);
}

int32_t DC_CALL dcReset(const char16_t *id, const char16_t *, uint32_t code, uint16_t value,
                        uint8_t *out, uint32_t)
{
    return library().reset(id, code, value, out);
}

int32_t DC_CALL dcNotify(const char16_t *id, const char16_t *, uint32_t code, uint16_t value,
                         uint8_t *out, uint32_t)
{
    return library().notify(id, code, value, out);
}

int32_t DC_CALL dcRead(const char16_t *id, const char16_t *, uint32_t code, uint8_t *buf,
                       uint32_t size, uint32_t address)
{
    return library().read(id, code, buf, size, address);
}

int32_t DC_CALL dcWrite(const char16_t *id, const char16_t *, uint32_t code, const uint8_t *buf,
                        uint32_t size, uint32_t address)
{
    return library().write(id, code, buf, size, address);
}

int32_t DC_CALL dcReadProp(const char16_t *id, const char16_t *, uint32_t code, uint8_t *buf,
                           uint32_t size, uint32_t propId)
{
    return library().readProp(id, code, buf, size, propId);
}

int32_t DC_CALL dcWriteProp(const char16_t *id, const char16_t *, uint32_t code, const uint8_t *buf,
                            uint32_t size, uint32_t propId)
{
    return library().writeProp(id, code, buf, size, propId);
}

int32_t DC_CALL dcScriptOut(const char16_t *id, const char16_t *, uint32_t code, char *script,
                            uint32_t size)
{
    return library().scriptOut(id, code, script, size);
}

int32_t DC_CALL dcIDWrite(const char16_t *id, const char16_t *, uint32_t code, const char *serial)
{
    return library().idWrite(id, code, serial);
}

int32_t DC_CALL dcRebootRom(const char16_t *id, const char16_t *, uint32_t code)
{
    return library().rebootRom(id, code);
}

int32_t DC_CALL dcFinishUpdateRom(const char16_t *id, const char16_t *, uint32_t code)
{
    return library().finishUpdateRom(id, code);
}

int32_t DC_CALL dcCheckRom(const char16_t *id, const char16_t *, uint32_t code, uint32_t length,
                           uint32_t check)
{
    return library().checkRom(id, code, length, check);
}

int32_t DC_CALL dcBornRom(const char16_t *id, const char16_t *, uint32_t code, const uint8_t *buf,
                          uint32_t length, uint32_t offset)
{
    return library().bornRom(id, code, buf, length, offset);
}

int32_t DC_CALL dcEraseRom(const char16_t *id, const char16_t *, uint32_t code)
{
    return library().eraseRom(id, code);
}

} // extern "C"
