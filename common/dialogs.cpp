#include "common/dialogs.h"

#include "common/ui_texts.h"

#include <QFileDialog>

namespace kelv {
namespace {
Dialogs *installedDialogs = nullptr;
} // namespace

QString Dialogs::getSaveFileName(QWidget *parent, const QString &caption, const QString &dir,
                                 const QString &filter)
{
    useQtTranslations(settingsUiLanguage());
    return QFileDialog::getSaveFileName(parent, caption, dir, filter);
}

QString Dialogs::getOpenFileName(QWidget *parent, const QString &caption, const QString &dir,
                                 const QString &filter)
{
    useQtTranslations(settingsUiLanguage());
    return QFileDialog::getOpenFileName(parent, caption, dir, filter);
}

QMessageBox::StandardButton Dialogs::message(QWidget *parent, QMessageBox::Icon icon,
                                             const QString &title, const QString &text,
                                             QMessageBox::StandardButtons buttons)
{
    useQtTranslations(settingsUiLanguage());
    QMessageBox box(icon, title, text, buttons, parent);
    return QMessageBox::StandardButton(box.exec());
}

void Dialogs::notify(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                     const QString &text)
{
    useQtTranslations(settingsUiLanguage());
    auto *box = new QMessageBox(icon, title, text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

Dialogs &Dialogs::current()
{
    static Dialogs real;
    return installedDialogs ? *installedDialogs : real;
}

void Dialogs::install(Dialogs *dialogs)
{
    installedDialogs = dialogs;
}

} // namespace kelv
