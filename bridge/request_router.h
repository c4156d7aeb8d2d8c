#pragma once

#include "bridge/dispatcher.h"
#include "bridge/query_callback.h"

#include <QList>
#include <QObject>
#include <QString>

namespace kelv {

class AppHost;
class devices_handler;

// The longest request text taken (UTF-16 units, as the page counts them): a
// request holds at most a fragment of kMaxFragmentBytes, even escaped. A
// longer one is dropped unread, without reply; the page contract does not
// send it in the first place.
constexpr qsizetype kMaxRequestLength = 2 * 1024 * 1024;

// The one path of a page request from the browser to its command handler.
// It owns the dispatcher (the command table); every web view's jsMessage is
// connected straight to onJsMessage.
//
// takeWindowRequest() is the query intake's part: the "moveWindow" text and
// the exact {"funcname":"minisizeWindow"} text are carried out at once (and
// answered with the empty text); it returns false for every other request,
// which the web view then delivers as jsMessage.
//
// onJsMessage(): the exact maximise and restore texts (no reply), else a
// JSON object with "funcname" goes to the dispatcher; anything else gets no
// reply. A request longer than kMaxRequestLength is taken by neither.
class RequestRouter final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RequestRouter)

public:
    explicit RequestRouter(AppHost &host, QObject *parent = nullptr);

    Dispatcher &dispatcher() { return m_dispatcher; }
    const Dispatcher &dispatcher() const { return m_dispatcher; }

    // Registers the program's command families (device, profile, settings)
    // in the dispatcher. devices may be null (no device manager).
    void addProgramCommands(devices_handler *devices);

    bool takeWindowRequest(const QString &request, const QueryCallbackPtr &callback);

public slots:
    void onJsMessage(const QString &request, const kelv::QueryCallbackPtr &callback);

private:
    AppHost &m_host;
    Dispatcher m_dispatcher;
};

// The integers of a "moveWindow" request: read after its first eleven
// characters, blanks allowed before each, one comma skipped after each;
// reading stops at the first character that does not start an integer (or
// one out of int range).
QList<int> parseMoveWindowNumbers(const QString &request);

} // namespace kelv
