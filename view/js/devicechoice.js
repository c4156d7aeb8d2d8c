// Which of the listed mice the page shows. A real mouse is the mouse the page
// opens on: the simulated mouse of the device library is listed after the
// real ones, hidden as the user's setting says, and never chosen over a real
// mouse unless the user picks it. A mouse that goes away stays shown, as
// disconnected, until it is back or the user picks another.

// What the "simulatedMouse" client setting may say: listed always, only
// while no real mouse is listed, or never.
export const SIMULATED_SETTINGS = Object.freeze(['shown', 'alone', 'hidden']);

// The setting in force: the user's, else the build's default (the package's
// build hides the simulated mouse while a real one is there).
export function simulatedSetting(conf, session) {
  const v = conf?.simulatedMouse;
  if (SIMULATED_SETTINGS.includes(v)) return v;
  return session?.packaged ? 'alone' : 'shown';
}

// The mice to list, real ones first (in the order the device library lists
// them), then the simulated one where the setting lets it be listed. Each
// entry carries simulated (true or false).
export function visibleMice(mice, setting) {
  const real = mice.filter((d) => !d.simulated);
  const simulated = mice.filter((d) => d.simulated);
  const listed = setting === 'shown' || (setting === 'alone' && !real.length);
  return [...real, ...(listed ? simulated : [])];
}

// The mouse to show among the listed ones (null: none, or the shown one went
// away and stays shown as disconnected).
//   picked: the simulated mouse the user picked by hand in this session
//   chosen: the real mouse the user chose (kept in the profile)
//   shown: the mouse shown now (connected, or gone)
//   stays: whether the shown mouse stays shown when it goes away (it was read)
//   bootLoader: a mouse is in its boot loader (it comes back after its update)
export function pickMouse(mice, { picked = null, chosen = '', shown = null, stays = false, bootLoader = false } = {}) {
  const byId = (id) => (id ? mice.find((d) => d.HardwareID === id) ?? null : null);
  const real = mice.find((d) => !d.simulated) ?? null;
  const pickedOne = byId(picked);
  if (pickedOne?.simulated) return pickedOne;
  const chosenOne = byId(chosen);
  if (chosenOne && !chosenOne.simulated) return chosenOne;
  // The shown mouse stays, unless it is the simulated one and a real one is there.
  const again = byId(shown?.HardwareID);
  if (again && (!again.simulated || !real)) return again;
  // The shown mouse went into its boot loader, or a real one went away: it
  // stays the one shown. A simulated one that went gives way to a real one.
  if (shown && !again && (bootLoader || (stays && !shown.simulated))) return null;
  return real ?? mice[0] ?? null;
}

// What people read as the model: the daemon's model text "usb:046d:c539:0"
// as "USB 046d:c539"; nothing for a model the daemon does not know.
export function modelText(text) {
  const raw = String(text ?? '').trim();
  if (!raw || raw.toLowerCase() === 'unknown') return '';
  const m = /^([a-z0-9]+):([0-9a-f]{4}):([0-9a-f]{4})(?::\d+)?$/i.exec(raw);
  if (!m) return raw;
  const bus = { usb: 'USB', bluetooth: 'Bluetooth' }[m[1].toLowerCase()] ?? m[1].toUpperCase();
  return `${bus} ${m[2].toLowerCase()}:${m[3].toLowerCase()}`;
}
