// The module against a stand-in library (build/lib/fake): exactly what reaches the
// library, and answers the real library never gives.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

// The real module must not be loaded in this process: its library would be reused
// by the copy, which asks for the same shared object name.
const repoRoot = path.resolve(__dirname, '..', '..');
const fakePath = process.env.TARN_TRANSFER_FAKE_MODULE || path.join(repoRoot, 'build', 'lib', 'fake', 'transfer.node');
const available = fs.existsSync(fakePath);
const fake = available ? require(fakePath) : null;
const logFile = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'transfer-fake-')), 'calls.log');

// Runs fn with the stand-in told by `env`, returns the calls it saw.
async function withFake(env, fn) {
  fs.rmSync(logFile, { force: true });
  const keys = ['FAKE_CADDIS_ERROR', 'FAKE_CADDIS_NULL', 'FAKE_CADDIS_NUMBER', 'FAKE_CADDIS_NEW_ID', 'FAKE_CADDIS_QUEUE_ID'];
  for (const key of keys) delete process.env[key];
  Object.assign(process.env, env, { FAKE_CADDIS_LOG: logFile });
  try {
    const result = await fn();
    return { result, calls: fs.existsSync(logFile) ? fs.readFileSync(logFile, 'utf8').trim().split('\n') : [] };
  } finally {
    for (const key of [...keys, 'FAKE_CADDIS_LOG']) delete process.env[key];
  }
}

test('the module against a stand-in library', { skip: !available && 'stand-in library not built' }, async (t) => {
  await t.test('NULL results become the fixed texts', async () => {
    await withFake({ FAKE_CADDIS_NULL: '1' }, () => {
      assert.throws(() => fake.Version(), { name: 'Error', message: 'version not found' });
      assert.throws(() => fake.Host(9), { name: 'Error', message: 'no manager found with id 9' });
      assert.throws(() => fake.StartAuthorization(0), { message: 'no manager found with id 0' });
    });
    assert.equal((await withFake({}, () => fake.Version())).result, 'fake');
  });

  await t.test('NewManager returning 0 is a failure; other ids are returned', async () => {
    await withFake({ FAKE_CADDIS_NEW_ID: '0' }, () => {
      assert.throws(() => fake.NewManager(), { name: 'Error', message: 'failed to initialize new Manager' });
    });
    assert.equal((await withFake({ FAKE_CADDIS_NEW_ID: '255' }, () => fake.NewManager())).result, 255);
  });

  await t.test('an error message builds the manager text, an empty one too', async () => {
    await withFake({ FAKE_CADDIS_ERROR: 'timeout' }, () => {
      assert.throws(() => fake.DeleteManager(7), { name: 'Error', message: 'manager 7 failed to cleanup: timeout' });
    });
    await withFake({ FAKE_CADDIS_ERROR: '' }, () => {
      assert.throws(() => fake.SetHost(3, 'h'), { message: 'manager 3 failed to SetHost: ' });
    });
    const { calls } = await withFake({ FAKE_CADDIS_ERROR: 'offline' }, async () => {
      await assert.rejects(fake.CheckStorage(2, 's'), { name: 'Error', message: 'manager 2 failed to CheckStorage: offline' });
    });
    assert.deepEqual(calls, ['CheckStorage 2 "s"']);
  });

  await t.test('arguments reach the library converted as documented', async () => {
    const { calls } = await withFake({}, async () => {
      await fake.Upload(1, 'src', 'dst', undefined, []);
      await fake.Upload(1, 'src', 'dst', 'cam', ['a', 'b']);
      await fake.AuthorizeWithTimeout(1, 2.9);
      fake.SetTransportUploadLimit(1, 1.5e3);
      fake.SetTransportUploadBurst(1, -1);
      fake.SetTransportConcurrency(3.9, 7);
      fake.LoadCredentials(4, 'org', 'créds.json');
      await fake.EnqueueUploads(5, 'q', 'one', 'to', undefined, ['s']);
      await fake.EnqueueUploads(5, 'q', ['one', 'two'], 'to', 'cam', []);
      await fake.Download(6, 'from', 'dir', []);
    });
    assert.deepEqual(calls, [
      'Upload 1 "src" "dst" NULL NULL/0',
      'Upload 1 "src" "dst" "cam" ["a","b"]/2',
      'AuthorizeWithTimeout 1 2',
      'SetTransportUploadLimit 1 1500.000000',
      'SetTransportUploadBurst 1 -1',
      'SetTransportConcurrency 3 7',
      'LoadCredentials 4 "org" "créds.json"',
      'EnqueueUploads 5 "q" ["one"]/1 "to" NULL ["s"]/1',
      'EnqueueUploads 5 "q" ["one","two"]/2 "to" "cam" NULL/0',
      'Download 6 "from" "dir" NULL/0',
    ]);
  });

  await t.test('enqueue resolves with the queue id as the library left it, never longer', async () => {
    assert.equal((await withFake({ FAKE_CADDIS_QUEUE_ID: 'NIGHT' }, () => fake.EnqueueDownloads(1, 'night', 'a', 'd', []))).result, 'NIGHT');
    assert.equal((await withFake({ FAKE_CADDIS_QUEUE_ID: 'ab' }, () => fake.EnqueueDownloads(1, 'night', 'a', 'd', []))).result, 'abght');
    assert.equal((await withFake({ FAKE_CADDIS_QUEUE_ID: 'much-longer-id' }, () => fake.EnqueueUploads(1, 'q1', 'a', 't', undefined, []))).result, 'mu');
    assert.equal((await withFake({}, () => fake.EnqueueUploads(1, 'q1', 'a', 't', undefined, []))).result, 'q1');
  });

  await t.test('numbers from the library keep their type and sign', async () => {
    await withFake({ FAKE_CADDIS_NUMBER: '-5' }, () => {
      assert.equal(fake.TransportUploadBurst(1), -5);
      assert.equal(fake.TransportDownloadBurst(1), -5);
      assert.equal(fake.TransportConcurrency(1), 4294967291);
      assert.equal(fake.TransportUploadLimit(1), -5);
    });
    await withFake({ FAKE_CADDIS_NUMBER: '123456789012' }, () => {
      assert.equal(fake.CalibrationRegistryDefaultInitialize(), 123456789012);
      assert.equal(fake.CalibrationRegistryLoadPath('/x'), 123456789012);
    });
  });

  await t.test('DeleteManager disconnects cloud sync and then cleans up', async () => {
    const { calls } = await withFake({}, () => fake.DeleteManager(8));
    assert.deepEqual(calls, ['DeleteManager 8']);
  });
});
