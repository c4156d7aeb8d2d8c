#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

namespace kelv {

// Every modal dialog the program shows goes through this seam, so tests can
// pre-answer it without a person and without blocking.
class Dialogs
{
public:
    virtual ~Dialogs() = default;

    virtual QString getSaveFileName(QWidget *parent, const QString &caption, const QString &dir,
                                    const QString &filter);
    virtual QString getOpenFileName(QWidget *parent, const QString &caption, const QString &dir,
                                    const QString &filter);
    virtual QMessageBox::StandardButton message(QWidget *parent, QMessageBox::Icon icon,
                                                const QString &title, const QString &text,
                                                QMessageBox::StandardButtons buttons);
    // A message that does not wait for the user (it closes with its OK).
    virtual void notify(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                        const QString &text);

    // The dialogs in use: the real ones unless a test installed its own.
    static Dialogs &current();
    // Installs replacement dialogs (not owned); nullptr restores the real ones.
    static void install(Dialogs *dialogs);
};

} // namespace kelv
