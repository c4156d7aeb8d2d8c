// The translation between ratbagd's objects and the device map's properties, without a
// daemon: what every property reads, what a write asks of the daemon (and that reading the
// result back asks for nothing more), identities, the description and its size, macros, and
// what kelv makes of nonsense from the daemon.

#include "libdc/libdc.h"
#include "libdc/ratbag/ratbag_device.h"
#include "libdc/ratbag/ratbag_macro.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace kelv::ratbag;

namespace {

Device mouse(int profiles, int resolutions, int buttons, int leds)
{
    Device d;
    d.path = "/org/freedesktop/ratbag1/device/hidraw3";
    d.name = "Gaming mouse";
    d.model = "usb:046d:c539:0";
    for (int p = 0; p < profiles; ++p) {
        Profile profile;
        const std::string at = "/org/freedesktop/ratbag1/x/p" + std::to_string(p);
        profile.path = at;
        profile.reportRates = {125, 250, 500, 1000, 8000};
        profile.canDisable = p > 0;
        profile.hasDefaultStage = true;
        for (int r = 0; r < resolutions; ++r) {
            Resolution res;
            res.path = at + "/r" + std::to_string(r);
            for (uint32_t dpi = 100; dpi <= 4000; dpi += dpi < 1000 ? 50 : 100)
                res.dpis.push_back(dpi);
            profile.resolutions.push_back(res);
        }
        for (int b = 0; b < buttons; ++b)
            profile.buttons.push_back(
                {at + "/b" + std::to_string(b), {ActionButton, ActionSpecial, ActionMacro}});
        for (int l = 0; l < leds; ++l)
            profile.leds.push_back({at + "/l" + std::to_string(l), {0, 1, 2, 3}, DepthRgb888});
        d.profiles.push_back(profile);
    }
    return d;
}

Values valuesOf(const Device &d, int active = 0)
{
    Values v;
    v.activeProfile = active;
    v.reportRate = 1000;
    for (size_t i = 0; i < d.profiles.size(); ++i)
        v.enabled.push_back(true);
    const Profile &p = d.profiles[size_t(active)];
    for (size_t r = 0; r < p.resolutions.size(); ++r)
        v.resolutions.push_back({r == 0, r == 0, uint32_t(400 * (r + 1)), uint32_t(400 * (r + 1))});
    for (size_t b = 0; b < p.buttons.size(); ++b)
        v.buttons.push_back({ActionButton, uint32_t(b % 5 + 1), {}});
    for (size_t l = 0; l < p.leds.size(); ++l)
        v.leds.push_back({1, 255, 0, 0, 2000, 128});
    return v;
}

std::vector<uint8_t> bytes(std::initializer_list<int> list)
{
    std::vector<uint8_t> out;
    for (int b : list)
        out.push_back(uint8_t(b));
    return out;
}

QByteArray hex(const std::vector<uint8_t> &b)
{
    return QByteArray(reinterpret_cast<const char *>(b.data()), int(b.size())).toHex();
}

// A daemon that takes every change: the values after the changes.
void applyAll(const std::vector<Change> &changes, const Device &d, Values *v)
{
    const Profile &p = d.profiles[size_t(std::max(v->activeProfile, 0))];
    for (const Change &c : changes) {
        const Op &op = c.op;
        for (size_t i = 0; i < p.resolutions.size(); ++i) {
            if (op.path != p.resolutions[i].path)
                continue;
            if (op.member == "SetActive")
                for (size_t k = 0; k < v->resolutions.size(); ++k)
                    v->resolutions[k].active = k == i;
            else if (op.member == "SetDefault")
                for (size_t k = 0; k < v->resolutions.size(); ++k)
                    v->resolutions[k].isDefault = k == i;
            else
                v->resolutions[i].x = op.value.a,
                v->resolutions[i].y = op.value.b ? op.value.b : op.value.a;
        }
        for (size_t i = 0; i < p.buttons.size(); ++i) {
            if (op.path == p.buttons[i].path)
                v->buttons[i] = op.value.kind == BusValue::Kind::MapMacro
                                    ? Mapping{ActionMacro, 0, op.value.macro}
                                    : Mapping{op.value.a, op.value.b, {}};
        }
        for (size_t i = 0; i < p.leds.size(); ++i) {
            if (op.path != p.leds[i].path)
                continue;
            LedValues &l = v->leds[i];
            if (op.member == "Mode")
                l.mode = op.value.a;
            else if (op.member == "Color")
                l.red = op.value.a, l.green = op.value.b, l.blue = op.value.c;
            else if (op.member == "EffectDuration")
                l.duration = op.value.a;
            else if (op.member == "Brightness")
                l.brightness = op.value.a;
        }
        for (size_t i = 0; i < d.profiles.size(); ++i) {
            if (op.path != d.profiles[i].path)
                continue;
            if (op.member == "ReportRate")
                v->reportRate = op.value.a;
            else if (op.member == "SetActive")
                v->activeProfile = int(i);
            else if (op.member == "Enabled")
                v->enabled[i] = op.value.a != 0;
        }
    }
}

// Writes bytes as property id to a daemon that takes everything, then reads the property:
// the bytes come back, and writing them again asks for nothing.
QByteArray roundTrip(const Device &d, Values *v, uint32_t id, const std::vector<uint8_t> &b,
                     const std::vector<uint8_t> *memory = nullptr, int32_t *result = nullptr)
{
    std::vector<Change> changes;
    const SlotView view{memory, nullptr};
    const int32_t r = planWrite(d, *v, view, id, b.data(), uint32_t(b.size()), &changes);
    if (result)
        *result = r;
    if (r != DC_OK)
        return QByteArray("refused");
    applyAll(changes, d, v);
    std::vector<Change> again;
    if (planWrite(d, *v, view, id, b.data(), uint32_t(b.size()), &again) != DC_OK || !again.empty())
        return QByteArray("not settled");
    std::vector<uint8_t> out;
    readProperty(d, *v, view, id, &out);
    return hex(out);
}

std::vector<uint8_t> slotMemory(uint32_t slot, const std::vector<std::array<uint8_t, 3>> &events)
{
    std::vector<uint8_t> memory(kMemorySize, 0);
    uint8_t *rec = memory.data() + kSlotBase + slot * kSlotSize;
    rec[0] = 0x4D;
    rec[1] = uint8_t(events.size() & 0xff);
    rec[2] = uint8_t(events.size() >> 8);
    for (size_t i = 0; i < events.size(); ++i)
        std::copy(events[i].begin(), events[i].end(), rec + 32 + 3 * i);
    return memory;
}

} // namespace

class TestRatbagDevice : public QObject
{
    Q_OBJECT

private slots:
    void identityComesFromTheModel()
    {
        Identity id = identify("usb:046d:c539:0", "Any");
        QCOMPARE(QString::fromStdString(id.deviceId), QStringLiteral("RATBAG-usb-046d-c539"));
        QCOMPARE(QString::fromStdString(id.hardwareId),
                 QStringLiteral("RATBAG\\usb&Vid_046d&Pid_c539&Rev_0"));
        id = identify("bluetooth:5678:ef01:12", "Any");
        QCOMPARE(QString::fromStdString(id.hardwareId),
                 QStringLiteral("RATBAG\\bluetooth&Vid_5678&Pid_ef01&Rev_12"));
        QCOMPARE(QString::fromStdString(instance(id, 2).hardwareId),
                 QStringLiteral("RATBAG\\bluetooth&Vid_5678&Pid_ef01&Rev_12&Inst_2"));
        QCOMPARE(QString::fromStdString(instance(id, 2).deviceId),
                 QStringLiteral("RATBAG-bluetooth-5678-ef01-2"));
        // Unknown or malformed models: the name, hashed, stands for the model.
        const Identity a = identify("unknown", "Test device");
        QCOMPARE(a.hardwareId, identify("unknown", "Test device").hardwareId);
        QVERIFY(a.hardwareId != identify("unknown", "Other device").hardwareId);
        QVERIFY(QString::fromStdString(a.hardwareId).startsWith("RATBAG\\unknown&Name_"));
        for (const char *bad : {"usb:046D:c539:0", "usb:046d:c539:12345678901", "usb:046d:c539",
                                "serial:046d:c539:0", "usb:046d:c539:0\n"})
            QCOMPARE(identify(bad, "Test device").hardwareId, a.hardwareId);
        QVERIFY(identify("usb:046d:c539:0", "").deviceId.size() < DC_RECORD_DEVICE_ID_SIZE);
    }

    void everyPropertyReadsWhatItWrites()
    {
        const Device d = mouse(3, 5, 11, 2);
        Values v = valuesOf(d);
        QCOMPARE(roundTrip(d, &v, 2, bytes({3})), QByteArray("03"));
        QVERIFY(!v.resolutions[0].active && v.resolutions[3].active);
        QCOMPARE(roundTrip(d, &v, 3, bytes({0x20, 0x03, 0xb0, 0x04})),
                 QByteArray("2003b004b0044006d007"));                // 800, 1200 + the rest
        QCOMPARE(roundTrip(d, &v, 5, bytes({7})), QByteArray("07")); // 8000 Hz
        QCOMPARE(roundTrip(d, &v, 12, bytes({4})), QByteArray("04"));
        QCOMPARE(roundTrip(d, &v, 14, bytes({2})), QByteArray("02"));
        QCOMPARE(v.activeProfile, 2);
        v = valuesOf(d, 2);
        QCOMPARE(roundTrip(d, &v, 15, bytes({0x05, 0})), QByteArray("0500")); // profile 1 off
        QCOMPARE(roundTrip(d, &v, 1, bytes({5})), QByteArray("05"));
        QCOMPARE(roundTrip(d, &v, 13, bytes({0, 0})), QByteArray("0000"));
        // LEDs: whole records with their duration; a 6-byte write sets LED 0 by speed.
        // (breathing, 50 % = 128 of 255, 10000 ms = speed 1; LED 1 as it was: speed 9)
        QCOMPARE(roundTrip(d, &v, 8, bytes({2, 0x10, 0x20, 0x30, 50, 9, 0x10, 0x27})),
                 QByteArray("021020303201102701ff00003209d007"));
    }

    void stagesTheWriteLeavesKeepTheirOwnValues()
    {
        // The page writes every stage when one changes: a stage with a Y of its own and a
        // stage switched off (0 DPI) are not touched, only the stage that changed is.
        Device d = mouse(1, 3, 3, 0);
        for (Resolution &r : d.profiles[0].resolutions)
            r.separateXY = true;
        Values v = valuesOf(d);
        v.resolutions[0].x = 800;
        v.resolutions[0].y = 400;
        v.resolutions[1].x = v.resolutions[1].y = 0;
        std::vector<Change> changes;
        const std::vector<uint8_t> stage3 = bytes({0x20, 0x03, 0, 0, 0x80, 0x0c}); // 800, 0, 3200
        QCOMPARE(planWrite(d, v, {}, 3, stage3.data(), uint32_t(stage3.size()), &changes),
                 int32_t(DC_OK));
        QCOMPARE(changes.size(), size_t(1));
        QCOMPARE(changes[0].op.path, d.profiles[0].resolutions[2].path);
        QCOMPARE(roundTrip(d, &v, 3, stage3), QByteArray("20030000800c"));
        QCOMPARE(v.resolutions[0].y, 400u);
        // A stage that holds a DPI cannot be switched off through the page.
        const std::vector<uint8_t> off = bytes({0, 0});
        QCOMPARE(planWrite(d, v, {}, 3, off.data(), 2, &changes), int32_t(DC_BAD_ARGUMENT));
    }

    void aStageSwitchedOffIsNeitherMadeActiveNorTheDefault()
    {
        // 0 DPI: the mouse has switched the resolution off (libratbag's disabled mode).
        const Device d = mouse(1, 3, 3, 0);
        Values v = valuesOf(d);
        v.resolutions[2].x = v.resolutions[2].y = 0;
        std::vector<Change> changes;
        const uint8_t third = 2;
        QCOMPARE(planWrite(d, v, {}, 2, &third, 1, &changes), int32_t(DC_BAD_ARGUMENT));
        QCOMPARE(planWrite(d, v, {}, 12, &third, 1, &changes), int32_t(DC_BAD_ARGUMENT));
        QCOMPARE(planNotify(d, v, 1, 2, &changes), int32_t(DC_BAD_ARGUMENT));
        QVERIFY(changes.empty());
        // One the mouse has in use or starts with stays so; the stages that hold a DPI are free.
        v.resolutions[0].active = v.resolutions[0].isDefault = false;
        v.resolutions[2].active = v.resolutions[2].isDefault = true;
        QCOMPARE(roundTrip(d, &v, 2, bytes({2})), QByteArray("02"));
        QCOMPARE(roundTrip(d, &v, 12, bytes({2})), QByteArray("02"));
        QCOMPARE(roundTrip(d, &v, 2, bytes({1})), QByteArray("01"));
        QCOMPARE(roundTrip(d, &v, 12, bytes({0})), QByteArray("00"));
    }

    void lightingKeepsTheSimulatedMouseLayout()
    {
        const Device d = mouse(1, 1, 3, 2);
        Values v = valuesOf(d);
        QCOMPARE(roundTrip(d, &v, 8, bytes({3, 0x39, 0xa7, 0xda, 80, 5})).left(16),
                 QByteArray("0339a7da50057017")); // spectrum, speed 5 = 6000 ms
        QCOMPARE(v.leds[0].mode, 2u);             // the daemon's cycle mode
        QCOMPARE(v.leds[0].brightness, 204u);     // 80 % of 255
        QCOMPARE(v.leds[1].mode, 1u);             // the second LED kept
        // Brightness survives the 0-255 scale both ways.
        for (int percent = 0; percent <= 100; ++percent) {
            QCOMPARE(roundTrip(d, &v, 8, bytes({1, 1, 2, 3, percent, 5})).mid(8, 2),
                     QByteArray::number(percent, 16).rightJustified(2, '0'));
        }
        // A one-bit LED stores on/off per colour; a single-colour LED ignores the colour.
        Device oneBit = d;
        oneBit.profiles[0].leds[0].depth = DepthRgb111;
        oneBit.profiles[0].leds[1].depth = DepthMonochrome;
        v = valuesOf(oneBit);
        v.leds[1] = {1, 7, 7, 7, 1000, 255};
        std::vector<Change> changes;
        const std::vector<uint8_t> rec =
            bytes({1, 200, 100, 0, 50, 1, 0xd0, 0x07, 1, 9, 9, 9, 100, 1, 0xe8, 0x03});
        QCOMPARE(planWrite(oneBit, v, {}, 8, rec.data(), 16, &changes), int32_t(DC_OK));
        QCOMPARE(changes.size(), size_t(1));
        QCOMPARE(changes[0].op.member, std::string("Color"));
        QCOMPARE(changes[0].op.value.a, 1u);
        QCOMPARE(changes[0].op.value.b, 0u);
        QCOMPARE(changes[0].undo.value.a, 255u);
        applyAll(changes, oneBit, &v);
        std::vector<uint8_t> out;
        readProperty(oneBit, v, {}, 8, &out);
        QCOMPARE(hex(out).left(8), QByteArray("01ff0000"));
    }

    void lightingWrittenBackAsItReadsChangesNothing()
    {
        // Brightness reads in whole percent of the daemon's 0-255, the speed in whole seconds
        // of its duration: a record written back as it reads (the LEDs the user did not touch,
        // written with the one they did) leaves the daemon's own values alone.
        const Device d = mouse(1, 1, 3, 2);
        Values v = valuesOf(d);
        v.leds[0].brightness = 50;  // 20 %, which would be 51
        v.leds[0].duration = 2500;  // speed 8, which would be 3000 ms
        v.leds[1].brightness = 100; // 39 %, which would be 99
        std::vector<uint8_t> record;
        QCOMPARE(readProperty(d, v, {}, 8, &record), int32_t(DC_OK));
        QCOMPARE(hex(record), QByteArray("01ff00001408c409") + QByteArray("01ff00002709d007"));
        std::vector<Change> changes;
        QCOMPARE(planWrite(d, v, {}, 8, record.data(), uint32_t(record.size()), &changes),
                 int32_t(DC_OK));
        QVERIFY(changes.empty());
        QCOMPARE(planWrite(d, v, {}, 8, record.data(), 6, &changes), int32_t(DC_OK));
        QVERIFY(changes.empty());
        // Another percent or speed is written.
        record[4] = 21;
        record[5] = 7;
        QCOMPARE(planWrite(d, v, {}, 8, record.data(), 6, &changes), int32_t(DC_OK));
        QCOMPARE(changes.size(), size_t(2));
        QCOMPARE(changes[0].op.member, std::string("EffectDuration"));
        QCOMPARE(changes[0].op.value.a, 4000u);
        QCOMPARE(changes[1].op.member, std::string("Brightness"));
        QCOMPARE(changes[1].op.value.a, 54u);
    }

    void writesOutsideTheDeviceAreRefusedBeforeAnythingIsSent()
    {
        const Device d = mouse(2, 3, 3, 1);
        const Values v = valuesOf(d);
        std::vector<Change> changes;
        auto refused = [&](uint32_t id, std::vector<uint8_t> b) {
            return planWrite(d, v, {}, id, b.data(), uint32_t(b.size()), &changes) ==
                       DC_BAD_ARGUMENT &&
                   changes.empty();
        };
        QVERIFY(refused(1, bytes({4})));                 // the count is fixed
        QVERIFY(refused(2, bytes({3})));                 // no fourth stage
        QVERIFY(refused(3, bytes({0x20})));              // half a stage
        QVERIFY(refused(3, bytes({0, 0})));              // 0 DPI
        QVERIFY(refused(3, std::vector<uint8_t>(8, 1))); // four stages
        QVERIFY(refused(5, bytes({5})));                 // 2000 Hz is not offered
        QVERIFY(refused(5, bytes({8})));                 // no such code
        QVERIFY(refused(4, bytes({0})));                 // no stage colours
        QVERIFY(refused(6, bytes({1})));                 // no lift-off distance
        QVERIFY(refused(9, bytes({1})));                 // no angle snapping
        QVERIFY(refused(10, bytes({4})));                // no debounce
        QVERIFY(refused(11, bytes({1})));                // no motion sync
        QVERIFY(refused(13, bytes({1, 0})));             // cannot disable stages
        QVERIFY(refused(14, bytes({2})));                // two profiles
        QVERIFY(refused(15, bytes({2})));                // profile 0 cannot be disabled
        QVERIFY(refused(DC_PROP_DESCRIPTION, bytes({0})));
        QVERIFY(refused(8, bytes({4, 0, 0, 0, 50, 5})));             // wave: not an LED mode here
        QVERIFY(refused(8, bytes({1, 0, 0, 0, 101, 5})));            // brightness above 100 %
        QVERIFY(refused(8, bytes({1, 0, 0, 0, 50, 0})));             // speed 0
        QVERIFY(refused(8, bytes({1, 0, 0, 0, 50, 5, 0x11, 0x27}))); // 10001 ms
        QVERIFY(refused(7, bytes({0, 0, 0, 0})));                    // disabling is not offered
        QVERIFY(refused(7, bytes({1, 11, 0, 0})));                   // no mouse function 11
        QVERIFY(refused(7, bytes({7, 31, 0, 0})));                   // button 31
        QVERIFY(refused(7, bytes({2, 0, 0x1e, 2})));                 // extended flag 2
        QVERIFY(refused(7, bytes({2, 16, 0x1e, 0})));                // modifier bit 4
        QVERIFY(refused(7, bytes({2, 0, 0x55, 0})));                 // scan code without a key
        QVERIFY(refused(7, bytes({5, 0, 1, 0})));                    // repeat while held
        QVERIFY(refused(7, bytes({5, 8, 0, 0})));                    // slot 8
        QVERIFY(refused(7, bytes({3, 7, 0, 0})));                    // DPI function 7
        QVERIFY(refused(7, std::vector<uint8_t>(16, 1)));            // four buttons
        QVERIFY(refused(7, bytes({1, 1, 0})));                       // three bytes

        // A button that allows only the daemon's Button type takes no special function.
        Device plain = d;
        plain.profiles[0].buttons[0].actionTypes = {ActionButton};
        const std::vector<uint8_t> wheel = bytes({1, 6, 0, 0});
        QCOMPARE(planWrite(plain, v, {}, 7, wheel.data(), 4, &changes), int32_t(DC_BAD_ARGUMENT));
        const std::vector<uint8_t> left = bytes({1, 1, 0, 0});
        QCOMPARE(planWrite(plain, v, {}, 7, left.data(), 4, &changes), int32_t(DC_OK));
    }

    void buttonsBecomeTheDaemonsActions()
    {
        const Device d = mouse(1, 1, 8, 0);
        Values v = valuesOf(d);
        std::vector<uint8_t> memory = slotMemory(2, {{1, 0x1d, 0},
                                                     {3, 0x10, 0x27},
                                                     {3, 0x10, 0x27},
                                                     {1, 0x1e, 0},
                                                     {2, 0x1e, 0},
                                                     {2, 0x1d, 0}});
        const std::vector<uint8_t> want = bytes({
            1, 3,  0,    0, // middle click: button 3
            7, 12, 0,    0, // button 12
            1, 6,  0,    0, // wheel up
            3, 5,  0,    0, // sniper: resolution alternate
            4, 3,  0,    0, // profile up
            2, 3,  0x2c, 0, // Ctrl+Shift+Z
            6, 1,  0,    0, // play/pause
            5, 2,  0,    0, // slot 2
        });
        QCOMPARE(roundTrip(d, &v, 7, want, &memory), hex(want));
        QCOMPARE(v.buttons[0], (Mapping{ActionButton, 3, {}}));
        QCOMPARE(v.buttons[2], (Mapping{ActionSpecial, kSpecialBase + 4, {}}));
        QCOMPARE(v.buttons[3], (Mapping{ActionSpecial, kSpecialBase + 11, {}}));
        const Macro ctrlShiftZ = {{EventPress, 29},   {EventPress, 42},   {EventPress, 44},
                                  {EventRelease, 44}, {EventRelease, 42}, {EventRelease, 29}};
        QVERIFY(v.buttons[5].macro == ctrlShiftZ);
        const Macro playPause = {{EventPress, 164}, {EventRelease, 164}};
        QVERIFY(v.buttons[6].macro == playPause);
        // The slot's delays added up, scan codes as Linux keys (Ctrl 29, A 30).
        const Macro slot = {{EventPress, 29},
                            {EventWait, 20000},
                            {EventPress, 30},
                            {EventRelease, 30},
                            {EventRelease, 29}};
        QVERIFY(v.buttons[7].macro == slot);

        // 255 keeps a button; what kelv cannot show reads as 255.
        v.buttons[1] = Mapping();
        std::vector<Change> changes;
        const std::vector<uint8_t> keep = bytes({255, 0, 0, 0, 255, 0, 0, 0, 1, 2, 0, 0});
        QCOMPARE(planWrite(d, v, {}, 7, keep.data(), 12, &changes), int32_t(DC_OK));
        QCOMPARE(changes.size(), size_t(1));
        QCOMPARE(changes[0].op.path, d.profiles[0].buttons[2].path);
        std::vector<uint8_t> out;
        readProperty(d, v, {&memory, nullptr}, 7, &out);
        QCOMPARE(hex(out).mid(8, 8), QByteArray("ff000000"));
        // A macro that equals no slot, no key and no media key reads as 255 too.
        v.buttons[0] =
            Mapping{ActionMacro, 0, {{EventPress, 30}, {EventWait, 5}, {EventRelease, 30}}};
        readProperty(d, v, {&memory, nullptr}, 7, &out);
        QCOMPARE(hex(out).left(8), QByteArray("ff000000"));
    }

    void everyKeyTheDaemonHoldsIsWrittenBackAsItIs()
    {
        // Whatever key (with Ctrl) a button runs, the bytes it reads as, written back with the
        // rest of the buttons, leave it as it is.
        const Device d = mouse(1, 1, 1, 0);
        std::vector<Change> changes;
        for (unsigned key = 1; key < 256; ++key) {
            for (const unsigned mods : {0u, 1u}) {
                Values v = valuesOf(d);
                v.buttons[0] = Mapping{ActionMacro, 0, linuxKeyMacro(mods, key)};
                std::vector<uint8_t> b;
                QCOMPARE(readProperty(d, v, {}, 7, &b), int32_t(DC_OK));
                QCOMPARE(planWrite(d, v, {}, 7, b.data(), uint32_t(b.size()), &changes),
                         int32_t(DC_OK));
                QVERIFY2(changes.empty(),
                         qPrintable(QStringLiteral("key %1, modifiers %2 read as %3")
                                        .arg(key)
                                        .arg(mods)
                                        .arg(QString::fromLatin1(hex(b)))));
            }
        }
        // F24 shares its scan code with Zenkaku/Hankaku: kept as the mouse has it.
        Values v = valuesOf(d);
        v.buttons[0] = Mapping{ActionMacro, 0, linuxKeyMacro(0, 194)};
        std::vector<uint8_t> b;
        readProperty(d, v, {}, 7, &b);
        QCOMPARE(hex(b), QByteArray("ff000000"));
    }

    void macroSlotsBecomeTheDaemonsEvents()
    {
        Macro out;
        std::vector<uint8_t> memory(kMemorySize, 0);
        QCOMPARE(slotMacro(memory, 0, &out), int32_t(DC_OK)); // empty slot: empty macro
        QVERIFY(out.empty());
        // Right Ctrl is 0x1D extended; delays above 65535 ms come split and are joined.
        memory = slotMemory(
            7, {{1, 0x1d, 1}, {3, 0xff, 0xff}, {3, 0x02, 0x00}, {3, 0, 0}, {2, 0x1d, 1}});
        QCOMPARE(slotMacro(memory, 7, &out), int32_t(DC_OK));
        QVERIFY((out == Macro{{EventPress, 97}, {EventWait, 65537}, {EventRelease, 97}}));
        // Damaged records and keys without a Linux key code are refused.
        memory = slotMemory(0, {{1, 0x55, 0}});
        QCOMPARE(slotMacro(memory, 0, &out), int32_t(DC_BAD_ARGUMENT));
        memory = slotMemory(0, {{9, 1, 0}});
        QCOMPARE(slotMacro(memory, 0, &out), int32_t(DC_BAD_ARGUMENT));
        memory = slotMemory(0, {});
        memory[kSlotBase + 1] = 0xa1; // 673 events
        memory[kSlotBase + 2] = 0x02;
        QCOMPARE(slotMacro(memory, 0, &out), int32_t(DC_BAD_ARGUMENT));
        memory[kSlotBase] = 0x4E;
        memory[kSlotBase + 1] = memory[kSlotBase + 2] = 0;
        QCOMPARE(slotMacro(memory, 0, &out), int32_t(DC_BAD_ARGUMENT));
        // More events than the daemon takes.
        std::vector<std::array<uint8_t, 3>> many;
        for (int i = 0; i < 129; ++i) {
            many.push_back({1, 0x1e, 0});
            many.push_back({2, 0x1e, 0});
        }
        memory = slotMemory(1, many);
        QCOMPARE(slotMacro(memory, 1, &out), int32_t(DC_BAD_ARGUMENT));
        many.resize(256);
        memory = slotMemory(1, many);
        QCOMPARE(slotMacro(memory, 1, &out), int32_t(DC_OK));

        // Key shapes: only modifiers in bit order around one key.
        unsigned mods = 0, key = 0;
        QVERIFY(keyOfMacro(linuxKeyMacro(0xf, 30), &mods, &key));
        QCOMPARE(mods, 0xfu);
        QCOMPARE(key, 30u);
        QVERIFY(keyOfMacro(linuxKeyMacro(0, 29), &mods, &key)); // Ctrl alone is a key
        QCOMPARE(mods, 0u);
        const Macro shiftBeforeCtrl = {{EventPress, 42},   {EventPress, 29},   {EventPress, 30},
                                       {EventRelease, 30}, {EventRelease, 29}, {EventRelease, 42}};
        QVERIFY(!keyOfMacro(shiftBeforeCtrl, &mods, &key));
        QVERIFY(!keyOfMacro({{EventPress, 30}, {EventRelease, 31}}, &mods, &key));
        QVERIFY(!keyOfMacro({{EventPress, 30}}, &mods, &key));
    }

    void theDescriptionFitsTheLargestMouse()
    {
        Device d = mouse(int(kMaxProfiles), int(kMaxResolutions), int(kMaxButtons), int(kMaxLeds));
        d.name = std::string(kMaxNameBytes, 'N');
        d.model = std::string(kMaxModelBytes, 'M');
        std::vector<uint32_t> odd;
        for (uint32_t i = 0; i < kMaxDpis; ++i)
            odd.push_back(100 + i * 7 + (i % 3)); // no two equal steps in a row: one run each
        d.profiles[0].resolutions[0].dpis = odd;
        for (Profile &p : d.profiles) {
            p.hasAngleSnapping = p.hasDebounce = true;
            p.debounces = {2, 4, 8, 12, 16, 24, 32};
        }
        const std::string text = describe(d, 255);
        QVERIFY2(text.size() <= DC_TRANSFER_SIZE - 1, qPrintable(QString::number(text.size())));
        QJsonParseError error;
        QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        // A list too irregular to describe in runs becomes one run with step 0.
        const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
        QCOMPARE(o.value("stages").toObject().value("dpi").toArray(),
                 QJsonArray({QJsonArray{int(odd.front()), int(odd.back()), 0}}));
        QCOMPARE(o.value("buttons").toObject().value("count").toInt(), int(kMaxButtons));
    }

    void theDescriptionSaysWhatTheDeviceTakes()
    {
        Device d = mouse(2, 2, 3, 1);
        d.profiles[0].buttons[2].actionTypes = {ActionButton};
        d.profiles[0].leds[0].modes = {0, 3};
        d.profiles[0].leds[0].depth = DepthRgb111;
        const QJsonObject o =
            QJsonDocument::fromJson(QByteArray::fromStdString(describe(d, 7))).object();
        QCOMPARE(o.value("source").toString(), QStringLiteral("ratbagd"));
        QCOMPARE(o.value("tag").toInt(), 7);
        QCOMPARE(o.value("properties").toArray(),
                 QJsonArray({1, 2, 3, 5, 7, 8, 12, 13, 14, 15, 64, 65, 66}));
        const QJsonObject stages = o.value("stages").toObject();
        QCOMPARE(stages.value("min").toInt(), 2);
        QCOMPARE(stages.value("max").toInt(), 2);
        QCOMPARE(stages.value("dpi").toArray(),
                 QJsonArray({QJsonArray{100, 1000, 50}, QJsonArray{1100, 4000, 100}}));
        QCOMPARE(o.value("reportRates").toArray(),
                 QJsonArray({QJsonArray{1, 125}, QJsonArray{2, 250}, QJsonArray{3, 500},
                             QJsonArray{4, 1000}, QJsonArray{7, 8000}}));
        const QJsonObject buttons = o.value("buttons").toObject();
        QCOMPARE(buttons.value("count").toInt(), 3);
        QCOMPARE(buttons.value("allowed").toArray(), QJsonArray({510, 510, 130}));
        // Mouse functions 1-5 (bits 1-5) with the daemon's buttons, 6-10 with its specials.
        QCOMPARE(buttons.value("mouse").toArray(), QJsonArray({0x7fe, 0x7fe, 0x3e}));
        QCOMPARE(buttons.value("roles").toArray(), QJsonArray({"", "", ""}));
        const QJsonObject led =
            o.value("lighting").toObject().value("leds").toArray().at(0).toObject();
        QCOMPARE(led.value("effects").toArray(), QJsonArray({0, 2}));
        QCOMPARE(led.value("colour").toString(), QStringLiteral("rgb111"));
        QCOMPARE(o.value("profiles").toObject().value("disable").toBool(), true);
        QCOMPARE(o.value("macros").toObject().value("repeat").toArray(), QJsonArray({0}));
        QCOMPARE(o.value("liftOff").toArray(), QJsonArray());
        QCOMPARE(o.value("firmware").toBool(), false);

        // A mouse without LEDs, report rates and default stage says so.
        Device bare = mouse(1, 1, 3, 0);
        bare.profiles[0].reportRates.clear();
        bare.profiles[0].hasDefaultStage = false;
        const QJsonObject b =
            QJsonDocument::fromJson(QByteArray::fromStdString(describe(bare, 1))).object();
        QCOMPARE(b.value("properties").toArray(), QJsonArray({1, 2, 3, 7, 13, 14, 15, 64, 65, 66}));
        QCOMPARE(b.value("lighting").toObject().value("leds").toArray(), QJsonArray());
        QCOMPARE(b.value("stages").toObject().value("default").toBool(), false);

        // A DPI list out of order and with repeats is described in order.
        Device shuffled = mouse(1, 1, 3, 0);
        shuffled.profiles[0].resolutions[0].dpis = {1600, 400, 800, 400, 3200, 1200};
        const QJsonObject s =
            QJsonDocument::fromJson(QByteArray::fromStdString(describe(shuffled, 1))).object();
        QCOMPARE(s.value("stages").toObject().value("dpi").toArray(),
                 QJsonArray({QJsonArray{400, 1600, 400}, QJsonArray{3200, 3200, 1}}));
    }

    void textFromTheDaemonIsCleaned()
    {
        QCOMPARE(cleanText("Mouse\x01\n", 127), std::string("Mouse"));
        QCOMPARE(cleanText("G\xff\xfe", 127), std::string("G\xEF\xBF\xBD\xEF\xBF\xBD"));
        QCOMPARE(cleanText("\xC0\xAF", 127), std::string("\xEF\xBF\xBD\xEF\xBF\xBD")); // overlong
        QCOMPARE(cleanText("\xED\xA0\x80", 127).find("\xED"), std::string::npos);      // surrogate
        QCOMPARE(cleanText("ab\xE2\x82\xAC", 4), std::string("ab")); // the euro sign does not fit
        QCOMPARE(cleanText("\xE2\x82", 127), std::string("\xEF\xBF\xBD\xEF\xBF\xBD"));
        QCOMPARE(asciiText("hid raw\x7f"
                           "3",
                           13),
                 std::string("hidraw3"));
        QCOMPARE(asciiText(std::string(40, 'x'), 13).size(), size_t(13));
    }
};

QTEST_GUILESS_MAIN(TestRatbagDevice)
#include "tst_ratbag_device.moc"
