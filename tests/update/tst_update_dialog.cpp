// The update dialog with real downloads from a local server, the page and
// client paths, and the firmware sequence against the simulated mouse.

#include "common/app_paths.h"
#include "common/client_settings.h"
#include "common/ui_texts.h"
#include "device/devices_handler.h"
#include "device/firmware_session.h"
#include "tests/libdc/sim_fixture.h"
#include "tests/testsupport/http_test_server.h"
#include "tests/testsupport/scripted_dialogs.h"
#include "tests/testsupport/signing_key.h"
#include "tests/testsupport/test_files.h"
#include "update/firmware_flasher.h"
#include "update/firmware_image.h"
#include "update/firmware_recovery.h"
#include "update/installers.h"
#include "update/package_writer.h"
#include "update/ps_update_downloader.h"
#include "update/update_check.h"
#include "update/update_dlg.h"
#include "update/update_host.h"
#include "update/update_transport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QtEndian>
#include <sys/resource.h>
#include <unistd.h>

using namespace kelv;

using kelv::test::readFile;
using kelv::test::writeFile;

namespace {

class Host : public UpdateHost
{
public:
    ClientSettings settings;
    devices_handler *manager = nullptr;
    bool emptyTable = false;
    ClientSettings &clientSettings() override { return settings; }
    DeviceTable deviceTable() const override
    {
        return manager && !emptyTable ? manager->deviceTable() : DeviceTable();
    }
    devices_handler *devices() const override { return manager; }
    QWidget *mainWindow() const override { return nullptr; }
};

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

// True when the label shows its whole text within area (coordinates of its
// parent): no line is cut off at the sides or below.
bool showsWhole(const QLabel *label, const QRect &area)
{
    const QRect box = label->contentsRect().translated(label->pos());
    const int flags = label->wordWrap() ? Qt::TextWordWrap : 0;
    const QRect text =
        label->fontMetrics().boundingRect(QRect(0, 0, box.width(), 10000), flags, label->text());
    return area.contains(box) && text.width() <= box.width() && text.height() <= box.height();
}

QStringList bornCalls(const QString &logFile)
{
    QStringList born;
    for (const QString &call : romCalls(logFile)) {
        if (call.startsWith(QLatin1String("born ")))
            born << call;
    }
    return born;
}

// Short waits between the firmware steps, for a boot loader that shows up after 100 ms.
FirmwareFlasher::Timing fastTiming()
{
    FirmwareFlasher::Timing timing;
    timing.firstWait = 300;
    timing.secondWait = 300;
    timing.lastWait = 300;
    timing.afterErase = 20;
    timing.perChunk = 1;
    timing.beforeFinish = 10;
    return timing;
}

// CPU time the calling thread has used, in milliseconds.
qint64 threadCpuMs()
{
    struct rusage usage;
    getrusage(RUSAGE_THREAD, &usage);
    return qint64(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

// Where this process's open descriptor of file stands (/proc/self/fdinfo),
// or -1 while the file is not open.
qint64 readPosition(const QString &file)
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::Files | QDir::System)) {
        if (QFileInfo(fds.filePath(fd)).symLinkTarget() != file)
            continue;
        const QByteArray info = readFile(QStringLiteral("/proc/self/fdinfo/") + fd);
        for (const QByteArray &line : info.split('\n')) {
            if (line.startsWith("pos:"))
                return line.mid(4).trimmed().toLongLong();
        }
    }
    return -1;
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
    void textsFollowTheLanguage();
    void textsFitInEveryLanguage();
    void longMessagesAreShownWhole();
    void progressNeverDivides();
    void downloadFailureIsShown();
    void pageOnlyUpdateInstallsAndAccepts();
    void pageThatCannotBeInstalledIsNotComplete();
    void pageBesideTheProgramLeavesTheProgramsOutcomeInView_data();
    void pageBesideTheProgramLeavesTheProgramsOutcomeInView();
    void clientUpdateOffersRestart();
    void clientVersionThatCannotBeRememberedOffersNoRestart();
    void checkerOpensTheDialog();
    void firmwareFromServerToMouse();
    void firmwareChunks();
    void firmwareNotStarted_data();
    void firmwareNotStarted();
    void bootLoaderNeverAppears();
    void flashReturnsAtOnceAndWaitsWithoutSpinning();
    void closingDuringTheFlashIsRefused();
    void flashOutlivesItsDialog();
    void aNewCheckDuringTheFlashLeavesItRunning();
    void unplugDuringTheFlashIsFinishedLater();
    void finishThatFailsIsNoSuccess();
    void finishOfferThatNoLongerAppliesIsWithdrawn();
    void secondFlashWhileOneRuns();
    void noOfferWithoutABootLoaderAloneAndAPackage();
    void refusedPackageIsShown();
    void notSetUpWithoutTrustedKey();
    void offerWithoutAPackageSaysSo();
    void httpErrorIsShown();
    void olderVersionOnlyWhenTheUserChoosesIt();
    void updaterThatCannotBeReplacedIsShown();
    void dialogThatGoesStopsItsUnpack();
    void closingWhileALargePackageIsCheckedAnswersAtOnce_data();
    void closingWhileALargePackageIsCheckedAnswersAtOnce();
    void nothingEndsTheFlash();

private:
    // A dialog whose firmware sequence uses the short waits, with the boot loader quick.
    updateDlg *fastDialog()
    {
        auto *dialog = new updateDlg(m_host);
        dialog->setFlashTiming(fastTiming());
        dialog->setAttribute(Qt::WA_DeleteOnClose, false);
        return dialog;
    }
    QString path(const QString &relative) const
    {
        return m_dir->path() + QLatin1Char('/') + relative;
    }
    QByteArray buildPackage(const QString &folder, const QString &version,
                            const QString &kind = QStringLiteral("client"));
    // The service serves src/client as the client package of that version.
    void serveClient(const QString &version)
    {
        m_server->setContent(QStringLiteral("/client.pkg"),
                             buildPackage(path(QStringLiteral("src/client")), version));
    }
    // The page package at /page.pkg, of what src/view holds.
    void servePage(const QString &version)
    {
        m_server->setContent(
            QStringLiteral("/page.pkg"),
            buildPackage(path(QStringLiteral("src/view")), version, QStringLiteral("html")));
    }
    // The dialog shown with an offer of the served client package, its
    // install button clicked; that button.
    QPushButton *installOfferedClient(updateDlg *dialog)
    {
        dialog->setPackageInfo(
            {QStringLiteral("client")},
            {{QStringLiteral("clientPackage"), m_server->url(QStringLiteral("/client.pkg"))}});
        dialog->show();
        auto *button = child<QPushButton>(dialog, "uninstallButton");
        QTest::mouseClick(button, Qt::LeftButton);
        return button;
    }
    void shot(QWidget *widget, const QString &name);
    // The firmware package kept for flashing, signed, around an image.
    void keepFirmware(const QByteArray &image)
    {
        writeFile(firmwarePackagePath(),
                  m_key.package(QStringLiteral("5.0.0"),
                                {{QStringLiteral("firmware/update.bin"), image}},
                                QStringLiteral("firmware")));
    }

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
    QCOMPARE(test::runDcsim(
                 {QStringLiteral("bootloader"), QStringLiteral("delay"), QStringLiteral("100")}),
             0);
    devices_handler::resetEventCounter();
    m_devices = new devices_handler(test::libdcFile(), nullptr);
    m_devices->refreshDevices();
    m_host = new Host;
    m_host->manager = m_devices;
    writeFile(path(QStringLiteral("Resources/profiles/conf.xml")),
              "<?xml version=\"1.0\"?>\n<root>\n\t<client version=\"1.0.0\" language=\"en\" "
              "updateServer=\"\" />\n</root>\n");
    m_host->settings.load(path(QStringLiteral("Resources/profiles/conf.xml")));
    writeFile(path(QStringLiteral("view/index.html")), "old page");
    m_key.trustIn(m_dir->path());
}

void TestUpdateDialog::cleanup()
{
    Dialogs::install(nullptr);
    delete m_host;
    delete m_devices;
    delete m_sim;
    delete m_server;
    delete m_dir;
    setWorkingFolder(QString());
    setExecutableFolder(QString());
    setRunUpdaterAtExit(false);
}

QByteArray TestUpdateDialog::buildPackage(const QString &folder, const QString &version,
                                          const QString &kind)
{
    const QString out = path(QStringLiteral("built.pkg"));
    QProcess packer;
    packer.start(test::programFile(QStringLiteral("kelvpack")),
                 {QStringLiteral("build"), folder, version, out, QStringLiteral("--sign"),
                  m_key.secretKeyFile(), QStringLiteral("--kind"), kind});
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

void TestUpdateDialog::textsFollowTheLanguage()
{
    const auto texts = [this](const char *language) {
        m_host->settings.setValue(QStringLiteral("language"), QString::fromUtf8(language));
        updateDlg dialog(m_host);
        return QStringList{child<QLabel>(&dialog, "lb_text")->text(),
                           child<QPushButton>(&dialog, "uninstallButton")->text(),
                           child<QLabel>(&dialog, "lb_info")->text()};
    };
    QCOMPARE(texts("de-DE"),
             QStringList({QStringLiteral("Neue Version verfügbar. Jetzt aktualisieren?"),
                          QStringLiteral("Update"),
                          QStringLiteral("Die installierte Version ist die neueste")}));
    QCOMPARE(texts("zh-HK").first(), QStringLiteral("發現新版本，要立即更新嗎？"));
    QCOMPARE(texts("ko").at(1), QStringLiteral("업데이트"));
    // Values outside the table are English, with the dialog's own texts.
    QCOMPARE(texts("de").first(), QStringLiteral("Found the new version,update now?"));
    QCOMPARE(texts("en").at(2), QStringLiteral("The current version is the latest version"));
}

void TestUpdateDialog::textsFitInEveryLanguage()
{
    // The labels are bold 18 px (the style sheet); lb_text and lb_info start
    // at x 110 of a 580 px page, lb_install spans the page; buttons are 104 px.
    QFont labelFont;
    labelFont.setPixelSize(18);
    labelFont.setBold(true);
    const QFontMetrics label(labelFont);
    const QStringList fromLeft = {"Found the new version,update now?",
                                  "The download is complete,Restart now?",
                                  "The current version is the latest version"};
    // The firmware messages are shown in Chinese and looked up by that text:
    // each must be found in the catalogue (its English is another text).
    const QStringList firmware = {QStringLiteral("正在更新固件，请勿插拔鼠标"),
                                  FirmwareFlasher::mouseUpdateFailedText(),
                                  FirmwareFlasher::writtenText(),
                                  FirmwareFlasher::writeFailedText(),
                                  FirmwareFlasher::checkPassedText(),
                                  FirmwareFlasher::checkFailedText()};
    for (const QString &text : firmware)
        QVERIFY2(uiText(text, UiLanguage::English) != text, qPrintable(text));
    const QStringList centred =
        QStringList{"Downloading package resources。。。",
                    "Download failed, please check the network", "Update Complete",
                    "Download too slow, please check the network",
                    "Update failed: the Updater cannot be replaced"} +
        firmware;
    const QStringList buttons = {"cancel", "Update", "Restart Now", "confirm", "Install"};
    // The question about a version that is not newer wraps within lb_text.
    const QString question = QStringLiteral("The package's version %1 is not newer than the "
                                            "installed version %2. Install it anyway?");
    for (const char *setting : {"en", "zh", "zh-TW", "de-DE", "ja", "ru", "ko"}) {
        const UiLanguage language = uiLanguageFromSetting(QString::fromLatin1(setting));
        m_host->settings.setValue(QStringLiteral("language"), QString::fromLatin1(setting));
        updateDlg dialog(m_host);
        const QFontMetrics button(child<QPushButton>(&dialog, "cancelButton")->font());
        for (const QString &text : fromLeft)
            QVERIFY2(label.horizontalAdvance(uiText(text, language)) <= 580 - 110,
                     qPrintable(uiText(text, language)));
        for (const QString &text : centred)
            QVERIFY2(label.horizontalAdvance(uiText(text, language)) <= 580,
                     qPrintable(uiText(text, language)));
        for (const QString &text : buttons) {
            const QString shown = uiText(text, language);
            const QFont font = updateDlg::buttonFont(shown);
            QVERIFY2(QFontMetrics(font).horizontalAdvance(shown) <= updateDlg::kButtonTextWidth,
                     qPrintable(shown));
            // Only a word too long for the button is drawn smaller.
            if (button.horizontalAdvance(shown) <= updateDlg::kButtonTextWidth)
                QCOMPARE(font.pointSizeF(), QApplication::font("QPushButton").pointSizeF());
        }
        const QString asked =
            uiText(question, language).arg(QStringLiteral("10.10.10"), QStringLiteral("10.10.10"));
        const QRect wrapped =
            label.boundingRect(QRect(0, 0, 580 - 110 - 10, 1000), Qt::TextWordWrap, asked);
        // It fits between the label's top (y 70) and the buttons (y 190).
        QVERIFY2(wrapped.height() <= 190 - 70, qPrintable(asked));
    }
    setUiLanguage(UiLanguage::English);
}

void TestUpdateDialog::longMessagesAreShownWhole()
{
    // A refusal names its reason, and the address of a refused service or
    // package: such texts wrap within the page instead of being cut off.
    const QUrl refusedAddress(QStringLiteral("http://updates.example.com/kelv.pkg"));
    for (const char *setting : {"en", "zh", "zh-TW", "de-DE", "ja", "ru", "ko"}) {
        m_host->settings.setValue(QStringLiteral("language"), QString::fromLatin1(setting));
        updateDlg dialog(m_host);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto *install = child<QLabel>(&dialog, "lb_install");
        const QRect betweenLogoAndBar(
            QPoint(0, child<QLabel>(&dialog, "lb_logo")->geometry().bottom() + 1),
            QPoint(579, child<QProgressBar>(&dialog, "pb_install")->y() - 1));
        const auto refused = [](const char *reason) {
            return uiText(QStringLiteral("Update refused: %1"))
                .arg(uiText(QString::fromUtf8(reason)));
        };
        // The last one takes a single line.
        for (const QString &message :
             {refused("the package's signature does not match its content"),
              refused("the package names a file outside its folder"),
              refusedAddressMessage(refusedAddress),
              uiText(QStringLiteral("Download failed, please check the network"))}) {
            dialog.on_downLoadError(message);
            QCOMPARE(install->text(), message);
            QVERIFY2(showsWhole(install, betweenLogoAndBar),
                     qPrintable(QStringLiteral("%1 %2").arg(setting, message)));
        }
        // A single line stays where it always was.
        QCOMPARE(install->pos(), QPoint(10, 195));

        // The texts that start at x 110 end at the page's edge, above the buttons.
        const QRect rightOfText(QPoint(110, 70), QPoint(579, 190 - 1));
        dialog.showMessage(refusedAddressMessage(refusedAddress));
        QVERIFY2(showsWhole(child<QLabel>(&dialog, "lb_info"), rightOfText), setting);
        dialog.offerFirmwareCompletion();
        QVERIFY2(showsWhole(child<QLabel>(&dialog, "lb_text"), rightOfText), setting);
        if (qstrcmp(setting, "de-DE") == 0) {
            shot(&dialog, QStringLiteral("update-finish-firmware-de"));
            dialog.findChild<QStackedWidget *>()->setCurrentIndex(1);
            dialog.on_downLoadError(refusedAddressMessage(refusedAddress));
            shot(&dialog, QStringLiteral("update-refused-address-de"));
        }
    }
    setUiLanguage(UiLanguage::English);
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
    servePage(QStringLiteral("2.0"));
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
    // The page's version is remembered: the same package is not newer next time.
    QCOMPARE(installedPageVersion(QStringLiteral("1.0.0")), QStringLiteral("2.0"));
}

void TestUpdateDialog::pageThatCannotBeInstalledIsNotComplete()
{
    // The page's index.html is write-protected, and the user answers the
    // "Update error!" box with Cancel: the old page stays, and so does the
    // dialog, which says so instead of "Update Complete".
    writeFile(path(QStringLiteral("src/view/index.html")), "new page");
    servePage(QStringLiteral("2.0"));
    QVERIFY(QFile::setPermissions(path(QStringLiteral("view/index.html")), QFile::ReadOwner));
    test::ScriptedDialogs answers;
    answers.messageAnswers = {QMessageBox::Cancel};
    Dialogs::install(&answers);
    QTest::ignoreMessage(QtInfoMsg, "Update Error: the page package 2.0 was not installed");
    updateDlg dialog(m_host);
    dialog.setPackageInfo({QStringLiteral("html")}, {{QStringLiteral("devicePackage"),
                                                      m_server->url(QStringLiteral("/page.pkg"))}});
    QSignalSpy finished(&dialog, &QDialog::finished);
    dialog.show();
    QTest::mouseClick(child<QPushButton>(&dialog, "uninstallButton"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(answers.captions, QStringList(QStringLiteral("Update error!")),
                              20000);
    QCOMPARE(child<QLabel>(&dialog, "lb_install")->text(), QStringLiteral("Update failed"));
    QTest::qWait(100);
    QVERIFY(finished.isEmpty());
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.findChild<QStackedWidget *>()->currentIndex(), 1);
    QCOMPARE(readFile(path(QStringLiteral("view/index.html"))), QByteArray("old page"));
    // Not recorded as installed: the same package is offered again.
    QCOMPARE(installedPageVersion(QStringLiteral("1.0.0")), QStringLiteral("1.0.0"));
}

void TestUpdateDialog::pageBesideTheProgramLeavesTheProgramsOutcomeInView_data()
{
    QTest::addColumn<bool>("clientDownloads");
    QTest::newRow("program download fails") << false;
    QTest::newRow("program ready to restart") << true;
}

// An offer of a new program and a new page: the page is installed, and its
// completion does not close the dialog over what the program's part has to
// say, whichever of the two ends first.
void TestUpdateDialog::pageBesideTheProgramLeavesTheProgramsOutcomeInView()
{
    QFETCH(bool, clientDownloads);
    writeFile(path(QStringLiteral("src/view/index.html")), "new page");
    servePage(QStringLiteral("2.0"));
    writeFile(path(QStringLiteral("src/client/kelv")), "new program");
    serveClient(QStringLiteral("1.1.0"));
    if (!clientDownloads)
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("server answered 404")));
    const QString client =
        clientDownloads ? QStringLiteral("/client.pkg") : QStringLiteral("/missing.pkg");
    updateDlg dialog(m_host);
    dialog.setPackageInfo(
        {QStringLiteral("client"), QStringLiteral("html")},
        {{QStringLiteral("devicePackage"), m_server->url(QStringLiteral("/page.pkg"))},
         {QStringLiteral("clientPackage"), m_server->url(client)}});
    QSignalSpy finished(&dialog, &QDialog::finished);
    dialog.show();
    QTest::mouseClick(child<QPushButton>(&dialog, "uninstallButton"), Qt::LeftButton);

    QTRY_COMPARE_WITH_TIMEOUT(readFile(path(QStringLiteral("view/index.html"))),
                              QByteArray("new page"), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(installedPageVersion(QStringLiteral("1.0.0")), QStringLiteral("2.0"),
                              20000);
    if (clientDownloads) {
        QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(&dialog, "lb_text")->text(),
                                  QStringLiteral("The download is complete,Restart now?"), 20000);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(&dialog, "lb_install")->text(),
                                  QStringLiteral("Download failed: the server answered 404"),
                                  20000);
    }
    QTest::qWait(300);
    QVERIFY(finished.isEmpty());
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.findChild<QStackedWidget *>()->currentIndex(), clientDownloads ? 0 : 1);
}

void TestUpdateDialog::clientUpdateOffersRestart()
{
    writeFile(path(QStringLiteral("src/client/kelv")), "new program");
    writeFile(path(QStringLiteral("src/client/Updater")), "new updater");
    serveClient(QStringLiteral("1.1.0"));
    updateDlg dialog(m_host);
    QSignalSpy needUpdate(&dialog, &updateDlg::needupdate);
    auto *button = installOfferedClient(&dialog);
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

void TestUpdateDialog::clientVersionThatCannotBeRememberedOffersNoRestart()
{
    // The place of tupdates/client/pending-version is taken: the new program
    // could never record its version, and the update would come back for ever.
    QVERIFY(QDir().mkpath(path(QStringLiteral("tupdates/client/pending-version"))));
    writeFile(path(QStringLiteral("src/client/kelv")), "new program");
    serveClient(QStringLiteral("1.1.0"));
    updateDlg dialog(m_host);
    auto *button = installOfferedClient(&dialog);
    QTest::ignoreMessage(QtInfoMsg, "Update Error: cant remember the pending version 1.1.0");
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(&dialog, "lb_install")->text(),
                              QStringLiteral("Update refused: the update folder cannot be written"),
                              20000);
    QCOMPARE(dialog.findChild<QStackedWidget *>()->currentIndex(), 1);
    QVERIFY(button->text() != QStringLiteral("Restart Now"));
    QVERIFY(!runUpdaterAtExit());
}

void TestUpdateDialog::checkerOpensTheDialog()
{
    writeFile(path(QStringLiteral("src/view/index.html")), "page from the service");
    servePage(QStringLiteral("3.0"));
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
    m_host->settings.setValue(QStringLiteral("language"),
                              QStringLiteral("zh")); // the firmware texts as written
    // The whole way with the sequence's own waits: package from the service, boot-loader
    // round trip, and a device table that follows the mouse through it on its own events.
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
    QStringList labels;
    auto *label = child<QLabel>(&dialog, "lb_install");
    QTimer watcher;
    connect(&watcher, &QTimer::timeout, &watcher, [&] {
        if (labels.isEmpty() || labels.last() != label->text()) {
            labels << label->text();
            if (label->text() == QStringLiteral("正在更新固件，请勿插拔鼠标"))
                shot(&dialog, QStringLiteral("update-firmware"));
        }
    });
    watcher.start(20);
    // The table while the mouse is away and while its boot loader is there.
    QList<QStringList> tables;
    connect(m_devices, &devices_handler::devicesChanged, this,
            [&] { tables << m_devices->deviceTable().keys(); });
    QSignalSpy finished(&dialog, &updateDlg::firmwareFinished);
    QTest::mouseClick(child<QPushButton>(&dialog, "uninstallButton"), Qt::LeftButton);
    QVERIFY(finished.wait(40000));
    QCOMPARE(finished.first().first().toInt(), int(FirmwareFlasher::CheckPassed));
    watcher.stop();
    QCOMPARE(label->text(), QStringLiteral("校验成功，正在启动设备…"));
    QVERIFY2(labels.contains(QStringLiteral("正在更新固件，请勿插拔鼠标")),
             qPrintable(labels.join(QLatin1Char('|'))));
    const QStringList born = bornCalls(m_sim->file(QStringLiteral("dc.log")));
    QCOMPARE(born.size(), 3); // 2000, 2000, 1000
    QVERIFY(born.last().startsWith(QLatin1String("born offset=4000 length=1000 result=0")));
    shot(&dialog, QStringLiteral("update-firmware-done"));
    QCOMPARE(readFile(m_sim->file(QStringLiteral("rom.bin"))).left(bytes.size()), bytes);
    // The mouse comes back with the firmware's version, and the table follows by itself.
    QTRY_COMPARE_WITH_TIMEOUT(m_devices->deviceTable().value(QStringLiteral("KELV-M1")).Version,
                              QStringLiteral("2.3.4"), 10000);
    // One acted-on event per change: away, boot loader, away, mouse (each table is read
    // when its event is handled, so a slow handler may already see the next state).
    QCOMPARE(tables.size(), 4);
    QVERIFY(tables.contains(QStringList{QStringLiteral("KELV-M1-BOOT")}));
    QCOMPARE(tables.last(), QStringList{QStringLiteral("KELV-M1")});
    // The package has done its work.
    QVERIFY(!QFile::exists(firmwarePackagePath()));
}

void TestUpdateDialog::firmwareChunks()
{
    m_host->settings.setValue(QStringLiteral("language"),
                              QStringLiteral("zh")); // the firmware texts as written
    keepFirmware(FirmwareImage::build(firmwareBytes(4000, "4.0.0")));
    std::unique_ptr<updateDlg> dialog(fastDialog());
    QSignalSpy finished(dialog.get(), &updateDlg::firmwareFinished);
    dialog->flashFirmware();
    QVERIFY(finished.wait(20000));
    QCOMPARE(child<QLabel>(dialog.get(), "lb_install")->text(),
             QStringLiteral("校验成功，正在启动设备…"));
    const QStringList born = bornCalls(m_sim->file(QStringLiteral("dc.log")));
    QCOMPARE(born.size(), 3);
    QVERIFY(born.at(0).startsWith(QLatin1String("born offset=0 length=2000 result=0")));
    QVERIFY(born.at(1).startsWith(QLatin1String("born offset=2000 length=2000 result=0")));
    // The last chunk of a length that is a multiple of 2000 is empty.
    QVERIFY(born.at(2).startsWith(QLatin1String("born offset=4000 length=0 result=0")));
}

void TestUpdateDialog::firmwareNotStarted_data()
{
    QTest::addColumn<bool>("emptyTable");
    QTest::addColumn<QString>("damage");
    QTest::newRow("no mouse in the table") << true << QString();
    QTest::newRow("bad header") << false << QStringLiteral("header");
    // The CRC is checked before the erase: bytes that do not match it never
    // reach the mouse.
    QTest::newRow("bad CRC") << false << QStringLiteral("crc");
    // The kept package is verified again right before the flash: one changed
    // on disk since it was downloaded is not used.
    QTest::newRow("package changed on disk") << false << QStringLiteral("disk");
    QTest::newRow("package signed by a stranger") << false << QStringLiteral("stranger");
}

void TestUpdateDialog::firmwareNotStarted()
{
    m_host->settings.setValue(QStringLiteral("language"),
                              QStringLiteral("zh")); // the firmware texts as written
    QFETCH(bool, emptyTable);
    QFETCH(QString, damage);
    QByteArray image = FirmwareImage::build(firmwareBytes(3000, "5.0.0"));
    if (damage == QLatin1String("header"))
        qToLittleEndian<quint32>(4119, image.data());
    if (damage == QLatin1String("crc"))
        image[FirmwareImage::kCheckOffset] = char(image.at(FirmwareImage::kCheckOffset) ^ 0xff);
    keepFirmware(image);
    if (damage == QLatin1String("disk")) {
        QByteArray kept = readFile(firmwarePackagePath());
        kept[kept.size() - 5] = char(kept.at(kept.size() - 5) ^ 1);
        writeFile(firmwarePackagePath(), kept);
    }
    if (damage == QLatin1String("stranger")) {
        const test::SigningKey stranger;
        writeFile(firmwarePackagePath(),
                  stranger.package(QStringLiteral("5.0.0"),
                                   {{QStringLiteral("firmware/update.bin"), image}},
                                   QStringLiteral("firmware")));
    }
    if (!damage.isEmpty() && damage != QLatin1String("header") && damage != QLatin1String("crc"))
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("^Update Error: ")));
    if (damage == QLatin1String("header") || damage == QLatin1String("crc"))
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("no usable firmware")));
    m_host->emptyTable = emptyTable;
    std::unique_ptr<updateDlg> dialog(fastDialog());
    dialog->on_firmPackageDownLoadFinished(QStringLiteral("5.0.0"));
    QVERIFY(!dialog->flashing());
    QVERIFY(!m_devices->firmwareSessionOpen());
    QTest::qWait(100);
    QCOMPARE(child<QLabel>(dialog.get(), "lb_install")->text(),
             QStringLiteral("正在更新固件，请勿插拔鼠标"));
    QCOMPARE(romCalls(m_sim->file(QStringLiteral("dc.log"))), QStringList());
}

void TestUpdateDialog::bootLoaderNeverAppears()
{
    m_host->settings.setValue(QStringLiteral("language"),
                              QStringLiteral("zh")); // the firmware texts as written
    QCOMPARE(test::runDcsim({QStringLiteral("bootloader"), QStringLiteral("never")}), 0);
    keepFirmware(FirmwareImage::build(firmwareBytes(3000, "5.0.0")));
    std::unique_ptr<updateDlg> dialog(fastDialog());
    QSignalSpy finished(dialog.get(), &updateDlg::firmwareFinished);
    dialog->on_firmPackageDownLoadFinished(QStringLiteral("5.0.0"));
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.first().first().toInt(), int(FirmwareFlasher::BootLoaderMissing));
    QCOMPARE(child<QLabel>(dialog.get(), "lb_install")->text(),
             QStringLiteral("鼠标更新失败…"));
    const QStringList calls = romCalls(m_sim->file(QStringLiteral("dc.log")));
    QCOMPARE(calls.size(), 1);
    QVERIFY(calls.first().startsWith(QLatin1String("reset value=1")));
    QVERIFY(QFile::exists(firmwarePackagePath())); // kept for another try
}

void TestUpdateDialog::flashReturnsAtOnceAndWaitsWithoutSpinning()
{
    keepFirmware(FirmwareImage::build(firmwareBytes(3000, "5.0.0")));
    std::unique_ptr<updateDlg> dialog(fastDialog());
    FirmwareFlasher::Timing timing = fastTiming();
    timing.firstWait = 1500;
    dialog->setFlashTiming(timing);
    QSignalSpy finished(dialog.get(), &updateDlg::firmwareFinished);
    const qint64 cpuBefore = threadCpuMs();
    dialog->flashFirmware();
    // The caller gets control back before the mouse is even reset.
    QVERIFY(dialog->flashing());
    QVERIFY(m_devices->firmwareSessionOpen());
    QCOMPARE(romCalls(m_sim->file(QStringLiteral("dc.log"))), QStringList());
    QVERIFY(finished.wait(20000));
    // Waiting for the boot loader is a timer, not a loop: the GUI thread is idle meanwhile
    // (a loop over processEvents keeps it busy for the whole wait).
    const qint64 cpuUsed = threadCpuMs() - cpuBefore;
    QVERIFY2(cpuUsed < 750, qPrintable(QStringLiteral("%1 ms of CPU").arg(cpuUsed)));
    QVERIFY(!dialog->flashing());
    QVERIFY(!m_devices->firmwareSessionOpen());
}

void TestUpdateDialog::closingDuringTheFlashIsRefused()
{
    m_host->settings.setValue(QStringLiteral("language"),
                              QStringLiteral("zh")); // the firmware texts as written
    keepFirmware(FirmwareImage::build(firmwareBytes(3000, "5.0.0")));
    std::unique_ptr<updateDlg> dialog(fastDialog());
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    QSignalSpy finished(dialog.get(), &updateDlg::firmwareFinished);
    QSignalSpy closed(dialog.get(), &QDialog::finished);
    dialog->on_firmPackageDownLoadFinished(QStringLiteral("5.0.0"));
    QTest::mouseClick(child<QPushButton>(dialog.get(), "btn_closeSetuper"), Qt::LeftButton);
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    QVERIFY(dialog->isVisible());
    QCOMPARE(closed.size(), 0);
    QCOMPARE(child<QLabel>(dialog.get(), "lb_install")->text(),
             QStringLiteral("正在更新固件，请勿插拔鼠标"));
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.first().first().toInt(), int(FirmwareFlasher::CheckPassed));
    // Once the sequence has ended the dialog closes as usual.
    QTest::mouseClick(child<QPushButton>(dialog.get(), "btn_closeSetuper"), Qt::LeftButton);
    QCOMPARE(closed.size(), 1);
}

void TestUpdateDialog::flashOutlivesItsDialog()
{
    // A new update check deletes the dialog it replaces, and with it everything the dialog
    // owns; the sequence must neither stop half way nor read what was freed.
    const QByteArray bytes = firmwareBytes(9000, "6.0.0");
    keepFirmware(FirmwareImage::build(bytes));
    auto *dialog = fastDialog();
    dialog->flashFirmware();
    QVERIFY(dialog->flashing());
    QTRY_VERIFY_WITH_TIMEOUT(!bornCalls(m_sim->file(QStringLiteral("dc.log"))).isEmpty(), 20000);
    delete dialog;
    QTRY_VERIFY_WITH_TIMEOUT(!m_devices->firmwareSessionOpen(), 20000);
    QVERIFY(romCalls(m_sim->file(QStringLiteral("dc.log")))
                .last()
                .startsWith(QLatin1String("finish version=6.0.0 result=0")));
    QCOMPARE(readFile(m_sim->file(QStringLiteral("rom.bin"))), bytes);
    QTRY_COMPARE_WITH_TIMEOUT(m_devices->deviceTable().value(QStringLiteral("KELV-M1")).Version,
                              QStringLiteral("6.0.0"), 10000);
}

void TestUpdateDialog::aNewCheckDuringTheFlashLeavesItRunning()
{
    // The page's "checkUpdate" replaces the checker, and with it the dialog that is still in
    // its exec() with the flash running: the flash goes on to the end.
    const QByteArray bytes = firmwareBytes(7000, "9.0.0");
    writeFile(path(QStringLiteral("fw.bin")), bytes);
    QProcess packer;
    packer.start(test::programFile(QStringLiteral("kelvpack")),
                 {QStringLiteral("firmware"), path(QStringLiteral("fw.bin")),
                  QStringLiteral("9.0.0"), path(QStringLiteral("fw.pkg")), QStringLiteral("--sign"),
                  m_key.secretKeyFile()});
    QCOMPARE(packer.exitCode(), 0);
    QVERIFY(packer.waitForFinished(30000));
    m_server->setContent(QStringLiteral("/firmware.pkg"), readFile(path(QStringLiteral("fw.pkg"))));
    m_server->setReply(
        QStringLiteral("/api/system/upgrade"), 200,
        QStringLiteral(
            R"({"code":0,"ret":{"type":"0","deployment":"firmware","firmwarePackage":"%1"}})")
            .arg(m_server->url(QStringLiteral("/firmware.pkg")))
            .toUtf8());
    qputenv("KELV_UPDATE_SERVER", m_server->url().toUtf8());
    QObject owner;
    QPointer<UpdateCheck> check;
    // The user presses "Update"; once the flash runs, a new check replaces this one.
    QTimer user;
    bool pressed = false;
    connect(&user, &QTimer::timeout, &user, [&] {
        auto *dialog = qobject_cast<updateDlg *>(QApplication::activeModalWidget());
        if (dialog && !pressed) {
            pressed = true;
            QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("uninstallButton")),
                              Qt::LeftButton);
        } else if (check && m_devices->firmwareSessionOpen() &&
                   !bornCalls(m_sim->file(QStringLiteral("dc.log"))).isEmpty()) {
            user.stop();
            delete check;
        }
    });
    user.start(50);
    check = startUpdateCheck(m_host, &owner, false);
    QTRY_VERIFY_WITH_TIMEOUT(!check, 60000);
    qunsetenv("KELV_UPDATE_SERVER");
    QVERIFY(m_devices->firmwareSessionOpen());
    QTRY_VERIFY_WITH_TIMEOUT(!m_devices->firmwareSessionOpen(), 30000);
    QVERIFY(romCalls(m_sim->file(QStringLiteral("dc.log")))
                .last()
                .startsWith(QLatin1String("finish version=9.0.0 result=0")));
    QCOMPARE(readFile(m_sim->file(QStringLiteral("rom.bin"))), bytes);
}

void TestUpdateDialog::unplugDuringTheFlashIsFinishedLater()
{
    const QByteArray bytes = firmwareBytes(9000, "7.0.0");
    keepFirmware(FirmwareImage::build(bytes));
    FirmwareRecovery recovery(m_host);
    QSignalSpy offered(&recovery, &FirmwareRecovery::offered);
    connect(m_devices, &devices_handler::devicesChanged, &recovery,
            &FirmwareRecovery::checkDevices);
    // The erase and two chunks go through; the mouse is pulled during the third.
    QCOMPARE(test::runDcsim(
                 {QStringLiteral("unplug-after"), QStringLiteral("3"), QStringLiteral("rom")}),
             0);
    std::unique_ptr<updateDlg> dialog(fastDialog());
    QSignalSpy finished(dialog.get(), &updateDlg::firmwareFinished);
    dialog->flashFirmware();
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.first().first().toInt(), int(FirmwareFlasher::CheckFailed));
    QVERIFY(QFile::exists(firmwarePackagePath()));
    QTRY_VERIFY_WITH_TIMEOUT(m_devices->deviceTable().isEmpty(), 10000);
    QCOMPARE(offered.size(), 0);

    // Plugged in again the mouse shows only its boot loader: the offer comes by itself.
    QCOMPARE(test::runDcsim({QStringLiteral("plug")}), 0);
    QVERIFY(offered.wait(10000));
    QVERIFY(recovery.onlyBootLoader());
    QCOMPARE(m_devices->deviceTable().keys(), QStringList{QStringLiteral("KELV-M1-BOOT")});
    updateDlg *offer = recovery.dialog();
    QVERIFY(offer);
    QVERIFY(offer->isVisible());
    QCOMPARE(child<QLabel>(offer, "lb_text")->text(),
             QStringLiteral("The last firmware update did not finish,finish it now?"));
    shot(offer, QStringLiteral("update-firmware-finish"));
    offer->setFlashTiming(fastTiming());
    QSignalSpy offerFinished(offer, &updateDlg::firmwareFinished);
    QTest::mouseClick(child<QPushButton>(offer, "uninstallButton"), Qt::LeftButton);
    QVERIFY(offerFinished.wait(20000));
    QCOMPARE(offerFinished.first().first().toInt(), int(FirmwareFlasher::CheckPassed));
    QCOMPARE(readFile(m_sim->file(QStringLiteral("rom.bin"))), bytes);
    QTRY_COMPARE_WITH_TIMEOUT(m_devices->deviceTable().keys(),
                              QStringList{QStringLiteral("KELV-M1")}, 10000);
    QCOMPARE(m_devices->deviceTable().first().Version, QStringLiteral("7.0.0"));
    QVERIFY(!QFile::exists(firmwarePackagePath()));
    QCOMPARE(offered.size(), 1);
    // No reset this time: the sequence began at the boot loader.
    const QStringList calls = romCalls(m_sim->file(QStringLiteral("dc.log")));
    QCOMPARE(calls.filter(QStringLiteral("reset ")).size(), 1);
}

void TestUpdateDialog::finishThatFailsIsNoSuccess()
{
    m_host->settings.setValue(QStringLiteral("language"),
                              QStringLiteral("zh")); // the firmware texts as written
    const QByteArray bytes = firmwareBytes(3000, "7.1.0");
    keepFirmware(FirmwareImage::build(bytes));
    // Erase, two chunks and the check go through; the mouse is pulled while its boot
    // loader finishes, so it stays in the boot loader with the old version.
    QCOMPARE(test::runDcsim(
                 {QStringLiteral("unplug-after"), QStringLiteral("4"), QStringLiteral("rom")}),
             0);
    std::unique_ptr<updateDlg> dialog(fastDialog());
    QStringList labels;
    auto *label = child<QLabel>(dialog.get(), "lb_install");
    connect(dialog.get(), &updateDlg::firmwareFinished, this, [&] { labels << label->text(); });
    QSignalSpy finished(dialog.get(), &updateDlg::firmwareFinished);
    dialog->on_firmPackageDownLoadFinished(QStringLiteral("7.1.0"));
    QVERIFY(finished.wait(20000));
    const QStringList calls = romCalls(m_sim->file(QStringLiteral("dc.log")));
    QVERIFY(calls.filter(QStringLiteral("check ")).first().endsWith(QLatin1String("result=0")));
    QVERIFY(!calls.last().endsWith(QLatin1String("result=0")));
    QCOMPARE(finished.first().first().toInt(), int(FirmwareFlasher::FinishFailed));
    // The user is told the update failed, not that the device is starting.
    QCOMPARE(labels, QStringList{QStringLiteral("鼠标更新失败…")});
    // The package stays to finish the update once the mouse is back.
    QVERIFY(QFile::exists(firmwarePackagePath()));
}

void TestUpdateDialog::finishOfferThatNoLongerAppliesIsWithdrawn()
{
    m_host->settings.setValue(QStringLiteral("language"),
                              QStringLiteral("zh")); // the firmware texts as written
    keepFirmware(FirmwareImage::build(firmwareBytes(3000, "5.0.0")));
    FirmwareRecovery recovery(m_host);
    QSignalSpy offered(&recovery, &FirmwareRecovery::offered);
    connect(m_devices, &devices_handler::devicesChanged, &recovery,
            &FirmwareRecovery::checkDevices);
    {
        const std::unique_ptr<FirmwareSession> session = m_devices->openFirmwareSession();
        QVERIFY(session->reset(QStringLiteral("HID\\Vid_0aa0&Pid_5e30")));
    }
    QVERIFY(offered.wait(10000));
    QPointer<updateDlg> offer = recovery.dialog();
    QVERIFY(offer && offer->isVisible());
    // The boot loader is pulled before the user answers: the offer goes with it, and comes
    // back with it.
    QCOMPARE(test::runDcsim({QStringLiteral("unplug")}), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!offer, 10000);
    QCOMPARE(test::runDcsim({QStringLiteral("plug")}), 0);
    QVERIFY(offered.wait(10000));
    offer = recovery.dialog();
    QVERIFY(offer);
    // Answered while it cannot start (another flash holds the mouse), it says the update
    // failed instead of showing one in progress that never runs.
    {
        const std::unique_ptr<FirmwareSession> other = m_devices->openFirmwareSession();
        QTest::mouseClick(child<QPushButton>(offer, "uninstallButton"), Qt::LeftButton);
    }
    QVERIFY(!offer->flashing());
    QCOMPARE(child<QLabel>(offer, "lb_install")->text(), QStringLiteral("鼠标更新失败…"));
    QCOMPARE(romCalls(m_sim->file(QStringLiteral("dc.log"))).filter(QStringLiteral("erase ")),
             QStringList());
}

void TestUpdateDialog::secondFlashWhileOneRuns()
{
    m_host->settings.setValue(QStringLiteral("language"),
                              QStringLiteral("zh")); // the firmware texts as written
    const QByteArray first = firmwareBytes(9000, "6.0.0");
    keepFirmware(FirmwareImage::build(first));
    std::unique_ptr<updateDlg> running(fastDialog());
    FirmwareFlasher::Timing slowChunks = fastTiming();
    slowChunks.perChunk = 300; // the chunks take long enough to come in between
    running->setFlashTiming(slowChunks);
    QSignalSpy finished(running.get(), &updateDlg::firmwareFinished);
    running->flashFirmware();
    QTRY_VERIFY_WITH_TIMEOUT(!bornCalls(m_sim->file(QStringLiteral("dc.log"))).isEmpty(), 20000);
    QVERIFY(running->flashing());
    // Meanwhile a second dialog has downloaded a newer package (kept in the same place) and
    // wants to flash it: it cannot while the mouse is being written, and says so.
    keepFirmware(FirmwareImage::build(firmwareBytes(5000, "6.1.0")));
    const QByteArray newer = readFile(firmwarePackagePath());
    std::unique_ptr<updateDlg> second(fastDialog());
    second->on_firmPackageDownLoadFinished(QStringLiteral("6.1.0"));
    QVERIFY(!second->flashing());
    QCOMPARE(child<QLabel>(second.get(), "lb_install")->text(),
             QStringLiteral("鼠标更新失败…"));
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.first().first().toInt(), int(FirmwareFlasher::CheckPassed));
    QCOMPARE(readFile(m_sim->file(QStringLiteral("rom.bin"))), first);
    // The first flash has completed, but the package it removes is its own, not the newer
    // one that is still to be flashed.
    QCOMPARE(readFile(firmwarePackagePath()), newer);
}

void TestUpdateDialog::noOfferWithoutABootLoaderAloneAndAPackage()
{
    FirmwareRecovery recovery(m_host);
    QSignalSpy offered(&recovery, &FirmwareRecovery::offered);
    // The mouse itself, with a package ready: nothing to finish.
    keepFirmware(FirmwareImage::build(firmwareBytes(3000, "5.0.0")));
    recovery.checkDevices();
    QVERIFY(!recovery.onlyBootLoader());
    // The boot loader alone, but no package (or a refused one) to finish with.
    {
        const std::unique_ptr<FirmwareSession> session = m_devices->openFirmwareSession();
        QVERIFY(session->reset(QStringLiteral("HID\\Vid_0aa0&Pid_5e30")));
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_devices->deviceTable().keys(),
                              QStringList{QStringLiteral("KELV-M1-BOOT")}, 10000);
    QVERIFY(recovery.onlyBootLoader());
    QVERIFY(QFile::remove(firmwarePackagePath()));
    recovery.checkDevices();
    writeFile(firmwarePackagePath(), "not a package");
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("^Update Error: ")));
    recovery.checkDevices();
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("no usable firmware")));
    keepFirmware("not an image");
    recovery.checkDevices();
    // The package is verified at every look: one changed on disk is not offered.
    keepFirmware(FirmwareImage::build(firmwareBytes(3000, "5.0.0")));
    QByteArray changed = readFile(firmwarePackagePath());
    changed[changed.size() - 3] = char(changed.at(changed.size() - 3) ^ 1);
    writeFile(firmwarePackagePath(), changed);
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("^Update Error: bad SHA")));
    recovery.checkDevices();
    QCOMPARE(offered.size(), 0);
    QVERIFY(!recovery.dialog());
    // While a flash runs the boot loader is expected: no offer either.
    keepFirmware(FirmwareImage::build(firmwareBytes(3000, "5.0.0")));
    {
        const std::unique_ptr<FirmwareSession> session = m_devices->openFirmwareSession();
        recovery.checkDevices();
        QCOMPARE(offered.size(), 0);
    }
    recovery.checkDevices();
    QCOMPARE(offered.size(), 1);
    QVERIFY(recovery.dialog());
    // One offer at a time.
    recovery.checkDevices();
    QCOMPARE(offered.size(), 1);
}

void TestUpdateDialog::refusedPackageIsShown()
{
    // A page package signed by a key the program does not trust.
    const test::SigningKey stranger;
    m_server->setContent(QStringLiteral("/page.pkg"),
                         stranger.package(QStringLiteral("6.6"),
                                          {{QStringLiteral("view/index.html"), "evil page"}},
                                          QStringLiteral("html")));
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
    m_server->setContent(QStringLiteral("/page.pkg"),
                         m_key.package(QStringLiteral("1"), {{QStringLiteral("v/index.html"), "x"}},
                                       QStringLiteral("html")));
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

void TestUpdateDialog::offerWithoutAPackageSaysSo()
{
    // The service offers parts without naming a package for them (or parts
    // this program does not know): nothing can be downloaded, and the
    // progress page says so instead of "Downloading" for ever.
    const QString package = m_server->url(QStringLiteral("/client.pkg"));
    const QList<QPair<QStringList, QJsonObject>> offers = {
        {{QStringLiteral("client"), QStringLiteral("html"), QStringLiteral("firmware")}, {}},
        {{QStringLiteral("client")}, {{QStringLiteral("clientPackage"), 42}}},
        {{QStringLiteral("Client"), QStringLiteral("everything")},
         {{QStringLiteral("clientPackage"), package}}},
    };
    for (const auto &[deployment, ret] : offers) {
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("named no package")));
        updateDlg dialog(m_host);
        dialog.setPackageInfo(deployment, ret);
        dialog.show();
        QTest::mouseClick(child<QPushButton>(&dialog, "uninstallButton"), Qt::LeftButton);
        QCOMPARE(dialog.findChild<QStackedWidget *>()->currentIndex(), 1);
        QCOMPARE(child<QLabel>(&dialog, "lb_install")->text(),
                 QStringLiteral("Update refused: the update service named no package"));
    }
    QTest::qWait(200);
    QVERIFY(m_server->requests().isEmpty());
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

void TestUpdateDialog::olderVersionOnlyWhenTheUserChoosesIt()
{
    // 1.0.0 is installed; the service offers a validly signed 0.0.1.
    writeFile(path(QStringLiteral("src/client/kelv")), "an older program");
    serveClient(QStringLiteral("0.0.1"));
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("not newer")));
    updateDlg dialog(m_host);
    auto *button = installOfferedClient(&dialog);
    // The dialog says so and asks; nothing is ready until the user agrees.
    QTRY_COMPARE_WITH_TIMEOUT(button->text(), QStringLiteral("Install"), 20000);
    QCOMPARE(child<QLabel>(&dialog, "lb_text")->text(),
             QStringLiteral("The package's version 0.0.1 is not newer than the installed version "
                            "1.0.0. Install it anyway?"));
    QCOMPARE(dialog.findChild<QStackedWidget *>()->currentIndex(), 0);
    shot(&dialog, QStringLiteral("update-older"));
    QVERIFY(!runUpdaterAtExit());
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("tupdates/client/ready"))));

    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("chose to install")));
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(button->text(), QStringLiteral("Restart Now"), 20000);
    QVERIFY(runUpdaterAtExit());
    QCOMPARE(readFile(path(QStringLiteral("tupdates/client/ready/kelv"))),
             QByteArray("an older program"));
}

void TestUpdateDialog::updaterThatCannotBeReplacedIsShown()
{
    // The program folder's Updater cannot be replaced (a folder stands in its
    // way): the dialog says so instead of staying on its progress page.
    QVERIFY(QDir().mkpath(path(QStringLiteral("Updater/in-the-way"))));
    writeFile(path(QStringLiteral("src/client/kelv")), "new program");
    writeFile(path(QStringLiteral("src/client/Updater")), "new updater");
    serveClient(QStringLiteral("1.1.0"));
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("cannot be put in place")));
    updateDlg dialog(m_host);
    installOfferedClient(&dialog);
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(&dialog, "lb_install")->text(),
                              QStringLiteral("Update failed: the Updater cannot be replaced"),
                              20000);
    QCOMPARE(dialog.findChild<QStackedWidget *>()->currentIndex(), 1);
    QVERIFY(!runUpdaterAtExit());
}

void TestUpdateDialog::nothingEndsTheFlash()
{
    // A client package and a page package become ready while the mouse is
    // being flashed: no restart offer, no close, until the flash has ended.
    const QByteArray bytes = firmwareBytes(9000, "6.0.0");
    keepFirmware(FirmwareImage::build(bytes));
    writeFile(path(QStringLiteral("tupdates/client/ready/kelv")), "new program");
    std::unique_ptr<updateDlg> dialog(fastDialog());
    FirmwareFlasher::Timing timing = fastTiming();
    timing.perChunk = 150;
    dialog->setFlashTiming(timing);
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    QSignalSpy flashed(dialog.get(), &updateDlg::firmwareFinished);
    QSignalSpy closed(dialog.get(), &QDialog::finished);
    QSignalSpy restart(dialog.get(), &updateDlg::needupdate);
    auto *stack = dialog->findChild<QStackedWidget *>();
    stack->setCurrentIndex(1);
    dialog->flashFirmware();
    QVERIFY(dialog->flashing());

    dialog->on_clientPackageDownLoadFinished(QStringLiteral("1.1.0"));
    QVERIFY(runUpdaterAtExit());
    QCOMPARE(stack->currentIndex(), 1); // the flash stays in view
    auto *button = child<QPushButton>(dialog.get(), "uninstallButton");
    QVERIFY(button->text() != QStringLiteral("Restart Now"));
    dialog->updateNow();
    QCOMPARE(restart.size(), 0);
    dialog->on_htmlPackageDownLoadFinished(QStringLiteral("2.0"));
    dialog->accept();
    QVERIFY(dialog->isVisible());
    QCOMPARE(closed.size(), 0);
    QVERIFY(dialog->flashing());

    // The flash ends as usual; then the restart is offered.
    QVERIFY(flashed.wait(30000));
    QCOMPARE(flashed.first().first().toInt(), int(FirmwareFlasher::CheckPassed));
    QCOMPARE(readFile(m_sim->file(QStringLiteral("rom.bin"))), bytes);
    QCOMPARE(closed.size(), 0);
    QCOMPARE(stack->currentIndex(), 0);
    QCOMPARE(button->text(), QStringLiteral("Restart Now"));
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(restart.size(), 1);
}

void TestUpdateDialog::dialogThatGoesStopsItsUnpack()
{
    // Many small files: their unpack takes a while.
    package::Content content;
    content.kind = QStringLiteral("client");
    content.version = QStringLiteral("1.1.0");
    for (int i = 0; i < 20000; ++i)
        content.entries.append(
            {QStringLiteral("pkg/d%1/f%2").arg(i / 500).arg(i), QByteArray::number(i)});
    m_server->setPacing(0, 0);
    m_server->setContent(QStringLiteral("/client.pkg"), m_key.package(content, 0));
    auto *dialog = new updateDlg(m_host);
    installOfferedClient(dialog);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(path(QStringLiteral("tupdates/client/temp"))),
                             20000);
    // A new check replaces the dialog (or the program quits) half way through.
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("^Update Info: .*stopped")));
    delete dialog;
    // Nothing of it goes on behind the next dialog's back: no half-written
    // folder, no ready folder later; the package stays for the next attempt.
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("tupdates/client/temp"))));
    QTest::qWait(300);
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("tupdates/client/ready"))));
    QVERIFY(QFileInfo::exists(PsUpdateDownloader::downloadFolder() + QStringLiteral("client.pkg")));
    QVERIFY(!runUpdaterAtExit());
}

void TestUpdateDialog::closingWhileALargePackageIsCheckedAnswersAtOnce_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("offer");
    // The program's package is hashed before it is unpacked; the firmware
    // package is hashed as it is loaded, before it is kept.
    QTest::newRow("program") << QStringLiteral("client") << QStringLiteral("clientPackage");
    QTest::newRow("firmware") << QStringLiteral("firmware") << QStringLiteral("firmwarePackage");
}

void TestUpdateDialog::closingWhileALargePackageIsCheckedAnswersAtOnce()
{
    QFETCH(QString, kind);
    QFETCH(QString, offer);
    // A downloaded package of nearly the largest size, whose signed manifest
    // names all of it (a sparse file: its body reads as zeros, so the hash
    // will not match once it is done, which takes seconds). The service says
    // the download is complete (416): the check starts at once.
    const qint64 size =
        package::kMaxPackageSize / PsUpdateDownloader::kPartSize * PsUpdateDownloader::kPartSize;
    QByteArray header = m_key.package(QStringLiteral("9.0.0"), {{QStringLiteral("p/x"), "x"}}, kind)
                            .left(package::kHeaderSize);
    qToLittleEndian<quint64>(quint64(size - package::kHeaderSize),
                             header.data() + package::kBodyLengthOffset);
    QVERIFY(m_key.secretKey().signPackage(&header));
    const QString file = PsUpdateDownloader::downloadFolder() + kind + QStringLiteral(".pkg");
    writeFile(file, header);
    QVERIFY(QFile::resize(file, size));
    m_server->setReply(QStringLiteral("/big.pkg"), 416, "", "text/plain");
    auto *dialog = new updateDlg(m_host);
    dialog->setPackageInfo({kind}, {{offer, m_server->url(QStringLiteral("/big.pkg"))}});
    dialog->show();
    QTest::mouseClick(child<QPushButton>(dialog, "uninstallButton"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(readPosition(file) > 4 * 1024 * 1024, 20000);

    // The user closes the dialog half way through the hash: it goes at once,
    // the check stops (no verdict on the package), and the package stays for
    // the next attempt.
    QTest::ignoreMessage(QtInfoMsg, "Update Info: the reading of the package was stopped");
    QElapsedTimer closing;
    closing.start();
    delete dialog;
    const qint64 closedInMs = closing.elapsed();
    qInfo("closed in %lld ms while %s was checked", closedInMs, qPrintable(kind));
    QCOMPARE(QFileInfo(file).size(), size);
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("tupdates/client/ready"))));
    QVERIFY(!QFileInfo::exists(firmwarePackagePath()));
}

QTEST_MAIN(TestUpdateDialog)
#include "tst_update_dialog.moc"
