// A minimal Chrome DevTools Protocol client over a hand-written WebSocket
// (Node 20 has no WebSocket client), enough to drive the page in the real
// Qt WebEngine: evaluate scripts, wait for conditions, take screenshots.
import http from 'node:http';
import crypto from 'node:crypto';

export function getJson(port, path) {
  return new Promise((resolve, reject) => {
    const req = http.get({ host: '127.0.0.1', port, path, timeout: 2000 }, (res) => {
      let body = '';
      res.setEncoding('utf8');
      res.on('data', (c) => { body += c; });
      res.on('end', () => { try { resolve(JSON.parse(body)); } catch (e) { reject(e); } });
    });
    req.on('error', reject);
    req.on('timeout', () => req.destroy(new Error('timeout')));
  });
}

class WebSocketClient {
  constructor(socket, head) {
    this.socket = socket;
    this.buffer = head && head.length ? Buffer.from(head) : Buffer.alloc(0);
    this.fragments = [];
    this.onmessage = () => {};
    this.onclose = () => {};
    socket.on('data', (d) => { this.buffer = Buffer.concat([this.buffer, d]); this.parse(); });
    socket.on('close', () => this.onclose());
    socket.on('error', () => {});
    this.parse();
  }

  parse() {
    for (;;) {
      const b = this.buffer;
      if (b.length < 2) return;
      const fin = (b[0] & 0x80) !== 0;
      const opcode = b[0] & 0x0f;
      let len = b[1] & 0x7f;
      let off = 2;
      if (len === 126) { if (b.length < 4) return; len = b.readUInt16BE(2); off = 4; }
      else if (len === 127) { if (b.length < 10) return; len = Number(b.readBigUInt64BE(2)); off = 10; }
      const masked = (b[1] & 0x80) !== 0;
      const maskOff = off;
      if (masked) off += 4;
      if (b.length < off + len) return;
      let payload = b.subarray(off, off + len);
      if (masked) { const m = b.subarray(maskOff, maskOff + 4); payload = Buffer.from(payload.map((x, i) => x ^ m[i % 4])); }
      this.buffer = b.subarray(off + len);
      if (opcode === 8) { this.socket.end(); return; }
      if (opcode === 9) { this.frame(10, payload); continue; }
      if (opcode === 1 || opcode === 2 || opcode === 0) {
        this.fragments.push(Buffer.from(payload));
        if (fin) { const msg = Buffer.concat(this.fragments).toString('utf8'); this.fragments = []; this.onmessage(msg); }
      }
    }
  }

  frame(opcode, payload) {
    const len = payload.length;
    const head = [0x80 | opcode];
    if (len < 126) head.push(0x80 | len);
    else if (len < 65536) head.push(0x80 | 126, len >> 8, len & 0xff);
    else { head.push(0x80 | 127); const big = Buffer.alloc(8); big.writeBigUInt64BE(BigInt(len)); head.push(...big); }
    const mask = crypto.randomBytes(4);
    const body = Buffer.from(payload.map((x, i) => x ^ mask[i % 4]));
    this.socket.write(Buffer.concat([Buffer.from(head), mask, body]));
  }

  send(text) { this.frame(1, Buffer.from(text, 'utf8')); }
  close() { try { this.frame(8, Buffer.alloc(0)); } catch { /* closed */ } this.socket.end(); }
}

function connectWebSocket(url) {
  const u = new URL(url);
  const key = crypto.randomBytes(16).toString('base64');
  return new Promise((resolve, reject) => {
    const req = http.request({
      host: u.hostname, port: u.port, path: u.pathname + u.search,
      headers: { Connection: 'Upgrade', Upgrade: 'websocket', 'Sec-WebSocket-Key': key, 'Sec-WebSocket-Version': '13' },
    });
    req.on('upgrade', (res, socket, head) => resolve(new WebSocketClient(socket, head)));
    req.on('response', (res) => reject(new Error(`no upgrade: ${res.statusCode}`)));
    req.on('error', reject);
    req.end();
  });
}

export class Cdp {
  static async connect(port, match = (t) => t.type === 'page') {
    const targets = await getJson(port, '/json');
    const target = targets.find(match);
    if (!target) throw new Error('no matching page');
    const ws = await connectWebSocket(target.webSocketDebuggerUrl);
    return new Cdp(ws, target);
  }

  constructor(ws, target) {
    this.ws = ws;
    this.target = target;
    this.nextId = 1;
    this.waiting = new Map();
    this.listeners = [];
    ws.onmessage = (text) => {
      const msg = JSON.parse(text);
      if (msg.id && this.waiting.has(msg.id)) {
        const { resolve, reject } = this.waiting.get(msg.id);
        this.waiting.delete(msg.id);
        if (msg.error) reject(new Error(msg.error.message)); else resolve(msg.result);
      } else if (msg.method) {
        for (const l of this.listeners) l(msg);
      }
    };
    ws.onclose = () => { for (const { reject } of this.waiting.values()) reject(new Error('closed')); this.waiting.clear(); };
  }

  send(method, params = {}) {
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      this.waiting.set(id, { resolve, reject });
      this.ws.send(JSON.stringify({ id, method, params }));
    });
  }

  // Evaluates an expression in the page (promises are awaited) and returns its value.
  async eval(expression) {
    const r = await this.send('Runtime.evaluate', { expression, awaitPromise: true, returnByValue: true });
    if (r.exceptionDetails) throw new Error(`page: ${r.exceptionDetails.exception?.description ?? r.exceptionDetails.text}`);
    return r.result.value;
  }

  // Polls an expression until it is truthy (a test fails by its own timeout).
  async until(expression, { timeoutMs = 20000, everyMs = 100 } = {}) {
    const end = Date.now() + timeoutMs;
    let last;
    let problem = '';
    for (;;) {
      try { last = await this.eval(expression); problem = ''; } catch (e) { last = false; problem = e.message; }
      if (last) return last;
      if (Date.now() > end) throw new Error(`still false after ${timeoutMs} ms: ${expression} ${problem}`);
      await new Promise((r) => setTimeout(r, everyMs));
    }
  }

  async screenshot() {
    const r = await this.send('Page.captureScreenshot', { format: 'png' });
    return Buffer.from(r.data, 'base64');
  }

  close() { this.ws.close(); }
}
