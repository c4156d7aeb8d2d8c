#pragma once

#include "bridge/query_callback.h"

#include <QMutex>
#include <QMutexLocker>
#include <QString>

namespace kelv::test {

// A query callback that remembers its answer, for handler tests without a page. Commands
// for ratbagd mice answer from the device manager's worker thread: the answer is kept under
// a lock.
class RecordingCallback final : public QueryCallback
{
public:
    bool answered() const { return answerCount() > 0; }
    int answerCount() const
    {
        QMutexLocker lock(&m_mutex);
        return m_count;
    }
    bool ok() const
    {
        QMutexLocker lock(&m_mutex);
        return m_ok;
    }
    int code() const
    {
        QMutexLocker lock(&m_mutex);
        return m_code;
    }
    QString text() const
    {
        QMutexLocker lock(&m_mutex);
        return m_text;
    }

    static QSharedPointer<RecordingCallback> create()
    {
        return QSharedPointer<RecordingCallback>::create();
    }

protected:
    void deliver(bool ok, int code, const QString &text) override
    {
        QMutexLocker lock(&m_mutex);
        ++m_count;
        m_ok = ok;
        m_code = code;
        m_text = text;
    }

private:
    mutable QMutex m_mutex;
    int m_count = 0;
    bool m_ok = false;
    int m_code = -1;
    QString m_text;
};

} // namespace kelv::test
