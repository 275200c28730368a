// Uploads, downloads, queues and storage checks through a temporary file:// storage.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { transfer, repoRoot, scratchDirectory, managerWithStorage, writeRandomFile } = require('./load_module.js');

const fixtures = process.env.TARN_FIXTURES_DIR || path.join(repoRoot, '..', 'shared', 'fixtures', 'real');

// Each stored file with its checksum record.
function stored(...names) {
  return names.flatMap((name) => [name, name + '.caddis.json']).sort();
}

function listTree(dir) {
  const out = [];
  for (const entry of fs.readdirSync(dir, { withFileTypes: true, recursive: true })) {
    if (entry.isFile()) out.push(path.relative(dir, path.join(entry.path, entry.name)));
  }
  return out.sort();
}

test('an upload and a download give back the same bytes', async (t) => {
  const { id, dir, root } = await managerWithStorage(t);
  const source = path.join(dir, 'plate.raw');
  writeRandomFile(source, 3 * 1024 * 1024 + 5);
  assert.equal(await transfer.Upload(id, source, 'runs/1/plate.raw', undefined, ['main']), null);
  assert.deepEqual(listTree(root), stored('runs/1/plate.raw.nivra'));

  const out = path.join(dir, 'out');
  fs.mkdirSync(out);
  assert.equal(await transfer.Download(id, 'runs/1/plate.raw', out, ['main']), null);
  assert.deepEqual(fs.readdirSync(out), ['plate.raw']);
  assert.ok(fs.readFileSync(path.join(out, 'plate.raw')).equals(fs.readFileSync(source)));
});

test('real image files survive the round trip byte for byte', async (t) => {
  if (!fs.existsSync(fixtures)) return t.skip('no sample files');
  const { id, dir } = await managerWithStorage(t);
  const out = path.join(dir, 'out');
  fs.mkdirSync(out);
  const names = ['tif-ijhyper-pyimagej-test_still_stack.tif', 'nd2-pims-cluster.nd2', 'czi-czitools-100x100.czi']
    .filter((name) => fs.existsSync(path.join(fixtures, name)));
  for (const name of names) {
    await transfer.Upload(id, path.join(fixtures, name), 'samples/' + name, undefined, []);
    await transfer.Download(id, 'samples/' + name + '.nivra', out, []);
    assert.ok(fs.readFileSync(path.join(out, name)).equals(fs.readFileSync(path.join(fixtures, name))), name);
  }
});

test('targets outside the storage root are refused and nothing is written', async (t) => {
  const { id, dir, root } = await managerWithStorage(t);
  const source = path.join(dir, 'a.raw');
  fs.writeFileSync(source, 'data');
  for (const target of ['../escape.raw', 'a/../../escape.raw', path.join(dir, 'absolute.raw'), '/etc/passwd']) {
    await assert.rejects(transfer.Upload(id, source, target, undefined, ['main']),
      (e) => e.constructor === Error && e.message.startsWith(`manager ${id} failed to Upload: `), target);
  }
  await assert.rejects(transfer.Download(id, '../storage/x', dir, ['main']), /failed to Download: .*leaves the storage root/);
  assert.deepEqual(listTree(root), []);
  assert.deepEqual(fs.readdirSync(dir).sort(), ['a.raw', 'storage']);
});

test('library failures reject the Promise with the manager error text', async (t) => {
  const { id, dir } = await managerWithStorage(t);
  await assert.rejects(transfer.CheckStorage(id, 'nope'),
    { name: 'Error', message: `manager ${id} failed to CheckStorage: unknown storage 'nope'` });
  await assert.rejects(transfer.Upload(id, path.join(dir, 'missing'), 'x', undefined, []),
    { message: `manager ${id} failed to Upload: source ${path.join(dir, 'missing')} does not exist` });
  await assert.rejects(transfer.Download(id, 'never-uploaded', dir, []),
    { message: `manager ${id} failed to Download: never-uploaded.nivra is in none of the storages 'main'` });
  await assert.rejects(transfer.RelocateStorage(id, 'main', 'https://example.org/x'),
    { message: `manager ${id} failed to RelocateStorage: storage URL 'https://example.org/x' is not a file:// URL` });
  await assert.rejects(transfer.ExecuteQueue(id, 'unknown'),
    { message: `manager ${id} failed to ExecuteQueue: there is no queue 'unknown'` });
  await assert.rejects(transfer.Authorize(253), { message: 'manager 253 failed to Authorize: no manager with id 253' });
  await assert.rejects(transfer.AuthorizeWithTimeout(id, 2.9),
    { message: /^manager \d+ failed to AuthorizeWithTimeout: no valid access token within 2 s: / });
});

test('a stored file is never replaced, the same file again is no work, and modes and times come back', async (t) => {
  const { id, dir, root } = await managerWithStorage(t);
  const source = path.join(dir, 'private.raw');
  fs.writeFileSync(source, 'first');
  fs.chmodSync(source, 0o640);
  fs.utimesSync(source, new Date('2020-02-02T02:02:02Z'), new Date('2021-03-04T05:06:07Z'));
  assert.equal(await transfer.Upload(id, source, 'p.raw', undefined, []), null);
  assert.equal(await transfer.Upload(id, source, 'p.raw', undefined, []), null);
  const other = path.join(dir, 'other.raw');
  fs.writeFileSync(other, 'second');
  fs.mkdirSync(path.join(dir, 'sub'));
  fs.writeFileSync(path.join(dir, 'sub', 'private.raw'), 'third');
  await assert.rejects(transfer.Upload(id, other, 'p.raw', undefined, []),
    { message: `manager ${id} failed to Upload: upload of ${other} as p.raw.nivra failed on storage 'main': it already holds p.raw.nivra with other content; delete it there first to replace it` });
  await assert.rejects(transfer.EnqueueUploads(id, 'q', [source, path.join(dir, 'sub', 'private.raw')], 'batch', undefined, []),
    /failed to EnqueueUploads: items .*private.raw and .*sub\/private.raw of queue 'q' would both be stored as batch\/private.raw.nivra; nothing was queued/);
  assert.deepEqual(listTree(root), stored('p.raw.nivra'));

  const out = path.join(dir, 'out');
  fs.mkdirSync(out);
  await transfer.Download(id, 'p.raw', out, []);
  const restored = fs.statSync(path.join(out, 'p.raw'));
  assert.equal(restored.mode & 0o777, 0o640);
  assert.equal(restored.mtime.toISOString(), '2021-03-04T05:06:07.000Z');
  assert.equal(fs.readFileSync(path.join(out, 'p.raw'), 'utf8'), 'first');
});

test('a download never replaces an existing file', async (t) => {
  const { id, dir } = await managerWithStorage(t);
  const source = path.join(dir, 'a.raw');
  fs.writeFileSync(source, 'new content');
  await transfer.Upload(id, source, 'a.raw', undefined, []);
  const out = path.join(dir, 'out');
  fs.mkdirSync(out);
  fs.writeFileSync(path.join(out, 'a.raw'), 'precious');
  await assert.rejects(transfer.Download(id, 'a.raw', out, []), /already exists; it was left as it was/);
  assert.equal(fs.readFileSync(path.join(out, 'a.raw'), 'utf8'), 'precious');
  assert.deepEqual(fs.readdirSync(out), ['a.raw']);
});

test('CheckStorage proves a storage and leaves nothing behind; a vanished root fails', async (t) => {
  const { id, dir, root } = await managerWithStorage(t);
  assert.equal(await transfer.CheckStorage(id, 'main'), null);
  assert.deepEqual(fs.readdirSync(root), []);
  transfer.SetMaxStorageOperationRetries(id, 0);
  fs.rmSync(root, { recursive: true });
  await assert.rejects(transfer.CheckStorage(id, 'main'), /failed to CheckStorage: the root .* of storage 'main' is not reachable/);
  assert.equal(fs.existsSync(root), false);
  fs.mkdirSync(path.join(dir, 'moved'));
  await transfer.RelocateStorage(id, 'main', 'file://' + path.join(dir, 'moved'));
  assert.equal(await transfer.CheckStorage(id, 'main'), null);
});

test('queues resolve with their id and run every item', async (t) => {
  const { id, dir, root } = await managerWithStorage(t);
  const sources = ['one.raw', 'two.raw', 'three.raw'].map((name) => path.join(dir, name));
  sources.forEach((file, i) => writeRandomFile(file, 100000 * (i + 1)));
  assert.equal(await transfer.EnqueueUploads(id, 'nightly', sources, 'batch', undefined, ['main']), 'nightly');
  assert.equal(await transfer.EnqueueUploads(id, 'nightly', sources[0], 'single/first.raw', undefined, []), 'nightly');
  assert.equal(await transfer.ExecuteQueue(id, 'nightly'), null);
  assert.deepEqual(listTree(root), stored('batch/one.raw.nivra', 'batch/three.raw.nivra', 'batch/two.raw.nivra', 'single/first.raw.nivra'));

  const out = path.join(dir, 'out');
  fs.mkdirSync(out);
  assert.equal(await transfer.EnqueueDownloads(id, 'q-é', ['batch/one.raw', 'batch/two.raw.nivra'], out, []), 'q-é');
  assert.equal(await transfer.EnqueueDownloads(id, 'q-é', 'batch/three.raw', out, ['main']), 'q-é');
  await transfer.ExecuteQueue(id, 'q-é');
  for (const file of sources) assert.ok(fs.readFileSync(path.join(out, path.basename(file))).equals(fs.readFileSync(file)));
});

test('a queue reports every failed item at once and keeps them queued', async (t) => {
  const { id, dir } = await managerWithStorage(t);
  const out = path.join(dir, 'out');
  fs.mkdirSync(out);
  await transfer.EnqueueDownloads(id, 'q', ['missing-a', 'missing-b'], out, []);
  await assert.rejects(transfer.ExecuteQueue(id, 'q'),
    (e) => e.message.startsWith(`manager ${id} failed to ExecuteQueue: 2 of 2 items of queue 'q' failed and stay queued: `) &&
      e.message.includes('missing-a.nivra') && e.message.includes('missing-b.nivra'));
  await assert.rejects(transfer.ExecuteQueue(id, 'q'), /2 of 2 items/);
  await assert.rejects(transfer.EnqueueUploads(id, 'q', path.join(dir, 'nothing'), 'x', undefined, []), /failed to EnqueueUploads: source .* is not a regular file/);
  await assert.rejects(transfer.EnqueueUploads(id, '', [], 'x', undefined, []), /failed to EnqueueUploads: a queue id must not be empty/);
});

test('the event loop keeps running while a large upload is in progress', async (t) => {
  const { id, dir } = await managerWithStorage(t);
  const source = path.join(dir, 'large.raw');
  writeRandomFile(source, 96 * 1024 * 1024);
  let ticks = 0;
  const timer = setInterval(() => ticks++, 5);
  const started = Date.now();
  try {
    await transfer.Upload(id, source, 'large.raw', undefined, []);
  } finally {
    clearInterval(timer);
  }
  const elapsed = Date.now() - started;
  // At least a quarter of the ticks a free loop would give: proof the thread was not held.
  assert.ok(ticks >= Math.floor(elapsed / 5 / 4), `${ticks} ticks in ${elapsed} ms`);
  assert.ok(ticks >= 2, `${ticks} ticks in ${elapsed} ms`);
});

test('many operations on one manager may be in flight at once', async (t) => {
  const { id, dir, root } = await managerWithStorage(t);
  const names = Array.from({ length: 8 }, (_, i) => `f${i}.raw`);
  names.forEach((name, i) => writeRandomFile(path.join(dir, name), 200000 + i));
  const results = await Promise.all(names.map((name) => transfer.Upload(id, path.join(dir, name), 'many/' + name, undefined, ['main'])));
  assert.deepEqual(results, names.map(() => null));
  assert.equal(fs.readdirSync(path.join(root, 'many')).length, 2 * 8);
  const out = path.join(dir, 'out');
  fs.mkdirSync(out);
  await Promise.all(names.map((name) => transfer.Download(id, 'many/' + name, out, [])));
  for (const name of names) assert.ok(fs.readFileSync(path.join(out, name)).equals(fs.readFileSync(path.join(dir, name))));
});
