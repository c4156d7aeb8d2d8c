// Byte lists as the device commands exchange them ("0x01,0xff,0x10") and the
// small binary helpers the device map needs (little-endian numbers, colours).

// Parses a byte list. Items are hexadecimal with or without the 0x prefix;
// an empty text is an empty list. Anything that is not a byte throws, so a
// garbled reply is never mistaken for device data.
export function parseByteList(text) {
  if (typeof text !== 'string') throw new TypeError('byte list must be a text');
  const trimmed = text.trim();
  if (trimmed === '') return [];
  return trimmed.split(',').map((item, i) => {
    const m = /^\s*(?:0x)?([0-9a-f]{1,2})\s*$/i.exec(item);
    if (!m) throw new RangeError(`byte ${i} is not a hexadecimal byte: "${item}"`);
    return parseInt(m[1], 16);
  });
}

// Formats bytes as the write commands take them: "0x01,0xff".
export function formatByteList(bytes) {
  return Array.from(bytes, (b, i) => {
    if (!Number.isInteger(b) || b < 0 || b > 255) throw new RangeError(`byte ${i} out of range: ${b}`);
    return '0x' + b.toString(16).padStart(2, '0');
  }).join(',');
}

export function u16le(bytes, offset) {
  return (bytes[offset] ?? 0) | ((bytes[offset + 1] ?? 0) << 8);
}

export function putU16le(bytes, offset, value) {
  bytes[offset] = value & 0xff;
  bytes[offset + 1] = (value >> 8) & 0xff;
}

// "#39a7da" <-> [0x39, 0xa7, 0xda]
export function rgbToHex(r, g, b) {
  return '#' + [r, g, b].map((v) => (v & 0xff).toString(16).padStart(2, '0')).join('');
}

export function hexToRgb(hex) {
  const m = /^#?([0-9a-f]{6})$/i.exec(String(hex).trim());
  if (!m) throw new RangeError(`not a colour: "${hex}"`);
  const v = parseInt(m[1], 16);
  return [(v >> 16) & 0xff, (v >> 8) & 0xff, v & 0xff];
}

export function isHexColour(text) {
  return /^#[0-9a-f]{6}$/i.test(String(text));
}

// UTF-8 helpers that work the same in Node and in the page.
export function utf8Encode(text) {
  return Array.from(new TextEncoder().encode(text));
}

export function utf8Decode(bytes) {
  return new TextDecoder('utf-8', { fatal: false }).decode(Uint8Array.from(bytes));
}

// Cuts a text so that its UTF-8 form fits maxBytes, never inside a character.
export function truncateUtf8(text, maxBytes) {
  let out = '';
  let used = 0;
  for (const ch of text) {
    const n = new TextEncoder().encode(ch).length;
    if (used + n > maxBytes) break;
    out += ch;
    used += n;
  }
  return out;
}
