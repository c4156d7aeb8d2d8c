#pragma once

#include "bridge/query_callback.h"

#include <QList>
#include <QString>

namespace kelv {

class AppHost;
class Dispatcher;

// Everything between a page query and a command handler.
//
// takeWindowRequest() is the query intake's part: the "moveWindow" text and
// the exact {"funcname":"minisizeWindow"} text are carried out at once (and
// answered with the empty text); it returns false for every other request,
// which the web view then delivers as jsMessage.
//
// onJsMessage() is the main window's slot: the exact maximise and restore
// texts (no reply), else a JSON object with "funcname" goes to the dispatcher;
// anything else gets no reply.
class RequestRouter
{
public:
    RequestRouter(AppHost &host, const Dispatcher &dispatcher);

    bool takeWindowRequest(const QString &request, const QueryCallbackPtr &callback);
    void onJsMessage(const QString &request, const QueryCallbackPtr &callback);

private:
    AppHost &m_host;
    const Dispatcher &m_dispatcher;
};

// The integers of a "moveWindow" request: read after its first eleven
// characters, blanks allowed before each, one comma skipped after each;
// reading stops at the first character that does not start an integer (or
// one out of int range).
QList<int> parseMoveWindowNumbers(const QString &request);

} // namespace kelv
