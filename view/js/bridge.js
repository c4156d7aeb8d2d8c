// The page's only way to the native side: window.cefQuery for requests and
// window.setMessageCallback for the six events. Requests become promises;
// each event name is registered once and fanned out to any number of
// listeners (the native side keeps only the first registration per name).

export class BridgeError extends Error {
  constructor(message, { code = 0, timeout = false, request = '' } = {}) {
    super(message);
    this.code = code;
    this.timeout = timeout;
    this.request = request;
  }
}

export const EVENTS = Object.freeze([
  'devicesChanged', 'macroItem', 'currentPropChanged', 'navStateChanged', 'onDeviceData', 'onProcessChanged',
]);

export class Bridge {
  constructor(win = globalThis, { timers = globalThis } = {}) {
    this.win = win;
    this.timers = timers;
    this.listeners = new Map();
    this.pending = new Set();
    this.held = null; // events kept while holding: [name, args]
  }

  // Events that come from now on are kept until release(): a page that is
  // still starting (the native side may have woken it for just that event)
  // handles them once it has what they act on.
  hold() {
    if (!this.held) this.held = [];
  }

  release() {
    const held = this.held ?? [];
    this.held = null;
    for (const [name, args] of held) this.dispatch(name, args);
  }

  dispatch(name, args) {
    for (const f of (this.listeners.get(name) ?? []).slice()) {
      try { f(...args); } catch (e) { console.error(`${name} listener failed`, e); }
    }
  }

  get available() {
    return typeof this.win.cefQuery === 'function';
  }

  // Sends one request text. timeoutMs (0 = wait for ever: file dialogs wait
  // for the user and a cancelled dialog never answers) turns a request that
  // the native side leaves unanswered into a failure the page can show.
  request(text, { timeoutMs = 8000 } = {}) {
    if (!this.available) return Promise.reject(new BridgeError('the native bridge is missing', { request: text }));
    return new Promise((resolve, reject) => {
      let timer = null;
      let done = false;
      const finish = () => {
        done = true;
        if (timer !== null) this.timers.clearTimeout(timer);
        this.pending.delete(entry);
      };
      const entry = { id: null, cancel: () => { if (!done) { finish(); if (entry.id !== null) this.win.cefQueryCancel?.(entry.id); } } };
      this.pending.add(entry);
      try {
        entry.id = this.win.cefQuery({
          request: text,
          persistent: false,
          onSuccess: (response) => { if (!done) { finish(); resolve(String(response ?? '')); } },
          onFailure: (code, message) => {
            if (!done) { finish(); reject(new BridgeError(String(message ?? ''), { code, request: text })); }
          },
        });
      } catch (e) {
        finish();
        reject(new BridgeError(String(e?.message ?? e), { request: text }));
        return;
      }
      if (timeoutMs > 0 && !done) {
        timer = this.timers.setTimeout(() => {
          if (done) return;
          entry.cancel();
          reject(new BridgeError('no answer', { timeout: true, request: text }));
        }, timeoutMs);
      }
    });
  }

  call(funcname, members = {}, opts) {
    return this.request(JSON.stringify({ funcname, ...members }), opts);
  }

  // A request that has no reply by design (maximise, restore).
  post(text) {
    if (!this.available) return;
    this.win.cefQuery({ request: text, persistent: false, onSuccess() {}, onFailure() {} });
  }

  on(name, fn) {
    if (!EVENTS.includes(name)) throw new Error(`unknown event ${name}`);
    let list = this.listeners.get(name);
    if (!list) {
      list = [];
      this.listeners.set(name, list);
      if (typeof this.win.setMessageCallback === 'function') {
        this.win.setMessageCallback(name, (args) => {
          const a = Array.isArray(args) ? args : [args];
          if (this.held) this.held.push([name, a]);
          else this.dispatch(name, a);
          return true;
        });
      }
    }
    list.push(fn);
    return () => { const i = list.indexOf(fn); if (i >= 0) list.splice(i, 1); };
  }

  cancelAll() {
    for (const e of Array.from(this.pending)) e.cancel();
  }
}
