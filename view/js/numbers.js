// Numbers, units and plural categories the way the page's seven languages
// write them, exactly as the engine's own number and plural formats (ICU)
// would, from a table per language. The page does without those: the first
// one maps some megabytes of ICU data and code into the page and costs
// milliseconds at start, for the few symbols below. tests/view/i18n.test.mjs
// holds every entry against ICU's output.

// CLDR's cardinal plural rules of the languages, given the integer digits
// (i) and the fraction digits shown (f, '' for none).
const oneOrOther = (i, f) => (i === '1' && f === '' ? 'one' : 'other');
const onlyOther = () => 'other';
function russianPlural(i, f) {
  if (f !== '') return 'other';
  const ones = Number(i.slice(-1));
  const tens = Number(i.slice(-2));
  if (ones === 1 && tens !== 11) return 'one';
  if (ones >= 2 && ones <= 4 && (tens < 12 || tens > 14)) return 'few';
  return 'many';
}

// decimal: the decimal sign; group: the thousands separator, used from
// minGrouping digits before the first separator on; units: the short form,
// {0} the number's place, spaces as ICU writes them (\u00a0 no-break space).
const LOCALES = {
  en: {
    decimal: '.', group: ',', minGrouping: 1, minus: '-', nan: 'NaN', plural: oneOrOther,
    units: { millisecond: '{0} ms', percent: '{0}%', millimeter: '{0} mm' },
  },
  'zh-CN': {
    decimal: '.', group: ',', minGrouping: 1, minus: '-', nan: 'NaN', plural: onlyOther,
    units: { millisecond: '{0}毫秒', percent: '{0}%', millimeter: '{0}毫米' },
  },
  'zh-TW': {
    decimal: '.', group: ',', minGrouping: 1, minus: '-', nan: '非數值', plural: onlyOther,
    units: { millisecond: '{0} 毫秒', percent: '{0}%', millimeter: '{0} 公釐' },
  },
  'de-DE': {
    decimal: ',', group: '.', minGrouping: 1, minus: '-', nan: 'NaN', plural: oneOrOther,
    units: { millisecond: '{0} ms', percent: '{0}\u00a0%', millimeter: '{0} mm' },
  },
  ja: {
    decimal: '.', group: ',', minGrouping: 1, minus: '-', nan: 'NaN', plural: onlyOther,
    units: { millisecond: '{0} ms', percent: '{0}%', millimeter: '{0} mm' },
  },
  ru: {
    decimal: ',', group: '\u00a0', minGrouping: 1, minus: '-', nan: 'не\u00a0число', plural: russianPlural,
    units: { millisecond: '{0} мс', percent: '{0}\u00a0%', millimeter: '{0} мм' },
  },
  ko: {
    decimal: '.', group: ',', minGrouping: 1, minus: '-', nan: 'NaN', plural: onlyOther,
    units: { millisecond: '{0}ms', percent: '{0}%', millimeter: '{0}mm' },
  },
};

const INFINITY = '∞';
const FRACTION_DIGITS = 3;

const localeOf = (locale) => LOCALES[locale] ?? LOCALES.en;

// The digits of |n| (finite) rounded to three fraction digits, half away from
// zero, without trailing zeros: { i: integer digits, f: fraction digits }.
// Rounds the shortest decimal form of n (1.0005 is 1.001), as ICU does, not
// its binary value (1.000499…).
function roundedDigits(n) {
  const [mantissa, exponent] = Math.abs(n).toExponential().split('e');
  const digits = mantissa.replace('.', '');
  const point = Number(exponent) + 1; // digits before the decimal point
  let i = point <= 0 ? '0' : digits.slice(0, point).padEnd(point, '0');
  let f = point <= 0 ? '0'.repeat(-point) + digits : digits.slice(point);
  if (f.length > FRACTION_DIGITS) {
    const up = f[FRACTION_DIGITS] >= '5';
    f = f.slice(0, FRACTION_DIGITS);
    if (up) {
      const sum = String(BigInt(i + f) + 1n).padStart(i.length + FRACTION_DIGITS, '0');
      [i, f] = [sum.slice(0, -FRACTION_DIGITS), sum.slice(-FRACTION_DIGITS)];
    }
  }
  return { i: i.replace(/^0+(?=\d)/, ''), f: f.replace(/0+$/, '') };
}

function grouped(i, { group, minGrouping }) {
  if (i.length < 3 + minGrouping) return i;
  return i.replace(/\B(?=(\d{3})+$)/g, group);
}

// n in the language's default number format: up to three fraction digits,
// grouped, -0 keeping its sign.
export function formatNumber(n, locale) {
  const l = localeOf(locale);
  const value = Number(n);
  if (Number.isNaN(value)) return l.nan;
  const sign = value < 0 || Object.is(value, -0) ? l.minus : '';
  if (!Number.isFinite(value)) return sign + INFINITY;
  const { i, f } = roundedDigits(value);
  return sign + grouped(i, l) + (f ? l.decimal + f : '');
}

// A value with the unit's short name ("5 ms", "5 мс", "80 %"); a unit the
// table does not know follows the number by its name.
export function formatUnit(value, unit, locale) {
  const pattern = localeOf(locale).units[unit] ?? `{0} ${unit}`;
  return pattern.replace('{0}', formatNumber(value, locale));
}

// The unit's own short name ("ms", "мс"), or the unit's name if the table
// does not know it.
export function unitSymbol(unit, locale) {
  return localeOf(locale).units[unit]?.replace('{0}', '').trim() ?? unit;
}

// The plural category of n in the language (one, few, many, other), of n as
// it is written: 1.0004 is written 1 and is "one".
export function pluralCategory(n, locale) {
  const value = Number(n);
  if (!Number.isFinite(value)) return 'other';
  const { i, f } = roundedDigits(value);
  return localeOf(locale).plural(i, f);
}
