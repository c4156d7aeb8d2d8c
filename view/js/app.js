// The page's state and its controllers. The controllers (js/controllers/)
// carry out the actions; screens (js/ui/*.js) render the state and call the
// controllers. Every change ends in update(), which schedules one render.
import { Bridge } from './bridge.js';
import { activeMode, modeSettings } from './profile.js';
import { ProfileSync, announceProfileChange, onOtherPageChange } from './profilesync.js';
import { applyView, keepState, restoreState } from './rest.js';
import { normaliseLanguage, setLanguage } from './i18n.js';
import { DeviceController } from './controllers/device.js';
import { MacrosController } from './controllers/macros.js';
import { ModesController } from './controllers/modes.js';
import { SettingsController } from './controllers/settings.js';
import { mountShell } from './ui/shell.js';

// How long a deletion can be undone.
export const UNDO_MS = 8000;

export class App {
  constructor(win = window) {
    this.bridge = new Bridge(win);
    this.state = {
      screen: 'performance',
      conf: {},
      devices: [], // the mice getDevicesList reported that the page lists (each marked simulated or not)
      device: null, // the getDevicesList entry of the mouse shown
      gone: null, // the entry of the mouse shown that went away: shown as disconnected until it is back
      simulatedPicked: null, // the simulated mouse the user picked by hand (this session only)
      bootLoader: null,
      settingsKey: null, // where a mode keeps the shown mouse's settings (null: in the mode itself)
      onboard: null, // the shown mouse's onboard profiles: { active, enabled }
      battery: null, // the shown mouse's battery: { level, state }, null for none or unknown
      ownSettings: {}, // the shown mouse's settings outside the modes: sync, idle, lowBattery
      services: [], // the services that serve real mice: [{ id, service, state, api, mice }]
      servicesSeenRunning: [], // the IDs of those seen running (one that no longer runs has stopped)
      deviceState: 'none', // none | loading | ready | error | boot
      deviceError: null,
      live: null, // what the mouse holds now (performance, buttons, lighting)
      profile: null,
      profileError: null,
      recording: null, // { slot, steps } while the recorder runs
      selectedButton: 0,
      selectedSlot: null,
      macroStatus: {}, // slot -> 'storing' | 'stored' | { error }
      systemStatus: {},
      systemDesktop: null, // the System screen: what the desktop holds (see settings.readSystem)
      hotKeyStatus: null,
      session: {}, // getSessionInfo: session type, recorder scope, autostart
      saveState: 'saved',
      maximised: false,
      boundRunning: [],
      homeMode: null,
      view: {}, // what the open screen shows for a moment (a choice not applied yet, a note); cleared when it closes
    };
    this.alerts = [];
    this.ui = null;
    this.renderQueued = false;
    this.renderHeld = false; // while a mouse button is down on the page
    this.renderMissed = false;
    this.quitSend = null; // the last sending of held-back edits before a quit
    this.device = new DeviceController(this);
    this.modes = new ModesController(this);
    this.macros = new MacrosController(this);
    this.settings = new SettingsController(this);
    this.sync = new ProfileSync(this.bridge, () => this.state.profile, {
      onState: (s, err) => {
        this.state.saveState = s;
        // A profile that could not be read takes no change; its own message
        // says so and offers the reset, where trying again never helps.
        // A folder kelv may not write: said as such, with what to do.
        const readOnly = /^savexml failed: read-only (.+)$/.exec(err?.message ?? '');
        if (s === 'failed' && readOnly) this.settings.profileReadOnly(readOnly[1]);
        else if (s === 'failed' && !this.state.profileError) this.error('error.profileStore', err?.message, [{ label: 'action.retry', run: () => this.sync.flush().catch(() => {}) }], { everywhere: true });
        this.update();
      },
      // The file on disk follows every change, except a profile that could
      // not be read: only "reset" replaces that.
      autoSave: () => !this.state.profileError,
      onSent: () => announceProfileChange(),
    });
  }

  get mode() {
    return activeMode(this.state.profile);
  }

  // The active mode's settings for the shown mouse: what the device screens
  // show. A mode without any for it gets them (see DeviceController.settingsOf).
  get shown() {
    const key = this.state.settingsKey;
    return modeSettings(this.mode, key) ?? (key ? this.device.settingsOf(this.mode) : null) ?? this.mode;
  }

  async start() {
    // Events wait until the page has what they act on (released below).
    this.bridge.hold();
    // The page registers for the events before it waits for anything: the
    // document takes the events held for it as soon as its scripts have run,
    // and an event whose name is not registered by then is dropped (a page
    // woken from its rest for a bound program would not switch the mode).
    this.device.listen();
    this.macros.listen();
    this.modes.listen();
    // A page that rested while the window was hidden comes back as it was.
    const resumed = restoreState(this);
    // Its language's texts are there before anything is shown: no moment in English.
    if (resumed && !(await setLanguage(normaliseLanguage(this.state.conf?.language)))) this.error('error.language');
    this.ui = mountShell(this);
    window.kelvApp = this; // for the end-to-end tests and the screenshot script
    window.kelvSendPendingEdits = () => this.sendPendingEdits();
    window.kelvReadyToRest = () => this.readyToRest();
    if (!this.bridge.available) {
      this.error('error.noBridge', '', [], { everywhere: true });
      this.update();
      await this.rendered();
      showPage();
      return;
    }
    if (resumed) {
      this.device.resume(resumed.description);
      this.update();
      await this.rendered();
      // Shown before its scroll and focus come back: hidden, nothing takes the focus.
      showPage();
      applyView(resumed);
    }
    await this.settings.load();
    await this.settings.loadSession();
    // The popup changed the profile, and wrote the mouse, while this page
    // rested: taken as a notice heard then would have been.
    if (resumed?.othersChanged) await this.modes.follow();
    else await this.modes.load();
    // A page loaded afresh learns whether the programs that chose the mode
    // still run (answered a few seconds later); one back from a rest knows.
    if (!resumed) this.modes.resumeBound();
    // The other page (main window or popup) changed the profile: read it again.
    onOtherPageChange(window, () => this.modes.follow());
    await this.device.readServices();
    await this.device.refresh();
    this.device.watch();
    // The System screen shows what the desktop holds: read again whenever it
    // is shown (the desktop's own settings may have changed meanwhile).
    if (this.state.screen === 'system') this.settings.readSystem();
    document.addEventListener('visibilitychange', () => {
      if (document.visibilityState !== 'hidden') {
        if (this.state.screen === 'system') this.settings.readSystem();
        return;
      }
      // The page may rest from here on: saved, and what it shows kept.
      this.modes.save();
      keepState(this);
    });
    // Events that came while the page started are handled now.
    this.bridge.release();
    await this.rendered();
    showPage();
    document.documentElement.dataset.readyAt = String(Date.now());
    document.documentElement.dataset.ready = '1';
  }

  // Many changes in one turn of the event loop give one render, right after
  // the current task (before the next event is handled).
  // The program is about to quit: the edits held back for a moment go to the
  // native side now. True while they are still on their way; the native side
  // asks again until they are not, then writes the profiles to disk.
  sendPendingEdits() {
    if (!this.quitSend) {
      const sending = { done: false };
      this.quitSend = sending;
      this.sync.flush().catch(() => {}).finally(() => { sending.done = true; });
    }
    return !this.quitSend.done;
  }

  // Asked by the native side before the hidden page is discarded: false
  // while an edit is held back (it is sent now) or on its way, or a request
  // waits for its answer; the native side asks again a moment later.
  readyToRest() {
    if (this.sync.timer !== null) this.sync.flush().catch(() => {});
    return this.sync.settled && this.bridge.pending.size === 0;
  }

  update() {
    if (this.renderQueued) return;
    this.renderQueued = true;
    queueMicrotask(() => {
      this.renderQueued = false;
      if (this.renderHeld) this.renderMissed = true;
      else this.ui?.render();
      // Hidden, the page may rest at any time: what it shows is kept.
      if (typeof document !== 'undefined' && document.hidden && this.bridge.available) keepState(this);
    });
  }

  // A render replaces the screen's controls: one between the press and the
  // release of a mouse button would lose the click (or end a slider's drag),
  // so renders wait until the button is released and its click handled.
  holdRenders(held) {
    this.renderHeld = held;
    if (!held && this.renderMissed) {
      this.renderMissed = false;
      this.update();
    }
  }

  // Resolves once the render scheduled so far has happened.
  rendered() {
    return new Promise((resolve) => queueMicrotask(() => queueMicrotask(resolve)));
  }

  // ---- messages: texts are looked up when shown, so they follow the language.
  // A message says what happened and what to do in the user's language; the
  // native answer behind it (detail) goes to the log, not on screen. It
  // belongs to the screen it was raised on and goes when that screen closes,
  // unless it concerns the whole program (everywhere).
  error(key, detail = '', actions = [], { everywhere = false, vars = {} } = {}) {
    if (detail) console.warn(`${key}: ${detail}`);
    this.pushAlert({ kind: 'error', key, vars, detail, actions, help: `${key}.help`, everywhere });
  }

  info(key, vars = {}) {
    this.pushAlert({ kind: 'info', key, vars });
  }

  // A message with "Undo" for a few seconds after something was deleted or
  // replaced; undo() puts it back. A newer one of the same kind takes the
  // place of the last.
  offerUndo(key, vars, undo) {
    this.alerts = this.alerts.filter((x) => !(x.undo && x.key === key));
    this.pushAlert({ kind: 'info', key, vars, undo: true, actions: [{ label: 'action.undo', run: undo }], timeoutMs: UNDO_MS });
  }

  pushAlert(a) {
    a.id = Math.random().toString(36).slice(2);
    a.screen = a.everywhere ? null : this.state.screen;
    // The same message twice is shown once (whatever native answer is behind it).
    if (this.alerts.some((x) => x.key === a.key && JSON.stringify(x.vars) === JSON.stringify(a.vars))) return;
    this.alerts.push(a);
    if (this.alerts.length > 4) this.alerts.shift();
    if (a.kind === 'info') setTimeout(() => this.dismiss(a.id), a.timeoutMs ?? 3500);
    this.update();
  }

  dismiss(id) {
    this.alerts = this.alerts.filter((a) => a.id !== id);
    this.update();
  }

  // Opens a screen: the messages and passing state of the one before go.
  showScreen(id) {
    if (id !== this.state.screen) {
      this.state.view = {};
      this.alerts = this.alerts.filter((a) => a.screen === null || a.screen === id);
      if (id === 'settings') this.settings.refreshVersion();
      if (id === 'system') this.settings.readSystem();
    }
    this.state.screen = id;
    this.update();
  }
}

// The page stays undrawn until it shows the mouse, the settings and the
// language it starts with (css/main.css): drawn once, not first half-read.
function showPage() {
  const root = document.documentElement;
  if (root?.dataset) root.dataset.shown = '1';
}

if (typeof window !== 'undefined' && typeof document !== 'undefined' && !window.kelvNoStart) {
  const app = new App();
  app.start().catch((e) => {
    console.error(e);
    app.bridge.release();
    app.error('error.start', e.message, [], { everywhere: true });
    showPage();
  });
}
