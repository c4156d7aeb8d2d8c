#pragma once

#include "device/device_info.h"

#include <QString>

class QWidget;

namespace kelv {

class ClientSettings;
class devices_handler;

// What the update check and the update dialog need from the application
// object. The application implements it; tests use a small fake. Everything
// runs on the Qt main thread.
class UpdateHost
{
public:
    virtual ~UpdateHost() = default;

    // The client settings (conf.xml): "version" is the installed client
    // version, "updateServer" the update service's base address. The dialog
    // records a new client version in them and saves them.
    virtual ClientSettings &clientSettings() = 0;

    // The device table; its first entry is the mouse the check reports and the
    // firmware update writes to.
    virtual DeviceTable deviceTable() const = 0;

    // The device manager, or null when there is none. The firmware update
    // opens its ROM session there.
    virtual devices_handler *devices() const = 0;

    // The main window: the update dialog is centred on it (may be null).
    virtual QWidget *mainWindow() const = 0;
};

} // namespace kelv
