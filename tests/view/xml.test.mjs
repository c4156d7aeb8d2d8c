import { test } from 'node:test';
import assert from 'node:assert/strict';
import { parseXml, parseXmlFragment, serialize, escapeXml, xpathLiteral, XmlError } from '../../view/js/xml.js';

test('reads what the profile commands answer', () => {
  const doc = parseXml('<?xml version="1.0"?>\n<!-- c -->\n<conf>\n\t<modeSetting current="1">\n\t\t<modes>\n\t\t\t<mode index="1" name="A &amp; B &lt;1&gt; &quot;x&quot; &#39;y&#x27;" bindingProcess="C:\\Games\\run.exe" />\n\t\t</modes>\n\t</modeSetting>\n</conf>\n');
  assert.equal(doc.name, 'conf');
  const mode = doc.children[0].children[0].children[0];
  assert.equal(mode.attrs.name, 'A & B <1> "x" \'y\'');
  assert.equal(mode.attrs.bindingProcess, 'C:\\Games\\run.exe');
});

test('writes fragments that read back the same', () => {
  const node = { name: 'macro', attrs: { name: 'a"b<c>&\nd', slot: 2 }, children: [{ name: 'step', attrs: { kind: 'delay', ms: 5 }, children: [] }] };
  const text = serialize(node);
  assert.equal(text, '<macro name="a&quot;b&lt;c&gt;&amp;&#10;d" slot="2"><step kind="delay" ms="5"/></macro>');
  const back = parseXml(text);
  assert.equal(back.attrs.name, 'a"b<c>&\nd');
  assert.equal(parseXmlFragment('<a/><b x="1"/>').length, 2);
  assert.equal(escapeXml('<&>'), '&lt;&amp;&gt;');
});

test('broken documents are refused', () => {
  for (const bad of ['', '<conf>', '<conf></mode>', '<conf a=1/>', '<a/><b/>', 'text only', '<conf a="<"/>']) {
    assert.throws(() => parseXml(bad), XmlError, bad);
  }
});

test('XPath literals quote any value', () => {
  assert.equal(xpathLiteral('1'), "'1'");
  assert.equal(xpathLiteral("it's"), '"it\'s"');
  assert.equal(xpathLiteral(`a'b"c`), `concat('a', "'", 'b"c')`);
});
