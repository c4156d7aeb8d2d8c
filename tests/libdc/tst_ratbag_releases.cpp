// What differs between ratbagd's releases, without a daemon: API 2 (libratbag 0.18) says
// "Disabled" where API 1 says "Enabled", disables stages and names profiles; devices that are
// no mice (DeviceType, or the models 0.17 knows as keyboards) are told apart; which instance
// of a model each mouse is (by serial number or port); a macro without events is no slot's.

#include "libdc/libdc.h"
#include "libdc/ratbag/identity_store.h"
#include "libdc/ratbag/ratbag_device.h"
#include "libdc/ratbag/ratbag_macro.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace kelv::ratbag;

namespace {

// Three profiles (the last can be disabled, the first two named), four stages that can be
// disabled, two buttons.
Device mouse(bool api2)
{
    Device d;
    d.path = "/r/device/hidraw3";
    d.model = "usb:046d:c539:0";
    d.profileDisabledProperty = api2;
    for (int p = 0; p < 3; ++p) {
        Profile profile;
        profile.path = "/r/p" + std::to_string(p);
        profile.canDisable = p == 2;
        profile.canRename = p < 2;
        profile.hasDefaultStage = true;
        for (int r = 0; r < 4; ++r) {
            Resolution res;
            res.path = profile.path + "/r" + std::to_string(r);
            res.canDisable = api2;
            res.dpis = {400, 800, 1600};
            profile.resolutions.push_back(res);
        }
        for (int b = 0; b < 2; ++b)
            profile.buttons.push_back(
                {profile.path + "/b" + std::to_string(b), {ActionButton, ActionMacro}});
        d.profiles.push_back(profile);
    }
    return d;
}

Values values()
{
    Values v;
    v.activeProfile = 0;
    v.enabled = {true, true, true};
    v.names = {"Work", "Play", ""};
    for (int r = 0; r < 4; ++r)
        v.resolutions.push_back({r == 0, r == 1, 800, 800});
    v.buttons = {{ActionButton, 1, {}}, {ActionMacro, 0, {}}};
    return v;
}

std::vector<Change> plan(const Device &d, const Values &v, uint32_t id, const QByteArray &bytes,
                         int32_t *result)
{
    std::vector<Change> changes;
    *result = planWrite(d, v, SlotView{}, id, reinterpret_cast<const uint8_t *>(bytes.constData()),
                        uint32_t(bytes.size()), &changes);
    return changes;
}

QByteArray read(const Device &d, const Values &v, uint32_t id)
{
    std::vector<uint8_t> out;
    readProperty(d, v, SlotView{}, id, &out);
    return QByteArray(reinterpret_cast<const char *>(out.data()), int(out.size()));
}

QByteArray nameRecord(const QByteArray &name)
{
    return name + QByteArray(int(kProfileNameRecord) - name.size(), '\0');
}

} // namespace

class TestRatbagReleases : public QObject
{
    Q_OBJECT

private slots:
    // Disabling the third profile: API 1 sets Enabled false, API 2 sets Disabled true, and
    // putting it back the opposite; nothing else is touched.
    void aProfileIsDisabledTheWayTheDaemonSaysIt()
    {
        for (const bool api2 : {false, true}) {
            int32_t r = -1;
            const auto changes = plan(mouse(api2), values(), 15, QByteArray::fromHex("0300"), &r);
            QCOMPARE(r, int32_t(DC_OK));
            QCOMPARE(changes.size(), size_t(1));
            QCOMPARE(QString::fromStdString(changes[0].op.path), QStringLiteral("/r/p2"));
            QCOMPARE(QString::fromStdString(changes[0].op.member),
                     api2 ? QStringLiteral("Disabled") : QStringLiteral("Enabled"));
            QCOMPARE(changes[0].op.value.a, api2 ? 1u : 0u);
            QCOMPARE(changes[0].undo.value.a, api2 ? 0u : 1u);
        }
    }

    void stagesAreDisabledOnlyWhereTheyCanBe()
    {
        int32_t r = -1;
        Values v = values();
        auto changes = plan(mouse(true), v, 13, QByteArray::fromHex("0c00"), &r);
        QCOMPARE(r, int32_t(DC_OK));
        QCOMPARE(changes.size(), size_t(2));
        QCOMPARE(QString::fromStdString(changes[0].op.member), QStringLiteral("IsDisabled"));
        QCOMPARE(QString::fromStdString(changes[1].op.path), QStringLiteral("/r/p0/r3"));
        plan(mouse(true), v, 13, QByteArray::fromHex("0100"), &r); // the active stage
        QCOMPARE(r, int32_t(DC_BAD_ARGUMENT));
        plan(mouse(true), v, 13, QByteArray::fromHex("0200"), &r); // the default stage
        QCOMPARE(r, int32_t(DC_BAD_ARGUMENT));
        plan(mouse(true), v, 13, QByteArray::fromHex("1000"), &r); // past the count
        QCOMPARE(r, int32_t(DC_BAD_ARGUMENT));
        plan(mouse(false), v, 13, QByteArray::fromHex("0400"), &r); // API 1: none can be
        QCOMPARE(r, int32_t(DC_BAD_ARGUMENT));
        v.resolutions[2].disabled = true;
        QCOMPARE(read(mouse(true), v, 13).toHex(), QByteArray("0400"));
        plan(mouse(true), v, 2, QByteArray(1, 2), &r); // a disabled stage is not made active
        QCOMPARE(r, int32_t(DC_BAD_ARGUMENT));
        plan(mouse(true), v, 12, QByteArray(1, 2), &r); // nor the default
        QCOMPARE(r, int32_t(DC_BAD_ARGUMENT));
        QVERIFY(plan(mouse(true), v, 13, QByteArray::fromHex("0400"), &r).empty());
        QCOMPARE(r, int32_t(DC_OK));
        const QJsonObject d =
            QJsonDocument::fromJson(QByteArray::fromStdString(describe(mouse(true), 1))).object();
        QCOMPARE(d.value("stages").toObject().value("disable").toBool(), true);
    }

    void profilesAreNamedWhereTheDaemonLetsThem()
    {
        const Device d = mouse(true);
        Values v = values();
        QCOMPARE(read(d, v, 16), nameRecord("Work") + nameRecord("Play") + nameRecord(""));
        int32_t r = -1;
        auto changes = plan(d, v, 16, nameRecord("B\xc3\xbcro") + nameRecord("Play"), &r);
        QCOMPARE(r, int32_t(DC_OK));
        QCOMPARE(changes.size(), size_t(1));
        QCOMPARE(QString::fromStdString(changes[0].op.value.text), QStringLiteral("B\u00fcro"));
        QCOMPARE(QString::fromStdString(changes[0].undo.value.text), QStringLiteral("Work"));
        for (const QByteArray &bad :
             {nameRecord("Work") + nameRecord("Play") + nameRecord("X"), nameRecord(""),
              nameRecord("\xff"), nameRecord("A\x01"), QByteArray(64, 'x'), QByteArray(63, 'x')})
            QVERIFY2((plan(d, v, 16, bad, &r), r == DC_BAD_ARGUMENT), bad.toHex().constData());
        // A name longer than a record reads cut, and writing the cut one back changes nothing.
        v.names[1] = std::string(70, 'n');
        QVERIFY(plan(d, v, 16, read(d, v, 16).left(128), &r).empty());
        const QJsonObject desc =
            QJsonDocument::fromJson(QByteArray::fromStdString(describe(d, 1))).object();
        QCOMPARE(desc.value("profiles").toObject().value("rename").toArray(), QJsonArray({0, 1}));
        QVERIFY(desc.value("properties").toArray().contains(16));
        Device nameless = d;
        for (Profile &p : nameless.profiles)
            p.canRename = false;
        QVERIFY(!QJsonDocument::fromJson(QByteArray::fromStdString(describe(nameless, 1)))
                     .object()
                     .value("properties")
                     .toArray()
                     .contains(16));
    }

    void onlyMiceAreMice()
    {
        Device d = mouse(true);
        QCOMPARE(kindOf(d), DeviceMouse);
        d.type = DeviceKeyboard;
        QCOMPARE(kindOf(d), DeviceKeyboard);
        d.type = DeviceOther;
        QCOMPARE(kindOf(d), DeviceOther);
        d.type = DeviceMouse;
        d.model = "usb:046d:c33e:0"; // DeviceType wins over the table
        QCOMPARE(kindOf(d), DeviceMouse);
        d.type = DeviceUnspecified; // 0.17: the table
        for (const char *keyboard :
             {"usb:046d:c33c:0", "usb:046d:c33f:3", "usb:046d:c335:0", "usb:046d:c33e:0",
              "usb:046d:c343:0", "bluetooth:046d:b35f:0"}) {
            d.model = keyboard;
            QCOMPARE(kindOf(d), DeviceKeyboard);
        }
        d.model = "usb:046d:405f:0";
        QCOMPARE(kindOf(d), DeviceOther);
        d.model = "usb:046d:c33d:0";
        QCOMPARE(kindOf(d), DeviceMouse);
    }

    // The page's bug: a button whose macro has no events read as slot 0 while slot 0 was
    // empty, and storing a macro there later sent it to that button.
    void aMacroWithoutEventsIsNoSlot()
    {
        const Device d = mouse(false);
        const Values v = values(); // button 1 runs a macro without events
        const std::vector<uint8_t> memory(kMemorySize, 0);
        std::vector<uint8_t> out;
        readProperty(d, v, SlotView{&memory, nullptr}, 7, &out);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(out.data()), 8).toHex(),
                 QByteArray("01010000ff000000"));
        // Assigned by kelv to an empty slot, it names that slot.
        const std::vector<int> assigned = {-1, 3};
        readProperty(d, v, SlotView{&memory, &assigned}, 7, &out);
        QCOMPARE(out[4], uint8_t(5));
        QCOMPARE(out[5], uint8_t(3));
    }

    void identicalMiceGetTheirOwnInstance()
    {
        QTemporaryDir dir;
        const std::string folder = dir.path().toStdString();
        std::vector<int> now; // the instances listed at the moment
        auto taken = [&](int n) { return std::find(now.begin(), now.end(), n) != now.end(); };
        IdentityStore store;
        const std::string id = "RATBAG\\usb&Vid_1&Pid_2&Rev_0";
        // Serial numbers: B first this time, A had 1 before.
        QCOMPARE(store.pick(folder, id, "sn:A", taken), 1);
        now = {1};
        QCOMPARE(store.pick(folder, id, "sn:B", taken), 2);
        now = {};
        IdentityStore restarted;
        QCOMPARE(restarted.pick(folder, id, "sn:B", taken), 2);
        now = {2};
        QCOMPARE(restarted.pick(folder, id, "sn:A", taken), 1);
        // A new serial number takes no other one's instance, though it is free.
        now = {};
        QCOMPARE(restarted.pick(folder, id, "sn:C", taken), 3);
        // Ports: a lone mouse moved to another port keeps its instance.
        const std::string other = "RATBAG\\usb&Vid_3&Pid_4&Rev_0";
        QCOMPARE(restarted.pick(folder, other, "port:1-2", taken), 1);
        QCOMPARE(restarted.pick(folder, other, "port:1-4", taken), 1);
        now = {1};
        QCOMPARE(restarted.pick(folder, other, "port:1-3", taken), 2);
        now = {2};
        QCOMPARE(restarted.pick(folder, other, "port:1-4", taken), 1);
        // No key: the smallest free instance, nothing kept.
        now = {1, 2};
        QCOMPARE(restarted.pick(folder, other, "", taken), 3);
    }

    void theServiceStateStaysWithinItsSize()
    {
        std::vector<NotShown> many(16, NotShown{std::string(127, '\xe4'), "unreadable", true});
        for (NotShown &n : many)
            n.name = std::string(42, 'N') + "\xe4\xb8\xad\xe4\xb8\xad";
        const std::string text = serviceState("stopped", std::string(60, 'b'), 2, 0, many, true);
        QVERIFY2(text.size() < 512, text.c_str());
        const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
        QVERIFY(o.value("notShown").toArray().size() >= 3);
        // The usual bus name leaves room for all four.
        const std::string usual = serviceState("running", "org.freedesktop.ratbag1", 2, 1, many);
        QCOMPARE(QJsonDocument::fromJson(QByteArray::fromStdString(usual))
                     .object()
                     .value("notShown")
                     .toArray()
                     .size(),
                 4);
        QCOMPARE(o.value("startGivenUp").toBool(), true);
    }
};

QTEST_GUILESS_MAIN(TestRatbagReleases)
#include "tst_ratbag_releases.moc"
