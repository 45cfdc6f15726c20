#!/usr/bin/env node
'use strict';
// The platform package's veskar-pack, run with this command's arguments,
// its output and status passed through.
const { spawnSync } = require('node:child_process');
const { packerPath } = require('../index.js');

let packer;
try {
  packer = packerPath();
} catch (error) {
  process.stderr.write(`veskar-pack: ${error.message}\n`);
  process.exit(1);
}
const run = spawnSync(packer, process.argv.slice(2), { stdio: 'inherit', windowsHide: true });
if (run.error) {
  process.stderr.write(`veskar-pack: cannot run '${packer}': ${run.error.message}\n`);
  process.exit(1);
}
if (run.signal) process.kill(process.pid, run.signal);
process.exit(run.status);
