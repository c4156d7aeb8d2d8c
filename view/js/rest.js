// While the window is hidden the native side lets the page rest: once it is
// quiet its document is discarded, and it is loaded again when an event needs
// it or the window is shown. What only the page's memory holds (the scroll
// position, the picked button and macro slot, the bound programs that run and
// the mode to go back to, what was last read from the mouse and whether each
// macro is stored in it) is kept in the
// session's storage meanwhile, so the page comes back as the user left it
// without reading the mouse again. A new start of the program has a new
// session and starts afresh.
import { PROFILE_CHANGED_KEY } from './profilesync.js';

const KEY = 'kelv.rest';
const KEPT = ['conf', 'session', 'profile', 'devices', 'device', 'gone', 'simulatedPicked', 'bootLoader', 'deviceState', 'live',
  'onboard', 'settingsKey', 'services', 'servicesSeenRunning', 'selectedButton', 'selectedSlot', 'boundRunning', 'homeMode',
  'maximised', 'macroStatus'];

// The window's session or local storage, or null where it is switched off.
export function storageOf(win, kind = 'sessionStorage') {
  try {
    return win[kind] ?? null;
  } catch {
    return null; // storage switched off
  }
}

// Writes what the page shows now (state, scroll position, focused control).
export function keepState(app, win = globalThis) {
  const storage = storageOf(win);
  if (!storage) return;
  const state = {};
  for (const k of KEPT) state[k] = app.state[k];
  const doc = win.document;
  const view = {
    state,
    scroll: doc?.querySelector('#content')?.scrollTop ?? 0,
    focus: doc?.activeElement?.getAttribute?.('data-key') ?? null,
    // what the connected mouse (or the one that went away) can do
    description: app.device?.mouse?.description ?? app.device?.goneDescription ?? null,
    // The other page's last notice of a change: one sent while this page
    // rested (the popup wrote the mouse) finds no page to hear it.
    profileChange: lastProfileChange(win),
  };
  try {
    storage.setItem(KEY, JSON.stringify(view));
  } catch {
    // Full: the page starts afresh next time. The snapshot before this one
    // must not come back in its place: its bound programs and the mode to go
    // back to may no longer be true, and would switch to the wrong mode.
    try {
      storage.removeItem(KEY);
    } catch { /* storage switched off meanwhile: nothing is kept */ }
  }
}

function lastProfileChange(win) {
  try {
    return storageOf(win, 'localStorage')?.getItem(PROFILE_CHANGED_KEY) ?? null;
  } catch {
    return null;
  }
}

// Puts the kept state back into app.state; returns { scroll, focus } to apply
// once the page is drawn and the mouse's description, or null when nothing was kept. Only a page that
// rested comes back (document.wasDiscarded): a page loaded afresh does not
// even open the storage, whose first use waits for the browser (several
// milliseconds of the page's start).
export function restoreState(app, win = globalThis) {
  if (!win.document?.wasDiscarded) return null;
  const storage = storageOf(win);
  let view = null;
  try {
    view = JSON.parse(storage?.getItem(KEY) ?? 'null');
  } catch {
    view = null;
  }
  if (!view || typeof view.state !== 'object' || view.state === null) return null;
  for (const k of KEPT) {
    if (k in view.state) app.state[k] = view.state[k];
  }
  // A page that rested while the mouse was being read reads it again.
  if (app.state.deviceState === 'loading') app.state.deviceState = 'none';
  return {
    scroll: Number(view.scroll) || 0,
    focus: typeof view.focus === 'string' ? view.focus : null,
    description: Array.isArray(view.description) ? view.description : null,
    // Another page changed the profile and the mouse meanwhile: what was last
    // read from the mouse is no longer what it holds.
    othersChanged: lastProfileChange(win) !== (view.profileChange ?? null),
  };
}

// Scroll position and focus as they were, once the restored screen is drawn.
export function applyView(view, win = globalThis) {
  const doc = win.document;
  const content = doc.querySelector('#content');
  if (content) content.scrollTop = view.scroll;
  if (view.focus) doc.querySelector(`[data-key="${CSS.escape(view.focus)}"]`)?.focus({ preventScroll: true });
}
