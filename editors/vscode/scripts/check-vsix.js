#!/usr/bin/env node
// Checks a packaged .vsix: the files VS Code needs are in it, the development files are
// not, and the client loads with the dependencies packed beside it.
// Usage: node scripts/check-vsix.js [file.vsix]   (default: <name>-<version>.vsix)
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');
const zlib = require('zlib');
const Module = require('module');

const ROOT = path.join(__dirname, '..');
const manifest = JSON.parse(fs.readFileSync(path.join(ROOT, 'package.json'), 'utf8'));

// The entries of a zip archive, read from its central directory.
function readZip(buffer) {
  const eocd = buffer.lastIndexOf(Buffer.from([0x50, 0x4b, 0x05, 0x06]));
  if (eocd === -1) throw new Error('not a zip archive');
  const count = buffer.readUInt16LE(eocd + 10);
  let at = buffer.readUInt32LE(eocd + 16);
  const entries = [];
  for (let i = 0; i < count; i++) {
    if (buffer.readUInt32LE(at) !== 0x02014b50) throw new Error('damaged central directory');
    const method = buffer.readUInt16LE(at + 10);
    const size = buffer.readUInt32LE(at + 20);
    const nameLength = buffer.readUInt16LE(at + 28);
    const skip = nameLength + buffer.readUInt16LE(at + 30) + buffer.readUInt16LE(at + 32);
    const name = buffer.toString('utf8', at + 46, at + 46 + nameLength);
    const local = buffer.readUInt32LE(at + 42);
    const start = local + 30 + buffer.readUInt16LE(local + 26) + buffer.readUInt16LE(local + 28);
    const raw = buffer.subarray(start, start + size);
    const data = () => (method === 0 ? raw : method === 8 ? zlib.inflateRawSync(raw) : null);
    entries.push({ name, data });
    at += 46 + skip;
  }
  return entries;
}

function check(vsix) {
  const entries = readZip(fs.readFileSync(vsix));
  const names = new Set(entries.map((e) => e.name));
  const problems = [];
  for (const file of [
    'extension.vsixmanifest',
    'extension/package.json',
    'extension/extension.js',
    'extension/language-configuration.json',
    'extension/syntaxes/qern.tmLanguage.json',
    'extension/readme.md',
    'extension/changelog.md',
    'extension/LICENSE.txt',
    'extension/node_modules/vscode-languageclient/package.json',
  ]) {
    if (!names.has(file)) problems.push(`missing ${file}`);
  }
  const forbidden = /^extension\/(test|scripts|run\.sh|\.gitignore|\.vscodeignore|.*\.vsix$|node_modules\/(@vscode|vscode-tmgrammar-test|vscode-textmate|vscode-oniguruma)\/)/;
  for (const name of names) if (forbidden.test(name)) problems.push(`should not be packed: ${name}`);

  // Unpack and load the client as VS Code would, with a stand-in for the `vscode` module
  // whose every member is a class (vscode-languageclient extends some at load time).
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qern-vsix-'));
  try {
    for (const entry of entries) {
      if (entry.name.endsWith('/')) continue;
      const target = path.join(dir, entry.name);
      if (!target.startsWith(dir + path.sep)) throw new Error(`entry outside the archive: ${entry.name}`);
      fs.mkdirSync(path.dirname(target), { recursive: true });
      fs.writeFileSync(target, entry.data());
    }
    const extensionDir = path.join(dir, 'extension');
    const stub = () => new Proxy(class {}, { get: (target, key) => (key in target ? target[key] : stub()) });
    const load = Module._load;
    Module._load = function (request, ...rest) {
      return request === 'vscode' ? stub() : load.call(this, request, ...rest);
    };
    try {
      const extension = require(path.join(extensionDir, 'extension.js'));
      if (typeof extension.activate !== 'function') problems.push('extension.js exports no activate()');
      const client = require.resolve('vscode-languageclient/node', { paths: [extensionDir] });
      if (!client.startsWith(extensionDir)) problems.push(`vscode-languageclient resolved outside the package: ${client}`);
      if (typeof require(client).LanguageClient !== 'function') problems.push('vscode-languageclient/node has no LanguageClient');
    } catch (error) {
      problems.push(`the client does not load: ${error.message}`);
    } finally {
      Module._load = load;
    }
    const packed = JSON.parse(fs.readFileSync(path.join(extensionDir, 'package.json'), 'utf8'));
    if (packed.version !== manifest.version) problems.push(`packed version ${packed.version}`);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }

  const modules = new Set();
  for (const name of names) {
    for (const m of name.matchAll(/node_modules\/((?:@[^/]+\/)?[^/]+)\//g)) modules.add(m[1]);
  }
  return { problems, files: entries.filter((e) => !e.name.endsWith('/')).length, modules: [...modules] };
}

if (require.main === module) {
  const vsix = path.resolve(process.argv[2] || path.join(ROOT, `${manifest.name}-${manifest.version}.vsix`));
  const { problems, files, modules } = check(vsix);
  if (problems.length > 0) {
    for (const p of problems) console.error(`${path.basename(vsix)}: ${p}`);
    process.exit(1);
  }
  const kb = Math.round(fs.statSync(vsix).size / 1024);
  console.log(`${path.basename(vsix)}: ${kb} KB, ${files} files; runtime modules: ${modules.sort().join(', ')}`);
}

module.exports = { check, readZip };
