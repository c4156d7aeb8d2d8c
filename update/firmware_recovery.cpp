#include "update/firmware_recovery.h"

#include "device/devices_handler.h"
#include "update/firmware_flasher.h"
#include "update/firmware_image.h"
#include "update/update_dlg.h"
#include "update/update_host.h"
#include "update/update_log.h"

#include <QWidget>

namespace kelv {

FirmwareRecovery::FirmwareRecovery(UpdateHost *host, QObject *parent)
    : QObject(parent), m_host(host)
{
}

FirmwareRecovery::~FirmwareRecovery()
{
    delete m_dialog;
}

updateDlg *FirmwareRecovery::dialog() const
{
    return m_dialog.data();
}

bool FirmwareRecovery::onlyBootLoader() const
{
    const DeviceTable table = m_host ? m_host->deviceTable() : DeviceTable();
    if (table.isEmpty())
        return false;
    for (const DeviceInfo &info : table) {
        if (info.HardwareID.compare(FirmwareFlasher::bootLoaderId(), Qt::CaseInsensitive) != 0)
            return false;
    }
    return true;
}

void FirmwareRecovery::checkDevices()
{
    devices_handler *devices = m_host ? m_host->devices() : nullptr;
    if (!devices)
        return;
    if (m_dialog) {
        // An offer not answered yet goes once it no longer applies (the boot loader pulled,
        // the mouse back through another update): answered then, it could finish nothing.
        if (m_dialog->offerShown() && !onlyBootLoader())
            m_dialog->reject();
        return;
    }
    if (devices->firmwareSessionOpen() || !onlyBootLoader())
        return;
    FirmwareImage image;
    if (image
            .loadPackage(firmwarePackagePath(),
                         package::TrustedKeys::load(package::TrustedKeys::defaultPath()),
                         firmwareExpectation())
            .outcome != package::UnpackResult::Unpacked) {
        qCInfo(lcUpdateSystem) << "The mouse is in its boot loader and no firmware package is "
                                  "ready to finish the update with";
        return;
    }
    qCInfo(lcUpdateSystem) << "The mouse is in its boot loader: offering to finish the "
                              "firmware update";
    m_dialog = new updateDlg(m_host);
    m_dialog->setAttribute(Qt::WA_DeleteOnClose);
    m_dialog->offerFirmwareCompletion();
    if (QWidget *window = m_host->mainWindow()) {
        QRect frame = m_dialog->geometry();
        frame.moveCenter(window->frameGeometry().center());
        m_dialog->move(frame.topLeft());
    }
    // Modal, but without a nested event loop: device events go on arriving meanwhile.
    m_dialog->open();
    emit offered();
}

} // namespace kelv
