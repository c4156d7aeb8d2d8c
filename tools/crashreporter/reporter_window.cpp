#include "tools/crashreporter/reporter_window.h"

#include "common/app_paths.h"
#include "common/ui_texts.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace kelv {

QString reporterStyleSheet()
{
    return QStringLiteral(R"(
QWidget#ReporterWindow { background: #17191d; }
QWidget { color: #d9dde3; font-size: 10pt; }
QLabel#headline { color: #ffffff; font-size: 17pt; font-weight: 600; }
QFrame#accentBar { background: #39a7da; border-radius: 2px; }
QLabel#explanation { color: #c3c8d0; }
QLabel#summary { color: #8d949e; }
QLabel#status { color: #39a7da; }
QPlainTextEdit#reportView { background: #0f1114; color: #b9c0ca; border: 1px solid #2a2e35;
                            border-radius: 4px; padding: 6px;
                            selection-background-color: #39a7da; selection-color: #0f1114; }
QPushButton { background: #262a31; border: 1px solid #353a43; border-radius: 4px;
              padding: 6px 16px; min-width: 90px; }
QPushButton:hover { border-color: #39a7da; }
QPushButton:pressed { background: #1e2127; }
QPushButton:disabled { color: #5c626b; border-color: #2a2e35; }
QPushButton#restartButton { background: #39a7da; border-color: #39a7da; color: #0f1114;
                            font-weight: 600; }
QPushButton#restartButton:hover { background: #52b5e2; }
QScrollBar:vertical { background: #0f1114; width: 10px; }
QScrollBar::handle:vertical { background: #353a43; border-radius: 4px; min-height: 24px; }
QScrollBar::add-line, QScrollBar::sub-line { height: 0; width: 0; }
QScrollBar:horizontal { background: #0f1114; height: 10px; }
QScrollBar::handle:horizontal { background: #353a43; border-radius: 4px; min-width: 24px; }
)");
}

ReporterWindow::ReporterWindow(const CrashReport &report, const QString &programFolder,
                               QWidget *parent)
    : QWidget(parent), m_report(report), m_programFolder(programFolder)
{
    setObjectName(QStringLiteral("ReporterWindow"));
    setAttribute(Qt::WA_StyledBackground);
    setWindowTitle(uiText(QStringLiteral("kelv crash report")));
    setStyleSheet(reporterStyleSheet());
    // Without a report there is only the message to show.
    resize(report.isValid() ? QSize(820, 600) : QSize(720, 260));

    m_headline = new QLabel(report.headline(), this);
    m_headline->setObjectName(QStringLiteral("headline"));
    auto *accent = new QFrame(this);
    accent->setObjectName(QStringLiteral("accentBar"));
    accent->setFixedWidth(4);

    m_explanation = new QLabel(report.explanation(), this);
    m_explanation->setObjectName(QStringLiteral("explanation"));
    m_explanation->setWordWrap(true);
    m_explanation->setTextInteractionFlags(Qt::TextSelectableByMouse);

    QStringList facts;
    if (report.isValid()) {
        if (!report.field(QStringLiteral("Signal")).isEmpty())
            facts
                << uiText(QStringLiteral("Signal %1")).arg(report.field(QStringLiteral("Signal")));
        if (!report.faultAddress().isEmpty())
            facts << uiText(QStringLiteral("address %1")).arg(report.faultAddress());
        if (!report.version().isEmpty())
            facts << QStringLiteral("kelv %1").arg(report.version());
    }
    m_summary = new QLabel(facts.join(QStringLiteral("  ·  ")), this);
    m_summary->setObjectName(QStringLiteral("summary"));
    m_summary->setVisible(!facts.isEmpty());

    m_reportView = new QPlainTextEdit(this);
    m_reportView->setObjectName(QStringLiteral("reportView"));
    m_reportView->setReadOnly(true);
    m_reportView->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_reportView->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_reportView->setPlainText(report.text());
    m_reportView->setVisible(report.isValid());

    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("status"));

    m_copy = new QPushButton(uiText(QStringLiteral("Copy report")), this);
    m_copy->setObjectName(QStringLiteral("copyButton"));
    m_copy->setEnabled(report.isValid());
    m_openFolder = new QPushButton(uiText(QStringLiteral("Open folder")), this);
    m_openFolder->setObjectName(QStringLiteral("openFolderButton"));
    m_openFolder->setEnabled(!report.path().isEmpty() &&
                             QFileInfo(QFileInfo(report.path()).absolutePath()).isDir());
    m_restart = new QPushButton(uiText(QStringLiteral("Restart kelv")), this);
    m_restart->setObjectName(QStringLiteral("restartButton"));
    m_close = new QPushButton(uiText(QStringLiteral("Close")), this);
    m_close->setObjectName(QStringLiteral("closeButton"));

    connect(m_copy, &QPushButton::clicked, this, &ReporterWindow::copyReport);
    connect(m_openFolder, &QPushButton::clicked, this, &ReporterWindow::openFolder);
    connect(m_restart, &QPushButton::clicked, this, &ReporterWindow::restartProgram);
    connect(m_close, &QPushButton::clicked, this, &QWidget::close);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_copy);
    buttons->addWidget(m_openFolder);
    buttons->addStretch(1);
    buttons->addWidget(m_restart);
    buttons->addWidget(m_close);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 22, 24, 18);
    layout->setSpacing(12);
    auto *title = new QHBoxLayout;
    title->setSpacing(12);
    title->addWidget(accent);
    title->addWidget(m_headline, 1);
    layout->addLayout(title);
    layout->addWidget(m_explanation);
    layout->addWidget(m_summary);
    layout->addWidget(m_reportView, 1);
    if (!report.isValid())
        layout->addStretch(1);
    layout->addWidget(m_status);
    layout->addLayout(buttons);

    m_restart->setDefault(true);
    m_restart->setFocus();
}

QString ReporterWindow::programPath() const
{
    return QDir::cleanPath(m_programFolder + QStringLiteral("/kelv") + executableSuffix());
}

void ReporterWindow::copyReport()
{
    if (!m_report.isValid())
        return;
    QGuiApplication::clipboard()->setText(m_report.text());
    showStatus(uiText(QStringLiteral("The report is on the clipboard.")));
}

void ReporterWindow::openFolder()
{
    const QString folder = QFileInfo(m_report.path()).absolutePath();
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
        showStatus(uiText(QStringLiteral("The folder %1 could not be opened.")).arg(folder));
}

void ReporterWindow::restartProgram()
{
    const QString program = programPath();
    if (!QProcess::startDetached(program, QStringList(), m_programFolder)) {
        showStatus(uiText(QStringLiteral("kelv could not be started from %1.")).arg(program));
        return;
    }
    emit programRestarted(program);
    close();
}

void ReporterWindow::showStatus(const QString &text)
{
    m_status->setText(text);
}

} // namespace kelv
