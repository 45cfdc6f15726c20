'use strict';
// veskar-onefile's API on the installed package (VESKAR_ONEFILE_MODULE),
// packing the example application (VESKAR_TEST_APP), run by npm_test.sh.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { pack, list, verify } = require(process.env.VESKAR_ONEFILE_MODULE);

const app = process.env.VESKAR_TEST_APP;
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'veskar-api-'));
test.after(() => fs.rmSync(work, { recursive: true, force: true }));
const base = { dir: app, appLibrary: 'hello.dll', output: path.join(work, 'out.exe') };

test('options are refused with a TypeError before the packer runs', async () => {
  const cases = [
    [undefined, /^pack\(\) takes an object of options$/],
    [{ dir: app, output: base.output }, /needs exactly one entry: appLibrary .* or appExe/],
    [{ ...base, appExe: 'hello.exe' }, /needs exactly one entry/],
    [{ ...base, appArgs: ['x'] }, /appArgs are arguments for a program: they need appExe/],
    [{ ...base, appLibary: 'hello.dll' }, /unknown option 'appLibary'; known: dir, appLibrary/],
    [{ ...base, level: '19' }, /level must be an integer/],
    [{ ...base, reuse: 'yes' }, /reuse must be true or false/],
    [{ ...base, appId: '' }, /appId must be a non-empty string/],
    [{ ...base, versionInfo: { ProductName: 3 } }, /versionInfo must be an object of string values/],
    [{ appLibrary: 'hello.dll', output: base.output }, /needs dir .* and output/],
  ];
  for (const [options, message] of cases) {
    await assert.rejects(pack(options), (e) => e instanceof TypeError && message.test(e.message) &&
                                               e.code.startsWith('ERR_INVALID_ARG_'), message.source);
  }
  assert.deepStrictEqual(fs.readdirSync(work), []);
});

test("the packer's refusals reject with its one line, and leave nothing behind", async () => {
  const cases = [
    [{ ...base, dir: path.join(work, 'missing') }, /^veskar-pack: .*missing/],
    [{ ...base, output: path.join(work, 'no', 'out.exe') }, /^veskar-pack: cannot write .*does not exist$/],
    [{ ...base, appLibrary: 'absent.dll' }, /^veskar-pack: .*absent\.dll/],
    [{ ...base, level: 99 }, /level.*99/],
  ];
  for (const [options, message] of cases) {
    await assert.rejects(pack(options), (e) => message.test(e.message) && !e.message.includes('\n') &&
                                               e.code === 'VESKAR_PACK_FAILED' && e.exitCode !== 0,
                         message.source);
  }
  assert.deepStrictEqual(fs.readdirSync(work), []);
});

test('list() and verify() report what pack() made', async () => {
  const productName = 'Hello "quoted" \\ näme';
  const { output } = await pack({ ...base, level: 5, reuse: true, appId: 'Example Hello',
                                  versionInfo: { ProductName: productName, FileVersion: '1.2.3' } });
  const listing = await list(output);
  const files = listing.files.map((f) => f.name);
  assert.strictEqual(files[0], 'hello.dll');
  assert.deepStrictEqual(listing.entry, { kind: 'library', name: 'hello.dll', arguments: [] });
  const onDisk = (folder) => fs.readdirSync(folder, { withFileTypes: true }).map((e) =>
    e.isDirectory() ? onDisk(path.join(folder, e.name)) : [path.relative(app, path.join(folder, e.name))]).flat();
  assert.deepStrictEqual(files.map((f) => f.replaceAll('\\', '/')).sort(), onDisk(app).sort());
  const bytes = onDisk(app).reduce((sum, f) => sum + fs.statSync(path.join(app, f)).size, 0);
  assert.strictEqual(listing.fileBytes, bytes);
  assert.strictEqual(listing.zstdLevel, 5);
  assert.deepStrictEqual({ ...listing.reuse, archiveIdentity: listing.reuse.archiveIdentity.length },
                         { archiveIdentity: 64, applicationId: 'Example Hello', applicationIdFrom: 'app-id',
                           process: 'self' });
  assert.deepStrictEqual(listing.versionInfo, { ProductName: productName, FileVersion: '1.2.3' });
  assert.deepStrictEqual(await verify(output),
                         { launcher: output, intact: true, records: files.length, fileBytes: bytes, signed: false });

  const damaged = path.join(work, 'damaged.exe');
  const image = fs.readFileSync(output);
  // A byte inside the zstd frame, whose magic number starts it.
  image[image.lastIndexOf(Buffer.from([0x28, 0xb5, 0x2f, 0xfd])) + Math.floor(listing.frameBytes / 2)] ^= 0xff;
  fs.writeFileSync(damaged, image);
  const verdict = await verify(damaged);
  assert.strictEqual(verdict.intact, false);
  assert.ok(verdict.problem.startsWith(`'${damaged}': `), verdict.problem);
  await assert.rejects(list(damaged), (e) => e.code === 'VESKAR_PACK_FAILED' &&
                                             e.message.startsWith(`veskar-pack: '${damaged}': `));
});
