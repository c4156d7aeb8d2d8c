// The mode a bound program chose outlives the page. The main page keeps,
// in the browser's local storage (on disk with the page's other storage),
// the bound programs whose modes it stacked and the mode to go back to, for
// its own profile file. After the program or the page started again (a new
// start, a crash, a restart of the machine) the page asks the program monitor
// which of those programs still run: the mode of one that ended is left as
// its end would have left it. Only what is true now decides: a page that
// merely starts while the game runs (the popup, a page reloaded after its
// renderer crashed) takes nothing away from the game.
import { PROFILE_PATH, findMode } from './profile.js';
import { storageOf } from './rest.js';

// One entry per profile file: the storage is the user's, shared by every
// copy of the program they run.
export const BOUND_KEY = 'kelv.boundModes';
export const boundKey = (where) => `${BOUND_KEY} ${where}`;

// The local storage (kept on disk across the program's starts), or null.
export const localStorageOf = (win) => storageOf(win, 'localStorage');

// The profile file of the page's own program folder, as an address: another
// copy of the program (with storage of the same user) has another.
export function profileAddress(win) {
  try {
    return new URL(`../${PROFILE_PATH}`, win.location.href).href;
  } catch {
    return '';
  }
}

// Keeps the stacked modes (running, the last one on top) and the mode to go
// back to while a bound program's mode is the current one; forgets them
// otherwise (no program runs, the user chose another mode).
export function keepBoundModes(storage, where, model, running, home) {
  if (!storage || !where) return;
  try {
    if (model && running.length && model.current === running[running.length - 1] && home !== null) {
      storage.setItem(boundKey(where), JSON.stringify({ running, home }));
    } else {
      storage.removeItem(boundKey(where));
    }
  } catch { /* full or switched off: nothing is kept */ }
}

// What was kept for this profile, or null: nothing, or no longer true of the
// profile (its current mode is not the one on top, or a mode is gone).
export function keptBoundModes(storage, where, model) {
  let kept = null;
  try {
    kept = JSON.parse(storage?.getItem(boundKey(where)) ?? 'null');
  } catch {
    return null;
  }
  if (!kept || typeof kept !== 'object' || !where || !model) return null;
  const { running, home } = kept;
  if (!Array.isArray(running) || !running.length || typeof home !== 'string') return null;
  if (!running.every((x) => typeof x === 'string' && findMode(model, x)) || !findMode(model, home)) return null;
  if (model.current !== running[running.length - 1]) return null;
  return { running: [...running], home };
}
