// Program settings (conf.xml), the desktop's mouse settings, the window
// buttons and the update check.
import { currentLanguage, setLanguage, LANGUAGES, normaliseLanguage } from '../i18n.js';
import * as rq from '../requests.js';
import { DOUBLE_CLICK_MS } from '../ui/system.js';

export class SettingsController {
  constructor(app) {
    this.app = app;
  }

  // conf.xml's settings as the native side answers them ({} when the answer
  // holds none); throws when the request fails or the answer is no JSON.
  async readConf() {
    const arr = JSON.parse(await this.app.bridge.request(rq.settings.get()));
    return Array.isArray(arr) && arr[0] && typeof arr[0] === 'object' ? arr[0] : {};
  }

  async load() {
    const { app } = this;
    try {
      app.state.conf = await this.readConf();
    } catch (e) {
      app.state.conf = {};
      app.error('error.conf', e.message, [], { everywhere: true });
    }
    // The page speaks English until the chosen language's texts are loaded.
    if (!(await setLanguage(normaliseLanguage(app.state.conf.language)))) app.error('error.language');
    app.update();
  }

  // The program records its new version in conf.xml only once it has shown
  // its window and page after an update, so the page that came up then read
  // the old one. Settings shows the version: it is read again when it opens.
  async refreshVersion() {
    const { app } = this;
    let version;
    try {
      ({ version } = await this.readConf());
    } catch {
      return; // the version read at start stays
    }
    if (typeof version !== 'string' || version === app.state.conf?.version) return;
    app.state.conf = { ...app.state.conf, version };
    app.update();
  }

  // What the desktop allows (a Wayland session records only this window and
  // takes hot keys from the desktop portal) and whether the program starts
  // with the desktop. An older program without the command keeps the defaults.
  async loadSession() {
    const { app } = this;
    try {
      const info = JSON.parse(await app.bridge.request(rq.settings.session()));
      app.state.session = info && typeof info === 'object' ? info : {};
    } catch {
      app.state.session = {};
    }
    const { profileWritable, profileFolder } = app.state.session;
    if (profileWritable === false) this.profileReadOnly(profileFolder);
    else if (profileWritable === true) app.alerts = app.alerts.filter((a) => a.key !== 'error.readOnly');
    app.update();
  }

  // kelv may not write the folder of the profile: every change would be lost
  // at quit. Said from the start (and when a save is refused), in the user's
  // language, with what to do; Try again looks again and saves.
  profileReadOnly(folder) {
    const { app } = this;
    app.error('error.readOnly', `cannot write ${folder}`, [{
      label: 'action.retry',
      run: async () => {
        app.alerts = app.alerts.filter((a) => a.key !== 'error.readOnly');
        await this.loadSession();
        if (app.state.session.profileWritable !== false && !app.state.profileError) await app.sync.save().catch(() => {});
      },
    }], { everywhere: true, vars: { folder: String(folder ?? '') } });
  }

  async setAutostart(enabled) {
    const { app } = this;
    try {
      const reply = await app.bridge.request(rq.settings.autostart(enabled));
      const state = rq.settings.autostartState(reply);
      if (state === null) throw new Error(reply);
      app.state.session.autostart = state;
    } catch (e) {
      app.error('error.autostart', e.message);
    } finally {
      app.update();
    }
  }

  async set(key, value) {
    const { app } = this;
    try {
      const reply = await app.bridge.request(rq.settings.set(key, value));
      if (key === 'showConf' || key === 'testTool') {
        const ok = rq.hotKeyAccepted(reply);
        app.state.conf[key] = `${value},${ok ? '\u0001' : '\u0000'}`;
        return ok;
      }
      rq.expectReply(reply, rq.settings.setDone);
      app.state.conf[key] = value;
      return true;
    } catch (e) {
      app.error('error.setConf', e.message);
      return false;
    } finally {
      app.update();
    }
  }

  // Lists or hides the simulated mouse (devicechoice.js); the mice are
  // chosen again at once.
  async setSimulated(value) {
    if (!(await this.set('simulatedMouse', value))) return;
    await this.app.device.refresh();
  }

  async setLanguage(lang) {
    if (!LANGUAGES.some((l) => l.code === lang)) return;
    // A language whose texts could not be loaded is not kept as the choice
    // (the list shows the language the page still speaks).
    if (!(await setLanguage(lang))) return this.app.error('error.language');
    this.app.update();
    // Another language chosen while this one's texts loaded took its place.
    if (currentLanguage() === lang) await this.set('language', lang);
  }

  // What the desktop holds now, read back with its own tools: a value changed
  // in the desktop's own settings shows as it is. state.systemDesktop is
  // { reading } while asked, { values } when answered (a number, 'default' or
  // null each; the double-click time in milliseconds), { failed } when the
  // native side could not say (an older program): the System screen then
  // shows what kelv set last.
  async readSystem() {
    const { app } = this;
    const before = app.state.systemDesktop;
    app.state.systemDesktop = { reading: true, values: before?.values ?? null };
    app.update();
    try {
      const values = JSON.parse(await app.bridge.request(rq.systemMouse.read()));
      if (!values || typeof values !== 'object') throw new Error('no values');
      const one = (v) => (v === 'default' || (Number.isFinite(v) && v >= 0) ? v : null);
      app.state.systemDesktop = { values: { pointerSpeed: one(values.pointerSpeed), scrollLines: one(values.scrollLines), doubleClick: one(values.doubleClick) } };
    } catch (e) {
      console.warn(`getSystemMouse: ${e.message}`);
      app.state.systemDesktop = { failed: true };
    }
    app.update();
  }

  // The desktop's own pointer speed, wheel lines and double-click time.
  async setSystem(kind, value) {
    const { app } = this;
    const status = app.state.systemStatus;
    status[kind] = 'busy';
    app.update();
    try {
      rq.expectReply(await app.bridge.request(rq.systemMouse.set(kind, value)), rq.systemMouse.done(kind));
      app.state.profile.system[kind] = String(value);
      app.sync.markAll();
      // The desktop holds it now (the command answers success only then).
      const desktop = app.state.systemDesktop;
      if (desktop?.values) desktop.values[kind] = kind === 'doubleClick' ? DOUBLE_CLICK_MS[value] : value;
      status[kind] = 'ok';
    } catch (e) {
      // Said beside the setting on the System screen, with what to do.
      console.warn(`${kind}: ${e.message}`);
      status[kind] = { error: e.message };
    }
    app.update();
  }

  minimise() {
    this.app.bridge.request(rq.MINIMISE).catch(() => {});
  }

  toggleMaximise() {
    const { app } = this;
    app.state.maximised = !app.state.maximised;
    app.bridge.post(app.state.maximised ? rq.MAXIMISE : rq.RESTORE);
    app.update();
  }

  async close() {
    await this.app.modes.save();
    this.app.bridge.request(rq.settings.close()).catch(() => {});
  }

  async checkUpdate() {
    const { app } = this;
    try {
      rq.expectReply(await app.bridge.request(rq.settings.checkUpdate()), rq.settings.checkUpdateDone);
      // Without an update service the check ends at once with nothing to show;
      // say so rather than leave the user waiting for a window.
      app.info(app.state.conf?.updateServer === '' ? 'settings.updateNoService' : 'settings.updateStarted');
    } catch (e) {
      app.error('error.update', e.message);
    }
  }
}
