// The shown mouse in the device bar (its name, model, firmware; a choice when
// several are connected; the simulated mouse named as such; a mouse that went
// away as disconnected) and the note that says how to get real mice when a
// service that serves them (ratbagd) cannot.
import { formatUnit, t } from '../i18n.js';
import { SERVICE_PROBLEMS } from '../caps.js';
import { modelText } from '../devicechoice.js';
import { h, select } from './dom.js';
import { icon } from './icons.js';

// What people call the mouse: "Simulated mouse" for the device library's
// simulated one, else the name its device library reports, else its ID.
export function deviceName(d) {
  if (d.simulated) return t('device.simulated');
  return d.productName || d.DeviceID || t('device.unnamed');
}

// Its serial number, where it has one: a mouse served by a daemon reports the
// daemon's name of the device there (older programs answer no "serial").
export function deviceSerial(d) {
  return typeof d.serial === 'string' ? d.serial : d.SN ?? '';
}

// The second line of the device bar: that the simulated mouse reaches no
// mouse; else model, firmware version and serial number, whichever the device
// reports (the model says more than a serial).
export function deviceDetails(d) {
  if (d.simulated) return t('device.simulatedHint');
  const parts = [];
  const model = modelText(d.description);
  if (model) parts.push(`${t('device.model')} ${model}`);
  if (d.Version) parts.push(`${t('device.firmware')} ${d.Version}`);
  if (!model && deviceSerial(d)) parts.push(`${t('device.serial')} ${deviceSerial(d)}`);
  return parts.join(' · ');
}

// The battery of the shown mouse: its level, and whether it charges or is
// full; nothing for a mouse without one or whose level nobody knows.
export function batteryText(battery) {
  if (!battery) return '';
  const level = formatUnit(battery.level, 'percent');
  if (battery.state === 2) return t('device.batteryCharging', { level });
  if (battery.state === 3) return t('device.batteryFull', { level });
  return t('device.battery', { level });
}

// The level below which a battery warns (the "batteryWarning" setting; 15 %
// when it is missing or not a number, 0 never).
export function batteryWarning(conf) {
  const n = Number.parseInt(conf?.batteryWarning ?? '', 10);
  return Number.isInteger(n) ? Math.min(100, Math.max(0, n)) : 15;
}

export function deviceChip(app) {
  const st = app.state;
  const d = st.device ?? st.gone;
  const gone = !st.device;
  const details = gone ? t('device.disconnected') : deviceDetails(d);
  const battery = gone ? '' : batteryText(st.battery);
  const low = st.battery && st.battery.state !== 2 && st.battery.state !== 3 && st.battery.level < batteryWarning(st.conf);
  return h('div', { class: `device-chip ${gone ? 'off' : 'on'}`, 'data-state': gone ? 'gone' : st.deviceState },
    icon(gone ? 'plug' : 'mouse'),
    h('div', {},
      h('strong', { id: 'device-name' }, deviceName(d)),
      details ? h('small', {}, details) : null),
    battery ? h('span', { class: 'battery' + (low ? ' low' : ''), id: 'device-battery', 'data-level': String(st.battery.level) }, battery) : null,
    st.deviceState === 'loading' ? h('span', { class: 'spinner', 'aria-label': t('device.loading') }) : null);
}

// How a mouse reads in the choice: its name and model.
function pickLabel(d) {
  const model = d.simulated ? '' : modelText(d.description);
  return model ? `${deviceName(d)} (${model})` : deviceName(d);
}

// The choice among the mice, when there is more than one (the one that went
// away among them, marked disconnected).
export function devicePicker(app) {
  const { devices, device, gone } = app.state;
  const shown = device ?? gone;
  const away = !device && gone && !devices.some((d) => d.HardwareID === gone.HardwareID) ? gone : null;
  const options = devices.map((d) => ({ value: d.HardwareID, label: pickLabel(d) }));
  if (away) options.unshift({ value: away.HardwareID, label: `${pickLabel(away)} · ${t('device.disconnected')}` });
  if (options.length < 2) return null;
  return h('label', { class: 'mode-picker device-picker' }, h('span', {}, t('device.pick')),
    select({
      key: 'topbar:device', label: t('device.pick'), value: shown?.HardwareID ?? '',
      options,
      onChange: (v) => app.device.choose(v),
    }));
}

// What the page can tell the user of each service it knows, by its name: the
// text of each state and the command that helps. "stoppedNow": a service seen
// running that is no longer there has stopped, whatever else it could be.
const SERVICE_HELP = Object.freeze({
  ratbagd: {
    text: (kind) => `service.${kind}`,
    commands: {
      absent: 'sudo apt install ratbagd', stopped: 'sudo systemctl start ratbagd', stoppedNow: 'sudo systemctl start ratbagd',
      gaveUp: 'journalctl -u ratbagd', unsupported: 'sudo apt install ratbagd',
    },
  },
  // OpenRazer's daemon runs in the user's session; its kernel driver needs a
  // restart of the computer once installed, and so does joining plugdev. Said
  // only where a device of its maker is plugged in (hardware).
  openrazer: {
    text: (kind) => `service.openrazer.${kind}`,
    commands: {
      absent: 'sudo apt install openrazer-daemon', stopped: 'systemctl --user start openrazer-daemon',
      stoppedNow: 'systemctl --user start openrazer-daemon', plugdev: 'sudo gpasswd -a $USER plugdev',
      nodriver: 'sudo apt install openrazer-driver-dkms',
    },
    needsHardware: true,
  },
});

// What the user can do to get real mice, for each service that cannot serve
// them and that the page has words for: [{ kind, title, text, api, command,
// start }]. seenRunning: the IDs of the services seen running. start: the
// service's ID when the page offers to start it (the device library gave up
// starting one that failed to start again and again).
export function serviceHelp(services, seenRunning = []) {
  return (services ?? []).filter((s) => SERVICE_PROBLEMS.includes(s.state) && SERVICE_HELP[s.service]
    && (!SERVICE_HELP[s.service].needsHardware || s.hardware)).map((s) => {
    const help = SERVICE_HELP[s.service];
    const stoppedNow = seenRunning.includes(s.id) && (s.state === 'stopped' || s.state === 'absent');
    const gaveUp = s.state === 'stopped' && s.startGivenUp;
    const kind = gaveUp ? 'gaveUp' : stoppedNow ? 'stoppedNow' : s.state;
    return {
      kind, title: gaveUp ? 'service.gaveUpTitle' : stoppedNow ? 'service.stoppedTitle' : 'service.title',
      text: help.text(kind), api: s.api ?? '?', command: help.commands[kind] ?? null, start: gaveUp ? s.id : null,
    };
  });
}

// The devices a running service serves that the page does not show, and why:
// [{ name, text }] (a keyboard, no mouse, settings that could not be read).
export function notShownDevices(services) {
  return (services ?? []).filter((s) => s.state === 'running' && SERVICE_HELP[s.service])
    .flatMap((s) => s.notShown.map((d) => ({
      name: d.name, text: d.why === 'unreadable' ? (d.retrying ? 'service.notShown.retrying' : 'service.notShown.unreadable') : `service.notShown.${d.why}`,
    })));
}

// The note of serviceHelp() and notShownDevices(); null when every service
// runs and shows all it serves (or this system has none the page knows).
export function serviceNote(app) {
  const problems = serviceHelp(app.state.services, app.state.servicesSeenRunning ?? []);
  const hidden = notShownDevices(app.state.services);
  if (!problems.length && !hidden.length) return null;
  const title = problems.length ? problems[0].title : 'service.notShownTitle';
  return h('div', { class: 'service-note', id: 'service-note', role: 'note', 'data-state': problems[0]?.kind ?? 'notShown' },
    icon('info'),
    h('div', {},
      h('strong', {}, t(title)),
      ...problems.flatMap((p) => [h('p', {}, t(p.text, { api: p.api })),
        p.command ? h('p', {}, t('service.command'), ' ', h('code', {}, p.command)) : null,
        p.start ? h('p', {}, h('button', { type: 'button', class: 'btn', 'data-key': `service-start:${p.start}`, onclick: () => app.device.startService(p.start) }, t('service.startAgain'))) : null]),
      ...hidden.map((d) => h('p', { class: 'not-shown' }, t(d.text, { name: d.name })))));
}
