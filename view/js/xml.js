// A small XML reader and writer for the profile document: elements,
// attributes, text, comments, declarations. The profile commands answer with
// XML texts and take XML fragments; this module turns them into plain
// objects { name, attrs, children, text } and back, the same in the page and
// in Node.

const ENTITIES = { lt: '<', gt: '>', amp: '&', quot: '"', apos: "'" };

function decodeEntities(text) {
  return text.replace(/&(#x[0-9a-f]+|#[0-9]+|[a-z]+);/gi, (all, ent) => {
    if (ent[0] === '#') {
      const code = ent[1] === 'x' || ent[1] === 'X' ? parseInt(ent.slice(2), 16) : parseInt(ent.slice(1), 10);
      return Number.isFinite(code) && code <= 0x10ffff ? String.fromCodePoint(code) : all;
    }
    return ENTITIES[ent] ?? all;
  });
}

export function escapeXml(text) {
  return String(text)
    .replace(/&/g, '&amp;')
    .replace(/</g, '&lt;')
    .replace(/>/g, '&gt;')
    .replace(/"/g, '&quot;')
    .replace(/\r/g, '&#13;')
    .replace(/\n/g, '&#10;')
    .replace(/\t/g, '&#9;');
}

export class XmlError extends Error {}

// Parses a text holding one or more top-level elements; returns the list of
// top-level elements. Throws XmlError for text that is not well formed.
export function parseXmlFragment(text) {
  let i = 0;
  const n = text.length;
  const fail = (msg) => { throw new XmlError(`${msg} at ${i}`); };
  const name = () => {
    const m = /^[A-Za-z_:][-A-Za-z0-9_:.]*/.exec(text.slice(i, i + 256));
    if (!m) fail('name expected');
    i += m[0].length;
    return m[0];
  };
  const skipWs = () => { while (i < n && /\s/.test(text[i])) i++; };
  const skipMisc = () => {
    for (;;) {
      skipWs();
      if (text.startsWith('<?', i)) {
        const e = text.indexOf('?>', i);
        if (e < 0) fail('unterminated declaration');
        i = e + 2;
      } else if (text.startsWith('<!--', i)) {
        const e = text.indexOf('-->', i);
        if (e < 0) fail('unterminated comment');
        i = e + 3;
      } else if (text.startsWith('<!DOCTYPE', i)) {
        const e = text.indexOf('>', i);
        if (e < 0) fail('unterminated doctype');
        i = e + 1;
      } else return;
    }
  };
  const element = () => {
    if (text[i] !== '<') fail('element expected');
    i++;
    const el = { name: name(), attrs: {}, children: [], text: '' };
    for (;;) {
      skipWs();
      if (text.startsWith('/>', i)) { i += 2; return el; }
      if (text[i] === '>') { i++; break; }
      const an = name();
      skipWs();
      if (text[i] !== '=') fail('= expected');
      i++;
      skipWs();
      const q = text[i];
      if (q !== '"' && q !== "'") fail('quote expected');
      const e = text.indexOf(q, i + 1);
      if (e < 0) fail('unterminated attribute');
      const raw = text.slice(i + 1, e);
      if (raw.includes('<')) fail('< in attribute');
      el.attrs[an] = decodeEntities(raw);
      i = e + 1;
    }
    for (;;) {
      if (i >= n) fail(`unterminated element ${el.name}`);
      if (text.startsWith('</', i)) {
        i += 2;
        const close = name();
        if (close !== el.name) fail(`</${close}> closes <${el.name}>`);
        skipWs();
        if (text[i] !== '>') fail('> expected');
        i++;
        return el;
      }
      if (text.startsWith('<!--', i)) {
        const e = text.indexOf('-->', i);
        if (e < 0) fail('unterminated comment');
        i = e + 3;
      } else if (text.startsWith('<![CDATA[', i)) {
        const e = text.indexOf(']]>', i);
        if (e < 0) fail('unterminated CDATA');
        el.text += text.slice(i + 9, e);
        i = e + 3;
      } else if (text.startsWith('<?', i)) {
        const e = text.indexOf('?>', i);
        if (e < 0) fail('unterminated instruction');
        i = e + 2;
      } else if (text[i] === '<') {
        el.children.push(element());
      } else {
        const e = text.indexOf('<', i);
        const chunk = text.slice(i, e < 0 ? n : e);
        el.text += decodeEntities(chunk);
        i = e < 0 ? n : e;
      }
    }
  };
  const out = [];
  skipMisc();
  while (i < n) {
    out.push(element());
    skipMisc();
  }
  return out;
}

// Parses a document with one root element.
export function parseXml(text) {
  const roots = parseXmlFragment(String(text));
  if (roots.length !== 1) throw new XmlError(roots.length ? 'more than one root element' : 'no element');
  return roots[0];
}

export function el(name, attrs = {}, children = []) {
  return { name, attrs, children, text: '' };
}

export function serialize(node) {
  const attrs = Object.entries(node.attrs ?? {})
    .map(([k, v]) => ` ${k}="${escapeXml(v)}"`)
    .join('');
  const text = node.text && node.text.trim() ? escapeXml(node.text.trim()) : '';
  const kids = (node.children ?? []).map(serialize).join('');
  if (!kids && !text) return `<${node.name}${attrs}/>`;
  return `<${node.name}${attrs}>${text}${kids}</${node.name}>`;
}

export function child(node, name) {
  return node?.children?.find((c) => c.name === name) ?? null;
}

export function childrenNamed(node, name) {
  return node?.children?.filter((c) => c.name === name) ?? [];
}

// An XPath 1.0 string literal for a value (quotes chosen to fit; values with
// both kinds of quote are built with concat()).
export function xpathLiteral(value) {
  const s = String(value);
  if (!s.includes("'")) return `'${s}'`;
  if (!s.includes('"')) return `"${s}"`;
  return 'concat(' + s.split("'").map((p) => `'${p}'`).join(`, "'", `) + ')';
}
