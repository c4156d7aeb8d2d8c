#include "desktop/system_tray.h"

#include <QAction>
#include <QIcon>
#include <QPixmap>
#include <QMenu>
#include <QWidget>

namespace kelv {

SystemTray::SystemTray(QWidget *parent) : QSystemTrayIcon(parent)
{
    // A PNG, named as one (see the window's icon).
    setIcon(QIcon(QPixmap(QStringLiteral(":/systemtray/tray_icon"), "PNG")));

    m_menu = new QMenu(parent);
    setContextMenu(m_menu);
    setVisible(true);

    m_open = new QAction(QStringLiteral("Open"), this);
    m_exit = new QAction(QStringLiteral("Exit"), this);
    m_menu->addAction(m_open);
    m_menu->addSeparator();
    m_menu->addAction(m_exit);

    connect(m_menu, &QMenu::aboutToShow, this, [this] {
        if (m_languageSource)
            setMenuLanguage(m_languageSource());
    });
    connect(m_open, &QAction::triggered, this, &SystemTray::doshowWidget);
    connect(m_exit, &QAction::triggered, this, &SystemTray::docloseApp);
}

SystemTray::~SystemTray() = default;

SystemTray::MenuTexts SystemTray::menuTexts(const QString &language)
{
    if (language == QLatin1String("zh"))
        return {QStringLiteral("打开"), QStringLiteral("退出")};
    if (language == QLatin1String("zh-TW") || language == QLatin1String("zh-HK"))
        return {QStringLiteral("開啟"), QStringLiteral("結束")};
    if (language == QLatin1String("de-DE"))
        return {QStringLiteral("Öffnen"), QStringLiteral("Beenden")};
    if (language == QLatin1String("ja"))
        return {QStringLiteral("開く"), QStringLiteral("終了")};
    if (language == QLatin1String("ru"))
        return {QStringLiteral("Открыть"), QStringLiteral("Выход")};
    if (language == QLatin1String("ko"))
        return {QStringLiteral("열기"), QStringLiteral("종료")};
    return {QStringLiteral("Open"), QStringLiteral("Exit")};
}

void SystemTray::setLanguageSource(std::function<QString()> source)
{
    m_languageSource = std::move(source);
}

void SystemTray::setMenuLanguage(const QString &language)
{
    if (language.isEmpty())
        return;
    const MenuTexts texts = menuTexts(language);
    m_open->setText(texts.open);
    m_exit->setText(texts.exit);
}

void SystemTray::doshowWidget()
{
    emit showWidget();
}

void SystemTray::docloseApp()
{
    emit closeApp();
}

} // namespace kelv
