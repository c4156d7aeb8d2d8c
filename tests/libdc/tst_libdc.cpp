// The device library through its C interface, loaded with dlopen exactly as a vendor
// library would be, and driven by the real dcsim process.

#include "libdc/libdc.h"
#include "tests/libdc/sim_fixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QTest>
#include <QThread>
#include <algorithm>
#include <cstring>
#include <dlfcn.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace kelv::test;

namespace {

const char16_t kMouse[] = u"HID\\Vid_0aa0&Pid_5e30";
const char16_t kBoot[] = u"HID\\Vid_0aa0&Pid_5e31";
const char16_t kEmpty[] = u"";
constexpr uint32_t kCode = DC_PRODUCT_CODE;

const char *const kNames[] = {"dcDeviceExist", "dcDevices",   "dcOnDeviceEvent",   "dconDeviceData",
                              "dcAsk",         "dcReset",     "dcNotify",          "dcRead",
                              "dcWrite",       "dcReadProp",  "dcWriteProp",       "dcScriptOut",
                              "dcIDWrite",     "dcRebootRom", "dcFinishUpdateRom", "dcCheckRom",
                              "dcBornRom",     "dcEraseRom"};

struct Lib
{
    void *handle = nullptr;
    DcFnDeviceExist exist = nullptr;
    DcFnDevices devices = nullptr;
    DcFnOnDeviceEvent onEvent = nullptr;
    DcFnOnDeviceData onData = nullptr;
    DcFnAsk ask = nullptr;
    DcFnReset reset = nullptr;
    DcFnNotify notify = nullptr;
    DcFnRead read = nullptr;
    DcFnWrite write = nullptr;
    DcFnReadProp readProp = nullptr;
    DcFnWriteProp writeProp = nullptr;
    DcFnScriptOut scriptOut = nullptr;
    DcFnIDWrite idWrite = nullptr;
    DcFnRebootRom rebootRom = nullptr;
    DcFnFinishUpdateRom finish = nullptr;
    DcFnCheckRom checkRom = nullptr;
    DcFnBornRom bornRom = nullptr;
    DcFnEraseRom eraseRom = nullptr;

    bool open()
    {
        handle = dlopen(libdcFile().toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            return false;
        auto get = [&](auto *entry, const char *name) {
            *entry = reinterpret_cast<std::remove_pointer_t<decltype(entry)>>(dlsym(handle, name));
            return *entry != nullptr;
        };
        return get(&exist, "dcDeviceExist") && get(&devices, "dcDevices") &&
               get(&onEvent, "dcOnDeviceEvent") && get(&onData, "dconDeviceData") &&
               get(&ask, "dcAsk") && get(&reset, "dcReset") && get(&notify, "dcNotify") &&
               get(&read, "dcRead") && get(&write, "dcWrite") && get(&readProp, "dcReadProp") &&
               get(&writeProp, "dcWriteProp") && get(&scriptOut, "dcScriptOut") &&
               get(&idWrite, "dcIDWrite") && get(&rebootRom, "dcRebootRom") &&
               get(&finish, "dcFinishUpdateRom") && get(&checkRom, "dcCheckRom") &&
               get(&bornRom, "dcBornRom") && get(&eraseRom, "dcEraseRom");
    }
    void close()
    {
        if (handle)
            dlclose(handle);
        *this = Lib();
    }
};

// What the callbacks saw, from the library's thread.
std::mutex g_mutex;
std::vector<uint32_t> g_events;
std::vector<std::string> g_data;
std::vector<std::thread::id> g_threads;

bool onEvent(uint32_t event)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_events.push_back(event);
    g_threads.push_back(std::this_thread::get_id());
    return true;
}

bool onData(const DcDataRecord *record, uint32_t)
{
    char hex[17] = {};
    for (int i = 0; i < 8; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", record->data[i]);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_data.push_back(hex);
    g_threads.push_back(std::this_thread::get_id());
    return true;
}

std::vector<uint32_t> events()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_events;
}

// The device changes the events carry. The simulated mouse is a composite device: each
// arrival or removal reaches the host as a burst of five equal events, one per interface.
// A burst that is not whole (or not equal) ends the list, so a check on it fails.
std::vector<uint32_t> changes()
{
    const std::vector<uint32_t> all = events();
    std::vector<uint32_t> out;
    for (size_t i = 0; i + 5 <= all.size(); i += 5) {
        if (!std::all_of(all.begin() + long(i), all.begin() + long(i) + 5,
                         [&](uint32_t e) { return e == all[i]; }))
            break;
        out.push_back(all[i]);
    }
    return out;
}

std::vector<std::string> dataReports()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_data;
}

DcFilter programFilter()
{
    DcFilter filter{};
    filter.words[0] = 0xFFA00001u;
    filter.words[1] = 0xFFAA0001u;
    return filter;
}

QString wideField(const uint8_t *p, int units)
{
    QString text;
    for (int i = 0; i < units; ++i) {
        const char16_t u = char16_t(p[2 * i] | (p[2 * i + 1] << 8));
        if (u == 0)
            break;
        text += QChar(u);
    }
    return text;
}

uint32_t zlibCrc32(const QByteArray &data)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (char c : data) {
        crc ^= uint8_t(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return ~crc;
}

} // namespace

class TestLibdc : public QObject
{
    Q_OBJECT

private:
    Lib m_lib;
    std::unique_ptr<SimFolder> m_sim;

    void registerCallbacks()
    {
        const DcEventCallback eventHolder = &onEvent;
        QCOMPARE(m_lib.onEvent(&eventHolder), 0);
        const DcDataCallback dataHolder = &onData;
        QCOMPARE(m_lib.onData(kMouse, kEmpty, kCode, &dataHolder), 0);
    }

    QByteArray prop(uint32_t id, uint32_t size)
    {
        QByteArray buf(DC_TRANSFER_SIZE, '\0');
        const int32_t r = m_lib.readProp(kMouse, kEmpty, kCode,
                                         reinterpret_cast<uint8_t *>(buf.data()), size, id);
        return r == 0 ? buf.left(int(size)) : QByteArray("failed");
    }

    int32_t setProp(uint32_t id, const QByteArray &bytes)
    {
        return m_lib.writeProp(kMouse, kEmpty, kCode,
                               reinterpret_cast<const uint8_t *>(bytes.constData()),
                               uint32_t(bytes.size()), id);
    }

    QString dcsim(const QStringList &args, int expectedExit = 0)
    {
        QString out;
        const int code = runDcsim(args, &out);
        if (code != expectedExit)
            qWarning("dcsim %s -> %d: %s", qPrintable(args.join(' ')), code, qPrintable(out));
        return code == expectedExit ? out : QStringLiteral("<exit %1>").arg(code);
    }

    QString logText() const
    {
        QFile log(m_sim->file(QStringLiteral("dc.log")));
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(libdcFile()), qPrintable(libdcFile()));
        m_sim = std::make_unique<SimFolder>(); // never the program folder's own state
        QVERIFY(m_lib.open());
        registerCallbacks();
    }

    void init()
    {
        m_sim.reset(); // gives DC_SIM_DIR back before the next folder takes it
        m_sim = std::make_unique<SimFolder>();
        QVERIFY(m_sim->isValid());
        // The first call in the new folder creates a factory mouse there.
        QCOMPARE(m_lib.exist(kMouse), 0);
        registerCallbacks();
        std::lock_guard<std::mutex> lock(g_mutex);
        g_events.clear();
        g_data.clear();
        g_threads.clear();
    }

    void cleanupTestCase()
    {
        m_lib.close();
        m_sim.reset();
    }

    void exportsExactlyTheEighteenEntryPoints()
    {
        QProcess nm;
        nm.start(QStringLiteral("nm"),
                 {QStringLiteral("-D"), QStringLiteral("--defined-only"), libdcFile()});
        QVERIFY(nm.waitForFinished(30000));
        QSet<QString> exported;
        const QStringList lines = QString::fromUtf8(nm.readAllStandardOutput()).split('\n');
        for (const QString &line : lines) {
            const QStringList parts = line.split(' ', Qt::SkipEmptyParts);
            // Text, data and BSS symbols the library defines itself.
            if (parts.size() == 3 && QStringLiteral("TDBRVW").contains(parts[1].toUpper()))
                exported.insert(parts[2]);
        }
        QSet<QString> expected;
        for (const char *name : kNames)
            expected.insert(QLatin1String(name));
        QCOMPARE(exported, expected);
    }

    void listBlockHasTheRecordAtTheExactOffsets()
    {
        std::vector<uint8_t> block(DC_LIST_BLOCK_SIZE, 0xEE);
        QCOMPARE(m_lib.devices(programFilter(), block.data(), DC_LIST_BLOCK_SIZE), 0);
        QCOMPARE(block[0] | (block[1] << 8), 1);
        const uint8_t *r = block.data() + 2;
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(r), 8), QByteArray("KELV-M1\0", 8));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(r + 40), 6), QByteArray("1.0.0\0", 6));
        const QByteArray sn(reinterpret_cast<const char *>(r + 57), 14);
        QVERIFY2(QRegularExpression(QStringLiteral("^KM1[0-9]{9}\\0\\0$"))
                     .match(QString::fromLatin1(sn))
                     .hasMatch(),
                 sn.toHex().constData());
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(r + 71), 2), QByteArray("01"));
        for (int i = 73; i < 1085; ++i)
            QCOMPARE(int(r[i]), 0);
        QCOMPARE(wideField(r + 1085, 255),
                 QStringLiteral("\\\\?\\hid#vid_0aa0&pid_5e30#kelv-sim#"
                                "{4d1e55b2-f16f-11cf-88cb-001111000030}"));
        QCOMPARE(wideField(r + 1595, 255), QString::fromUtf16(kMouse));
        // Both UTF-16 fields are NUL-terminated within their 510 bytes.
        QCOMPARE(int(r[1595 + 2 * 21]), 0);
        QCOMPARE(int(r[1595 + 2 * 21 + 1]), 0);
        QCOMPARE(int(r[2104]), 0);
        // Nothing is written past the one record.
        QCOMPARE(int(block[2 + DC_RECORD_SIZE]), 0xEE);
        QCOMPARE(int(block[DC_LIST_BLOCK_SIZE - 1]), 0xEE);
    }

    void filterWordsAndBlockSizeDecideWhatIsListed()
    {
        std::vector<uint8_t> block(DC_LIST_BLOCK_SIZE, 0);
        DcFilter none{};
        QCOMPARE(m_lib.devices(none, block.data(), DC_LIST_BLOCK_SIZE), 0);
        QCOMPARE(int(block[0]), 1); // all-zero filter lists everything

        DcFilter bootOnly{};
        bootOnly.words[5] = 0xFFAA0001u;
        block.assign(DC_LIST_BLOCK_SIZE, 0);
        QCOMPARE(m_lib.devices(bootOnly, block.data(), DC_LIST_BLOCK_SIZE), 0);
        QCOMPARE(int(block[0]), 0);

        // Room for the count only: no record.
        block.assign(DC_LIST_BLOCK_SIZE, 0);
        QCOMPARE(m_lib.devices(programFilter(), block.data(), DC_RECORD_SIZE + 1), 0);
        QCOMPARE(int(block[0]), 0);
        QCOMPARE(int(block[2]), 0);
        QCOMPARE(m_lib.devices(programFilter(), block.data(), 1), int(DC_BAD_ARGUMENT));
        QCOMPARE(m_lib.devices(programFilter(), nullptr, DC_LIST_BLOCK_SIZE), int(DC_BAD_ARGUMENT));
    }

    void productCodeAndHardwareIdAreChecked()
    {
        uint8_t buf[DC_TRANSFER_SIZE] = {};
        QCOMPARE(m_lib.read(kMouse, kEmpty, 4119, buf, 4, 0x1000), int(DC_WRONG_PRODUCT));
        QCOMPARE(m_lib.read(u"HID\\Vid_0aa0&Pid_9999", kEmpty, kCode, buf, 4, 0x1000),
                 int(DC_NOT_PRESENT));
        QCOMPARE(m_lib.read(nullptr, kEmpty, kCode, buf, 4, 0x1000), int(DC_NOT_PRESENT));
        // Hardware IDs compare without regard to case, as on Windows.
        QCOMPARE(m_lib.read(u"hid\\VID_0AA0&PID_5E30", nullptr, kCode, buf, 4, 0x1000), 0);
        QCOMPARE(m_lib.exist(kBoot), int(DC_NOT_PRESENT));
        QCOMPARE(m_lib.exist(nullptr), int(DC_NOT_PRESENT));
        QCOMPARE(m_lib.eraseRom(kMouse, kEmpty, kCode), int(DC_WRONG_MODE));
    }

    void propertiesHaveFactoryValuesAndRanges()
    {
        QCOMPARE(prop(1, 1).toHex(), QByteArray("05"));
        QCOMPARE(prop(2, 1).toHex(), QByteArray("01"));
        QCOMPARE(prop(3, 16).toHex(), QByteArray("900120034006800c0019e02e803e9065"));
        QCOMPARE(prop(7, 8).toHex(), QByteArray("0101000001020000"));
        QCOMPARE(prop(8, 6).toHex(), QByteArray("0239a7da5005"));
        QCOMPARE(prop(11, 1).toHex(), QByteArray("01"));
        // Reading more than the property holds: the rest comes back zero.
        QByteArray buf(DC_TRANSFER_SIZE, '\xee');
        QCOMPARE(
            m_lib.readProp(kMouse, kEmpty, kCode, reinterpret_cast<uint8_t *>(buf.data()), 4, 1),
            0);
        QCOMPARE(buf.left(5).toHex(), QByteArray("05000000ee"));
        QCOMPARE(prop(12, 1), QByteArray("failed"));
        QCOMPARE(prop(0, 1), QByteArray("failed"));

        QCOMPARE(setProp(5, QByteArray::fromHex("03")), 0);
        QCOMPARE(prop(5, 1).toHex(), QByteArray("03"));
        QCOMPARE(setProp(5, QByteArray::fromHex("09")), int(DC_BAD_ARGUMENT));
        QCOMPARE(setProp(5, QByteArray::fromHex("0303")), int(DC_BAD_ARGUMENT));
        QCOMPARE(prop(5, 1).toHex(), QByteArray("03"));
        QCOMPARE(setProp(3, QByteArray::fromHex("3200")), int(DC_BAD_ARGUMENT)); // 50 DPI
        QCOMPARE(prop(3, 2).toHex(), QByteArray("9001"));
        QCOMPARE(setProp(3, QByteArray::fromHex("f401")), 0); // 500 DPI, a partial write
        QCOMPARE(prop(3, 4).toHex(), QByteArray("f4012003"));
        // Buttons: a key assignment (Ctrl+A) is fine, an unknown type is not.
        QCOMPARE(setProp(7, QByteArray::fromHex("02011e00")), 0);
        QCOMPARE(setProp(7, QByteArray::fromHex("09000000")), int(DC_BAD_ARGUMENT));
        QCOMPARE(prop(7, 4).toHex(), QByteArray("02011e00"));
        // Fewer stages than the active one: the last remaining stage becomes active.
        QCOMPARE(setProp(2, QByteArray::fromHex("04")), 0);
        QCOMPARE(setProp(1, QByteArray::fromHex("02")), 0);
        QCOMPARE(prop(2, 1).toHex(), QByteArray("01"));
        QCOMPARE(setProp(2, QByteArray::fromHex("02")), int(DC_BAD_ARGUMENT));
    }

    // The description (property 64) names what the mouse takes: every value it lists is
    // accepted and the first one past each list is refused.
    void theDescriptionSaysWhatTheMouseAccepts()
    {
        const QByteArray raw = prop(DC_PROP_DESCRIPTION, DC_TRANSFER_SIZE);
        QVERIFY(raw.endsWith('\0'));
        QJsonParseError error;
        const QJsonObject d = QJsonDocument::fromJson(raw.left(raw.indexOf('\0')), &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(d.value("format").toInt(), 1);
        QCOMPARE(d.value("tag").toInt(), 0);
        for (const QJsonValue id : d.value("properties").toArray())
            QVERIFY2(prop(uint32_t(id.toInt()), 1) != "failed", qPrintable(QString::number(id.toInt())));
        QCOMPARE(prop(12, 1), QByteArray("failed")); // not listed, not answered

        const QJsonArray run = d.value("stages").toObject().value("dpi").toArray().at(0).toArray();
        const int lo = run.at(0).toInt(), hi = run.at(1).toInt(), step = run.at(2).toInt();
        auto dpi = [](int v) { return QByteArray(1, char(v & 0xff)) + char(v >> 8); };
        QCOMPARE(setProp(3, dpi(lo)), 0);
        QCOMPARE(setProp(3, dpi(hi)), 0);
        QCOMPARE(setProp(3, dpi(lo + step / 2)), int(DC_BAD_ARGUMENT));
        QCOMPARE(setProp(3, dpi(hi + step)), int(DC_BAD_ARGUMENT));
        QCOMPARE(d.value("stages").toObject().value("max").toInt(), 8);
        QCOMPARE(setProp(1, QByteArray(1, 9)), int(DC_BAD_ARGUMENT));

        int highestRate = 0;
        for (const QJsonValue pair : d.value("reportRates").toArray()) {
            highestRate = pair.toArray().at(0).toInt();
            QCOMPARE(setProp(5, QByteArray(1, char(highestRate))), 0);
        }
        QCOMPARE(setProp(5, QByteArray(1, char(highestRate + 1))), int(DC_BAD_ARGUMENT));

        const QJsonObject functions = d.value("functions").toObject();
        for (const QString &type : functions.keys()) {
            int last = 0;
            for (const QJsonValue f : functions.value(type).toArray()) {
                last = f.toInt();
                QCOMPARE(setProp(7, QByteArray(1, char(type.toInt())) + char(last) + '\0' + '\0'), 0);
            }
            QCOMPARE(setProp(7, QByteArray(1, char(type.toInt())) + char(last + 1) + '\0' + '\0'),
                     int(DC_BAD_ARGUMENT));
        }
        const QJsonObject buttons = d.value("buttons").toObject();
        QCOMPARE(buttons.value("count").toInt() * 4, 32);
        QCOMPARE(buttons.value("allowed").toArray().at(0).toInt(), 0x7f);
        QCOMPARE(setProp(7, QByteArray::fromHex("07010000")), int(DC_BAD_ARGUMENT)); // bit 7 unset

        const QJsonObject led = d.value("lighting").toObject().value("leds").toArray().at(0).toObject();
        QCOMPARE(d.value("lighting").toObject().value("record").toInt(), 6);
        const QJsonArray effects = led.value("effects").toArray();
        QCOMPARE(setProp(8, QByteArray::fromHex("00ffffff5005")), 0);
        QCOMPARE(setProp(8, QByteArray(1, char(effects.last().toInt() + 1)) + QByteArray::fromHex("ffffff5005")),
                 int(DC_BAD_ARGUMENT));
        // Every listed value is taken, the ones around the lists are not.
        const auto takesAll = [&](uint32_t id, const QJsonArray &list) {
            for (const QJsonValue v : list) {
                if (setProp(id, QByteArray(1, char(v.toInt()))) != 0)
                    return false;
            }
            return setProp(id, QByteArray(1, char(list.last().toInt() + 1))) == DC_BAD_ARGUMENT &&
                   (list.first().toInt() == 0 ||
                    setProp(id, QByteArray(1, char(list.first().toInt() - 1))) == DC_BAD_ARGUMENT);
        };
        QVERIFY(takesAll(10, d.value("debounce").toArray()));
        QVERIFY(takesAll(6, d.value("liftOff").toArray()));
        QVERIFY(d.value("firmware").toBool());

        // Read only.
        QCOMPARE(setProp(DC_PROP_DESCRIPTION, QByteArray("{}")), int(DC_BAD_ARGUMENT));
    }

    void theLastResultTellsWhyAWriteFailed()
    {
        QCOMPARE(prop(DC_PROP_LAST_RESULT, 1).toHex(), QByteArray("00"));
        QCOMPARE(setProp(5, QByteArray::fromHex("09")), int(DC_BAD_ARGUMENT));
        QCOMPARE(prop(DC_PROP_LAST_RESULT, 1).toHex(), QByteArray("02"));
        QCOMPARE(setProp(5, QByteArray::fromHex("02")), 0);
        QCOMPARE(prop(DC_PROP_LAST_RESULT, 2).toHex(), QByteArray("0000"));
        QCOMPARE(dcsim({"fail", "write"}).isEmpty(), false);
        const QByteArray one = QByteArray::fromHex("01");
        QCOMPARE(m_lib.write(kMouse, kEmpty, kCode, reinterpret_cast<const uint8_t *>(one.constData()),
                             1, 0x5000),
                 int(DC_DEVICE_FAULT));
        QCOMPARE(prop(DC_PROP_LAST_RESULT, 1).toHex(), QByteArray("04"));
        dcsim({"fail", "none"});
        uint8_t out = 0;
        QCOMPARE(m_lib.notify(kMouse, kEmpty, kCode, 0x0009, &out, 0), int(DC_BAD_ARGUMENT));
        QCOMPARE(prop(DC_PROP_LAST_RESULT, 1).toHex(), QByteArray("02"));
    }

    void memoryIsByteAddressedWithBounds()
    {
        const QByteArray data = QByteArray::fromHex("4d0300");
        QCOMPARE(m_lib.write(kMouse, kEmpty, kCode,
                             reinterpret_cast<const uint8_t *>(data.constData()), 3, 0x1000),
                 0);
        QByteArray buf(DC_TRANSFER_SIZE, '\0');
        auto *p = reinterpret_cast<uint8_t *>(buf.data());
        QCOMPARE(m_lib.read(kMouse, kEmpty, kCode, p, 4, 0x0fff), 0);
        QCOMPARE(buf.left(5).toHex(), QByteArray("004d030000"));
        QCOMPARE(m_lib.read(kMouse, kEmpty, kCode, p, 2, 0xfffe), 0);
        QCOMPARE(m_lib.read(kMouse, kEmpty, kCode, p, 2, 0xffff), int(DC_BAD_ARGUMENT));
        QCOMPARE(m_lib.read(kMouse, kEmpty, kCode, p, 2049, 0), int(DC_BAD_ARGUMENT));
        QCOMPARE(m_lib.read(kMouse, kEmpty, kCode, p, 2, 0xffffffffu), int(DC_BAD_ARGUMENT));
        QCOMPARE(m_lib.write(kMouse, kEmpty, kCode, p, 2048, 0xf801), int(DC_BAD_ARGUMENT));
        QCOMPARE(m_lib.write(kMouse, kEmpty, kCode, p, 2048, 0xf800), 0);
        QCOMPARE(m_lib.write(kMouse, kEmpty, kCode, p, 1, 0x10000), int(DC_BAD_ARGUMENT));
        QCOMPARE(m_lib.write(kMouse, kEmpty, kCode, p, 0, 0x10000), 0); // an empty transfer
    }

    void notificationsActAndReportFromTheLibraryThread()
    {
        uint8_t out = 0xee;
        QCOMPARE(m_lib.notify(kMouse, kEmpty, kCode, 0x0301, &out, 0), 0);
        QCOMPARE(int(out), 1);
        QCOMPARE(prop(2, 1).toHex(), QByteArray("03"));
        QTRY_COMPARE_WITH_TIMEOUT(dataReports().size(), size_t(1), 10000);
        QCOMPARE(dataReports().front(), std::string("0103800c00000000")); // stage 3, 3200 DPI
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            QVERIFY(g_threads.front() != std::this_thread::get_id());
        }
        QCOMPARE(m_lib.notify(kMouse, kEmpty, kCode, 0x0801, &out, 0), int(DC_BAD_ARGUMENT));
        QCOMPARE(int(out), 0);
        QCOMPARE(m_lib.notify(kMouse, kEmpty, kCode, 0x0009, nullptr, 0), int(DC_BAD_ARGUMENT));
        QCOMPARE(m_lib.notify(kMouse, kEmpty, kCode, 0x0503, nullptr, 0), 0);
        QVERIFY(logText().contains(QStringLiteral("identify: blinking for 5 s")));
        QCOMPARE(m_lib.notify(kMouse, kEmpty, kCode, 0x0004, nullptr, 0), 0);
        // Factory reset and save take no data.
        QCOMPARE(m_lib.notify(kMouse, kEmpty, kCode, 0x0104, nullptr, 0), int(DC_BAD_ARGUMENT));
        QCOMPARE(setProp(9, QByteArray::fromHex("01")), 0);
        QCOMPARE(m_lib.notify(kMouse, kEmpty, kCode, 0x0302, nullptr, 0), int(DC_BAD_ARGUMENT));
        QCOMPARE(prop(9, 1).toHex(), QByteArray("01")); // nothing was reset

        // Factory reset: properties and memory back to factory values.
        const uint8_t byte = 0x4d;
        QCOMPARE(m_lib.write(kMouse, kEmpty, kCode, &byte, 1, 0x1800), 0);
        QCOMPARE(setProp(9, QByteArray::fromHex("01")), 0);
        QCOMPARE(m_lib.notify(kMouse, kEmpty, kCode, 0x0002, nullptr, 0), 0);
        QCOMPARE(prop(9, 1).toHex(), QByteArray("00"));
        QCOMPARE(prop(2, 1).toHex(), QByteArray("01"));
        uint8_t back = 0xee;
        QCOMPARE(m_lib.read(kMouse, kEmpty, kCode, &back, 1, 0x1800), 0);
        QCOMPARE(int(back), 0);
    }

    void propertyWritesReportWhatChangedOnTheMouse()
    {
        const DcDataCallback data = &onData;
        QCOMPARE(m_lib.onData(kMouse, kEmpty, kCode, &data), 0);
        // The active stage, written like the notification sets it: the same report.
        QCOMPARE(setProp(2, QByteArray::fromHex("03")), 0);
        QTRY_COMPARE_WITH_TIMEOUT(dataReports().size(), size_t(1), 10000);
        QCOMPARE(dataReports()[0], std::string("0103800c00000000")); // stage 3, 3200 DPI
        // Writing the stage it already has changes nothing and reports nothing; neither does
        // a property that is not the stage.
        QCOMPARE(setProp(2, QByteArray::fromHex("03")), 0);
        QCOMPARE(setProp(5, QByteArray::fromHex("02")), 0);
        // Fewer stages than the active one: the stage moves, and says so.
        QCOMPARE(setProp(1, QByteArray::fromHex("02")), 0);
        QTRY_COMPARE_WITH_TIMEOUT(dataReports().size(), size_t(2), 10000);
        QCOMPARE(dataReports()[1], std::string("0101200300000000")); // stage 1, 800 DPI
        // A new lighting effect: report 4 with the effect.
        QCOMPARE(setProp(8, QByteArray::fromHex("0239a7da5005")), 0); // unchanged
        QCOMPARE(setProp(8, QByteArray::fromHex("05ff00006402")), 0);
        QTRY_COMPARE_WITH_TIMEOUT(dataReports().size(), size_t(3), 10000);
        QCOMPARE(dataReports()[2], std::string("0405000000000000"));
        QTest::qWait(100);
        QCOMPARE(dataReports().size(), size_t(3));
    }

    void aStoppedDcsimHoldingTheLockEndsInBusy()
    {
        StoppedDcsim stopped;
        QVERIFY(stopped.isStopped());
        // Every call gives up with DC_BUSY instead of waiting for ever; after the first has
        // waited its full time the next ones give up quickly.
        QCOMPARE(m_lib.exist(kMouse), int(DC_BUSY));
        const uint8_t byte = 7;
        QCOMPARE(m_lib.write(kMouse, kEmpty, kCode, &byte, 1, 0x1000), int(DC_BUSY));
        QCOMPARE(setProp(5, QByteArray::fromHex("01")), int(DC_BUSY));
        QString out;
        QCOMPARE(runDcsim({QStringLiteral("plug")}, &out), 1);
        QVERIFY2(out.contains(QStringLiteral("busy")), qPrintable(out));
        // Once the stopped process is gone the system drops its lock: calls work again.
        stopped.kill();
        QCOMPARE(m_lib.exist(kMouse), 0);
        QCOMPARE(m_lib.write(kMouse, kEmpty, kCode, &byte, 1, 0x1000), 0);
        QCOMPARE(prop(5, 1).toHex(), QByteArray("04"));
    }

    void dcsimPlugAndUnplugReachTheEventCallback()
    {
        QVERIFY(dcsim({QStringLiteral("unplug")}).contains(QStringLiteral("unplugged")));
        QTRY_COMPARE_WITH_TIMEOUT(changes().size(), size_t(1), 10000);
        QCOMPARE(changes()[0], 0x5e300002u);
        QCOMPARE(m_lib.exist(kMouse), int(DC_NOT_PRESENT));
        std::vector<uint8_t> block(DC_LIST_BLOCK_SIZE, 0);
        QCOMPARE(m_lib.devices(programFilter(), block.data(), DC_LIST_BLOCK_SIZE), 0);
        QCOMPARE(int(block[0]), 0);
        // Unplugging twice changes nothing and sends nothing.
        QVERIFY(dcsim({QStringLiteral("unplug")}).contains(QStringLiteral("already")));
        QVERIFY(dcsim({QStringLiteral("plug")}).contains(QStringLiteral("plugged in")));
        QTRY_COMPARE_WITH_TIMEOUT(changes().size(), size_t(2), 10000);
        QCOMPARE(changes()[1], 0x5e300001u);
        QTest::qWait(100);
        QCOMPARE(events().size(), size_t(10)); // two bursts of five, nothing else
        QCOMPARE(m_lib.exist(kMouse), 0);
        std::lock_guard<std::mutex> lock(g_mutex);
        QVERIFY(g_threads.front() != std::this_thread::get_id());
    }

    void aLongQueueIsStartedAfreshWithoutLosingEvents()
    {
        // Lines no reader acts on, past the size at which writers start a new queue file.
        QFile queue(m_sim->file(QStringLiteral("queue")));
        QVERIFY(queue.open(QIODevice::Append));
        queue.write(QByteArray(300 * 1024, 'x') + "\n");
        queue.close();
        dcsim({QStringLiteral("unplug")});
        dcsim({QStringLiteral("plug")});
        QTRY_COMPARE_WITH_TIMEOUT(changes().size(), size_t(2), 10000);
        QCOMPARE(changes()[0], 0x5e300002u);
        QCOMPARE(changes()[1], 0x5e300001u);
        QVERIFY(QFileInfo(queue).size() < 1024);
    }

    void dcsimDataAndButtonsReachTheDataCallback()
    {
        dcsim({QStringLiteral("data"), QStringLiteral("01020aff00000010")});
        QTRY_COMPARE_WITH_TIMEOUT(dataReports().size(), size_t(1), 10000);
        QCOMPARE(dataReports()[0], std::string("01020aff00000010"));
        dcsim({QStringLiteral("press"), QStringLiteral("dpi-up")});
        QTRY_COMPARE_WITH_TIMEOUT(dataReports().size(), size_t(2), 10000);
        QCOMPARE(dataReports()[1], std::string("0102400600000000")); // stage 2, 1600 DPI
        QCOMPARE(prop(2, 1).toHex(), QByteArray("02"));
        dcsim({QStringLiteral("press"), QStringLiteral("back")});
        QTRY_COMPARE_WITH_TIMEOUT(dataReports().size(), size_t(3), 10000);
        QCOMPARE(dataReports()[2], std::string("0303000000000000"));
        dcsim({QStringLiteral("press"), QStringLiteral("profile")});
        QTRY_COMPARE_WITH_TIMEOUT(dataReports().size(), size_t(4), 10000);
        QCOMPARE(dataReports()[3], std::string("0201000000000000"));
        // No mouse, no data.
        dcsim({QStringLiteral("unplug")});
        QVERIFY(dcsim({QStringLiteral("data"), QStringLiteral("0000000000000001")}, 1)
                    .contains(QStringLiteral("no mouse")));
    }

    void firmwareUpdateThroughTheBootLoader()
    {
        dcsim({QStringLiteral("bootloader"), QStringLiteral("delay"), QStringLiteral("0")});
        uint8_t out = 0;
        QCOMPARE(m_lib.reset(kMouse, kEmpty, kCode, 2, &out, 0), int(DC_BAD_ARGUMENT));
        QCOMPARE(m_lib.reset(kMouse, kEmpty, kCode, 1, &out, 0), 0);
        QCOMPARE(int(out), 1);
        QTRY_COMPARE_WITH_TIMEOUT(changes().size(), size_t(2), 10000);
        QCOMPARE(changes()[0], 0x5e300002u);
        QCOMPARE(changes()[1], 0x5e310001u);
        QCOMPARE(m_lib.exist(kBoot), 0);
        QCOMPARE(m_lib.exist(kMouse), int(DC_NOT_PRESENT));

        std::vector<uint8_t> block(DC_LIST_BLOCK_SIZE, 0);
        QCOMPARE(m_lib.devices(programFilter(), block.data(), DC_LIST_BLOCK_SIZE), 0);
        QCOMPARE(int(block[0]), 1);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(block.data() + 2)),
                 QByteArray("KELV-M1-BOOT"));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(block.data() + 2 + 40)),
                 QByteArray("boot"));
        QCOMPARE(wideField(block.data() + 2 + 1595, 255), QString::fromUtf16(kBoot));

        // The image: a version tag, then filler; 4500 bytes in chunks of 2000.
        QByteArray image("KFW1");
        image += QByteArray("2.3.4").leftJustified(16, '\0');
        while (image.size() < 4500)
            image += char(image.size() * 7);
        const auto *bytes = reinterpret_cast<const uint8_t *>(image.constData());
        uint8_t scratch[DC_TRANSFER_SIZE] = {};
        QCOMPARE(m_lib.bornRom(kBoot, kEmpty, kCode, bytes, 2000, 0), int(DC_WRONG_MODE));
        QCOMPARE(m_lib.read(kBoot, kEmpty, kCode, scratch, 1, 0), int(DC_WRONG_MODE));
        QCOMPARE(m_lib.eraseRom(kBoot, kEmpty, kCode), 0);
        QCOMPARE(m_lib.bornRom(kBoot, kEmpty, kCode, bytes, 2001, 0), int(DC_BAD_ARGUMENT));
        QCOMPARE(m_lib.bornRom(kBoot, kEmpty, kCode, bytes, 100, 65800), int(DC_BAD_ARGUMENT));
        for (int offset = 0; offset < image.size(); offset += 2000) {
            const int length = qMin(2000, int(image.size()) - offset);
            QCOMPARE(m_lib.bornRom(kBoot, kEmpty, kCode, bytes + offset, uint32_t(length),
                                   uint32_t(offset)),
                     0);
        }
        const uint32_t crc = zlibCrc32(image);
        QCOMPARE(m_lib.finish(kBoot, kEmpty, kCode), int(DC_CHECK_FAILED)); // not checked yet
        QCOMPARE(m_lib.checkRom(kBoot, kEmpty, kCode, 4500, crc ^ 1), int(DC_CHECK_FAILED));
        QCOMPARE(m_lib.checkRom(kBoot, kEmpty, kCode, 4501, crc), int(DC_CHECK_FAILED));
        QCOMPARE(m_lib.checkRom(kBoot, kEmpty, kCode, 4500, crc), 0);
        QCOMPARE(m_lib.finish(kBoot, kEmpty, kCode), 0);
        QTRY_COMPARE_WITH_TIMEOUT(changes().size(), size_t(4), 10000);
        QCOMPARE(changes()[2], 0x5e310002u);
        QCOMPARE(changes()[3], 0x5e300001u);
        QCOMPARE(m_lib.exist(kMouse), 0);
        block.assign(DC_LIST_BLOCK_SIZE, 0);
        QCOMPARE(m_lib.devices(programFilter(), block.data(), DC_LIST_BLOCK_SIZE), 0);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(block.data() + 2 + 40)),
                 QByteArray("2.3.4"));

        const QString log = logText();
        QVERIFY(log.contains(QStringLiteral("erase result=0")));
        QVERIFY(log.contains(QStringLiteral("born offset=0 length=2000 result=0")));
        QVERIFY(log.contains(QStringLiteral("born offset=2000 length=2000 result=0")));
        QVERIFY(log.contains(QStringLiteral("born offset=4000 length=500 result=0")));
        QVERIFY(log.contains(QStringLiteral("born offset=0 length=2001 result=2")));
        QVERIFY(log.contains(QStringLiteral("check length=4500 crc=%1 rom=%1 result=0")
                                 .arg(crc, 8, 16, QLatin1Char('0'))));
        QVERIFY(log.contains(QStringLiteral("finish version=2.3.4 result=0")));
    }

    void checkValueIsTheZlibCrc32()
    {
        dcsim({QStringLiteral("bootloader"), QStringLiteral("delay"), QStringLiteral("0")});
        QCOMPARE(m_lib.reset(kMouse, kEmpty, kCode, 1, nullptr, 0), 0);
        QTRY_COMPARE_WITH_TIMEOUT(m_lib.exist(kBoot), 0, 10000);
        QCOMPARE(m_lib.eraseRom(kBoot, kEmpty, kCode), 0);
        const char digits[] = "123456789";
        QCOMPARE(
            m_lib.bornRom(kBoot, kEmpty, kCode, reinterpret_cast<const uint8_t *>(digits), 9, 0),
            0);
        QCOMPARE(m_lib.checkRom(kBoot, kEmpty, kCode, 9, 0xCBF43926u), 0);
        // Without a version tag the mouse reports 1.0.<length>.
        QCOMPARE(m_lib.finish(kBoot, kEmpty, kCode), 0);
        QTRY_COMPARE_WITH_TIMEOUT(m_lib.exist(kMouse), 0, 10000);
        char answer[32] = {};
        QCOMPARE(m_lib.ask(kMouse, kEmpty, kCode, 1, answer, sizeof answer), 0);
        QCOMPARE(QByteArray(answer), QByteArray("1.0.9"));
    }

    void bootLoaderThatNeverComesBack()
    {
        dcsim({QStringLiteral("bootloader"), QStringLiteral("never")});
        QCOMPARE(m_lib.reset(kMouse, kEmpty, kCode, 1, nullptr, 0), 0);
        QTRY_COMPARE_WITH_TIMEOUT(changes().size(), size_t(1), 10000);
        QTest::qWait(300);
        QCOMPARE(m_lib.exist(kBoot), int(DC_NOT_PRESENT));
        QCOMPARE(changes().size(), size_t(1));
        QVERIFY(dcsim({QStringLiteral("status")}).contains(QStringLiteral("mode: to-boot")));
        // Once the delay allows it, the boot loader shows up (and is announced).
        dcsim({QStringLiteral("bootloader"), QStringLiteral("delay"), QStringLiteral("0")});
        QTRY_COMPARE_WITH_TIMEOUT(changes().size(), size_t(2), 10000);
        QCOMPARE(changes()[1], 0x5e310001u);
        // Leaving the boot loader without an update brings the old firmware back.
        QCOMPARE(m_lib.rebootRom(kBoot, kEmpty, kCode), 0);
        QTRY_COMPARE_WITH_TIMEOUT(m_lib.exist(kMouse), 0, 10000);
    }

    void injectedFaultsFailTheirCalls()
    {
        uint8_t buf[DC_TRANSFER_SIZE] = {1, 2, 3};
        QVERIFY(dcsim({QStringLiteral("fail"), QStringLiteral("write")})
                    .contains(QStringLiteral("write")));
        QCOMPARE(m_lib.write(kMouse, kEmpty, kCode, buf, 3, 0x1000), int(DC_DEVICE_FAULT));
        QCOMPARE(setProp(5, QByteArray::fromHex("01")), int(DC_DEVICE_FAULT));
        QCOMPARE(m_lib.read(kMouse, kEmpty, kCode, buf, 3, 0x1000), 0);
        QCOMPARE(int(buf[0]), 0);
        dcsim({QStringLiteral("fail"), QStringLiteral("read")});
        buf[0] = 0xee;
        QCOMPARE(m_lib.read(kMouse, kEmpty, kCode, buf, 3, 0x1000), int(DC_DEVICE_FAULT));
        QCOMPARE(int(buf[0]), 0xee);
        QCOMPARE(prop(1, 1), QByteArray("failed"));
        dcsim({QStringLiteral("fail"), QStringLiteral("notify")});
        QCOMPARE(m_lib.notify(kMouse, kEmpty, kCode, 0x0004, nullptr, 0), int(DC_DEVICE_FAULT));
        QVERIFY(
            dcsim({QStringLiteral("status")}).contains(QStringLiteral("fail: read write notify")));
        dcsim({QStringLiteral("fail"), QStringLiteral("none")});
        QCOMPARE(m_lib.write(kMouse, kEmpty, kCode, buf, 3, 0x1000), 0);
        QCOMPARE(m_lib.notify(kMouse, kEmpty, kCode, 0x0004, nullptr, 0), 0);
    }

    void unplugDuringATransfer()
    {
        dcsim({QStringLiteral("unplug-after"), QStringLiteral("2"), QStringLiteral("write")});
        uint8_t buf[16] = {};
        QCOMPARE(m_lib.read(kMouse, kEmpty, kCode, buf, 4, 0), 0); // reads do not count
        QCOMPARE(m_lib.write(kMouse, kEmpty, kCode, buf, 4, 0), 0);
        QCOMPARE(setProp(5, QByteArray::fromHex("02")), 0);
        QCOMPARE(m_lib.write(kMouse, kEmpty, kCode, buf, 4, 0), int(DC_NOT_PRESENT));
        QCOMPARE(m_lib.exist(kMouse), int(DC_NOT_PRESENT));
        QTRY_COMPARE_WITH_TIMEOUT(changes().size(), size_t(1), 10000);
        QCOMPARE(changes()[0], 0x5e300002u);
        QVERIFY(logText().contains(QStringLiteral("unplugged during write")));
        // Plugged back in, the countdown is over.
        dcsim({QStringLiteral("plug")});
        QCOMPARE(m_lib.write(kMouse, kEmpty, kCode, buf, 4, 0), 0);
    }

    void aRestartTimedBeforeTheMachineStartedIsOver()
    {
        // The mouse left for its boot loader with a delay of ten minutes ...
        QCOMPARE(runDcsim({QStringLiteral("bootloader"), QStringLiteral("delay"),
                           QStringLiteral("600000")}),
                 0);
        uint8_t out = 0;
        QCOMPARE(m_lib.reset(kMouse, kEmpty, kCode, 1, &out, 0), 0);
        QCOMPARE(m_lib.exist(kBoot), int(DC_NOT_PRESENT));
        // ... and the time it left is ahead of the machine's clock, as after a restart of
        // the machine: the delay is over.
        QFile state(m_sim->file(QStringLiteral("mouse.state")));
        QVERIFY(state.open(QIODevice::ReadOnly));
        QString text = QString::fromLatin1(state.readAll());
        state.close();
        text.replace(QRegularExpression(QStringLiteral("modeSince=\\d+")),
                     QStringLiteral("modeSince=9000000000000000000"));
        text.truncate(text.lastIndexOf(QStringLiteral("crc=")));
        const QByteArray body = text.toLatin1();
        const QByteArray crcLine = QByteArray("crc=") +
                                   QByteArray::number(zlibCrc32(body), 16).rightJustified(8, '0') +
                                   '\n';
        // Replaced whole, as the simulator writes it: the library's own thread reads the
        // file at any moment and takes a half-written one for a damaged mouse.
        QSaveFile replaced(state.fileName());
        QVERIFY(replaced.open(QIODevice::WriteOnly));
        replaced.write(body + crcLine);
        QVERIFY(replaced.commit());
        QCOMPARE(m_lib.exist(kBoot), 0);
    }

    void damagedStateGivesTheFactoryMouse()
    {
        QCOMPARE(setProp(5, QByteArray::fromHex("01")), 0);
        const uint8_t byte = 7;
        QCOMPARE(m_lib.write(kMouse, kEmpty, kCode, &byte, 1, 0x2000), 0);
        QCOMPARE(prop(5, 1).toHex(), QByteArray("01"));

        // One flipped byte: the CRC line no longer matches.
        QFile state(m_sim->file(QStringLiteral("mouse.state")));
        QVERIFY(state.open(QIODevice::ReadOnly));
        QByteArray text = state.readAll();
        state.close();
        const int at = int(text.indexOf("prop5=")) + 7;
        text[at] = '2';
        QVERIFY(state.open(QIODevice::WriteOnly | QIODevice::Truncate));
        state.write(text);
        state.close();
        QCOMPARE(prop(5, 1).toHex(), QByteArray("04"));
        QVERIFY(logText().contains(QStringLiteral("factory-default mouse")));

        // Garbage and a truncated memory file: still a working factory mouse.
        QVERIFY(state.open(QIODevice::WriteOnly | QIODevice::Truncate));
        state.write("\x01\x02 not a state file");
        state.close();
        QFile memory(m_sim->file(QStringLiteral("memory.bin")));
        QVERIFY(memory.open(QIODevice::WriteOnly | QIODevice::Truncate));
        memory.write("short");
        memory.close();
        std::vector<uint8_t> block(DC_LIST_BLOCK_SIZE, 0);
        QCOMPARE(m_lib.devices(programFilter(), block.data(), DC_LIST_BLOCK_SIZE), 0);
        QCOMPARE(int(block[0]), 1);
        uint8_t back = 0xee;
        QCOMPARE(m_lib.read(kMouse, kEmpty, kCode, &back, 1, 0x2000), 0);
        QCOMPARE(int(back), 0);
        QCOMPARE(prop(1, 1).toHex(), QByteArray("05"));
    }

    void unusableFolderStillGivesAWorkingMouse()
    {
        // A folder below a regular file can never be created.
        QFile blocker(m_sim->file(QStringLiteral("file")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        qputenv("DC_SIM_DIR", m_sim->file(QStringLiteral("file/simulator")).toLocal8Bit());
        QCOMPARE(m_lib.exist(kMouse), 0);
        QCOMPARE(setProp(6, QByteArray::fromHex("03")), 0);
        QCOMPARE(prop(6, 1).toHex(), QByteArray("03"));
        // Its own events still arrive.
        QCOMPARE(m_lib.notify(kMouse, kEmpty, kCode, 0x0001, nullptr, 0), 0);
        QTRY_COMPARE_WITH_TIMEOUT(dataReports().size(), size_t(1), 10000);
        qputenv("DC_SIM_DIR", m_sim->path().toLocal8Bit());
    }

    void theLastFolderNamedIsWatchedAtOnce()
    {
        // The library's thread picks the folder to watch while it delivers: a folder
        // named meanwhile must not leave it waiting on the one before, where nothing
        // changes any more (it would deliver only at its idle limit of 30 s). Another
        // folder is another mouse: what the folders before the last reported may be lost.
        const QByteArray previous = qgetenv("DC_SIM_DIR");
        std::vector<std::unique_ptr<QTemporaryDir>> folders;
        for (int i = 0; i < 300; ++i) {
            folders.push_back(std::make_unique<QTemporaryDir>());
            qputenv("DC_SIM_DIR", folders.back()->path().toLocal8Bit());
            QCOMPARE(m_lib.notify(kMouse, kEmpty, kCode, i == 299 ? 0x0301 : 0x0001, nullptr, 0),
                     0);
        }
        const auto lastReported = [] {
            const std::vector<std::string> reports = dataReports();
            return std::count(reports.begin(), reports.end(), "0103800c00000000");
        };
        QTRY_COMPARE_WITH_TIMEOUT(lastReported(), 1, 10000);
        qputenv("DC_SIM_DIR", previous);
    }

    void stateSurvivesAReloadOfTheLibrary()
    {
        QCOMPARE(setProp(8, QByteArray::fromHex("01ff000064ff")), int(DC_BAD_ARGUMENT));
        QCOMPARE(setProp(8, QByteArray::fromHex("01ff00006402")), 0);
        const QByteArray macro = QByteArray::fromHex("4d0200") + QByteArray("test");
        QCOMPARE(m_lib.write(kMouse, kEmpty, kCode,
                             reinterpret_cast<const uint8_t *>(macro.constData()),
                             uint32_t(macro.size()), 0x1800),
                 0);
        char serial[32] = {};
        QCOMPARE(m_lib.ask(kMouse, kEmpty, kCode, 2, serial, sizeof serial), 0);

        // Unload for real (the library's thread stops), then load again.
        m_lib.close();
        QVERIFY(!dlopen(libdcFile().toLocal8Bit().constData(), RTLD_NOW | RTLD_NOLOAD));
        QVERIFY(m_lib.open());
        registerCallbacks();
        QCOMPARE(prop(8, 6).toHex(), QByteArray("01ff00006402"));
        QByteArray back(DC_TRANSFER_SIZE, '\0');
        QCOMPARE(m_lib.read(kMouse, kEmpty, kCode, reinterpret_cast<uint8_t *>(back.data()),
                            uint32_t(macro.size()), 0x1800),
                 0);
        QCOMPARE(back.left(int(macro.size())), macro);
        char again[32] = {};
        QCOMPARE(m_lib.ask(kMouse, kEmpty, kCode, 2, again, sizeof again), 0);
        QCOMPARE(QByteArray(again), QByteArray(serial));

        // Another process sees the same mouse.
        QCOMPARE(dcsim({QStringLiteral("prop"), QStringLiteral("8")}).trimmed(),
                 QStringLiteral("01ff00006402"));
        QVERIFY(dcsim({QStringLiteral("mem"), QStringLiteral("1800"), QStringLiteral("7")})
                    .startsWith(QStringLiteral("1800: 4d 02 00 74 65 73 74")));
    }

    void otherEntryPoints()
    {
        char answer[64] = {};
        QCOMPARE(m_lib.ask(kMouse, kEmpty, kCode, 1, answer, sizeof answer), 0);
        QCOMPARE(QByteArray(answer), QByteArray("1.0.0"));
        QCOMPARE(m_lib.ask(kMouse, kEmpty, kCode, 3, answer, sizeof answer), 0);
        QCOMPARE(QByteArray(answer), QByteArray("mouse"));
        QCOMPARE(m_lib.ask(kMouse, kEmpty, kCode, 1, answer, 5), int(DC_BAD_ARGUMENT));
        QCOMPARE(m_lib.ask(kMouse, kEmpty, kCode, 9, answer, sizeof answer), int(DC_BAD_ARGUMENT));
        QCOMPARE(m_lib.idWrite(kMouse, kEmpty, kCode, "SN-0042"), 0);
        QCOMPARE(m_lib.idWrite(kMouse, kEmpty, kCode, "has blank"), int(DC_BAD_ARGUMENT));
        QCOMPARE(m_lib.idWrite(kMouse, kEmpty, kCode, "FOURTEENCHARSX"), int(DC_BAD_ARGUMENT));
        std::vector<uint8_t> block(DC_LIST_BLOCK_SIZE, 0);
        QCOMPARE(m_lib.devices(programFilter(), block.data(), DC_LIST_BLOCK_SIZE), 0);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(block.data() + 2 + 57)),
                 QByteArray("SN-0042"));
        std::vector<char> script(1024, 0);
        QCOMPARE(m_lib.scriptOut(kMouse, kEmpty, kCode, script.data(), 1024), 0);
        QVERIFY(QByteArray(script.data()).contains("prop 5 04\n"));
        QCOMPARE(m_lib.scriptOut(kMouse, kEmpty, kCode, script.data(), 10), int(DC_BAD_ARGUMENT));
        // Unregistering the event callback: a null holder value.
        const DcEventCallback none = nullptr;
        QCOMPARE(m_lib.onEvent(&none), 0);
        dcsim({QStringLiteral("unplug")});
        QTest::qWait(200);
        QCOMPARE(events().size(), size_t(0));
        QCOMPARE(m_lib.onEvent(nullptr), int(DC_BAD_ARGUMENT));
        const DcDataCallback data = &onData;
        QCOMPARE(m_lib.onData(kMouse, kEmpty, kCode, &data), int(DC_NOT_PRESENT));
    }

    void dcsimWritesAndDecodes()
    {
        // Memory, written like dcWrite and read back through the library.
        QCOMPARE(
            dcsim({QStringLiteral("mem-write"), QStringLiteral("1800"), QStringLiteral("4d0100")})
                .trimmed(),
            QStringLiteral("wrote 3 bytes"));
        uint8_t bytes[3] = {};
        QCOMPARE(m_lib.read(kMouse, kEmpty, kCode, bytes, 3, 0x1800), 0);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(bytes), 3).toHex(),
                 QByteArray("4d0100"));
        QVERIFY(
            dcsim({QStringLiteral("mem-write"), QStringLiteral("ffff"), QStringLiteral("0102")}, 1)
                .contains(QStringLiteral("result 2")));

        // Properties by number or name, with the mouse's own checks and reports.
        const DcDataCallback data = &onData;
        QCOMPARE(m_lib.onData(kMouse, kEmpty, kCode, &data), 0);
        QCOMPARE(dcsim({QStringLiteral("prop-write"), QStringLiteral("active-stage"),
                        QStringLiteral("04")})
                     .trimmed(),
                 QStringLiteral("active-stage: 4"));
        QCOMPARE(prop(2, 1).toHex(), QByteArray("04"));
        QTRY_COMPARE_WITH_TIMEOUT(dataReports().size(), size_t(1), 10000);
        QCOMPARE(dataReports()[0], std::string("0104001900000000")); // stage 4, 6400 DPI
        QVERIFY(dcsim({QStringLiteral("prop-write"), QStringLiteral("active-stage"),
                       QStringLiteral("07")},
                      1)
                    .contains(QStringLiteral("result 2")));
        QCOMPARE(dcsim({QStringLiteral("prop-write"), QStringLiteral("5"), QStringLiteral("02")})
                     .trimmed(),
                 QStringLiteral("polling-rate: 2 (250 Hz)"));
        QCOMPARE(dcsim({QStringLiteral("prop"), QStringLiteral("polling-rate")}).trimmed(),
                 QStringLiteral("02"));

        // Every property by name, in words.
        const QStringList lines =
            dcsim({QStringLiteral("props")}).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 11);
        QCOMPARE(lines[0], QStringLiteral("1 stage-count: 5"));
        QCOMPARE(lines[1], QStringLiteral("2 active-stage: 4"));
        QCOMPARE(lines[2],
                 QStringLiteral("3 dpi-stages: 400, 800, 1600, 3200, 6400, 12000, 16000, 26000"));
        QVERIFY(lines[3].startsWith(QStringLiteral("4 stage-colours: #ff0000, #00ff00")));
        QCOMPARE(lines[4], QStringLiteral("5 polling-rate: 2 (250 Hz)"));
        QCOMPARE(lines[5], QStringLiteral("6 lift-off: 2 (2 mm)"));
        QVERIFY(lines[6].startsWith(
            QStringLiteral("7 buttons: left: mouse 1 0 0, right: mouse 2 0 0, middle: mouse 3")));
        QVERIFY(lines[6].contains(QStringLiteral("dpi-up: dpi 3 0 0")));
        QCOMPARE(lines[7], QStringLiteral("8 lighting: effect 2 (breathing), colour #39a7da, "
                                          "brightness 80, speed 5"));
        QCOMPARE(lines[8], QStringLiteral("9 angle-snap: off"));
        QCOMPARE(lines[9], QStringLiteral("10 debounce: 4 ms"));
        QCOMPARE(lines[10], QStringLiteral("11 motion-sync: on"));
        QVERIFY(dcsim({QStringLiteral("status")})
                    .contains(QStringLiteral("prop 6 lift-off: 2 (2 mm)")));
    }

    void dcsimCommandLine()
    {
        QString help;
        QCOMPARE(runDcsim({QStringLiteral("--help")}, &help), 0);
        for (const char *command :
             {"plug", "unplug", "data", "press", "mem", "mem-write", "prop", "prop-write", "props",
              "status", "fail write|read|notify", "fail none", "bootloader never",
              "bootloader delay", "unplug-after", "reset", "hold", "--help"})
            QVERIFY2(help.contains(QLatin1String(command)), command);
        QCOMPARE(runDcsim({}), 2);
        QCOMPARE(runDcsim({QStringLiteral("jump")}), 2);
        QCOMPARE(runDcsim({QStringLiteral("data"), QStringLiteral("0102")}), 2);
        QCOMPARE(runDcsim({QStringLiteral("data"), QStringLiteral("01020304050607zz")}), 2);
        QCOMPARE(runDcsim({QStringLiteral("mem"), QStringLiteral("ffff"), QStringLiteral("2")}), 2);
        QCOMPARE(runDcsim({QStringLiteral("prop"), QStringLiteral("12")}), 2);
        QCOMPARE(runDcsim({QStringLiteral("prop"), QStringLiteral("colour")}), 2);
        QCOMPARE(
            runDcsim({QStringLiteral("prop-write"), QStringLiteral("5"), QStringLiteral("0x")}), 2);
        QCOMPARE(
            runDcsim({QStringLiteral("mem-write"), QStringLiteral("10000"), QStringLiteral("01")}),
            2);
        QCOMPARE(runDcsim({QStringLiteral("fail"), QStringLiteral("everything")}), 2);
        QCOMPARE(runDcsim({QStringLiteral("press"), QStringLiteral("9")}), 2);
        QCOMPARE(runDcsim({QStringLiteral("unplug-after"), QStringLiteral("1"),
                           QStringLiteral("sometimes")}),
                 2);
        // reset: factory mouse, plugged in, memory cleared.
        const uint8_t byte = 9;
        QCOMPARE(m_lib.write(kMouse, kEmpty, kCode, &byte, 1, 0), 0);
        dcsim({QStringLiteral("unplug")});
        QCOMPARE(runDcsim({QStringLiteral("reset")}), 0);
        QCOMPARE(m_lib.exist(kMouse), 0);
        uint8_t back = 0xee;
        QCOMPARE(m_lib.read(kMouse, kEmpty, kCode, &back, 1, 0), 0);
        QCOMPARE(int(back), 0);
        QVERIFY(dcsim({QStringLiteral("log")}).contains(QStringLiteral("factory reset")));
    }
};

QTEST_GUILESS_MAIN(TestLibdc)
#include "tst_libdc.moc"
