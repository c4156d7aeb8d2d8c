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

    // The dialogs in use: the real ones unless a test installed its own.
    static Dialogs &current();
    // Installs replacement dialogs (not owned); nullptr restores the real ones.
    static void install(Dialogs *dialogs);
};

// Pre-answered dialogs for tests: every call records its caption and answers
// from the queues (an empty queue answers "cancelled").
class ScriptedDialogs : public Dialogs
{
public:
    QStringList fileAnswers;
    QList<QMessageBox::StandardButton> messageAnswers;
    QStringList captions;
    QStringList filters;
    QStringList texts;

    QString getSaveFileName(QWidget *, const QString &caption, const QString &,
                            const QString &filter) override;
    QString getOpenFileName(QWidget *, const QString &caption, const QString &,
                            const QString &filter) override;
    QMessageBox::StandardButton message(QWidget *, QMessageBox::Icon, const QString &title,
                                        const QString &text,
                                        QMessageBox::StandardButtons) override;
};

} // namespace kelv
