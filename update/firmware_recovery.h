#pragma once

// Notices a mouse that a firmware update left in its boot loader (an unplug or a killed
// program during the flash) and offers to finish the update with the firmware package that
// is still kept in tupdates/firmware/ready.

#include <QObject>
#include <QPointer>

namespace kelv {

class UpdateHost;
class updateDlg;

class FirmwareRecovery final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FirmwareRecovery)

public:
    explicit FirmwareRecovery(UpdateHost *host, QObject *parent = nullptr);
    ~FirmwareRecovery() override;

    // True when the device table holds only boot loaders (the mouse shows nothing but the
    // boot-loader hardware ID).
    bool onlyBootLoader() const;
    // The offer dialog while it is open, else null.
    updateDlg *dialog() const;

public slots:
    // Looks at the device table (at start-up and after every device change) and opens the
    // offer when a boot loader is alone and a firmware package is ready. Does nothing while
    // a flash runs; an open offer not answered yet is withdrawn once the boot loader is no
    // longer alone.
    void checkDevices();

signals:
    // The offer dialog was opened.
    void offered();

private:
    UpdateHost *m_host;
    QPointer<updateDlg> m_dialog;
};

} // namespace kelv
