// The update dialog with real downloads from a local server, the page and
// client paths, and the firmware sequence against the simulated mouse.

#include "common/app_paths.h"
#include "common/client_settings.h"
#include "device/devices_handler.h"
#include "tests/libdc/sim_fixture.h"
#include "tests/testsupport/http_test_server.h"
#include "tests/testsupport/signing_key.h"
#include "update/firmware_flasher.h"
#include "update/firmware_image.h"
#include "update/package_format.h"
#include "update/update_check.h"
#include "update/update_dlg.h"
#include "update/update_host.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QtEndian>

using namespace kelv;

namespace {

class Host : public UpdateHost
{
public:
    ClientSettings settings;
    devices_handler *devices = nullptr;
    bool emptyTable = false;
    ClientSettings &clientSettings() override { return settings; }
    DeviceTable deviceTable() const override
    {
        return devices && !emptyTable ? devices->deviceTable() : DeviceTable();
    }
    const DcEntries *deviceEntries() const override
    {
        return devices ? &devices->entries() : nullptr;
    }
    QWidget *mainWindow() const override { return nullptr; }
};

void writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(data);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Firmware bytes carrying a version the simulated mouse reports after the update.
QByteArray firmwareBytes(int length, const QByteArray &version)
{
    QByteArray bytes(length, Qt::Uninitialized);
    for (int i = 0; i < length; ++i)
        bytes[i] = char(i * 13 + 7);
    bytes.replace(0, 4, "KFW1");
    QByteArray text = version.leftJustified(16, '\0', true);
    bytes.replace(4, 16, text);
    return bytes;
}

QStringList romCalls(const QString &logFile)
{
    QStringList calls;
    const QList<QByteArray> lines = readFile(logFile).split('\n');
    for (const QByteArray &line : lines) {
        const QString text = QString::fromUtf8(line);
        for (const char *word : {"reset ", "erase ", "born ", "check ", "finish "}) {
            const int at = text.indexOf(QLatin1String(word));
            if (at >= 0)
                calls << text.mid(at);
        }
    }
    return calls;
}

template <typename T> T *child(QWidget *dialog, const char *name)
{
    return dialog->findChild<T *>(QLatin1String(name));
}

} // namespace

class TestUpdateDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void widgetsAndPages();
    void progressNeverDivides();
    void downloadFailureIsShown();
    void pageOnlyUpdateInstallsAndAccepts();
    void clientUpdateOffersRestart();
    void checkerOpensTheDialog();
    void firmwareFromServerToMouse();
    void firmwareChunks();
    void firmwareNotStarted_data();
    void firmwareNotStarted();
    void bootLoaderNeverAppears();
    void failingCheck();
    void refusedPackageIsShown();
    void notSetUpWithoutTrustedKey();
    void httpErrorIsShown();

private:
    QString path(const QString &relative) const
    {
        return m_dir->path() + QLatin1Char('/') + relative;
    }
    QByteArray buildPackage(const QString &folder, const QString &version);
    void shot(QWidget *widget, const QString &name);

    QTemporaryDir *m_dir = nullptr;
    test::HttpTestServer *m_server = nullptr;
    test::SimFolder *m_sim = nullptr;
    test::SigningKey m_key;
    devices_handler *m_devices = nullptr;
    Host *m_host = nullptr;
};

void TestUpdateDialog::initTestCase()
{
    QFile qss(QStringLiteral(":/qss/kelv"));
    QVERIFY(qss.open(QIODevice::ReadOnly));
    qApp->setStyleSheet(QString::fromUtf8(qss.readAll()));
    QVERIFY(!QPixmap(QStringLiteral(":/image/background")).isNull());
    QVERIFY(!QIcon(QStringLiteral(":/velorin/icon.png")).isNull());
}

void TestUpdateDialog::init()
{
    m_dir = new QTemporaryDir;
    setWorkingFolder(m_dir->path() + QLatin1Char('/'));
    setExecutableFolder(m_dir->path() + QLatin1Char('/'));
    setRunUpdaterAtExit(false);
    m_server = new test::HttpTestServer;
    m_server->setPacing(16 * 1024, 20);
    m_sim = new test::SimFolder;
    m_devices = new devices_handler(test::libdcFile(), nullptr);
    m_devices->refreshDevices();
    m_host = new Host;
    m_host->devices = m_devices;
    writeFile(path(QStringLiteral("Resources/profiles/conf.xml")),
              "<?xml version=\"1.0\"?>\n<root>\n\t<client version=\"1.0.0\" language=\"en\" "
              "updateServer=\"\" />\n</root>\n");
    m_host->settings.load(path(QStringLiteral("Resources/profiles/conf.xml")));
    writeFile(path(QStringLiteral("view/index.html")), "old page");
    m_key.trustIn(m_dir->path());
}

void TestUpdateDialog::cleanup()
{
    delete m_host;
    delete m_devices;
    delete m_sim;
    delete m_server;
    delete m_dir;
    setWorkingFolder(QString());
    setExecutableFolder(QString());
    setRunUpdaterAtExit(false);
}

QByteArray TestUpdateDialog::buildPackage(const QString &folder, const QString &version)
{
    const QString out = path(QStringLiteral("built.pkg"));
    QProcess packer;
    packer.start(test::programFile(QStringLiteral("kelvpack")),
                 {QStringLiteral("build"), folder, version, out, QStringLiteral("--sign"),
                  m_key.secretKeyFile()});
    packer.waitForFinished(60000);
    const QByteArray data = readFile(out);
    QFile::remove(out);
    return data;
}

void TestUpdateDialog::shot(QWidget *widget, const QString &name)
{
    // Screenshots of the pages on request: KELV_SHOTS_DIR names the folder.
    const QString folder = qEnvironmentVariable("KELV_SHOTS_DIR");
    if (folder.isEmpty())
        return;
    QDir().mkpath(folder);
    QVERIFY(widget->grab().save(folder + QLatin1Char('/') + name + QStringLiteral(".png")));
}

void TestUpdateDialog::widgetsAndPages()
{
    updateDlg dialog(m_host);
    QCOMPARE(dialog.objectName(), QStringLiteral("updateDlg"));
    QVERIFY(dialog.windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(dialog.testAttribute(Qt::WA_TranslucentBackground));
    QCOMPARE(dialog.size(), QSize(600, 380));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    QVERIFY(dialog.parentWidget() == nullptr);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    auto *stack = dialog.findChild<QStackedWidget *>();
    QCOMPARE(stack->geometry(), QRect(10, 60, 580, 310));
    QCOMPARE(stack->count(), 3);
    QCOMPARE(stack->widget(0)->objectName(), QStringLiteral("pageFirst"));
    QCOMPARE(stack->widget(1)->objectName(), QStringLiteral("pageThird"));
    QCOMPARE(stack->widget(2)->objectName(), QStringLiteral("pageInfo"));
    QCOMPARE(child<QPushButton>(&dialog, "btn_closeSetuper")->geometry(), QRect(562, 20, 18, 18));
    QCOMPARE(child<QLabel>(&dialog, "lb_text")->pos(), QPoint(110, 70));
    QCOMPARE(child<QLabel>(&dialog, "lb_text")->text(),
             QStringLiteral("Found the new version,update now?"));
    QCOMPARE(child<QPushButton>(&dialog, "cancelButton")->geometry(), QRect(180, 190, 104, 44));
    QCOMPARE(child<QPushButton>(&dialog, "cancelButton")->text(), QStringLiteral("cancel"));
    QCOMPARE(child<QPushButton>(&dialog, "uninstallButton")->geometry(), QRect(300, 190, 104, 44));
    QCOMPARE(child<QPushButton>(&dialog, "uninstallButton")->text(), QStringLiteral("Update"));
    QCOMPARE(child<QLabel>(&dialog, "lb_logo")->pos(), QPoint(156, 50));
    QCOMPARE(child<QLabel>(&dialog, "lb_install")->pos(), QPoint(10, 195));
    QCOMPARE(child<QLabel>(&dialog, "lb_install")->width(), 580);
    QCOMPARE(child<QLabel>(&dialog, "lb_install")->text(),
             QStringLiteral("Downloading package resources。。。"));
    QCOMPARE(child<QProgressBar>(&dialog, "pb_install")->pos(), QPoint(47, 240));
    QCOMPARE(child<QProgressBar>(&dialog, "pb_install")->value(), 0);
    QCOMPARE(child<QLabel>(&dialog, "lb_info")->text(),
             QStringLiteral("The current version is the latest version"));
    QCOMPARE(child<QPushButton>(&dialog, "pb_ok")->text(), QStringLiteral("confirm"));

    // Dragging: empty areas move the dialog, controls do not.
    QVERIFY(dialog.isDragArea(QPoint(30, 30)));
    QVERIFY(dialog.isDragArea(QPoint(40, 300)));
    QVERIFY(!dialog.isDragArea(QPoint(570, 28)));
    QVERIFY(!dialog.isDragArea(QPoint(10 + 300 + 50, 60 + 190 + 20)));
    shot(&dialog, QStringLiteral("update-offer"));

    stack->setCurrentIndex(1);
    child<QProgressBar>(&dialog, "pb_install")->setTextVisible(true);
    dialog.on_finishPart(42, 100);
    shot(&dialog, QStringLiteral("update-progress"));
    dialog.showLatestVersion();
    QCOMPARE(stack->currentIndex(), 2);
    shot(&dialog, QStringLiteral("update-latest"));

    QSignalSpy finished(&dialog, &QDialog::finished);
    QTest::mouseClick(child<QPushButton>(&dialog, "pb_ok"), Qt::LeftButton);
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().first().toInt(), int(QDialog::Rejected));
}

void TestUpdateDialog::progressNeverDivides()
{
    updateDlg dialog(m_host);
    auto *bar = child<QProgressBar>(&dialog, "pb_install");
    dialog.on_finishPart(50, 200);
    QCOMPARE(bar->value(), 25);
    dialog.on_finishPart(10, 0);
    QCOMPARE(bar->maximum(), 0); // busy
    dialog.on_finishPart(10, -1);
    QCOMPARE(bar->maximum(), 0);
    dialog.on_finishPart(3000000000LL, 4000000000LL);
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(bar->value(), 75);
}

void TestUpdateDialog::downloadFailureIsShown()
{
    m_server->setContent(QStringLiteral("/page.pkg"), QByteArray(300000, 'x'));
    m_server->setFault(QStringLiteral("/page.pkg"), test::HttpTestServer::Fault::DropConnection,
                       1000);
    updateDlg dialog(m_host);
    dialog.setPackageInfo({QStringLiteral("html")}, {{QStringLiteral("devicePackage"),
                                                      m_server->url(QStringLiteral("/page.pkg"))}});
    dialog.show();
    QTest::mouseClick(child<QPushButton>(&dialog, "uninstallButton"), Qt::LeftButton);
    QCOMPARE(dialog.findChild<QStackedWidget *>()->currentIndex(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(&dialog, "lb_install")->text(),
                              QStringLiteral("Download failed, please check the network"), 20000);
    shot(&dialog, QStringLiteral("update-failed"));
}

void TestUpdateDialog::pageOnlyUpdateInstallsAndAccepts()
{
    writeFile(path(QStringLiteral("src/view/index.html")), "new page");
    writeFile(path(QStringLiteral("src/view/js/app.js")), "new script");
    m_server->setContent(QStringLiteral("/page.pkg"),
                         buildPackage(path(QStringLiteral("src/view")), QStringLiteral("2.0")));
    updateDlg dialog(m_host);
    dialog.setPackageInfo(
        {QStringLiteral("html")},
        {{QStringLiteral("devicePackage"), m_server->url(QStringLiteral("/page.pkg"))},
         {QStringLiteral("clientPackage"), m_server->url(QStringLiteral("/client.pkg"))}});
    QSignalSpy finished(&dialog, &QDialog::finished);
    dialog.show();
    QTest::mouseClick(child<QPushButton>(&dialog, "uninstallButton"), Qt::LeftButton);
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.first().first().toInt(), int(QDialog::Accepted));
    QCOMPARE(child<QLabel>(&dialog, "lb_install")->text(), QStringLiteral("Update Complete"));
    QCOMPARE(readFile(path(QStringLiteral("view/index.html"))), QByteArray("new page"));
    QCOMPARE(readFile(path(QStringLiteral("view/js/app.js"))), QByteArray("new script"));
    // Only the page package was asked for: "client" is not in the deployment.
    for (const auto &request : m_server->requests())
        QCOMPARE(request.path(), QStringLiteral("/page.pkg"));
}

void TestUpdateDialog::clientUpdateOffersRestart()
{
    writeFile(path(QStringLiteral("src/client/kelv")), "new program");
    writeFile(path(QStringLiteral("src/client/Updater")), "new updater");
    m_server->setContent(QStringLiteral("/client.pkg"),
                         buildPackage(path(QStringLiteral("src/client")), QStringLiteral("1.1.0")));
    updateDlg dialog(m_host);
    dialog.setPackageInfo(
        {QStringLiteral("client")},
        {{QStringLiteral("clientPackage"), m_server->url(QStringLiteral("/client.pkg"))}});
    QSignalSpy needUpdate(&dialog, &updateDlg::needupdate);
    dialog.show();
    auto *button = child<QPushButton>(&dialog, "uninstallButton");
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(button->text(), QStringLiteral("Restart Now"), 20000);
    QCOMPARE(child<QLabel>(&dialog, "lb_text")->text(),
             QStringLiteral("The download is complete,Restart now?"));
    QCOMPARE(dialog.findChild<QStackedWidget *>()->currentIndex(), 0);
    QVERIFY(runUpdaterAtExit());
    // prepareUpdater put the new Updater in place.
    QCOMPARE(readFile(path(QStringLiteral("Updater"))), QByteArray("new updater"));
    QCOMPARE(readFile(path(QStringLiteral("tupdates/client/ready/kelv"))),
             QByteArray("new program"));
    // conf.xml keeps the old version until the new program has started; the
    // new one waits beside the package.
    const QByteArray conf = readFile(path(QStringLiteral("Resources/profiles/conf.xml")));
    QVERIFY2(conf.contains("version=\"1.0.0\""), conf.constData());
    QCOMPARE(readFile(path(QStringLiteral("tupdates/client/pending-version"))),
             QByteArray("1.1.0"));
    shot(&dialog, QStringLiteral("update-restart"));

    const int requests = m_server->requests().size();
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(needUpdate.size(), 1);
    QTest::qWait(200);
    QCOMPARE(m_server->requests().size(), requests); // no second download
    QCOMPARE(dialog.findChild<QStackedWidget *>()->currentIndex(), 0);
}

void TestUpdateDialog::checkerOpensTheDialog()
{
    writeFile(path(QStringLiteral("src/view/index.html")), "page from the service");
    m_server->setContent(QStringLiteral("/page.pkg"),
                         buildPackage(path(QStringLiteral("src/view")), QStringLiteral("3.0")));
    m_server->setReply(
        QStringLiteral("/api/system/upgrade"), 200,
        QStringLiteral(R"({"code":0,"ret":{"type":"0","deployment":"html","devicePackage":"%1"}})")
            .arg(m_server->url(QStringLiteral("/page.pkg")))
            .toUtf8());
    qputenv("KELV_UPDATE_SERVER", m_server->url().toUtf8());
    // Press "Update" in the modal dialog once it is up.
    QTimer presser;
    connect(&presser, &QTimer::timeout, &presser, [&presser] {
        if (auto *dialog = qobject_cast<updateDlg *>(QApplication::activeModalWidget())) {
            presser.stop();
            QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("uninstallButton")),
                              Qt::LeftButton);
        }
    });
    presser.start(50);
    QObject owner;
    UpdateCheck *check = startUpdateCheck(m_host, &owner, false);
    QSignalSpy done(check, &UpdateCheck::checkFinished);
    QVERIFY(done.wait(30000));
    qunsetenv("KELV_UPDATE_SERVER");
    QCOMPARE(done.first().first().toInt(), int(UpdateDecision::ShowOffer));
    QVERIFY(check->dialog());
    QCOMPARE(check->dialog()->result(), int(QDialog::Accepted));
    QCOMPARE(readFile(path(QStringLiteral("view/index.html"))),
             QByteArray("page from the service"));
}

void TestUpdateDialog::firmwareFromServerToMouse()
{
    const QByteArray bytes = firmwareBytes(5000, "2.3.4");
    writeFile(path(QStringLiteral("fw.bin")), bytes);
    QProcess packer;
    packer.start(test::programFile(QStringLiteral("kelvpack")),
                 {QStringLiteral("firmware"), path(QStringLiteral("fw.bin")),
                  QStringLiteral("2.3.4"), path(QStringLiteral("fw.pkg")), QStringLiteral("--sign"),
                  m_key.secretKeyFile()});
    QVERIFY(packer.waitForFinished(30000));
    QCOMPARE(packer.exitCode(), 0);
    m_server->setContent(QStringLiteral("/firmware.pkg"), readFile(path(QStringLiteral("fw.pkg"))));
    QVERIFY(!m_devices->deviceTable().isEmpty());
    QCOMPARE(m_devices->deviceTable().first().Version, QStringLiteral("1.0.0"));

    updateDlg dialog(m_host);
    dialog.setPackageInfo(
        {QStringLiteral("firmware")},
        {{QStringLiteral("firmwarePackage"), m_server->url(QStringLiteral("/firmware.pkg"))}});
    dialog.show();
    // The sequence runs inside the dialog's slot; the GUI stays alive through
    // waitMs, so a timer sees every label on the way.
    QStringList labels;
    QTimer watcher;
    connect(&watcher, &QTimer::timeout, &watcher, [&] {
        const QString text = child<QLabel>(&dialog, "lb_install")->text();
        if (labels.isEmpty() || labels.last() != text) {
            labels << text;
            if (text == QStringLiteral("正在更新固件，请勿插拔鼠标"))
                shot(&dialog, QStringLiteral("update-firmware"));
        }
    });
    watcher.start(20);
    QTest::mouseClick(child<QPushButton>(&dialog, "uninstallButton"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(&dialog, "lb_install")->text(),
                              QStringLiteral("校验成功,启动设备。。。"), 30000);
    watcher.stop();
    QVERIFY2(labels.contains(QStringLiteral("正在更新固件，请勿插拔鼠标")),
             qPrintable(labels.join(QLatin1Char('|'))));
    QStringList born;
    for (const QString &call : romCalls(m_sim->file(QStringLiteral("dc.log")))) {
        if (call.startsWith(QLatin1String("born ")))
            born << call;
    }
    QCOMPARE(born.size(), 3); // 2000, 2000, 1000
    QVERIFY(born.last().startsWith(QLatin1String("born offset=4000 length=1000 result=0")));
    shot(&dialog, QStringLiteral("update-firmware-done"));
    QCOMPARE(readFile(m_sim->file(QStringLiteral("rom.bin"))).left(bytes.size()), bytes);
    // The mouse comes back with the firmware's version.
    QTRY_VERIFY_WITH_TIMEOUT(
        [this] {
            m_devices->refreshDevices();
            const DeviceTable table = m_devices->deviceTable();
            return !table.isEmpty() && table.first().Version == QLatin1String("2.3.4");
        }(),
        10000);
    QVERIFY(romCalls(m_sim->file(QStringLiteral("dc.log")))
                .join(QLatin1Char('\n'))
                .contains(QStringLiteral("finish")));
}

void TestUpdateDialog::firmwareChunks()
{
    writeFile(firmwareImagePath(), FirmwareImage::build(firmwareBytes(4000, "4.0.0")));
    updateDlg dialog(m_host);
    dialog.flashFirmware();
    QCOMPARE(child<QLabel>(&dialog, "lb_install")->text(),
             QStringLiteral("校验成功,启动设备。。。"));
    QStringList born;
    for (const QString &call : romCalls(m_sim->file(QStringLiteral("dc.log")))) {
        if (call.startsWith(QLatin1String("born ")))
            born << call;
    }
    QCOMPARE(born.size(), 3);
    QVERIFY(born.at(0).startsWith(QLatin1String("born offset=0 length=2000 result=0")));
    QVERIFY(born.at(1).startsWith(QLatin1String("born offset=2000 length=2000 result=0")));
    // The last chunk of a length that is a multiple of 2000 is empty.
    QVERIFY(born.at(2).startsWith(QLatin1String("born offset=4000 length=0 result=0")));
}

void TestUpdateDialog::firmwareNotStarted_data()
{
    QTest::addColumn<bool>("emptyTable");
    QTest::addColumn<bool>("badHeader");
    QTest::newRow("no mouse in the table") << true << false;
    QTest::newRow("bad header") << false << true;
}

void TestUpdateDialog::firmwareNotStarted()
{
    QFETCH(bool, emptyTable);
    QFETCH(bool, badHeader);
    QByteArray image = FirmwareImage::build(firmwareBytes(3000, "5.0.0"));
    if (badHeader)
        qToLittleEndian<quint32>(4119, image.data());
    writeFile(firmwareImagePath(), image);
    m_host->emptyTable = emptyTable;
    updateDlg dialog(m_host);
    dialog.on_firmPackageDownLoadFinished(QStringLiteral("5.0.0"));
    QCOMPARE(child<QLabel>(&dialog, "lb_install")->text(),
             QStringLiteral("正在更新固件，请勿插拔鼠标"));
    QCOMPARE(romCalls(m_sim->file(QStringLiteral("dc.log"))), QStringList());
}

void TestUpdateDialog::bootLoaderNeverAppears()
{
    QCOMPARE(test::runDcsim({QStringLiteral("bootloader"), QStringLiteral("never")}), 0);
    writeFile(firmwareImagePath(), FirmwareImage::build(firmwareBytes(3000, "5.0.0")));
    updateDlg dialog(m_host);
    dialog.on_firmPackageDownLoadFinished(QStringLiteral("5.0.0"));
    QCOMPARE(child<QLabel>(&dialog, "lb_install")->text(), QStringLiteral("鼠标更新失败。。。"));
    const QStringList calls = romCalls(m_sim->file(QStringLiteral("dc.log")));
    QCOMPARE(calls.size(), 1);
    QVERIFY(calls.first().startsWith(QLatin1String("reset value=1")));
}

void TestUpdateDialog::failingCheck()
{
    QByteArray image = FirmwareImage::build(firmwareBytes(3000, "5.0.0"));
    image[FirmwareImage::kCheckOffset] = char(image.at(FirmwareImage::kCheckOffset) ^ 0xff);
    writeFile(firmwareImagePath(), image);
    updateDlg dialog(m_host);
    dialog.flashFirmware();
    QCOMPARE(child<QLabel>(&dialog, "lb_install")->text(), QStringLiteral("校验失败，请重新更新"));
    const QStringList calls = romCalls(m_sim->file(QStringLiteral("dc.log")));
    QVERIFY(calls.last().startsWith(QLatin1String("check length=3000")));
    QVERIFY(calls.last().endsWith(QLatin1String("result=6")));
}

void TestUpdateDialog::refusedPackageIsShown()
{
    // A page package signed by a key the program does not trust.
    const test::SigningKey stranger;
    m_server->setContent(QStringLiteral("/page.pkg"),
                         stranger.package(QStringLiteral("6.6"),
                                          {{QStringLiteral("view/index.html"), "evil page"}}));
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("not trusted")));
    updateDlg dialog(m_host);
    dialog.setPackageInfo({QStringLiteral("html")}, {{QStringLiteral("devicePackage"),
                                                      m_server->url(QStringLiteral("/page.pkg"))}});
    dialog.show();
    QTest::mouseClick(child<QPushButton>(&dialog, "uninstallButton"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(&dialog, "lb_install")->text(),
                              QStringLiteral("Update refused: the package is signed by an unknown "
                                             "key"),
                              20000);
    shot(&dialog, QStringLiteral("update-refused"));
    QVERIFY(dialog.isVisible());
    QCOMPARE(readFile(path(QStringLiteral("view/index.html"))), QByteArray("old page"));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("tupdates/html"))));
}

void TestUpdateDialog::notSetUpWithoutTrustedKey()
{
    writeFile(path(QStringLiteral("Resources/update-keys.txt")), "# no key yet\n");
    m_server->setContent(
        QStringLiteral("/page.pkg"),
        m_key.package(QStringLiteral("1"), {{QStringLiteral("v/index.html"), "x"}}));
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("no trusted update key")));
    updateDlg dialog(m_host);
    dialog.setPackageInfo({QStringLiteral("html")}, {{QStringLiteral("devicePackage"),
                                                      m_server->url(QStringLiteral("/page.pkg"))}});
    dialog.show();
    QTest::mouseClick(child<QPushButton>(&dialog, "uninstallButton"), Qt::LeftButton);
    QCOMPARE(child<QLabel>(&dialog, "lb_install")->text(),
             QStringLiteral("Updates are not set up: no trusted update key"));
    shot(&dialog, QStringLiteral("update-not-set-up"));
    QTest::qWait(300);
    QVERIFY(m_server->requests().isEmpty());
    QCOMPARE(readFile(path(QStringLiteral("view/index.html"))), QByteArray("old page"));
}

void TestUpdateDialog::httpErrorIsShown()
{
    // Nothing at that path: 404 before any progress.
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("server answered 404")));
    updateDlg dialog(m_host);
    dialog.setPackageInfo(
        {QStringLiteral("client")},
        {{QStringLiteral("clientPackage"), m_server->url(QStringLiteral("/missing.pkg"))}});
    dialog.show();
    QTest::mouseClick(child<QPushButton>(&dialog, "uninstallButton"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(&dialog, "lb_install")->text(),
                              QStringLiteral("Download failed: the server answered 404"), 20000);
    QVERIFY(!runUpdaterAtExit());
}

QTEST_MAIN(TestUpdateDialog)
#include "tst_update_dialog.moc"
