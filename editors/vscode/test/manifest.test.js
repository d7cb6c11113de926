// The manifest, the language configuration and the grammar agree with one another, and
// what is committed is what the sources build.
'use strict';

const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const path = require('path');
const oniguruma = require('vscode-oniguruma');
const { ROOT, GRAMMAR } = require('./grammar');
const build = require('../scripts/build-grammar');

const readJson = (file) => JSON.parse(fs.readFileSync(path.join(ROOT, file), 'utf8'));
const manifest = readJson('package.json');
const languageConfiguration = readJson('language-configuration.json');
const grammar = JSON.parse(fs.readFileSync(GRAMMAR, 'utf8'));

test('the manifest declares the language, its grammar and its configuration', () => {
  const [language] = manifest.contributes.languages;
  assert.strictEqual(language.id, 'qern');
  assert.ok(language.aliases.includes('QERN'));
  assert.deepStrictEqual(language.extensions, ['.qrn']);
  assert.ok(fs.existsSync(path.join(ROOT, language.configuration)));

  const [entry] = manifest.contributes.grammars;
  assert.strictEqual(entry.language, 'qern');
  assert.strictEqual(entry.scopeName, grammar.scopeName);
  assert.strictEqual(grammar.scopeName, 'source.qern');
  assert.strictEqual(path.resolve(ROOT, entry.path), GRAMMAR);

  assert.ok(manifest.activationEvents.includes('onLanguage:qern'));
  assert.ok(fs.existsSync(path.join(ROOT, manifest.main)));
  for (const file of ['README.md', 'CHANGELOG.md', 'LICENSE']) assert.ok(fs.existsSync(path.join(ROOT, file)), file);
  assert.strictEqual(manifest.license, 'MIT');
  assert.ok(manifest.repository && manifest.repository.url);
});

test('the settings exist with their types and defaults', () => {
  const properties = manifest.contributes.configuration.properties;
  const expected = {
    'qern.strict': ['boolean', false],
    'qern.workingDirectory': ['string', ''],
    'qern.server.path': ['string', 'qern'],
    'qern.trace.server': ['string', 'off'],
  };
  assert.deepStrictEqual(Object.keys(properties).sort(), Object.keys(expected).sort());
  for (const [key, [type, value]] of Object.entries(expected)) {
    assert.strictEqual(properties[key].type, type, key);
    assert.strictEqual(properties[key].default, value, key);
  }
  assert.deepStrictEqual(properties['qern.trace.server'].enum, ['off', 'messages', 'verbose']);
  assert.ok(manifest.capabilities.untrustedWorkspaces.restrictedConfigurations.includes('qern.server.path'));
});

test('every contributed command is registered by the client', () => {
  const source = fs.readFileSync(path.join(ROOT, manifest.main), 'utf8');
  for (const { command } of manifest.contributes.commands) {
    assert.ok(source.includes(`registerCommand('${command}'`), command);
  }
});

test('the version is the project version, and dependencies are pinned', () => {
  const pyproject = fs.readFileSync(path.join(ROOT, '..', '..', 'pyproject.toml'), 'utf8');
  assert.strictEqual(manifest.version, /^version = "([^"]+)"/m.exec(pyproject)[1]);
  const lock = readJson('package-lock.json');
  for (const section of ['dependencies', 'devDependencies']) {
    for (const [name, version] of Object.entries(manifest[section])) {
      assert.match(version, /^\d+\.\d+\.\d+$/, `${name} is pinned`);
      assert.strictEqual(lock.packages[`node_modules/${name}`].version, version, `${name} in the lock file`);
    }
  }
});

test('the language configuration has the comment, brackets and pairs', () => {
  assert.strictEqual(languageConfiguration.comments.lineComment, '#');
  const pairs = (list) => list.map((p) => (Array.isArray(p) ? p.join('') : p.open + p.close));
  assert.deepStrictEqual(pairs(languageConfiguration.brackets), ['[]', '{}', '<>']);
  for (const pair of ['[]', '{}', '<>', '""', "''"]) {
    assert.ok(pairs(languageConfiguration.autoClosingPairs).includes(pair), `auto-closing ${pair}`);
    assert.ok(pairs(languageConfiguration.surroundingPairs).includes(pair), `surrounding ${pair}`);
  }
  for (const key of ['wordPattern']) new RegExp(languageConfiguration[key]);
  for (const key of ['increaseIndentPattern', 'decreaseIndentPattern']) new RegExp(languageConfiguration.indentationRules[key]);
});

test('the committed grammar is what scripts/build-grammar.js writes', () => {
  assert.strictEqual(fs.readFileSync(GRAMMAR, 'utf8'), build.render(), 'run `npm run grammar`');
  assert.strictEqual(new Set(build.UNITS.map((u) => u.toLowerCase())).size, 130);
});

test('every include resolves and every expression compiles', async () => {
  await oniguruma.loadWASM(fs.readFileSync(require.resolve('vscode-oniguruma/release/onig.wasm')).buffer);
  const problems = [];
  const visit = (rule, where) => {
    if (Array.isArray(rule)) return rule.forEach((r, i) => visit(r, `${where}[${i}]`));
    if (!rule || typeof rule !== 'object') return;
    if (typeof rule.include === 'string' && rule.include.startsWith('#') && !(rule.include.slice(1) in grammar.repository)) {
      problems.push(`${where}: unknown ${rule.include}`);
    }
    for (const key of ['match', 'begin', 'end']) {
      if (typeof rule[key] !== 'string') continue;
      try {
        new oniguruma.OnigScanner([rule[key]]).dispose();
      } catch (error) {
        problems.push(`${where}.${key}: ${error.message}`);
      }
    }
    for (const [key, value] of Object.entries(rule)) {
      if (value && typeof value === 'object') visit(value, `${where}.${key}`);
    }
  };
  visit(grammar, 'grammar');
  assert.deepStrictEqual(problems, []);
});

test('each snapshot case has its committed snapshot, and no snapshot is orphaned', () => {
  // vscode-tmgrammar-snap writes a missing snapshot and passes; this makes that a failure.
  const dir = path.join(ROOT, 'test', 'snap');
  const files = fs.readdirSync(dir);
  const cases = files.filter((f) => f.endsWith('.qrn'));
  assert.ok(cases.length > 0);
  for (const c of cases) assert.ok(files.includes(`${c}.snap`), `${c}.snap is committed`);
  for (const s of files.filter((f) => f.endsWith('.snap'))) assert.ok(cases.includes(s.slice(0, -5)), `${s} has its case`);
});
