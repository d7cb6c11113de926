// The client, run against stand-ins for the VS Code API and vscode-languageclient: what
// it starts, what it tells the server, and what it says when the executable is missing.
'use strict';

const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const Module = require('module');

const workspace = fs.mkdtempSync(path.join(os.tmpdir(), 'qern-vscode-'));
const bin = path.join(workspace, 'bin');
fs.mkdirSync(bin);
function makeFile(file, mode) {
  fs.writeFileSync(file, '#!/bin/sh\n');
  fs.chmodSync(file, mode);
  return file;
}
const qern = makeFile(path.join(bin, 'qern'), 0o755);
makeFile(path.join(bin, 'notexec'), 0o644);
fs.mkdirSync(path.join(bin, 'adir'));
const other = makeFile(path.join(workspace, 'other-qern'), 0o755);
test.after(() => fs.rmSync(workspace, { recursive: true, force: true }));

// The stand-ins record what the extension does with them.
const settings = {};
const events = { errors: [], clients: [], listeners: [] };
const uri = (fsPath) => ({ fsPath, scheme: 'file', toString: () => `file://${fsPath}` });
const vscode = {
  Uri: { parse: (text) => uri(text.replace(/^file:\/\//, '')) },
  window: {
    createOutputChannel: () => ({ lines: [], appendLine(l) { this.lines.push(l); }, show() {}, dispose() {} }),
    showErrorMessage: (message) => {
      events.errors.push(message);
      return Promise.resolve(undefined);
    },
  },
  commands: { registerCommand: () => ({ dispose() {} }), executeCommand: () => {} },
  workspace: {
    workspaceFolders: [{ uri: uri(workspace) }],
    getWorkspaceFolder: (u) => (u && u.fsPath.startsWith(workspace) ? { uri: uri(workspace) } : undefined),
    getConfiguration: () => ({
      get: (key, fallback) => (key in settings ? settings[key] : fallback),
    }),
    onDidChangeConfiguration: (listener) => {
      events.listeners.push(listener);
      return { dispose() {} };
    },
  },
};
class FakeClient {
  constructor(id, name, serverOptions, clientOptions) {
    Object.assign(this, { id, name, serverOptions, clientOptions, notifications: [], running: false });
    events.clients.push(this);
  }
  async start() { this.running = true; }
  async stop() { this.running = false; }
  isRunning() { return this.running; }
  sendNotification(method, params) { this.notifications.push({ method, params }); }
}
const languageclient = { LanguageClient: FakeClient, TransportKind: { stdio: 0 } };

const load = Module._load;
Module._load = function (request, ...rest) {
  if (request === 'vscode') return vscode;
  if (request === 'vscode-languageclient/node') return languageclient;
  return load.call(this, request, ...rest);
};
const extension = require('../extension');
Module._load = load;

const changed = (...keys) => {
  for (const listener of events.listeners) {
    listener({ affectsConfiguration: (section) => keys.some((k) => k === section || k.startsWith(section + '.')) });
  }
};
const lastClient = () => events.clients[events.clients.length - 1];
// The fake client starts and stops at once, so the restart queue is empty once every
// pending promise callback has run.
const settle = () => new Promise((resolve) => setImmediate(resolve));

test('findExecutable looks a name up on PATH and checks a path as given', () => {
  const env = { PATH: [path.join(workspace, 'missing'), bin].join(':') };
  assert.strictEqual(extension.findExecutable('qern', env, 'linux'), qern);
  assert.strictEqual(extension.findExecutable('notexec', env, 'linux'), undefined);
  assert.strictEqual(extension.findExecutable('adir', env, 'linux'), undefined);
  assert.strictEqual(extension.findExecutable('nosuch', env, 'linux'), undefined);
  assert.strictEqual(extension.findExecutable('qern', {}, 'linux'), undefined);
  assert.strictEqual(extension.findExecutable(other, env, 'linux'), other);
  assert.strictEqual(extension.findExecutable(path.join(bin, 'notexec'), env, 'linux'), undefined);
  // On Windows a bare name also matches with one of PATHEXT's extensions.
  makeFile(path.join(bin, 'winq.EXE'), 0o644);
  assert.strictEqual(extension.findExecutable('winq', { PATH: bin, PATHEXT: '.COM;.EXE' }, 'win32'), path.join(bin, 'winq.EXE'));
});

test('resolvePath expands ~ and ${workspaceFolder}, and keeps empty empty', () => {
  assert.strictEqual(extension.resolvePath('', workspace), '');
  assert.strictEqual(extension.resolvePath('  ', workspace), '');
  assert.strictEqual(extension.resolvePath('conf', workspace), path.join(workspace, 'conf'));
  assert.strictEqual(extension.resolvePath('${workspaceFolder}/conf', workspace), path.join(workspace, 'conf'));
  assert.strictEqual(extension.resolvePath('~/conf', workspace), path.join(os.homedir(), 'conf'));
  assert.strictEqual(extension.resolvePath('/etc/qern', workspace), '/etc/qern');
  assert.strictEqual(extension.resolvePath('conf', undefined), 'conf');
});

test('a missing executable is reported, naming the setting, and no server starts', async () => {
  settings['server.path'] = 'qern-that-does-not-exist';
  const subscriptions = [];
  await extension.activate({ subscriptions });
  assert.strictEqual(events.clients.length, 0);
  assert.strictEqual(events.errors.length, 1);
  assert.match(events.errors[0], /'qern-that-does-not-exist' was not found on PATH/);
  assert.match(events.errors[0], /qern\.server\.path/);
});

test('setting the path starts `<path> lsp` over stdio with the settings', async () => {
  settings['server.path'] = qern;
  settings.strict = true;
  settings.workingDirectory = 'conf';
  changed('qern.server.path');
  await settle();
  assert.strictEqual(events.clients.length, 1);
  const client = lastClient();
  assert.strictEqual(client.serverOptions.command, qern);
  assert.deepStrictEqual(client.serverOptions.args, ['lsp']);
  assert.strictEqual(client.serverOptions.transport, languageclient.TransportKind.stdio);
  assert.deepStrictEqual(client.clientOptions.documentSelector, [
    { scheme: 'file', language: 'qern' },
    { scheme: 'untitled', language: 'qern' },
  ]);
  assert.deepStrictEqual(client.clientOptions.initializationOptions, {
    strict: true,
    workingDirectory: path.join(workspace, 'conf'),
    server: { path: qern },
    trace: { server: 'off' },
  });
  assert.ok(client.isRunning());
});

test('the server pulls the qern section with the working directory resolved', async () => {
  const client = lastClient();
  const configuration = client.clientOptions.middleware.workspace.configuration;
  const params = {
    items: [
      { section: 'qern', scopeUri: `file://${workspace}/a.qrn` },
      { section: 'qern.workingDirectory', scopeUri: `file://${workspace}/a.qrn` },
      { section: 'editor' },
    ],
  };
  const answers = await configuration(params, undefined, async () => [{ raw: 1 }, 'conf', { tabSize: 4 }]);
  assert.strictEqual(answers[0].workingDirectory, path.join(workspace, 'conf'));
  assert.strictEqual(answers[0].strict, true);
  assert.strictEqual(answers[1], path.join(workspace, 'conf'));
  assert.deepStrictEqual(answers[2], { tabSize: 4 });
});

test('a changed setting is sent to the running server; a new path restarts it', async () => {
  const first = lastClient();
  settings.strict = false;
  changed('qern.strict');
  assert.deepStrictEqual(first.notifications.at(-1), {
    method: 'workspace/didChangeConfiguration',
    params: { settings: { qern: { strict: false, workingDirectory: path.join(workspace, 'conf'), server: { path: qern }, trace: { server: 'off' } } } },
  });

  settings['server.path'] = other;
  changed('qern.server.path');
  await settle();
  const second = lastClient();
  assert.notStrictEqual(second, first);
  assert.strictEqual(second.serverOptions.command, other);
  assert.ok(!first.isRunning(), 'the old server was stopped');
  assert.ok(second.isRunning());

  await extension.deactivate();
  assert.ok(!second.isRunning());
});
