#pragma once

#include <QSystemTrayIcon>
#include <functional>

class QAction;
class QMenu;
class QWidget;

namespace kelv {

// The program's icon in the notification area, with a two-entry menu (open
// the window, quit the program) whose texts follow the "language" setting.
class SystemTray final : public QSystemTrayIcon
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SystemTray)

public:
    struct MenuTexts
    {
        QString open;
        QString exit;
    };

    // parent: the main window; it also owns the context menu.
    explicit SystemTray(QWidget *parent);
    ~SystemTray() override;

    // Sets both entries from the language table; an empty language changes
    // nothing (the menu keeps its last texts).
    void setMenuLanguage(const QString &language);

    // Where the menu reads the language just before it shows: trays that draw
    // the menu themselves (the StatusNotifier trays of KDE, GNOME's extension,
    // Xfce) report no context-menu click, so the menu itself asks.
    void setLanguageSource(std::function<QString()> source);

    // The table: exact, case-sensitive language values; any other value gives
    // the English texts.
    static MenuTexts menuTexts(const QString &language);

    QMenu *menu() const { return m_menu; }
    QAction *openAction() const { return m_open; }
    QAction *exitAction() const { return m_exit; }

signals:
    void showWidget();
    void closeApp();

public slots:
    void doshowWidget();
    void docloseApp();

private:
    QMenu *m_menu = nullptr;
    QAction *m_open = nullptr;
    QAction *m_exit = nullptr;
    std::function<QString()> m_languageSource;
};

} // namespace kelv
