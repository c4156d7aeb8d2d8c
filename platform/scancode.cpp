#include "platform/scancode.h"

#include <array>
#include <cstdlib>
#include <cstring>

namespace kelv::platform {

namespace {

// 0 = no scan code; bit 8 = extended (E0 prefix).
constexpr std::uint16_t E0 = 0x100;

constexpr std::array<std::uint16_t, 256> buildTable()
{
    std::array<std::uint16_t, 256> t{};
    // KEY_ESC (1) to KEY_KPDOT (83): the evdev code is the set-1 make code
    // (main block, F1-F10, Num Lock, Scroll Lock, keypad).
    for (unsigned code = 1; code <= 83; ++code)
        t[code] = std::uint16_t(code);
    t[69] = E0 | 0x45; // KEY_NUMLOCK: extended for Windows (Pause takes plain 0x45)

    t[85] = 0x76;       // KEY_ZENKAKUHANKAKU
    t[86] = 0x56;       // KEY_102ND (the extra key left of Z on ISO keyboards)
    t[87] = 0x57;       // KEY_F11
    t[88] = 0x58;       // KEY_F12
    t[89] = 0x73;       // KEY_RO
    t[90] = 0x78;       // KEY_KATAKANA
    t[91] = 0x77;       // KEY_HIRAGANA
    t[92] = 0x79;       // KEY_HENKAN
    t[93] = 0x70;       // KEY_KATAKANAHIRAGANA
    t[94] = 0x7B;       // KEY_MUHENKAN
    t[95] = 0x5C;       // KEY_KPJPCOMMA
    t[96] = E0 | 0x1C;  // KEY_KPENTER
    t[97] = E0 | 0x1D;  // KEY_RIGHTCTRL
    t[98] = E0 | 0x35;  // KEY_KPSLASH
    t[99] = E0 | 0x37;  // KEY_SYSRQ (Print Screen)
    t[100] = E0 | 0x38; // KEY_RIGHTALT
    t[102] = E0 | 0x47; // KEY_HOME
    t[103] = E0 | 0x48; // KEY_UP
    t[104] = E0 | 0x49; // KEY_PAGEUP
    t[105] = E0 | 0x4B; // KEY_LEFT
    t[106] = E0 | 0x4D; // KEY_RIGHT
    t[107] = E0 | 0x4F; // KEY_END
    t[108] = E0 | 0x50; // KEY_DOWN
    t[109] = E0 | 0x51; // KEY_PAGEDOWN
    t[110] = E0 | 0x52; // KEY_INSERT
    t[111] = E0 | 0x53; // KEY_DELETE
    t[113] = E0 | 0x20; // KEY_MUTE
    t[114] = E0 | 0x2E; // KEY_VOLUMEDOWN
    t[115] = E0 | 0x30; // KEY_VOLUMEUP
    t[116] = E0 | 0x5E; // KEY_POWER
    t[117] = 0x59;      // KEY_KPEQUAL
    t[119] = 0x45;      // KEY_PAUSE
    t[121] = 0x7E;      // KEY_KPCOMMA
    t[122] = 0xF2;      // KEY_HANGEUL
    t[123] = 0xF1;      // KEY_HANJA
    t[124] = 0x7D;      // KEY_YEN
    t[125] = E0 | 0x5B; // KEY_LEFTMETA (left Windows key)
    t[126] = E0 | 0x5C; // KEY_RIGHTMETA (right Windows key)
    t[127] = E0 | 0x5D; // KEY_COMPOSE (menu key)
    t[128] = E0 | 0x68; // KEY_STOP (browser stop)
    t[140] = E0 | 0x21; // KEY_CALC
    t[142] = E0 | 0x5F; // KEY_SLEEP
    t[143] = E0 | 0x63; // KEY_WAKEUP
    t[155] = E0 | 0x6C; // KEY_MAIL
    t[156] = E0 | 0x66; // KEY_BOOKMARKS
    t[157] = E0 | 0x6B; // KEY_COMPUTER
    t[158] = E0 | 0x6A; // KEY_BACK
    t[159] = E0 | 0x69; // KEY_FORWARD
    t[163] = E0 | 0x19; // KEY_NEXTSONG
    t[164] = E0 | 0x22; // KEY_PLAYPAUSE
    t[165] = E0 | 0x10; // KEY_PREVIOUSSONG
    t[166] = E0 | 0x24; // KEY_STOPCD
    t[172] = E0 | 0x32; // KEY_HOMEPAGE
    t[173] = E0 | 0x67; // KEY_REFRESH
    // KEY_F13 (183) to KEY_F23 (193): 0x64 to 0x6E; KEY_F24 (194): 0x76.
    for (unsigned code = 183; code <= 193; ++code)
        t[code] = std::uint16_t(0x64 + (code - 183));
    t[194] = 0x76;
    t[217] = E0 | 0x65; // KEY_SEARCH
    t[226] = E0 | 0x6D; // KEY_MEDIA
    return t;
}

constexpr std::array<std::uint16_t, 256> kTable = buildTable();

struct NamedKey
{
    const char *name;
    unsigned evdev;
};

// The keyboard map's key names (XKB's, as xkeyboard-config's evdev keycodes
// and every layout use them, with the usual aliases) to the Linux key code of
// the physical key they name.
constexpr NamedKey kNamedKeys[] = {
    {"LSGT", 86},  {"TLDE", 41},  {"AE01", 2},   {"AE02", 3},   {"AE03", 4},   {"AE04", 5},
    {"AE05", 6},   {"AE06", 7},   {"AE07", 8},   {"AE08", 9},   {"AE09", 10},  {"AE10", 11},
    {"AE11", 12},  {"AE12", 13},  {"BKSP", 14},  {"TAB", 15},   {"AD01", 16},  {"AD02", 17},
    {"AD03", 18},  {"AD04", 19},  {"AD05", 20},  {"AD06", 21},  {"AD07", 22},  {"AD08", 23},
    {"AD09", 24},  {"AD10", 25},  {"AD11", 26},  {"AD12", 27},  {"BKSL", 43},  {"RTRN", 28},
    {"CAPS", 58},  {"AC01", 30},  {"AC02", 31},  {"AC03", 32},  {"AC04", 33},  {"AC05", 34},
    {"AC06", 35},  {"AC07", 36},  {"AC08", 37},  {"AC09", 38},  {"AC10", 39},  {"AC11", 40},
    {"LFSH", 42},  {"AB01", 44},  {"AB02", 45},  {"AB03", 46},  {"AB04", 47},  {"AB05", 48},
    {"AB06", 49},  {"AB07", 50},  {"AB08", 51},  {"AB09", 52},  {"AB10", 53},  {"RTSH", 54},
    {"LALT", 56},  {"LCTL", 29},  {"SPCE", 57},  {"RCTL", 97},  {"RALT", 100}, {"LWIN", 125},
    {"RWIN", 126}, {"COMP", 127}, {"ESC", 1},    {"FK01", 59},  {"FK02", 60},  {"FK03", 61},
    {"FK04", 62},  {"FK05", 63},  {"FK06", 64},  {"FK07", 65},  {"FK08", 66},  {"FK09", 67},
    {"FK10", 68},  {"FK11", 87},  {"FK12", 88},  {"PRSC", 99},  {"SCLK", 70},  {"PAUS", 119},
    {"INS", 110},  {"HOME", 102}, {"PGUP", 104}, {"DELE", 111}, {"END", 107},  {"PGDN", 109},
    {"UP", 103},   {"LEFT", 105}, {"DOWN", 108}, {"RGHT", 106}, {"NMLK", 69},  {"KPDV", 98},
    {"KPMU", 55},  {"KPSU", 74},  {"KP7", 71},   {"KP8", 72},   {"KP9", 73},   {"KPAD", 78},
    {"KP4", 75},   {"KP5", 76},   {"KP6", 77},   {"KP1", 79},   {"KP2", 80},   {"KP3", 81},
    {"KPEN", 96},  {"KP0", 82},   {"KPDL", 83},  {"KPEQ", 117}, {"FK13", 183}, {"FK14", 184},
    {"FK15", 185}, {"FK16", 186}, {"FK17", 187}, {"FK18", 188}, {"FK19", 189}, {"FK20", 190},
    {"FK21", 191}, {"FK22", 192}, {"FK23", 193}, {"FK24", 194}, {"HKTG", 93},  {"AB11", 89},
    {"HENK", 92},  {"MUHE", 94},  {"AE13", 124}, {"KATA", 90},  {"HIRA", 91},  {"JPCM", 95},
    {"HNGL", 122}, {"HJCV", 123}, {"MUTE", 113}, {"VOL-", 114}, {"VOL+", 115}, {"POWR", 116},
    {"STOP", 128}, {"AC12", 43},  {"MENU", 127}, {"HZTG", 41},  {"LMTA", 125}, {"RMTA", 126},
    {"ALGR", 100}, {"KPCO", 121},
};

} // namespace

bool scanCodeForEvdev(unsigned evdevCode, ScanCode *out)
{
    if (evdevCode >= kTable.size() || kTable[evdevCode] == 0)
        return false;
    if (out) {
        out->code = kTable[evdevCode] & 0xFFu;
        out->extended = (kTable[evdevCode] & E0) != 0;
    }
    return true;
}

bool scanCodeForKeyName(const char *name, ScanCode *out)
{
    if (!name || !*name)
        return false;
    for (const NamedKey &key : kNamedKeys) {
        if (std::strcmp(key.name, name) == 0)
            return scanCodeForEvdev(key.evdev, out);
    }
    // Keys without a name of their own are named by their XKB code: "I147".
    if (name[0] == 'I' && name[1] >= '0' && name[1] <= '9') {
        char *end = nullptr;
        const unsigned long code = std::strtoul(name + 1, &end, 10);
        if (*end == '\0' && code >= 8 && code < 8 + kTable.size())
            return scanCodeForEvdev(unsigned(code - 8), out);
    }
    return false;
}

bool scanCodeForXKeycode(unsigned xKeycode, ScanCode *out)
{
    // X key codes start at 8: evdev code + 8.
    if (xKeycode < 8)
        return false;
    return scanCodeForEvdev(xKeycode - 8, out);
}

bool xKeycodeForScanCode(const ScanCode &scan, unsigned *xKeycode)
{
    if (scan.code == 0 || scan.code > 0xFF)
        return false;
    const std::uint16_t wanted = std::uint16_t(scan.code | (scan.extended ? E0 : 0));
    // The lowest evdev code wins where two keys share a scan code (F24 and
    // Zenkaku/Hankaku both send 0x76).
    for (unsigned code = 1; code < kTable.size(); ++code) {
        if (kTable[code] == wanted) {
            *xKeycode = code + 8;
            return true;
        }
    }
    return false;
}

} // namespace kelv::platform
