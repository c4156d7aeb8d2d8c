// dcsim: drives the simulated mouse of libdc from the command line. It works on the same
// state folder as the library, so a running program sees every change within half a second.

#include "libdc/libdc.h"
#include "libdc/sim/simulator.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace kelv::sim;

namespace {

const char kHelp[] =
    "usage: dcsim <command> [arguments]\n"
    "\n"
    "Drives the simulated mouse of libdc. The state folder is $DC_SIM_DIR, else\n"
    "'simulator' beside dcsim (the program folder), or ~/.local/share/kelv/simulator\n"
    "for a packaged or read-only program folder. A running program sees plug,\n"
    "unplug and data reports within half a second.\n"
    "\n"
    "commands:\n"
    "  plug                    plug the mouse in (device event 1)\n"
    "  unplug                  pull the mouse out (device event 2)\n"
    "  data <16 hex digits>    send an 8-byte data report, e.g. data 0102400600000000\n"
    "  press <button>          press a mouse button: 0-7 or left, right, middle, back,\n"
    "                          forward, dpi-up, dpi-down, profile; the DPI buttons change\n"
    "                          the active stage and send data report 1\n"
    "  mem <hex address> <size>  dump onboard memory, e.g. mem 1000 64\n"
    "  mem-write <hex address> <hex bytes>\n"
    "                          write onboard memory like dcWrite, e.g. mem-write 1000 4d0100\n"
    "  prop <id|name> [<size>] show a property's bytes (size: its own size by default)\n"
    "  prop-write <id|name> <hex bytes>\n"
    "                          write a property like dcWriteProp (same checks, same data\n"
    "                          reports), e.g. prop-write active-stage 02\n"
    "  props                   show every property by name, decoded\n"
    "  status                  show plug state, mode, identity, faults and properties\n"
    "  fail write|read|notify  make those calls fail with result 4 (adds to the set)\n"
    "  fail none               clear every injected failure and the unplug countdown\n"
    "  bootloader never        the boot loader never shows up after a reset\n"
    "  bootloader delay <ms>   the boot loader shows up <ms> after a reset (default 1500)\n"
    "  unplug-after <n> <op>   let <n> more calls of kind <op> (read, write, notify, rom,\n"
    "                          any) succeed, then unplug the mouse during the next one\n"
    "  reset                   factory-default mouse, plugged in; memory and ROM cleared\n"
    "  hold <ms>               take the device lock and keep it for <ms> (a device that\n"
    "                          stops answering; other calls fail with result 7 meanwhile)\n"
    "  log                     print the device and firmware log (dc.log)\n"
    "  --help                  this text\n"
    "\n"
    "exit status: 0 done, 1 the device could not do it, 2 bad command line\n"
    "property names: stage-count, active-stage, dpi-stages, stage-colours, polling-rate,\n"
    "lift-off, buttons, lighting, angle-snap, debounce, motion-sync\n";

std::string defaultFolder()
{
    const char *env = std::getenv("DC_SIM_DIR");
    if (env && *env)
        return env;
    return kelv::sim::files::stateFolderFor(kelv::sim::files::executableFolder());
}

bool parseNumber(const char *text, int base, long long lo, long long hi, long long *value)
{
    if (!text || !*text)
        return false;
    char *end = nullptr;
    const long long v = std::strtoll(text, &end, base);
    if (*end != '\0' || v < lo || v > hi)
        return false;
    *value = v;
    return true;
}

int usage(const char *message)
{
    std::fprintf(stderr, "dcsim: %s\n(dcsim --help lists the commands)\n", message);
    return 2;
}

int buttonIndex(const std::string &name)
{
    static const char *const names[8] = {"left",    "right",  "middle",   "back",
                                         "forward", "dpi-up", "dpi-down", "profile"};
    for (int i = 0; i < 8; ++i) {
        if (name == names[i] || name == std::to_string(i))
            return i;
    }
    return -1;
}

void printDump(uint32_t address, const std::vector<uint8_t> &bytes)
{
    for (size_t i = 0; i < bytes.size(); i += 16) {
        std::printf("%04x:", unsigned(address + i));
        for (size_t k = i; k < i + 16 && k < bytes.size(); ++k)
            std::printf(" %02x", bytes[k]);
        std::printf("\n");
    }
}

std::string faultText(unsigned faults)
{
    std::string text;
    if (faults & FaultRead)
        text += " read";
    if (faults & FaultWrite)
        text += " write";
    if (faults & FaultNotify)
        text += " notify";
    return text.empty() ? " none" : text;
}

const char16_t kMouseId[] = u"HID\\Vid_0aa0&Pid_5e30";

void printProperties(const MouseState &s, const char *prefix)
{
    for (uint32_t id = 1; id <= uint32_t(kPropertyCount); ++id)
        std::printf("%s%u %s: %s\n", prefix, unsigned(id), propertyName(id),
                    describeProperty(id, s.props[id]).c_str());
}

int busy()
{
    std::printf("%s\n", kBusyMessage);
    return 1;
}

// A device call's result as the exit status: 0 done, 1 refused (the result is printed).
int deviceResult(int32_t result, const std::string &done)
{
    if (result == DC_OK) {
        std::printf("%s\n", done.c_str());
        return 0;
    }
    std::printf("refused: result %d\n", int(result));
    return 1;
}

int status(Simulator &sim)
{
    bool current = true;
    const MouseState s = sim.snapshot(&current);
    if (!current)
        std::printf("%s; the last state seen:\n", kBusyMessage);
    const Visible visible = visibleDevice(s);
    std::printf("folder: %s%s\n", sim.folder().c_str(),
                sim.storageWorks() ? "" : " (not writable: state is not kept)");
    std::printf("plugged: %s\n", s.plugged ? "yes" : "no");
    std::printf("mode: %s\n", modeName(s.mode));
    std::printf("visible: %s\n", visible == Visible::Mouse  ? kMouseHardwareId
                                 : visible == Visible::Boot ? kBootHardwareId
                                                            : "none");
    std::printf("version: %s\n", s.version.c_str());
    std::printf("serial: %s\n", s.serial.c_str());
    if (s.bootDelayMs < 0)
        std::printf("bootloader: never\n");
    else
        std::printf("bootloader: delay %d ms\n", s.bootDelayMs);
    std::printf("fail:%s\n", faultText(s.faults).c_str());
    if (s.unplugAfter >= 0)
        std::printf("unplug-after: %d %s\n", s.unplugAfter, s.unplugOp.c_str());
    else
        std::printf("unplug-after: off\n");
    std::printf("rom: %s, %u bytes written%s\n", s.romErased ? "erased" : "not erased",
                unsigned(s.romWritten), s.romChecked ? ", checked" : "");
    printProperties(s, "prop ");
    return current ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage("no command");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kHelp, stdout);
        return 0;
    }

    Simulator sim;
    sim.setFolder(defaultFolder());
    std::string message;
    const int args = argc - 2;
    char **arg = argv + 2;

    if ((command == "plug" || command == "unplug") && args == 0) {
        const bool ok = sim.plug(command == "plug", &message);
        std::printf("%s\n", message.c_str());
        return ok ? 0 : 1;
    }
    if (command == "data" && args == 1) {
        std::vector<uint8_t> bytes;
        if (std::strlen(arg[0]) != 16 || !parseHexBytes(arg[0], &bytes))
            return usage("data needs exactly 16 hexadecimal digits");
        std::array<uint8_t, 8> report{};
        std::copy(bytes.begin(), bytes.end(), report.begin());
        const bool ok = sim.sendData(report, &message);
        std::printf("%s\n", message.c_str());
        return ok ? 0 : 1;
    }
    if (command == "press" && args == 1) {
        const int button = buttonIndex(arg[0]);
        if (button < 0)
            return usage("unknown button");
        const bool ok = sim.press(button, &message);
        std::printf("%s\n", message.c_str());
        return ok ? 0 : 1;
    }
    if (command == "mem" && args == 2) {
        long long address = 0, size = 0;
        if (!parseNumber(arg[0], 16, 0, kMemorySize - 1, &address) ||
            !parseNumber(arg[1], 10, 1, kMemorySize, &size))
            return usage("mem needs a hexadecimal address below 10000 and a size");
        if (address + size > kMemorySize)
            return usage("the range runs past the end of the memory (0xffff)");
        const std::vector<uint8_t> bytes = sim.memory(uint32_t(address), uint32_t(size));
        if (bytes.empty())
            return busy();
        printDump(uint32_t(address), bytes);
        return 0;
    }
    if (command == "mem-write" && args == 2) {
        long long address = 0;
        std::vector<uint8_t> bytes;
        if (!parseNumber(arg[0], 16, 0, kMemorySize - 1, &address))
            return usage("mem-write needs a hexadecimal address below 10000");
        if (!parseHexBytes(arg[1], &bytes) || bytes.empty() || bytes.size() > DC_TRANSFER_SIZE)
            return usage("mem-write needs 1 to 2048 bytes as hexadecimal digits");
        return deviceResult(sim.write(kMouseId, kProductCode, bytes.data(), uint32_t(bytes.size()),
                                      uint32_t(address)),
                            "wrote " + std::to_string(bytes.size()) + " bytes");
    }
    if (command == "prop-write" && args == 2) {
        const uint32_t id = propertyId(arg[0]);
        std::vector<uint8_t> bytes;
        if (id == 0)
            return usage("unknown property (1 to 11 or a property name)");
        if (!parseHexBytes(arg[1], &bytes) || bytes.empty())
            return usage("prop-write needs the bytes as hexadecimal digits");
        const int32_t r =
            sim.writeProp(kMouseId, kProductCode, bytes.data(), uint32_t(bytes.size()), id);
        if (r != DC_OK)
            return deviceResult(r, std::string());
        const MouseState after = sim.snapshot();
        return deviceResult(r, std::string(propertyName(id)) + ": " +
                                   describeProperty(id, after.props[id]));
    }
    if (command == "props" && args == 0) {
        bool current = true;
        const MouseState s = sim.snapshot(&current);
        if (!current)
            return busy();
        printProperties(s, "");
        return 0;
    }
    if (command == "hold" && args == 1) {
        long long ms = 0;
        if (!parseNumber(arg[0], 10, 0, 3600000, &ms))
            return usage("hold takes milliseconds (0 to 3600000)");
        const bool held = sim.holdLock(int(ms), [] {
            std::printf("holding the device\n");
            std::fflush(stdout);
        });
        return held ? 0 : busy();
    }
    if (command == "prop" && (args == 1 || args == 2)) {
        long long size = 0;
        const uint32_t id = propertyId(arg[0]);
        if (id == 0)
            return usage("unknown property (1 to 11 or a property name)");
        size = propertySize(uint32_t(id));
        if (args == 2 && !parseNumber(arg[1], 10, 0, DC_TRANSFER_SIZE, &size))
            return usage("size must be 0 to 2048");
        bool current = true;
        const MouseState s = sim.snapshot(&current);
        if (!current)
            return busy();
        std::vector<uint8_t> bytes(size_t(size), 0);
        std::copy_n(s.props[id].begin(), std::min<size_t>(bytes.size(), s.props[id].size()),
                    bytes.begin());
        std::printf("%s\n", hexBytes(bytes.data(), bytes.size()).c_str());
        return 0;
    }
    if (command == "status" && args == 0)
        return status(sim);
    if (command == "fail" && args == 1) {
        const std::string what = arg[0];
        unsigned faults = sim.snapshot().faults;
        if (what == "none") {
            if (!sim.setFaults(0) || !sim.setUnplugAfter(-1, "any"))
                return busy();
        } else if (what == "write" || what == "read" || what == "notify") {
            faults |= what == "write" ? FaultWrite : what == "read" ? FaultRead : FaultNotify;
            if (!sim.setFaults(faults))
                return busy();
        } else {
            return usage("fail takes write, read, notify or none");
        }
        std::printf("fail:%s\n", faultText(sim.snapshot().faults).c_str());
        return 0;
    }
    if (command == "bootloader" && args >= 1) {
        const std::string what = arg[0];
        if (what == "never" && args == 1) {
            if (!sim.setBootDelay(-1))
                return busy();
            std::printf("bootloader: never\n");
            return 0;
        }
        long long ms = 0;
        if (what == "delay" && args == 2 && parseNumber(arg[1], 10, 0, 600000, &ms)) {
            if (!sim.setBootDelay(int(ms)))
                return busy();
            std::printf("bootloader: delay %lld ms\n", ms);
            return 0;
        }
        return usage("bootloader takes never or delay <ms> (0 to 600000)");
    }
    if (command == "unplug-after" && args == 2) {
        long long n = 0;
        const std::string op = arg[1];
        if (!parseNumber(arg[0], 10, 0, 1000000000, &n) ||
            (op != "read" && op != "write" && op != "notify" && op != "rom" && op != "any"))
            return usage("unplug-after takes a count and read, write, notify, rom or any");
        if (!sim.setUnplugAfter(int(n), op))
            return busy();
        std::printf("unplug-after: %lld %s\n", n, op.c_str());
        return 0;
    }
    if (command == "reset" && args == 0) {
        if (!sim.factoryReset())
            return busy();
        std::printf("factory-default mouse, plugged in\n");
        return 0;
    }
    if (command == "log" && args == 0) {
        const std::string file = sim.folder() + "/dc.log";
        if (FILE *f = std::fopen(file.c_str(), "r")) {
            char buffer[4096];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
                std::fwrite(buffer, 1, n, stdout);
            std::fclose(f);
        }
        return 0;
    }
    return usage(("unknown command or wrong arguments: " + command).c_str());
}
