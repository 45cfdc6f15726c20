'use strict';
// veskar-onefile: the packer from Node. pack() runs `veskar-pack build`,
// list() and verify() read its `--json` reports. The packer itself comes
// from the platform package npm chose through optionalDependencies.
const { execFile } = require('node:child_process');
const path = require('node:path');

const platformPackages = {
  'linux x64': '@veskar-onefile/linux-x64',
  'win32 x64': '@veskar-onefile/win32-x64',
};

function failure(message, code, Kind = Error) {
  const error = new Kind(message);
  error.code = code;
  return error;
}

// The packer of the platform package installed for this system.
function packerPath() {
  const name = platformPackages[`${process.platform} ${process.arch}`];
  if (name === undefined) {
    throw failure(`veskar-onefile has no packer for ${process.platform} ${process.arch}: ` +
                  'it runs on Linux x64 and Windows x64', 'VESKAR_UNSUPPORTED_PLATFORM');
  }
  let folder;
  try {
    folder = path.dirname(require.resolve(`${name}/package.json`));
  } catch {
    throw failure(`${name} is not installed: install veskar-onefile with its optional dependencies`,
                  'VESKAR_PACKER_MISSING');
  }
  return path.join(folder, 'bin', process.platform === 'win32' ? 'veskar-pack.exe' : 'veskar-pack');
}

// Runs the packer; resolves with its standard output, or rejects with the
// first line it wrote on standard error as the message. `keepOutput` resolves on
// status 1 too, for reports that say what is wrong on standard output.
function runPacker(args, keepOutput = false) {
  return new Promise((resolve, reject) => {
    let packer;
    try {
      packer = packerPath();
    } catch (error) {
      reject(error);
      return;
    }
    execFile(packer, args, { maxBuffer: 64 * 1024 * 1024, windowsHide: true }, (error, stdout, stderr) => {
      if (error === null || (keepOutput && error.code === 1 && stdout !== '')) {
        resolve(stdout);
        return;
      }
      const line = stderr.trim().split('\n')[0];
      const reason = typeof error.code === 'number' ? `status ${error.code}`
                   : error.signal ? `signal ${error.signal}` : error.message;
      const failed = failure(line || `veskar-pack ended with ${reason}`, 'VESKAR_PACK_FAILED');
      failed.exitCode = typeof error.code === 'number' ? error.code : null;
      reject(failed);
    });
  });
}

// pack()'s options: the option each becomes and what it must be.
const packOptions = {
  dir: ['--dir', 'string'],
  appLibrary: ['--app-library', 'string'],
  appExe: ['--app-exe', 'string'],
  appArgs: ['--app-arg', 'strings'],
  output: ['--output', 'string'],
  level: ['--level', 'integer'],
  threads: ['--threads', 'integer'],
  reuse: ['--reuse', 'boolean'],
  reuseProcess: ['--reuse-process', 'string'],
  appId: ['--app-id', 'string'],
  unpackDir: ['--unpack-dir', 'string'],
  unpackThreads: ['--unpack-threads', 'integer'],
  splash: ['--splash', 'string'],
  icon: ['--icon', 'string'],
  console: ['--console', 'boolean'],
  gui: ['--gui', 'boolean'],
  versionInfo: ['--version-info', 'record'],
  executionLevel: ['--execution-level', 'string'],
  depfile: ['--depfile', 'string'],
  kit: ['--kit', 'string'],
};

const kindChecks = {
  string: (v) => typeof v === 'string' && v !== '',
  strings: (v) => Array.isArray(v) && v.every((s) => typeof s === 'string'),
  integer: (v) => Number.isInteger(v),
  boolean: (v) => typeof v === 'boolean',
  record: (v) => typeof v === 'object' && v !== null && !Array.isArray(v) &&
                 Object.entries(v).every(([k, s]) => k !== '' && !k.includes('=') && typeof s === 'string'),
};

const kindNames = {
  string: 'a non-empty string',
  strings: 'an array of strings',
  integer: 'an integer',
  boolean: 'true or false',
  record: 'an object of string values, such as { ProductName: "App" }',
};

// The packer's arguments for `options`, or a TypeError naming the first
// option that is wrong. Values go as --name=value so that none is taken
// for an option.
function buildArguments(options) {
  if (typeof options !== 'object' || options === null) {
    throw failure('pack() takes an object of options', 'ERR_INVALID_ARG_TYPE', TypeError);
  }
  for (const [key, value] of Object.entries(options)) {
    const known = packOptions[key];
    if (known === undefined) {
      throw failure(`pack(): unknown option '${key}'; known: ${Object.keys(packOptions).join(', ')}`,
                    'ERR_INVALID_ARG_VALUE', TypeError);
    }
    if (value !== undefined && !kindChecks[known[1]](value)) {
      throw failure(`pack(): ${key} must be ${kindNames[known[1]]}`, 'ERR_INVALID_ARG_TYPE', TypeError);
    }
  }
  const { dir, appLibrary, appExe, output } = options;
  if (dir === undefined || output === undefined) {
    throw failure('pack() needs dir (the application folder) and output (the launcher to write)',
                  'ERR_INVALID_ARG_VALUE', TypeError);
  }
  if ((appLibrary === undefined) === (appExe === undefined)) {
    throw failure('pack() needs exactly one entry: appLibrary (a DLL exporting run_code) or appExe (a program)',
                  'ERR_INVALID_ARG_VALUE', TypeError);
  }
  if (options.appArgs !== undefined && appExe === undefined) {
    throw failure('pack(): appArgs are arguments for a program: they need appExe', 'ERR_INVALID_ARG_VALUE', TypeError);
  }
  const args = options.kit === undefined ? [] : [`--kit=${options.kit}`];
  args.push('build', '--quiet');
  for (const [key, value] of Object.entries(options)) {
    const [flag, kind] = packOptions[key];
    if (value === undefined || key === 'kit') continue;
    if (kind === 'boolean') {
      if (value) args.push(flag);
    } else if (kind === 'strings') {
      for (const item of value) args.push(`${flag}=${item}`);
    } else if (kind === 'record') {
      for (const [name, text] of Object.entries(value)) args.push(`${flag}=${name}=${text}`);
    } else {
      args.push(`${flag}=${value}`);
    }
  }
  return args;
}

// Packs options.dir into the launcher options.output; resolves with the
// launcher's full path.
async function pack(options) {
  const args = buildArguments(options);
  await runPacker(args);
  return { output: path.resolve(options.output) };
}

function checkLauncher(name, exe) {
  if (typeof exe !== 'string' || exe === '') {
    throw failure(`${name}() takes the launcher's path as a non-empty string`, 'ERR_INVALID_ARG_TYPE', TypeError);
  }
}

// What a launcher holds and how it was built.
async function list(exe) {
  checkLauncher('list', exe);
  return JSON.parse(await runPacker(['list', '--json', exe]));
}

// Whether a launcher's attached data is complete and intact; a damaged one
// resolves with intact false and the problem, anything else rejects.
async function verify(exe) {
  checkLauncher('verify', exe);
  return JSON.parse(await runPacker(['verify', '--json', exe], true));
}

module.exports = { pack, list, verify, packerPath };
