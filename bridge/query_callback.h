#pragma once

#include <QMetaType>
#include <QSharedPointer>
#include <QString>
#include <atomic>

class QObject;

namespace kelv {

// The answer channel of one page query. Exactly one of success() or failure()
// reaches the page, at most once: later answers are dropped. A query that is
// never answered stays pending in the page (the "no reply" cases).
// Callable from any thread.
class QueryCallback
{
public:
    virtual ~QueryCallback() = default;

    void success(const QString &text);
    void failure(int code, const QString &text);
    bool isAnswered() const { return m_answered.load(); }
    // The page the query came from, or null where that is not known.
    virtual QObject *origin() const { return nullptr; }

protected:
    virtual void deliver(bool ok, int code, const QString &text) = 0;

private:
    bool claim() { return !m_answered.exchange(true); }
    std::atomic<bool> m_answered{false};
};

using QueryCallbackPtr = QSharedPointer<QueryCallback>;

// Reply operations used by every command handler (failure code is always 0).
inline void answerSuccess(const QueryCallbackPtr &callback, const QString &text)
{
    if (callback)
        callback->success(text);
}
inline void answerFailure(const QueryCallbackPtr &callback, const QString &text)
{
    if (callback)
        callback->failure(0, text);
}

} // namespace kelv

// Carried by queued signals (jsMessage).
Q_DECLARE_METATYPE(kelv::QueryCallbackPtr)
