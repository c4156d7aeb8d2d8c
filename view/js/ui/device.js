// The shown mouse in the device bar (its name, model, firmware; a choice when
// several are connected) and the note that says how to get real mice when
// a service that serves them (ratbagd) cannot.
import { t } from '../i18n.js';
import { SERVICE_PROBLEMS } from '../caps.js';
import { h, select } from './dom.js';
import { icon } from './icons.js';

// What people call the mouse: the name its device library reports, else its ID.
export function deviceName(d) {
  return d.productName || d.DeviceID || t('device.unnamed');
}

// The second line of the device bar: model, firmware version, serial number,
// whichever the device reports (the model says more than a serial).
export function deviceDetails(d) {
  const parts = [];
  if (d.description) parts.push(`${t('device.model')} ${d.description}`);
  if (d.Version) parts.push(`${t('device.firmware')} ${d.Version}`);
  if (!d.description) parts.push(`${t('device.serial')} ${d.SN || '?'}`);
  return parts.join(' · ');
}

export function deviceChip(app) {
  const st = app.state;
  const d = st.device;
  return h('div', { class: 'device-chip on', 'data-state': st.deviceState },
    icon('mouse'),
    h('div', {},
      h('strong', { id: 'device-name' }, deviceName(d)),
      h('small', {}, deviceDetails(d))),
    st.deviceState === 'loading' ? h('span', { class: 'spinner', 'aria-label': t('device.loading') }) : null);
}

// The choice among the connected mice, when there is more than one.
export function devicePicker(app) {
  const { devices, device } = app.state;
  if (devices.length < 2) return null;
  return h('label', { class: 'mode-picker device-picker' }, h('span', {}, t('device.pick')),
    select({
      key: 'topbar:device', label: t('device.pick'), value: device?.HardwareID ?? '',
      options: devices.map((d) => ({ value: d.HardwareID, label: d.description ? `${deviceName(d)} (${d.description})` : deviceName(d) })),
      onChange: (v) => app.device.choose(v),
    }));
}

// What the page can tell the user of each service it knows, by its name: the
// text of each state and the command that helps.
const SERVICE_HELP = Object.freeze({
  ratbagd: {
    text: (state) => `service.${state}`,
    commands: { absent: 'sudo apt install ratbagd', stopped: 'sudo systemctl start ratbagd', unsupported: 'sudo apt install ratbagd' },
  },
});

// What the user can do to get real mice, for each service that cannot serve
// them and that the page has words for: [{ state, text, api, command }].
export function serviceHelp(services) {
  return (services ?? []).filter((s) => SERVICE_PROBLEMS.includes(s.state) && SERVICE_HELP[s.service]).map((s) => {
    const help = SERVICE_HELP[s.service];
    return { state: s.state, text: help.text(s.state), api: s.api ?? '?', command: help.commands[s.state] ?? null };
  });
}

// The note of serviceHelp(); null when every service runs (or this system has
// none the page knows).
export function serviceNote(app) {
  const problems = serviceHelp(app.state.services);
  if (!problems.length) return null;
  return h('div', { class: 'service-note', id: 'service-note', role: 'note', 'data-state': problems[0].state },
    icon('info'),
    h('div', {},
      h('strong', {}, t('service.title')),
      ...problems.flatMap((p) => [h('p', {}, t(p.text, { api: p.api })),
        p.command ? h('p', {}, t('service.command'), ' ', h('code', {}, p.command)) : null])));
}
