// The page contract of the program: window.cefQuery, window.cefQueryCancel and
// window.setMessageCallback, carried over the program's web channel. This runs
// in the main world of the main frame at document creation, before any script
// of the page, right after qwebchannel.js (both inside one function scope, so
// the page sees none of their names).
var channelTransport = (typeof qt !== 'undefined' && qt && qt.webChannelTransport) || null;

var EVENT_NAMES = ['devicesChanged', 'macroItem', 'currentPropChanged', 'navStateChanged',
                   'onDeviceData', 'onProcessChanged'];

// A random key per document: answers carry it back, so an answer to a query
// of an earlier document of this page is never taken for one of ours.
var documentKey = (function () {
    var bytes = new Uint32Array(4);
    if (window.crypto && window.crypto.getRandomValues) {
        window.crypto.getRandomValues(bytes);
    } else {
        for (var i = 0; i < bytes.length; ++i)
            bytes[i] = Math.floor(Math.random() * 4294967296);
    }
    return Array.prototype.map.call(bytes, function (b) { return b.toString(16); }).join('-');
})();

// The longest request text the native side takes (its kMaxRequestLength):
// a longer one is not sent at all, so the program never spends time on it;
// like every request the native side does not take, it gets no answer.
var MAX_REQUEST_LENGTH = 2 * 1024 * 1024;

var nextQueryId = 1;
var pendingQueries = new Map();   // id -> {onSuccess, onFailure}
var queuedQueries = [];           // [id, request] sent before the channel was up
var bridge = null;
var messageCallbacks = new Map(); // event name -> the first function registered

function reportLater(error) {
    // An exception in a page callback must not break the channel; it still
    // shows on the console.
    setTimeout(function () { throw error; }, 0);
}

function answer(key, id, ok, code, text) {
    if (key !== documentKey)
        return;
    var query = pendingQueries.get(id);
    if (!query)
        return;
    pendingQueries.delete(id);
    try {
        if (ok) {
            if (query.onSuccess)
                query.onSuccess(text);
        } else if (query.onFailure) {
            query.onFailure(code, text);
        }
    } catch (error) {
        reportLater(error);
    }
}

function deliver(name, args) {
    if (EVENT_NAMES.indexOf(name) < 0)
        return;
    var fn = messageCallbacks.get(name);
    if (!fn)
        return;
    try {
        fn.call(undefined, Array.isArray(args) ? args.slice() : []);
    } catch (error) {
        reportLater(error);
    }
}

function connectChannel() {
    if (!channelTransport)
        return;
    new QWebChannel(channelTransport, function (channel) {
        bridge = channel.objects.kelvBridge;
        if (!bridge)
            return;
        bridge.answered.connect(answer);
        // Events sent before this document listened come with the answer to
        // ready(); live events are taken only after it (it arrives after
        // every event sent before it, so none is lost or doubled).
        var listening = false;
        bridge.event.connect(function (name, args) {
            if (listening)
                deliver(name, args);
        });
        bridge.ready(documentKey, function (missed) {
            (Array.isArray(missed) ? missed : []).forEach(function (e) {
                if (Array.isArray(e))
                    deliver(e[0], e[1]);
            });
            listening = true;
        });
        var queued = queuedQueries;
        queuedQueries = [];
        queued.forEach(function (q) {
            if (pendingQueries.has(q[0]))
                bridge.query(documentKey, q[0], q[1]);
        });
    });
}

function cefQuery(query) {
    if (typeof query !== 'object' || query === null)
        throw new TypeError('Invalid arguments; object expected');
    if (typeof query.request !== 'string')
        throw new TypeError("Invalid arguments; object member 'request' is required and must have type string");
    if (query.onSuccess !== undefined && typeof query.onSuccess !== 'function')
        throw new TypeError("Invalid arguments; object member 'onSuccess' must have type function");
    if (query.onFailure !== undefined && typeof query.onFailure !== 'function')
        throw new TypeError("Invalid arguments; object member 'onFailure' must have type function");
    if (query.persistent !== undefined && typeof query.persistent !== 'boolean')
        throw new TypeError("Invalid arguments; object member 'persistent' must have type boolean");
    var id = nextQueryId++;
    pendingQueries.set(id, {onSuccess: query.onSuccess, onFailure: query.onFailure});
    if (query.request.length > MAX_REQUEST_LENGTH)
        return id;
    if (bridge)
        bridge.query(documentKey, id, query.request);
    else
        queuedQueries.push([id, query.request]);
    return id;
}

function cefQueryCancel(id) {
    if (typeof id !== 'number')
        return false;
    return pendingQueries.delete(id);
}

function setMessageCallback(name, fn) {
    if (arguments.length === 2 && typeof name === 'string' && typeof fn === 'function' &&
        !messageCallbacks.has(name))
        messageCallbacks.set(name, fn);
    return undefined;
}

function define(name, fn, fixed) {
    Object.defineProperty(window, name, {
        value: fn, writable: !fixed, enumerable: !fixed, configurable: !fixed
    });
}

// The query functions cannot be replaced by the page; the registration
// function is an ordinary property.
define('cefQuery', cefQuery, true);
define('cefQueryCancel', cefQueryCancel, true);
define('setMessageCallback', setMessageCallback, false);

connectChannel();
