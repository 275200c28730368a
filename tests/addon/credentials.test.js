// Credentials file, token checks and the interactive authorization flow.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { transfer, scratchDirectory } = require('./load_module.js');

function credentials(entry) {
  return JSON.stringify({ organizations: { lab: entry } });
}

function setUp(t, entry) {
  const dir = scratchDirectory(t);
  const file = path.join(dir, 'credentials.json');
  fs.writeFileSync(file, credentials(entry));
  const id = transfer.NewManager();
  t.after(() => transfer.DeleteManager(id));
  return { dir, file, id };
}

test('LoadCredentials takes host, token and storages from the file', async (t) => {
  const root = path.join(scratchDirectory(t), 'archive');
  fs.mkdirSync(root);
  const { dir, file, id } = setUp(t, {
    host: 'https://transfer.lab.example', access_token: 'tok-1', expires_at: '2099-01-01T00:00:00Z',
    storages: { archive: 'file://' + root },
  });
  transfer.LoadCredentials(id, 'lab', file);
  fs.rmdirSync(root);
  assert.equal(transfer.Host(id), 'https://transfer.lab.example');
  assert.equal(transfer.AccessToken(id), 'tok-1');
  assert.equal(transfer.CredentialsFileUsed(id), file);
  assert.equal(await transfer.Authorize(id), null);
  assert.equal(await transfer.RefreshToken(id), null);
  await assert.rejects(transfer.CheckStorage(id, 'archive'), /failed to CheckStorage: the root .*archive of storage 'archive' is not reachable/);
  assert.throws(() => transfer.LoadCredentials(id, 'other', file),
    { name: 'Error', message: `manager ${id} failed to LoadCredentials: organization 'other' is not in credentials file ${file}` });
  assert.throws(() => transfer.LoadCredentials(id, 'lab', path.join(dir, 'missing.json')),
    { message: `manager ${id} failed to LoadCredentials: cannot read credentials file ${path.join(dir, 'missing.json')}` });
  assert.equal(transfer.AccessToken(id), 'tok-1');  // a failed load changes nothing
});

test('a credentials file others may write, and storage roots that are no folder or the whole disk, are refused', (t) => {
  const { dir, file, id } = setUp(t, { access_token: 'tok', storages: { all: 'file:///' } });
  assert.throws(() => transfer.LoadCredentials(id, 'lab', file),
    /failed to LoadCredentials: storage 'all' in .*: the storage root \/ is the whole file system/);
  fs.writeFileSync(file, credentials({ storages: { gone: 'file://' + path.join(dir, 'gone') } }));
  assert.throws(() => transfer.LoadCredentials(id, 'lab', file), /the storage root .*gone is not an existing directory/);
  fs.writeFileSync(file, credentials({ access_token: 'tok' }));
  fs.chmodSync(file, 0o666);
  assert.throws(() => transfer.LoadCredentials(id, 'lab', file), /is writable by other users \(mode 0666\)/);
  assert.equal(transfer.AccessToken(id), '');
});

test('expired or missing tokens are refused with a clear text', async (t) => {
  const { file, id } = setUp(t, { access_token: 'old', expires_at: '2001-02-03T04:05:06Z' });
  transfer.LoadCredentials(id, 'lab', file);
  await assert.rejects(transfer.Authorize(id),
    { message: `manager ${id} failed to Authorize: the access token of organization 'lab' expired at 2001-02-03T04:05:06Z; authorize again` });
  await assert.rejects(transfer.RefreshToken(id), /failed to RefreshToken: the access token of organization 'lab' expired/);
  fs.writeFileSync(file, credentials({}));
  await assert.rejects(transfer.Authorize(id), /failed to Authorize: organization 'lab' has no access token in .*; authorize first/);
  await assert.rejects(transfer.AuthorizeWithTimeout(id, 0), /failed to AuthorizeWithTimeout: no valid access token within 0 s/);
});

test('a manager without credentials needs a token set by hand', async (t) => {
  const id = transfer.NewManager();
  t.after(() => transfer.DeleteManager(id));
  await assert.rejects(transfer.Authorize(id),
    { message: `manager ${id} failed to Authorize: no access token: load a credentials file or set an access token first` });
  await assert.rejects(transfer.RefreshToken(id), /nothing to refresh the token from/);
  transfer.SetAccessToken(id, 'by-hand');
  assert.equal(await transfer.Authorize(id), null);
  assert.throws(() => transfer.WaitAuthorization(id), /failed to WaitAuthorization: no authorization is in progress/);
  assert.equal(transfer.CancelAuthorization(id), undefined);
});

test('WaitAuthorization returns once the file holds a token for the user code', (t) => {
  const { file, id } = setUp(t, { host: 'https://transfer.lab.example/' });
  transfer.LoadCredentials(id, 'lab', file);
  const address = transfer.StartAuthorization(id);
  const match = /^https:\/\/transfer\.lab\.example\/activate\?user_code=([A-Z2-9]{4}-[A-Z2-9]{4})$/.exec(address);
  assert.ok(match, address);
  // Another process completes the authorization while this thread waits.
  const next = file + '.next';
  fs.writeFileSync(next, credentials({ access_token: 'granted', expires_at: '2099-01-01T00:00:00Z', user_code: match[1] }));
  const child = spawn('sh', ['-c', `sleep 0.3 && mv '${next}' '${file}'`]);
  const started = Date.now();
  assert.equal(transfer.WaitAuthorization(id), undefined);
  assert.ok(Date.now() - started >= 250);
  assert.equal(transfer.AccessToken(id), 'granted');
  child.kill();
});

test('deleting a manager ends its pending AuthorizeWithTimeout at once', async (t) => {
  const { file } = setUp(t, {});
  const id = transfer.NewManager();
  transfer.LoadCredentials(id, 'lab', file);
  const started = Date.now();
  const pending = transfer.AuthorizeWithTimeout(id, 3600);
  await new Promise((resolve) => setTimeout(resolve, 100));
  transfer.DeleteManager(id);
  await assert.rejects(pending, { message: `manager ${id} failed to AuthorizeWithTimeout: authorization was cancelled` });
  assert.ok(Date.now() - started < 5000);
});

test('CancelAuthorization from a worker thread ends a WaitAuthorization', (t) => {
  const { Worker } = require('node:worker_threads');
  const { file, id } = setUp(t, {});
  transfer.LoadCredentials(id, 'lab', file);
  transfer.StartAuthorization(id);
  // The worker loads the module into its own environment and cancels after a pause.
  const worker = new Worker(`
    const { workerData } = require('node:worker_threads');
    const transfer = require(workerData.modulePath);
    setTimeout(() => transfer.CancelAuthorization(workerData.id), 300);
  `, { eval: true, workerData: { id, modulePath: require.resolve(require('./load_module.js').modulePath) } });
  t.after(() => worker.terminate());
  assert.throws(() => transfer.WaitAuthorization(id),
    { name: 'Error', message: /^manager \d+ failed to WaitAuthorization: authorization with user code [A-Z2-9-]+ was cancelled$/ });
});
