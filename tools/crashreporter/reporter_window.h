#pragma once

#include "tools/crashreporter/crash_report.h"

#include <QWidget>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace kelv {

// The crash reporter's window: what happened in plain words, the report below
// in a read-only monospace view, and Copy report / Open folder / Restart kelv /
// Close. Everything it shows comes from CrashReport.
class ReporterWindow final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ReporterWindow)

public:
    // programFolder is where "kelv" is started from on Restart (the reporter's own folder).
    explicit ReporterWindow(const CrashReport &report, const QString &programFolder,
                            QWidget *parent = nullptr);

    const CrashReport &report() const { return m_report; }
    // The program Restart starts.
    QString programPath() const;

public slots:
    void copyReport();
    void openFolder();
    void restartProgram();

signals:
    // After Restart started the program (the window closes itself then).
    void programRestarted(const QString &program);

private:
    void showStatus(const QString &text);

    CrashReport m_report;
    QString m_programFolder;
    QLabel *m_headline = nullptr;
    QLabel *m_explanation = nullptr;
    QLabel *m_summary = nullptr;
    QPlainTextEdit *m_reportView = nullptr;
    QLabel *m_status = nullptr;
    QPushButton *m_copy = nullptr;
    QPushButton *m_openFolder = nullptr;
    QPushButton *m_restart = nullptr;
    QPushButton *m_close = nullptr;
};

// The window's dark style sheet (accent #39a7da).
QString reporterStyleSheet();

} // namespace kelv
