// Uploads, downloads and storage checks against a real S3 server (scripts/s3-test-server.sh;
// TARN_S3_TEST_ENV names its storage entry). Without one these tests skip, except under
// CI=true, where they fail.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { transfer, repoRoot, scratchDirectory, writeRandomFile } = require('./load_module.js');

const fixtures = process.env.TARN_FIXTURES_DIR || path.join(repoRoot, '..', 'shared', 'fixtures', 'real');
const serverEntry = process.env.TARN_S3_TEST_ENV ? JSON.parse(fs.readFileSync(process.env.TARN_S3_TEST_ENV, 'utf8')) : null;
const noServer = 'no S3 test server: TARN_S3_TEST_ENV is not set (scripts/test.sh starts one)';

function requireServer(t) {
  if (serverEntry) return true;
  if (process.env.CI === 'true') assert.fail(noServer + ' (under CI=true this is a failure)');
  t.skip(noServer);
  return false;
}

// A manager whose storage "s3" is a fresh prefix of the test bucket, changed by `edit`.
function managerWithS3(t, edit = (entry) => entry) {
  const dir = scratchDirectory(t);
  const bucket = new URL(serverEntry.url.replace('s3://', 'http://')).host;
  const entry = edit({ ...serverEntry, url: `s3://${bucket}/node-tests/${crypto.randomUUID()}` });
  const credentials = path.join(dir, 'credentials.json');
  fs.writeFileSync(credentials, JSON.stringify({ organizations: { lab: { storages: { s3: entry } } } }), { mode: 0o600 });
  const id = transfer.NewManager();
  t.after(() => transfer.DeleteManager(id));
  transfer.LoadCredentials(id, 'lab', credentials);
  const out = path.join(dir, 'out');
  fs.mkdirSync(out);
  return { id, dir, out, entry, credentials };
}

async function closedPort() {
  const server = net.createServer();
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const { port } = server.address();
  await new Promise((resolve) => server.close(resolve));
  return port;
}

test('files survive the round trip through S3 byte for byte, with their mode and time', async (t) => {
  if (!requireServer(t)) return;
  const { id, dir, out } = managerWithS3(t);
  const large = path.join(dir, 'large.raw');
  writeRandomFile(large, 40 * 1024 * 1024 + 3);  // several parts
  fs.chmodSync(large, 0o640);
  fs.utimesSync(large, new Date('2020-02-02T02:02:02Z'), new Date('2021-03-04T05:06:07.123Z'));
  const samples = ['tif-ijhyper-pyimagej-test_still_stack.tif', 'nd2-pims-cluster.nd2', 'czi-czitools-100x100.czi']
    .map((name) => path.join(fixtures, name)).filter((file) => fs.existsSync(file));
  for (const file of [large, ...samples]) {
    assert.equal(await transfer.Upload(id, file, 'runs/' + path.basename(file), undefined, ['s3']), null);
    assert.equal(await transfer.Download(id, 'runs/' + path.basename(file), out, ['s3']), null);
    assert.ok(fs.readFileSync(path.join(out, path.basename(file))).equals(fs.readFileSync(file)), file);
  }
  const restored = fs.statSync(path.join(out, 'large.raw'));
  assert.equal(restored.mode & 0o777, 0o640);
  assert.equal(restored.mtime.toISOString(), '2021-03-04T05:06:07.123Z');
  assert.deepEqual(fs.readdirSync(out).sort(), ['large.raw', ...samples.map((file) => path.basename(file))].sort());
});

test('a stored object is never replaced: the same file again is no work, other content fails, one of two racers wins', async (t) => {
  if (!requireServer(t)) return;
  const { id, dir, out } = managerWithS3(t);
  const first = path.join(dir, 'first.raw');
  const second = path.join(dir, 'second.raw');
  writeRandomFile(first, 10 * 1024 * 1024);  // multipart
  writeRandomFile(second, 10 * 1024 * 1024);
  await transfer.Upload(id, first, 'p.raw', undefined, []);
  await transfer.Upload(id, first, 'p.raw', undefined, []);
  await assert.rejects(transfer.Upload(id, second, 'p.raw', undefined, []),
    { message: `manager ${id} failed to Upload: upload of ${second} as p.raw.nivra failed on storage 's3': it already holds p.raw.nivra with other content; delete it there first to replace it` });

  for (const size of [1000, 10 * 1024 * 1024]) {
    const a = path.join(dir, `a${size}.raw`);
    const b = path.join(dir, `b${size}.raw`);
    writeRandomFile(a, size);
    writeRandomFile(b, size);
    const results = await Promise.allSettled([a, b].map((file) => transfer.Upload(id, file, `race${size}.raw`, undefined, [])));
    assert.equal(results.filter((r) => r.status === 'fulfilled').length, 1, JSON.stringify(results));
    const lost = results.find((r) => r.status === 'rejected').reason.message;
    assert.match(lost, /already holds race\d+\.raw\.nivra with other content|another upload is placing/);
    await transfer.Download(id, `race${size}.raw`, out, []);
    const winner = results[0].status === 'fulfilled' ? a : b;
    assert.ok(fs.readFileSync(path.join(out, `race${size}.raw`)).equals(fs.readFileSync(winner)));
  }
  await transfer.Download(id, 'p.raw', out, []);
  assert.ok(fs.readFileSync(path.join(out, 'p.raw')).equals(fs.readFileSync(first)));
});

test('a refused or unreachable S3 storage is named with its reason and nothing is left behind', async (t) => {
  if (!requireServer(t)) return;
  const port = await closedPort();
  const cases = [
    { name: 'wrong secret', edit: (e) => ({ ...e, secret_key: e.secret_key + 'x' }), reason: /SignatureDoesNotMatch \(HTTP 403\)/ },
    { name: 'missing bucket', edit: (e) => ({ ...e, url: 's3://no-such-bucket-here/x' }), reason: /NoSuchBucket \(HTTP 404\)/ },
    { name: 'stopped server', edit: (e) => ({ ...e, endpoint: `http://127.0.0.1:${port}` }), reason: /Couldn't connect to server|Connection refused/ },
  ];
  for (const { name, edit, reason } of cases) {
    const { id, dir, out, entry } = managerWithS3(t, edit);
    transfer.SetMaxStorageOperationRetries(id, 0);
    const source = path.join(dir, 'a.raw');
    fs.writeFileSync(source, 'data');
    const failures = [
      await transfer.CheckStorage(id, 's3').catch((e) => e),
      await transfer.Upload(id, source, 'a.raw', undefined, ['s3']).catch((e) => e),
      await transfer.Download(id, 'a.raw', out, ['s3']).catch((e) => e),
    ];
    for (const failure of failures) {
      assert.ok(failure instanceof Error, name);
      assert.match(failure.message, /storage '?s3'?/, name);
      assert.match(failure.message, reason, name);
      assert.ok(failure.message.includes(entry.endpoint), `${name}: ${failure.message}`);
      assert.ok(!failure.message.includes(serverEntry.secret_key), name);
    }
    assert.deepEqual(fs.readdirSync(out), [], name);
  }
});

test('CheckStorage proves an S3 storage; credentials others may read are refused', async (t) => {
  if (!requireServer(t)) return;
  const { id, credentials } = managerWithS3(t);
  assert.equal(await transfer.CheckStorage(id, 's3'), null);
  fs.chmodSync(credentials, 0o644);
  assert.throws(() => transfer.LoadCredentials(id, 'lab', credentials),
    (e) => /holds S3 secret keys and is readable by other users \(mode 0644\)/.test(e.message) &&
      !e.message.includes(serverEntry.secret_key));
});

test('the upload and download limits hold for bytes on the wire to and from S3', async (t) => {
  if (!requireServer(t)) return;
  const { id, dir, out } = managerWithS3(t);
  const size = 12 * 1024 * 1024;
  const limit = 4 * 1024 * 1024;
  const burst = 256 * 1024;
  const [free, limited] = ['free.raw', 'limited.raw'].map((name) => path.join(dir, name));
  writeRandomFile(free, size);
  writeRandomFile(limited, size);
  const seconds = async (work) => {
    const started = process.hrtime.bigint();
    await work();
    return Number(process.hrtime.bigint() - started) / 1e9;
  };
  const unlimited = {
    upload: await seconds(() => transfer.Upload(id, free, 'free.raw', undefined, [])),
    download: await seconds(() => transfer.Download(id, 'free.raw', out, [])),
  };
  transfer.SetTransportUploadLimit(id, limit);
  transfer.SetTransportUploadBurst(id, burst);
  transfer.SetTransportDownloadLimit(id, limit);
  transfer.SetTransportDownloadBurst(id, burst);
  const limited_ = {
    upload: await seconds(() => transfer.Upload(id, limited, 'limited.raw', undefined, [])),
    download: await seconds(() => transfer.Download(id, 'limited.raw', out, [])),
  };
  // Random bytes are stored about as they are: the wire carries about `size` bytes.
  const expected = (size - burst) / limit;
  for (const direction of ['upload', 'download']) {
    const elapsed = limited_[direction];
    assert.ok(elapsed >= 0.9 * expected && elapsed <= 1.1 * expected + unlimited[direction],
      `${direction}: ${elapsed.toFixed(2)} s for ${size} bytes at ${limit} B/s ` +
      `(expected ${expected.toFixed(2)} s, unlimited ${unlimited[direction].toFixed(2)} s)`);
  }
});
