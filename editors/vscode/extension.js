// The VS Code side of QERN support: starts `qern lsp` over stdio for .qrn documents and
// keeps it informed of the `qern.*` settings. Highlighting comes from the grammar alone
// and works without the server.
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');
const vscode = require('vscode');
const { LanguageClient, TransportKind } = require('vscode-languageclient/node');

const SECTION = 'qern';

let client;
let output;
let starting = Promise.resolve();

// The first workspace folder holding `uri`, or the first folder of the window.
function folderFor(uri) {
  const folder = uri && vscode.workspace.getWorkspaceFolder(uri);
  if (folder) return folder.uri.fsPath;
  const folders = vscode.workspace.workspaceFolders;
  return folders && folders.length > 0 && folders[0].uri.scheme === 'file' ? folders[0].uri.fsPath : undefined;
}

// `~`, `${workspaceFolder}` and a relative path are resolved against the folder (when there
// is one); an empty setting stays empty, for the server's own fallbacks.
function resolvePath(value, folder) {
  let p = (value || '').trim();
  if (p === '') return '';
  if (p === '~' || p.startsWith('~/') || p.startsWith('~\\')) p = path.join(os.homedir(), p.slice(1));
  if (folder) p = p.replace(/\$\{workspaceFolder\}/g, folder);
  if (!path.isAbsolute(p) && folder) p = path.resolve(folder, p);
  return p;
}

// The `qern` section as the server sees it, for the folder of `uri`.
function settingsFor(uri) {
  const config = vscode.workspace.getConfiguration(SECTION, uri);
  const folder = folderFor(uri);
  return {
    strict: config.get('strict', false) === true,
    workingDirectory: resolvePath(config.get('workingDirectory', ''), folder),
    server: { path: config.get('server.path', 'qern') },
    trace: { server: config.get('trace.server', 'off') },
  };
}

function isExecutableFile(file, platform) {
  try {
    if (!fs.statSync(file).isFile()) return false;
    if (platform !== 'win32') fs.accessSync(file, fs.constants.X_OK);
    return true;
  } catch {
    return false;
  }
}

// The executable that `command` names: a path is checked as it is; a bare name is looked
// up on PATH (with PATHEXT on Windows). Undefined when there is none.
function findExecutable(command, env = process.env, platform = process.platform) {
  if (!command) return undefined;
  const extensions =
    platform === 'win32' ? ['', ...(env.PATHEXT || '.COM;.EXE;.BAT;.CMD').split(';').filter(Boolean)] : [''];
  const candidates = (base) => extensions.map((ext) => base + ext);
  const executable = (file) => isExecutableFile(file, platform);
  if (command.includes('/') || (platform === 'win32' && command.includes('\\'))) {
    return candidates(command).find(executable);
  }
  const delimiter = platform === 'win32' ? ';' : ':';
  const dirs = (env.PATH || env.Path || '').split(delimiter).filter(Boolean);
  for (const dir of dirs) {
    const found = candidates(path.join(dir, command)).find(executable);
    if (found) return found;
  }
  return undefined;
}

function serverCommand() {
  const configured = vscode.workspace.getConfiguration(SECTION).get('server.path', 'qern') || 'qern';
  const expanded = configured.includes('/') || configured.includes('\\') || configured.startsWith('~')
    ? resolvePath(configured, folderFor(undefined))
    : configured;
  return { configured, executable: findExecutable(expanded) };
}

// Told once per start, without waiting for the user: a restart must not queue behind an
// open notification.
function reportMissing(configured) {
  const message =
    `QERN: the language server executable '${configured}' was not found` +
    (configured.includes('/') || configured.includes('\\') ? '.' : ' on PATH.') +
    " Install qern_native (it provides the 'qern' command) or set 'qern.server.path'." +
    ' Highlighting works without it.';
  output.appendLine(message);
  vscode.window.showErrorMessage(message, 'Open Settings', 'Show Output').then((choice) => {
    if (choice === 'Open Settings') {
      vscode.commands.executeCommand('workbench.action.openSettings', 'qern.server.path');
    } else if (choice === 'Show Output') {
      output.show(true);
    }
  });
}

async function startClient() {
  const { configured, executable } = serverCommand();
  if (!executable) {
    reportMissing(configured);
    return;
  }
  const folder = folderFor(undefined);
  const serverOptions = {
    command: executable,
    args: ['lsp'],
    transport: TransportKind.stdio,
    options: folder ? { cwd: folder } : undefined,
  };
  const clientOptions = {
    documentSelector: [
      { scheme: 'file', language: 'qern' },
      { scheme: 'untitled', language: 'qern' },
    ],
    outputChannel: output,
    initializationOptions: settingsFor(undefined),
    middleware: {
      workspace: {
        // The server asks for the `qern` section (or one of its keys) per document;
        // answer with the paths resolved as `settingsFor` resolves them.
        configuration: async (params, token, next) => {
          const answers = await next(params, token);
          if (!Array.isArray(answers)) return answers;
          return params.items.map((item, i) => {
            const uri = item.scopeUri ? vscode.Uri.parse(item.scopeUri) : undefined;
            if (item.section === SECTION) return settingsFor(uri);
            if (item.section === `${SECTION}.workingDirectory`) return settingsFor(uri).workingDirectory;
            return answers[i];
          });
        },
      },
    },
  };
  output.appendLine(`Starting ${executable} lsp`);
  const next = new LanguageClient(SECTION, 'QERN Language Server', serverOptions, clientOptions);
  client = next;
  try {
    await next.start();
  } catch (error) {
    // The client has shown its own notification; say here what to check.
    if (client === next) client = undefined;
    const detail = error && error.message ? error.message : String(error);
    output.appendLine(`'${executable} lsp' did not start (${detail}). Is it a qern that has the 'lsp' command?`);
  }
}

async function stopClient() {
  const current = client;
  client = undefined;
  if (!current) return;
  try {
    await current.stop();
  } catch (error) {
    output.appendLine(`Stopping the language server: ${error && error.message ? error.message : error}`);
  }
}

// Starts and stops run one after another, so that a burst of setting changes cannot
// leave two servers running.
function restart() {
  starting = starting.then(stopClient).then(startClient);
  return starting;
}

function onConfigurationChanged(event) {
  if (event.affectsConfiguration(`${SECTION}.server.path`)) {
    restart();
  } else if (event.affectsConfiguration(`${SECTION}.strict`) || event.affectsConfiguration(`${SECTION}.workingDirectory`)) {
    if (client && client.isRunning()) {
      client.sendNotification('workspace/didChangeConfiguration', { settings: { [SECTION]: settingsFor(undefined) } });
    }
  }
}

function activate(context) {
  output = vscode.window.createOutputChannel('QERN');
  context.subscriptions.push(
    output,
    vscode.commands.registerCommand('qern.restartServer', restart),
    vscode.commands.registerCommand('qern.showOutput', () => output.show(true)),
    vscode.workspace.onDidChangeConfiguration(onConfigurationChanged),
  );
  return restart();
}

function deactivate() {
  return starting.then(stopClient);
}

module.exports = { activate, deactivate, findExecutable, resolvePath };
