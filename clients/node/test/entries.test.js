'use strict';
// The package's two entries, loaded by its name through its "exports" as an application would:
// `import` and `require` give the same objects, so an error thrown by code that loaded the
// library one way is caught by instanceof in code that loaded it the other way.

const test = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const PACKAGE = path.resolve(__dirname, '..');

const PROGRAM = `
import * as esm from 'telvane';
import { createRequire } from 'node:module';
const cjs = createRequire(process.cwd() + '/app.js')('telvane');
const names = Object.keys(esm).filter((name) => name !== 'default').sort();
const differ = Object.keys(cjs).filter((name) => esm[name] !== cjs[name]);
const err = new esm.ConnectionClosed('running');
console.log(JSON.stringify({
  names, cjsNames: Object.keys(cjs).sort(), differ,
  sameDefault: esm.default === cjs,
  across: err instanceof cjs.ConnectionClosed && err instanceof cjs.TelvaneError,
}));
`;

test('import and require give every name, as the same objects', () => {
  const app = fs.mkdtempSync(path.join(os.tmpdir(), 'telvane-entries-'));
  try {
    fs.mkdirSync(path.join(app, 'node_modules'));
    fs.symlinkSync(PACKAGE, path.join(app, 'node_modules', 'telvane'), 'dir');
    const out = JSON.parse(execFileSync(process.execPath, ['--input-type=module', '-e', PROGRAM], { cwd: app }));
    assert.deepEqual(out.names, out.cjsNames);
    assert.deepEqual(out.differ, []);
    assert.ok(out.sameDefault && out.across);
    for (const name of Object.keys(require('../lib/errors'))) assert.ok(out.names.includes(name), name);
  } finally {
    fs.rmSync(app, { recursive: true, force: true });
  }
});

test('the type declarations declare every export', () => {
  const declarations = fs.readFileSync(path.join(PACKAGE, 'index.d.ts'), 'utf8');
  const declared = new Set([...declarations.matchAll(/^export (?:declare )?(?:class|function|const) (\w+)/gm)].map((m) => m[1]));
  assert.deepEqual(Object.keys(require(PACKAGE)).filter((name) => !declared.has(name)), []);
});
