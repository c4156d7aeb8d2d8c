#pragma once

#include <QString>
#include <QTemporaryDir>

namespace kelv::test {

// A throw-away program folder: a copy of the built program folder's page and
// profiles (and, on request, its executables and libdc) in a temporary
// directory, so tests never touch build/program or each other.
class TempProgramFolder
{
public:
    enum Content { ProfilesAndPage = 0x1, Binaries = 0x2, Everything = 0x3 };

    explicit TempProgramFolder(int content = ProfilesAndPage);

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString &relative) const { return m_dir.filePath(relative); }

    // Writes a file below the folder (creating folders); returns its full path.
    QString write(const QString &relative, const QByteArray &content) const;
    QByteArray read(const QString &relative) const;

    // The built program folder (KELV_PROGRAM_DIR from the test environment).
    static QString builtProgramFolder();
    // The source tree (KELV_SOURCE_DIR from the test environment).
    static QString sourceFolder();

private:
    QTemporaryDir m_dir;
};

// Copies a folder tree; returns false on the first failure.
bool copyTree(const QString &from, const QString &to);

} // namespace kelv::test
