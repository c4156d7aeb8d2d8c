// Line icons drawn in 24 x 24 boxes, coloured by currentColor.
import { s } from './dom.js';

const PATHS = {
  gauge: 'M4 15a8 8 0 1 1 16 0 M12 15l4-5 M6 19h12',
  mouse: 'M12 3c-4 0-6 3-6 7v5c0 4 2.5 6 6 6s6-2 6-6v-5c0-4-2-7-6-7z M12 3v6 M12 6v2',
  keyboard: 'M3 7h18v10H3z M6 10h1 M9 10h1 M12 10h1 M15 10h1 M18 10h0 M7 14h10',
  light: 'M9 18h6 M10 21h4 M12 3a6 6 0 0 0-4 10.5c.8.8 1 1.5 1 2.5h6c0-1 .2-1.7 1-2.5A6 6 0 0 0 12 3z',
  layers: 'M12 3l9 5-9 5-9-5z M3 13l9 5 9-5 M3 17.5l9 4.5 9-4.5',
  pointer: 'M5 3l13 8-6 1.5L9 19z M12.5 13l4 6',
  gear: 'M12 9a3 3 0 1 0 0 6 3 3 0 0 0 0-6z M19 12l2-1-1-3-2 .3-1.2-1.6.6-2-2.8-1.4-1.3 1.6h-2l-1.3-1.6-2.8 1.4.6 2L6 8.3 4 8l-1 3 2 1-2 1 1 3 2-.3 1.2 1.6-.6 2 2.8 1.4 1.3-1.6h2l1.3 1.6 2.8-1.4-.6-2 1.2-1.6 2 .3 1-3z',
  plug: 'M9 2v5 M15 2v5 M6 7h12v4a6 6 0 0 1-12 0z M12 17v5',
  warning: 'M12 3l10 18H2z M12 10v5 M12 18v.5',
  info: 'M12 3a9 9 0 1 0 0 18 9 9 0 0 0 0-18z M12 11v6 M12 7.5v.5',
  close: 'M6 6l12 12 M18 6L6 18',
  minimise: 'M5 12h14',
  maximise: 'M5 5h14v14H5z',
  restore: 'M8 4h12v12 M4 8h12v12H4z',
  plus: 'M12 5v14 M5 12h14',
  trash: 'M4 7h16 M9 7V4h6v3 M6 7l1 13h10l1-13',
  record: 'M12 6a6 6 0 1 0 0 12 6 6 0 0 0 0-12z',
  stop: 'M7 7h10v10H7z',
  down: 'M12 4v14 M6 12l6 6 6-6',
  up: 'M12 20V6 M6 12l6-6 6 6',
  clock: 'M12 3a9 9 0 1 0 0 18 9 9 0 0 0 0-18z M12 7v5l3 2',
  link: 'M10 14a4 4 0 0 0 5.7 0l3-3a4 4 0 0 0-5.7-5.7l-1 1 M14 10a4 4 0 0 0-5.7 0l-3 3a4 4 0 0 0 5.7 5.7l1-1',
  unlink: 'M15 9l-6 6 M4 4l16 16',
  upload: 'M12 16V4 M7 9l5-5 5 5 M4 20h16',
  download: 'M12 4v12 M7 11l5 5 5-5 M4 20h16',
  reset: 'M4 12a8 8 0 1 0 3-6.2 M4 4v5h5',
  check: 'M5 12l5 5 9-10',
  copy: 'M8 8h12v12H8z M4 16V4h12',
  play: 'M8 5l11 7-11 7z',
};

export function icon(name, cls = '') {
  return s('svg', { viewBox: '0 0 24 24', class: `icon ${cls}`.trim(), 'aria-hidden': 'true', focusable: 'false' },
    s('path', { d: PATHS[name] ?? PATHS.info }));
}
