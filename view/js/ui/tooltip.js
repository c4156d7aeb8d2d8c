// Tooltips drawn by the page, kept inside the window: the browser's own are
// cut off at the window's edge on some desktops. An element's title (or
// data-tip) is shown shortly after the pointer rests on it, below the pointer,
// moved left or above where it would not fit. The title leaves the element
// while it is shown, so the browser does not show its own as well.
const DELAY_MS = 500;
const MARGIN = 6;

export function installTooltips(doc = document) {
  const tip = doc.createElement('div');
  tip.id = 'tooltip';
  tip.setAttribute('role', 'tooltip');
  tip.hidden = true;
  doc.body.append(tip);
  let target = null;
  let timer = null;
  let pointer = { x: 0, y: 0 };

  const hide = () => {
    clearTimeout(timer);
    timer = null;
    tip.hidden = true;
    if (target?.dataset.tipTitle !== undefined) {
      target.setAttribute('title', target.dataset.tipTitle);
      delete target.dataset.tipTitle;
    }
    target = null;
  };
  const show = () => {
    if (!target?.isConnected) { hide(); return; }
    tip.textContent = target.dataset.tipTitle ?? target.dataset.tip ?? '';
    if (!tip.textContent) return;
    tip.hidden = false;
    const view = { w: doc.documentElement.clientWidth, h: doc.documentElement.clientHeight };
    const box = tip.getBoundingClientRect();
    let x = pointer.x;
    let y = pointer.y + 18;
    if (x + box.width + MARGIN > view.w) x = view.w - box.width - MARGIN;
    if (y + box.height + MARGIN > view.h) y = pointer.y - box.height - 10;
    tip.style.left = `${Math.max(MARGIN, x)}px`;
    tip.style.top = `${Math.max(MARGIN, y)}px`;
  };

  doc.addEventListener('pointerover', (e) => {
    const el = e.target instanceof Element ? e.target.closest('[title], [data-tip]') : null;
    if (el === target) return;
    hide();
    if (!el) return;
    target = el;
    if (el.hasAttribute('title')) {
      el.dataset.tipTitle = el.getAttribute('title');
      el.removeAttribute('title');
    }
    pointer = { x: e.clientX, y: e.clientY };
    timer = setTimeout(show, DELAY_MS);
  });
  doc.addEventListener('pointermove', (e) => { if (timer) pointer = { x: e.clientX, y: e.clientY }; });
  doc.addEventListener('pointerout', (e) => {
    if (target && !(e.relatedTarget instanceof Node && target.contains(e.relatedTarget))) hide();
  });
  for (const type of ['pointerdown', 'keydown', 'wheel']) doc.addEventListener(type, hide, true);
  doc.addEventListener('scroll', hide, true);
  return tip;
}
