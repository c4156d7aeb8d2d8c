// Modes: create, rename, switch, bind to a program, export, import, delete,
// and the reset to factory defaults.
import { t } from '../i18n.js';
import { card, h } from './dom.js';
import { icon } from './icons.js';
import { shownModeName } from '../names.js';

export function renderModes(app, ui) {
  const p = app.state.profile;
  const running = new Set(app.state.boundRunning);
  const rows = p.modes.map((m) => {
    const active = m.index === p.current;
    return h('li', { class: 'mode' + (active ? ' active' : ''), 'data-mode': m.index },
      h('div', { class: 'mode-main' },
        h('input', { type: 'text', class: 'mode-name', value: shownModeName(m.name), maxlength: 40, 'data-key': `mode-name:${m.index}`,
          'aria-label': t('modes.name'), onchange: (e) => { if (!e.target.value.trim()) e.target.value = shownModeName(m.name); app.modes.rename(m.index, e.target.value); } }),
        active ? h('span', { class: 'badge on' }, icon('check'), t('modes.isActive'))
          : h('button', { type: 'button', class: 'btn small primary', 'data-key': `mode-activate:${m.index}`, onclick: () => app.modes.switchTo(m.index) }, t('modes.activate'))),
      h('div', { class: 'mode-binding' },
        icon('link'),
        m.bindingProcess
          ? h('span', { class: 'path', title: m.bindingProcess }, m.bindingProcess, running.has(m.index) ? h('span', { class: 'badge run' }, t('modes.running')) : null)
          : h('span', { class: 'hint' }, t('modes.notBound'))),
      h('div', { class: 'mode-actions' },
        h('button', { type: 'button', class: 'btn small', 'data-key': `mode-bind:${m.index}`, onclick: () => app.modes.bind(m.index) }, icon('link'), m.bindingProcess ? t('modes.rebind') : t('modes.bind')),
        m.bindingProcess ? h('button', { type: 'button', class: 'btn small', 'data-key': `mode-unbind:${m.index}`, onclick: () => app.modes.unbind(m.index) }, icon('unlink'), t('modes.unbind')) : null,
        h('button', { type: 'button', class: 'btn small', 'data-key': `mode-export:${m.index}`, onclick: () => app.modes.exportMode(m.index) }, icon('upload'), t('modes.export')),
        h('button', { type: 'button', class: 'btn small', disabled: p.modes.length <= 1, 'data-key': `mode-delete:${m.index}`,
          onclick: async () => {
            if (await ui.confirm({ title: t('modes.delete'), text: t('modes.deleteConfirm', { name: shownModeName(m.name) }), ok: t('modes.delete'), danger: true })) app.modes.remove(m.index);
          } }, icon('trash'), t('modes.delete'))));
  });

  return h('div', { class: 'screen-grid one' },
    card(t('modes.title'),
      h('p', { class: 'hint' }, t('modes.hint')),
      h('div', { class: 'card-actions top' },
        h('button', { type: 'button', class: 'btn primary', 'data-key': 'modes:new', onclick: () => app.modes.add() }, icon('copy'), t('modes.new')),
        h('button', { type: 'button', class: 'btn', 'data-key': 'modes:import', onclick: () => app.modes.importMode() }, icon('download'), t('modes.import')),
        h('span', { class: 'spacer' }),
        h('button', { type: 'button', class: 'btn danger-outline', 'data-key': 'modes:reset', onclick: () => ui.confirmReset() }, icon('reset'), t('modes.reset'))),
      h('ul', { class: 'modes' }, rows),
      h('p', { class: 'hint' }, t('modes.bindHint'))));
}
