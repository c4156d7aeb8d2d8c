#pragma once

// Outline of the bound-program monitor's interface (the desktop work fills it in).

#include <QObject>
#include <QString>

namespace kelv {

// Reads the bindings (mode index per program path) from the mode document and
// polls the running programs on its own thread, reporting starts and stops.
class ProcessMoniter final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProcessMoniter)

public:
    // modeDocument: the full path of view/xml/configuration.xml.
    explicit ProcessMoniter(const QString &modeDocument, QObject *parent = nullptr);
    ~ProcessMoniter() override;

    // Thread-safe: asks the polling loop to end promptly (it does not wait a
    // whole polling period).
    void requestStop();

public slots:
    // Loads the bindings, then polls until stopped (connected to QThread::started).
    void start();

signals:
    // A bound program started (running = true) or stopped. Emitted on the
    // monitor's thread.
    void processChanged(const QString &index, bool running);
};

} // namespace kelv
