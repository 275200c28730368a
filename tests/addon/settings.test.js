// Settings, host and token, calibration registry, log directories and cloud sync.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { transfer, scratchDirectory } = require('./load_module.js');

function newManager(t) {
  const id = transfer.NewManager();
  t.after(() => transfer.DeleteManager(id));
  return id;
}

test('new managers get distinct ids from 1 to 255 and have the default settings', (t) => {
  const a = newManager(t);
  const b = newManager(t);
  assert.ok(a >= 1 && a <= 255 && b >= 1 && b <= 255 && a !== b);
  assert.equal(transfer.TransportConcurrency(a), 4);
  assert.equal(transfer.TransportUploadLimit(a), 0);
  assert.equal(transfer.TransportDownloadLimit(a), 0);
  assert.equal(transfer.TransportUploadBurst(a), 1048576);
  assert.equal(transfer.TransportDownloadBurst(a), 1048576);
  assert.equal(transfer.MaxStorageOperationRetries(a), 3);
  assert.equal(transfer.MaxStorageOperationConcurrency(a), 4);
  assert.equal(transfer.Host(a), '');
  assert.equal(transfer.AccessToken(a), '');
  assert.equal(transfer.CredentialsFileUsed(a), '');
});

test('setters pass their value on and getters read it back', (t) => {
  const id = newManager(t);
  transfer.SetTransportUploadLimit(id, 1.5e3);
  assert.equal(transfer.TransportUploadLimit(id), 1500);
  transfer.SetTransportDownloadLimit(id, 2048.9);
  assert.equal(transfer.TransportDownloadLimit(id), 2048);
  transfer.SetTransportConcurrency(id, 7);
  assert.equal(transfer.TransportConcurrency(id), 7);
  transfer.SetTransportUploadBurst(id, 0);
  assert.equal(transfer.TransportUploadBurst(id), 0);
  transfer.SetTransportDownloadBurst(id, 65536);
  assert.equal(transfer.TransportDownloadBurst(id), 65536);
  transfer.SetMaxStorageOperationRetries(id, 0);
  assert.equal(transfer.MaxStorageOperationRetries(id), 0);
  transfer.SetMaxStorageOperationConcurrency(id, 2);
  assert.equal(transfer.MaxStorageOperationConcurrency(id), 2);
  transfer.SetHost(id, 'https://transfer.example.org');
  assert.equal(transfer.Host(id), 'https://transfer.example.org');
  transfer.SetAccessToken(id, 'tøken');
  assert.equal(transfer.AccessToken(id), 'tøken');
});

test('values the library refuses throw the manager error text', (t) => {
  const id = newManager(t);
  // -1 reaches the library as the 32-bit pattern 0xffffffff, a negative burst.
  assert.throws(() => transfer.SetTransportUploadBurst(id, -1),
    { name: 'Error', message: `manager ${id} failed to SetTransportUploadBurst: upload burst must not be negative` });
  assert.equal(transfer.TransportUploadBurst(id), 1048576);
  assert.throws(() => transfer.SetTransportConcurrency(id, 0),
    { message: `manager ${id} failed to SetTransportConcurrency: transport concurrency must be between 1 and 256` });
  assert.throws(() => transfer.SetMaxStorageOperationConcurrency(id, -1),
    { message: /^manager \d+ failed to SetMaxStorageOperationConcurrency: / });
  assert.equal(transfer.TransportConcurrency(id), 4);
});

test('string getters of an unknown manager throw "no manager found with id"', () => {
  for (const name of ['Host', 'AccessToken', 'CredentialsFileUsed', 'StartAuthorization']) {
    assert.throws(() => transfer[name](254), { name: 'Error', message: 'no manager found with id 254' });
  }
  assert.equal(transfer.TransportConcurrency(254), 0);
  assert.throws(() => transfer.SetHost(254, 'h'), { message: 'manager 254 failed to SetHost: no manager with id 254' });
  assert.throws(() => transfer.WaitAuthorization(254), { message: 'manager 254 failed to WaitAuthorization: no manager with id 254' });
});

test('a deleted manager is gone and DeleteManager twice reports cleanup', () => {
  const id = transfer.NewManager();
  assert.equal(transfer.DeleteManager(id), undefined);
  assert.throws(() => transfer.Host(id), { message: `no manager found with id ${id}` });
  assert.throws(() => transfer.DeleteManager(id), { message: `manager ${id} failed to cleanup: no manager with id ${id}` });
});

test('the version comes from the library', () => {
  assert.match(transfer.Version(), /^\d+\.\d+\.\d+$/);
});

test('calibration registry functions', () => {
  transfer.CalibrationRegistryClear();
  assert.deepEqual(transfer.CalibrationRegistryGetCameraIdentifiers(), {});
  assert.equal(typeof transfer.CalibrationRegistryDefaultInitialize(), 'number');
  assert.equal(transfer.CalibrationRegistryLoadPath('/nonexistent/calibration.json'), 0);
  transfer.CalibrationRegistryClear();
  assert.deepEqual(Object.keys(transfer.CalibrationRegistryGetCameraIdentifiers()), []);
});

test('AddLogDirectory checks the parent and the path, and creates nothing', (t) => {
  const dir = scratchDirectory(t);
  const missingParent = path.join(dir, 'missing', 'logs');
  assert.throws(() => transfer.AddLogDirectory(missingParent), { name: 'Error', message: missingParent + ': No such file or directory' });
  const file = path.join(dir, 'file.txt');
  fs.writeFileSync(file, 'x');
  assert.throws(() => transfer.AddLogDirectory(file), { name: 'Error', message: file + ': Not a directory' });
  assert.throws(() => transfer.AddLogDirectory(path.join(file, 'logs')), { message: path.join(file, 'logs') + ': No such file or directory' });
  const fresh = path.join(dir, 'logs');
  assert.equal(transfer.AddLogDirectory(fresh), undefined);
  assert.equal(fs.existsSync(fresh), false);
  assert.equal(transfer.AddLogDirectory(dir), undefined);
});

test('cloud sync is not available on this platform', (t) => {
  const id = newManager(t);
  for (const name of ['CloudSyncRegisterNew', 'CloudSyncConnectExisting']) {
    assert.throws(() => transfer[name](id, '/tmp/root', 'icon.ico'),
      (e) => e instanceof TypeError && e.message === 'Cloud Sync is not available in this platform');
  }
  assert.equal(transfer.CloudSyncUnregister(id), undefined);
  assert.throws(() => transfer.CloudSyncUnregister(256), RangeError);
});

test('when all 255 ids are taken NewManager throws and ids free up again', () => {
  const ids = [];
  try {
    for (;;) {
      let id;
      try {
        id = transfer.NewManager();
      } catch (error) {
        assert.equal(error.constructor, Error);
        assert.equal(error.message, 'failed to initialize new Manager');
        break;
      }
      ids.push(id);
      assert.ok(ids.length <= 255);
    }
    assert.ok(new Set(ids).size === ids.length);
    transfer.DeleteManager(ids.pop());
    ids.push(transfer.NewManager());
  } finally {
    for (const id of ids) transfer.DeleteManager(id);
  }
});
