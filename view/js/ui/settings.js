// Program settings (conf.xml through getConf/setConf), updates and versions.
import { t, LANGUAGES, currentLanguage } from '../i18n.js';
import { hotKeyLabel, metaKeyName, qtSequenceFromEvent } from '../keys.js';
import { splitHotKey } from '../requests.js';
import { PAGE_VERSION } from '../version.js';
import { modelText, simulatedSetting } from '../devicechoice.js';
import { card, field, h, segmented, select, toggle } from './dom.js';
import { deviceName, deviceSerial } from './device.js';
import { icon } from './icons.js';

// The hint under the close button's choice. Where the desktop has no tray the
// close button of "Keeps running in the tray" minimises the window, and the
// hint says so only while that is chosen: "Quits the program" quits there too.
export function closeHintKey(closeFunc, tray) {
  if (tray !== false) return 'settings.closeHint';
  return closeFunc === 'closeapp' ? null : 'settings.closeNoTray';
}

export function renderSettings(app) {
  const conf = app.state.conf;
  const hk = splitHotKey(conf.showConf);
  const d = app.state.device ?? app.state.gone;

  const lang = select({
    key: 'settings:lang', label: t('settings.language'), value: currentLanguage(),
    options: LANGUAGES.map((l) => ({ value: l.code, label: l.name, lang: l.locale })), onChange: (v) => app.settings.setLanguage(v),
  });

  const closeFunc = segmented({
    key: 'settings:close', label: t('settings.close'), value: conf.closeFunc === 'closeapp' ? 'closeapp' : 'hide',
    options: [{ value: 'hide', label: t('settings.closeHide') }, { value: 'closeapp', label: t('settings.closeQuit') }],
    onPick: (v) => app.settings.set('closeFunc', v),
  });

  const session = app.state.session || {};
  // The simulated mouse: listed always, only without a real mouse, or never.
  const simulated = segmented({
    key: 'settings:simulated', label: t('settings.simulated'), value: simulatedSetting(conf, session),
    options: [{ value: 'shown', label: t('settings.simulatedShown') }, { value: 'alone', label: t('settings.simulatedAlone') },
      { value: 'hidden', label: t('settings.simulatedHidden') }],
    onPick: (v) => app.settings.setSimulated(v),
  });
  const closeHint = closeHintKey(conf.closeFunc === 'closeapp' ? 'closeapp' : 'hide', session.tray);
  const autostart = toggle({
    key: 'settings:autostart', label: t('settings.autostart'), value: !!session.autostart,
    onChange: (v) => app.settings.setAutostart(v),
  });

  // Listening for the new combination lasts across renders (the message
  // that asks for a modifier is one): the user's next try is taken.
  const view = app.state.view;
  const listening = view.hotKeyListening === true;
  const stopListening = () => { view.hotKeyListening = false; app.update(); };
  const hotkey = h('button', {
    type: 'button', class: listening ? 'key-capture listening' : 'key-capture', 'data-key': 'settings:hotkey',
    onclick: () => { view.hotKeyListening = true; app.update(); },
    // A render replaces the button (the old one is blurred, the new one
    // focused): only the user's leaving it, or the window, ends the listening.
    onblur: () => {
      if (!view.hotKeyListening) return;
      setTimeout(() => {
        const still = document.hasFocus() && document.activeElement?.getAttribute('data-key') === 'settings:hotkey';
        if (view.hotKeyListening && !still) stopListening();
      });
    },
    onkeydown: async (e) => {
      if (!view.hotKeyListening) return;
      if (e.key === 'Escape') { stopListening(); return; }
      // Tab is never taken as a hot key: it moves on, as everywhere else.
      if (e.key === 'Tab' && !e.ctrlKey && !e.altKey && !e.metaKey) return;
      e.preventDefault();
      const seq = qtSequenceFromEvent(e);
      if (!seq) return;
      if (!/^(Ctrl|Alt|Meta)\+/.test(seq) && !/^F\d+$/.test(seq)) {
        app.error('settings.hotkeyModifier', '', [], { vars: { ctrl: t('key.ctrl'), alt: t('key.alt'), meta: metaKeyName() } });
        return;
      }
      view.hotKeyListening = false;
      const ok = await app.settings.set('showConf', seq);
      app.state.hotKeyStatus = ok ? 'ok' : 'refused';
      app.update();
    },
  }, h('span', { class: 'combo' }, listening ? t('settings.hotkeyListening') : hotKeyLabel(hk.sequence) || t('settings.hotkeyNone')), h('small', {}, t('settings.hotkeyCapture')));

  // Under Wayland only the desktop can give a global hot key (its shortcuts
  // portal); say so rather than blame another program.
  const refusedText = session.hotKeys === 'portal' ? t('settings.hotkeyWayland') : t('settings.hotkeyRefused');
  const hkStatus = app.state.hotKeyStatus === 'refused' || (hk.sequence && !hk.registered)
    ? h('p', { class: 'hint warn', role: 'status' }, icon('warning'), refusedText)
    : hk.sequence ? h('p', { class: 'hint ok' }, icon('check'), t('settings.hotkeyActive')) : null;

  const row = (k, v) => h('div', { class: 'about-row' }, h('span', {}, k), h('strong', {}, v));
  // The mouse as people know it: no internal names, no empty rows.
  const model = d && !d.simulated ? modelText(d.description) : '';
  const serial = d ? deviceSerial(d) : '';

  return h('div', { class: 'screen-grid two' },
    h('div', { class: 'stack' },
      card(t('settings.general'),
        field(t('settings.language'), lang),
        field(t('settings.close'), closeFunc, closeHint && t(closeHint)),
        autostart, h('p', { class: 'hint' }, t('settings.autostartHint'))),
      card(t('settings.hotkey'),
        h('p', { class: 'hint' }, t('settings.hotkeyHint')),
        hotkey, hkStatus),
      card(t('settings.simulated'), h('p', { class: 'hint' }, t('settings.simulatedHint')), simulated)),
    h('div', { class: 'stack' },
      card(t('settings.updates'),
        h('p', { class: 'hint' }, t('settings.updatesHint')),
        h('button', { type: 'button', class: 'btn primary', 'data-key': 'settings:update', onclick: () => app.settings.checkUpdate() }, icon('download'), t('settings.checkUpdate'))),
      card(t('settings.about'),
        row(t('settings.appVersion'), conf.version || '—'),
        row(t('settings.pageVersion'), PAGE_VERSION),
        row(t('settings.device'), d ? deviceName(d) : t('device.none')),
        model ? row(t('device.model'), model) : null,
        d?.Version ? row(t('device.firmware'), d.Version) : null,
        serial ? row(t('device.serial'), serial) : null)));
}
