#pragma once

#include "common/dialogs.h"

#include <QList>
#include <QStringList>

namespace kelv::test {

// Pre-answered dialogs: every call records its caption and answers from the
// queues (an empty queue answers "cancelled"). Install with Dialogs::install.
class ScriptedDialogs : public Dialogs
{
public:
    QStringList fileAnswers;
    QList<QMessageBox::StandardButton> messageAnswers;
    QStringList captions;
    QStringList filters;
    QStringList texts;

    QString getSaveFileName(QWidget *, const QString &caption, const QString &,
                            const QString &filter) override
    {
        return nextFile(caption, filter);
    }
    QString getOpenFileName(QWidget *, const QString &caption, const QString &,
                            const QString &filter) override
    {
        return nextFile(caption, filter);
    }
    QMessageBox::StandardButton message(QWidget *, QMessageBox::Icon, const QString &title,
                                        const QString &text, QMessageBox::StandardButtons) override
    {
        captions << title;
        texts << text;
        return messageAnswers.isEmpty() ? QMessageBox::Cancel : messageAnswers.takeFirst();
    }
    void notify(QWidget *, QMessageBox::Icon, const QString &title, const QString &text) override
    {
        captions << title;
        texts << text;
    }

private:
    QString nextFile(const QString &caption, const QString &filter)
    {
        captions << caption;
        filters << filter;
        return fileAnswers.isEmpty() ? QString() : fileAnswers.takeFirst();
    }
};

} // namespace kelv::test
