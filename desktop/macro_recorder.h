#pragma once

// Outline of the keyboard macro recorder's interface (the desktop work fills it in).

#include <QObject>
#include <QString>

namespace kelv {

// Records every key press and release system-wide (without consuming them)
// and reports key and delay items while a recording runs.
class MacroRecorder final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MacroRecorder)

public:
    explicit MacroRecorder(QObject *parent = nullptr);
    ~MacroRecorder() override;

    // Starts (or restarts, with a fresh timeline) a recording; false when the
    // system offers no way to record keys.
    bool startRecording();
    void stopRecording();

signals:
    // One item: key ("0", "1" press / "0" release, scan code, extended flag)
    // or delay ("2", milliseconds, "0", "0"). Emitted on the main thread.
    void macroItem(const QString &kind, const QString &a, const QString &b, const QString &c);
};

} // namespace kelv
