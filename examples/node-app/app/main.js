// A Node application as it is shipped: this script, its node_modules (one
// with a native addon) and node.exe beside them, packed into one launcher.
const path = require('node:path');
const { shout } = require('shout');

const args = process.argv.slice(2);
console.log(`node-app: ${shout('hello from node')} ${process.version}`);
console.log(`node-app: arguments ${JSON.stringify(args)}`);
// node.exe and this script were unpacked into one folder.
console.log(`node-app: beside node.exe: ${path.dirname(process.execPath) === __dirname}`);
const exit = args.indexOf('--exit');
process.exitCode = exit >= 0 ? Number(args[exit + 1]) : 0;
