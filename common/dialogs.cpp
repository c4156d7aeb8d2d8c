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

Dialogs &Dialogs::current()
{
    static Dialogs real;
    return installedDialogs ? *installedDialogs : real;
}

void Dialogs::install(Dialogs *dialogs)
{
    installedDialogs = dialogs;
}

QString ScriptedDialogs::getSaveFileName(QWidget *, const QString &caption, const QString &,
                                         const QString &filter)
{
    captions << caption;
    filters << filter;
    return fileAnswers.isEmpty() ? QString() : fileAnswers.takeFirst();
}

QString ScriptedDialogs::getOpenFileName(QWidget *, const QString &caption, const QString &,
                                         const QString &filter)
{
    captions << caption;
    filters << filter;
    return fileAnswers.isEmpty() ? QString() : fileAnswers.takeFirst();
}

QMessageBox::StandardButton ScriptedDialogs::message(QWidget *, QMessageBox::Icon,
                                                     const QString &title, const QString &text,
                                                     QMessageBox::StandardButtons)
{
    captions << title;
    texts << text;
    return messageAnswers.isEmpty() ? QMessageBox::Cancel : messageAnswers.takeFirst();
}

} // namespace kelv
