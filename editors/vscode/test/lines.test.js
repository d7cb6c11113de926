// Lines made at random from the characters that matter (quotes, '#', brackets, blanks),
// checked against the parser's rules for comments and for the key of an assignment.
'use strict';

const test = require('node:test');
const assert = require('node:assert');
const { scopesPerChar } = require('./grammar');

// Where the parser cuts a line: outside quotes (a quote runs to the same character, no
// escapes), at a '#' with an ASCII blank or the line's edge on both sides.
function commentStart(line) {
  const blank = ' \t\n\f\r';
  let quote = null;
  for (let i = 0; i < line.length; i++) {
    const c = line[i];
    if (quote) {
      if (c === quote) quote = null;
    } else if (c === '"' || c === "'") {
      quote = c;
    } else if (
      c === '#' &&
      (i === 0 || blank.includes(line[i - 1])) &&
      (i === line.length - 1 || blank.includes(line[i + 1]))
    ) {
      return i;
    }
  }
  return -1;
}

// The key of an assignment line: the text before the first '=' outside brackets and
// braces (quotes do not count here), once the comment is cut and the line trimmed.
function assignmentKey(line) {
  const cut = commentStart(line);
  const text = (cut === -1 ? line : line.slice(0, cut)).trim();
  if (text === '' || text.startsWith('@')) return null;
  let depth = 0;
  for (let i = 0; i < text.length; i++) {
    const c = text[i];
    if (c === '[' || c === '{') depth++;
    else if (c === ']' || c === '}') depth--;
    else if (c === '=' && depth === 0) return text.slice(0, i).trim();
  }
  return null;
}

// A small deterministic generator, so that a failure can be replayed.
function random(seed) {
  let x = seed >>> 0;
  return () => {
    x ^= x << 13;
    x ^= x >>> 17;
    x ^= x << 5;
    return (x >>> 0) / 4294967296;
  };
}

const PREFIXES = ['', '  ', 'key = ', 'k=', '@import ', '@derive ', '@type ', '@type t = ', '@schema S ', '@bad ', 'x = [', 'x = {a = ', '= '];
const ALPHABET = ['a', 'b', '1', ' ', ' ', '\t', '#', '#', "'", '"', '=', ':', '::', ',', '[', ']', '{', '}', '<', '>', '\u00a0', '*', '@', 'ff0000'];

function randomLines(count, seed) {
  const next = random(seed);
  const pick = (xs) => xs[Math.floor(next() * xs.length)];
  const lines = [];
  while (lines.length < count) {
    const prefix = pick(PREFIXES);
    let tail = '';
    const length = Math.floor(next() * 14);
    for (let i = 0; i < length; i++) tail += pick(ALPHABET);
    // A '{' left open on a directive line carries the following lines into the directive;
    // those blocks have cases of their own in the unit and snapshot tests.
    const line = prefix + tail;
    if (line.trim().startsWith('@') && line.includes('{')) continue;
    lines.push(line);
  }
  return lines;
}

test('comments are marked exactly where the parser cuts the line', async () => {
  // One document, so that a quote or bracket left open by one line would show on the next.
  const lines = randomLines(4000, 20240611);
  const perLine = await scopesPerChar(lines);
  const failures = [];
  for (const [n, line] of lines.entries()) {
    const scopes = perLine[n];
    const cut = commentStart(line);
    for (let i = 0; i < line.length; i++) {
      const inComment = (scopes[i] || []).includes('comment.line.number-sign.qern');
      if (inComment !== (cut !== -1 && i >= cut)) {
        failures.push(`${JSON.stringify(line)}: column ${i} ${inComment ? 'marked' : 'not marked'}, cut at ${cut}`);
        break;
      }
    }
  }
  assert.deepStrictEqual(failures.slice(0, 15), []);
});


test('a marked key is the text before the separating =', async () => {
  const lines = randomLines(4000, 7);
  const perLine = await scopesPerChar(lines);
  const failures = [];
  let marked = 0;
  let keys = 0;
  for (const [n, line] of lines.entries()) {
    const expected = assignmentKey(line);
    if (expected) keys++;
    // Keys at the top of the line, not those inside an inline object.
    const columns = [...line].map((_, i) => perLine[n][i] || []);
    const keyColumns = columns
      .map((scopes, i) => (scopes.includes('variable.other.key.qern') && !scopes.includes('meta.structure.dictionary.qern') ? i : -1))
      .filter((i) => i !== -1);
    if (keyColumns.length === 0) continue;
    marked++;
    const got = line.slice(keyColumns[0], keyColumns[keyColumns.length - 1] + 1);
    if (got !== expected) failures.push(`${JSON.stringify(line)}: marked ${JSON.stringify(got)}, key is ${JSON.stringify(expected)}`);
  }
  assert.deepStrictEqual(failures.slice(0, 15), []);
  // Most keys are found; the rest are lines the grammar leaves plain (nested brackets).
  assert.ok(marked > 0.95 * keys, `only ${marked} of ${keys} keys marked`);
});
