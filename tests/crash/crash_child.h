#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace kelv::test {

struct ChildResult
{
    bool finished = false; // false: it had to be killed after the deadline
    int exitCode = -1;     // when it exited normally
    int signal = 0;        // the signal that ended it, 0 when it exited
    QByteArray out;
    QByteArray err;
};

// Runs program with arguments in workingFolder. Standard output and error are
// read until every process holding them has closed them, which includes
// detached reporters started by a crashing child (they inherit both), so when
// this returns every reporter the child started has finished writing.
// The deadline only guards against a hang; it is not a speed check.
ChildResult runChild(const QString &program, const QStringList &arguments,
                     const QString &workingFolder, int deadlineSeconds = 120);

// Writes a stand-in reporter: a shell script that prints one line per start,
// "reporter-start" followed by each argument after a tab, to standard output.
// Returns false when it could not be written.
bool writeStubReporter(const QString &path);

// The arguments of each "reporter-start" line in output.
QList<QStringList> reporterStarts(const QByteArray &output);

} // namespace kelv::test
