#include "tests/testsupport/program_home.h"

#include <QDir>
#include <QUuid>

namespace kelv::test {

ProgramHome::ProgramHome(const QString &display)
    : m_instanceName(QStringLiteral("kelv-test-") + QUuid::createUuid().toString(QUuid::Id128)),
      m_environment(QProcessEnvironment::systemEnvironment())
{
    QDir().mkpath(m_dir.filePath(QStringLiteral("tmp")));
    if (display.isEmpty()) {
        m_environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        m_environment.remove(QStringLiteral("DISPLAY"));
    } else {
        m_environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        m_environment.insert(QStringLiteral("DISPLAY"), display);
    }
    m_environment.insert(QStringLiteral("HOME"), m_dir.path());
    m_environment.insert(QStringLiteral("TMPDIR"), m_dir.filePath(QStringLiteral("tmp")));
    m_environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.path());
    m_environment.insert(QStringLiteral("KELV_INSTANCE_SERVER"), m_instanceName);
}

} // namespace kelv::test
