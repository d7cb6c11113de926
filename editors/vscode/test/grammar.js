// Loads the committed grammar into the same TextMate engine that VS Code uses.
'use strict';

const fs = require('fs');
const path = require('path');
const vsctm = require('vscode-textmate');
const oniguruma = require('vscode-oniguruma');

const ROOT = path.join(__dirname, '..');
const GRAMMAR = path.join(ROOT, 'syntaxes', 'qern.tmLanguage.json');

let loaded;
function loadGrammar() {
  if (!loaded) {
    const wasm = fs.readFileSync(require.resolve('vscode-oniguruma/release/onig.wasm'));
    const onigLib = oniguruma.loadWASM(wasm.buffer).then(() => ({
      createOnigScanner: (sources) => new oniguruma.OnigScanner(sources),
      createOnigString: (text) => new oniguruma.OnigString(text),
    }));
    const registry = new vsctm.Registry({
      onigLib,
      loadGrammar: async () => vsctm.parseRawGrammar(fs.readFileSync(GRAMMAR, 'utf8'), GRAMMAR),
    });
    loaded = registry.loadGrammar('source.qern');
  }
  return loaded;
}

// The scopes of every UTF-16 unit of each line, tokenized one after another.
async function scopesPerChar(lines) {
  const grammar = await loadGrammar();
  let state = vsctm.INITIAL;
  return lines.map((line) => {
    const { tokens, ruleStack } = grammar.tokenizeLine(line, state);
    state = ruleStack;
    const perChar = [];
    for (const token of tokens) {
      for (let i = token.startIndex; i < Math.min(token.endIndex, line.length); i++) {
        perChar[i] = token.scopes;
      }
    }
    return perChar;
  });
}

module.exports = { ROOT, GRAMMAR, loadGrammar, scopesPerChar };
