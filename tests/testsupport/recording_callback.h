#pragma once

#include "bridge/query_callback.h"

#include <QString>

namespace kelv::test {

// A query callback that remembers its answer, for handler tests without a page.
class RecordingCallback final : public QueryCallback
{
public:
    bool answered() const { return m_count > 0; }
    int answerCount() const { return m_count; }
    bool ok() const { return m_ok; }
    int code() const { return m_code; }
    QString text() const { return m_text; }

    static QSharedPointer<RecordingCallback> create()
    {
        return QSharedPointer<RecordingCallback>::create();
    }

protected:
    void deliver(bool ok, int code, const QString &text) override
    {
        ++m_count;
        m_ok = ok;
        m_code = code;
        m_text = text;
    }

private:
    int m_count = 0;
    bool m_ok = false;
    int m_code = -1;
    QString m_text;
};

} // namespace kelv::test
