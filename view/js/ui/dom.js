// Tiny DOM helpers: h() builds elements, and a few shared controls.

export function h(tag, props = {}, ...children) {
  const el = document.createElement(tag);
  for (const [k, v] of Object.entries(props ?? {})) {
    if (v === undefined || v === null || v === false) continue;
    if (k === 'class') el.className = v;
    else if (k === 'text') el.textContent = v;
    else if (k === 'html') el.innerHTML = v;
    else if (k === 'style' && typeof v === 'object') {
      for (const [prop, val] of Object.entries(v)) {
        if (prop.startsWith('--')) el.style.setProperty(prop, val);
        else el.style[prop] = val;
      }
    }
    else if (k.startsWith('on') && typeof v === 'function') el.addEventListener(k.slice(2), v);
    else if (k === 'dataset') Object.assign(el.dataset, v);
    else if (v === true) el.setAttribute(k, '');
    else if (k === 'value') el.value = v;
    else if (k === 'checked') el.checked = !!v;
    else el.setAttribute(k, String(v));
  }
  appendAll(el, children);
  return el;
}

function appendAll(el, children) {
  for (const c of children.flat(Infinity)) {
    if (c === null || c === undefined || c === false) continue;
    el.append(c instanceof Node ? c : document.createTextNode(String(c)));
  }
}

const SVG_NS = 'http://www.w3.org/2000/svg';
export function s(tag, attrs = {}, ...children) {
  const el = document.createElementNS(SVG_NS, tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (v === undefined || v === null || v === false) continue;
    if (k.startsWith('on') && typeof v === 'function') el.addEventListener(k.slice(2), v);
    else el.setAttribute(k, String(v));
  }
  for (const c of children.flat(Infinity)) if (c) el.append(c);
  return el;
}

// A card with a title and content.
export function card(title, ...content) {
  return h('section', { class: 'card' }, title ? h('h2', { class: 'card-title' }, title) : null, ...content);
}

// A row of mutually exclusive buttons (radio group).
export function segmented({ key, label, options, value, onPick, disabled = false }) {
  const group = h('div', { class: 'segmented', role: 'radiogroup', 'aria-label': label });
  for (const o of options) {
    const on = o.value === value;
    group.append(h('button', {
      type: 'button', role: 'radio', 'aria-checked': on ? 'true' : 'false', class: on ? 'on' : '',
      'data-key': `${key}:${o.value}`, disabled: disabled || !!o.disabled, onclick: () => { if (!on) onPick(o.value); },
    }, o.label));
  }
  return group;
}

// An on/off switch.
export function toggle({ key, label, value, onChange, disabled = false }) {
  return h('label', { class: 'switch-row' },
    h('span', { class: 'switch-label' }, label),
    h('input', { type: 'checkbox', role: 'switch', class: 'switch', checked: !!value, disabled, 'data-key': key,
      onchange: (e) => onChange(e.target.checked) }));
}

// A slider with its value shown; commits on release (change), shows on input.
// shown: the text beside it until it is moved, where that is not format(value)
// (a value the slider's steps cannot hold).
export function slider({ key, label, min, max, step = 1, value, format = (v) => String(v), onCommit, disabled = false, shown = null }) {
  const out = h('output', { class: 'slider-value' }, shown ?? format(value));
  const input = h('input', {
    type: 'range', min, max, step, value, disabled, 'data-key': key, 'aria-label': label,
    oninput: (e) => { out.textContent = format(Number(e.target.value)); },
    onchange: (e) => onCommit(Number(e.target.value)),
  });
  return h('div', { class: 'slider-row' }, h('span', { class: 'slider-label' }, label), input, out);
}

export function select({ key, label, options, value, onChange, disabled = false, cls = '' }) {
  const el = h('select', { 'data-key': key, 'aria-label': label, disabled, class: cls, onchange: (e) => onChange(e.target.value) },
    options.map((o) => h('option', { value: String(o.value), disabled: o.disabled, lang: o.lang }, o.label)));
  el.value = String(value);
  return el;
}

export function field(label, control, hint) {
  return h('div', { class: 'field' }, h('span', { class: 'field-label' }, label), control, hint ? h('span', { class: 'hint' }, hint) : null);
}

// Gives the focus back to the control a dialog took it from. A render while
// the dialog was open may have replaced that control: the one with its
// data-key takes its place.
export function focusBack(control) {
  const key = control?.getAttribute?.('data-key');
  const target = control?.isConnected || !key ? control : document.querySelector(`[data-key="${CSS.escape(key)}"]`);
  target?.focus?.();
}

// Renders into a container, keeping the focused control and scroll position
// (controls are matched by their data-key).
export function renderInto(container, build) {
  const active = document.activeElement;
  const key = active && container.contains(active) ? active.getAttribute('data-key') : null;
  // A text the user is typing survives a render caused by something else
  // (a device event, a recorder item).
  const typing = !!key && active.tagName === 'INPUT' && (active.type === 'text' || active.type === 'number');
  const scroll = container.scrollTop;
  // The browser commits a field's edit ("change") as the field goes away: the
  // unfinished edit is carried over to the new field instead, and committed
  // when the user leaves it.
  const unfinished = (e) => { if (e.target === active) e.stopImmediatePropagation(); };
  if (typing) document.addEventListener('change', unfinished, true);
  try {
    // Parts left out (null) are not rendered, not even as text.
    container.replaceChildren(...[build()].flat().filter((x) => x !== null && x !== undefined && x !== false));
  } finally {
    document.removeEventListener('change', unfinished, true);
  }
  container.scrollTop = scroll;
  if (key) {
    let again = container.querySelector(`[data-key="${CSS.escape(key)}"]`);
    if (again && typing && again.tagName === 'INPUT' && again.type === active.type) {
      // The field being typed in stays itself, in the new field's place and
      // with its attributes: its text selection stays too (a number field's
      // cannot be read or set, and a key typed after a select-all would add
      // to the text instead of replacing it).
      for (const a of [...active.attributes]) if (!again.hasAttribute(a.name)) active.removeAttribute(a.name);
      for (const a of [...again.attributes]) active.setAttribute(a.name, a.value);
      carryChange(active, again.value);
      again.replaceWith(active);
      again = active;
    }
    again?.focus({ preventScroll: true });
  }
}

// The browser fires "change" only for text typed since the field got the
// focus: an edit that a render took the focus from (rendered: the value the
// page shows for the field now) is committed the same way, when the field is
// left or Enter is pressed (unless a later edit of the user's fires "change"
// itself). A field kept through several renders carries one edit.
const carried = new WeakMap(); // input -> the value rendered for it
function carryChange(input, rendered) {
  const known = carried.has(input);
  carried.set(input, rendered);
  if (known) return;
  const stop = () => {
    carried.delete(input);
    input.removeEventListener('change', stop);
    input.removeEventListener('blur', commit);
    input.removeEventListener('keydown', onKey);
  };
  const commit = () => {
    const last = carried.get(input);
    stop();
    if (input.isConnected && input.value !== last) input.dispatchEvent(new Event('change', { bubbles: true }));
  };
  const onKey = (e) => { if (e.key === 'Enter') commit(); };
  input.addEventListener('change', stop);
  input.addEventListener('blur', commit);
  input.addEventListener('keydown', onKey);
}
