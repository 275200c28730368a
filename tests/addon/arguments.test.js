// Export table, argument checks and manager ids.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { transfer } = require('./load_module.js');

const ID = 'expected managerId: number';
const rows = [
  ['Version', [], 'no argument expected'],
  ['NewManager', [], 'no argument expected'],
  ['DeleteManager', ['number'], ID],
  ['LoadCredentials', ['number', 'string', 'string'], 'expected managerId: number, organization: string, path: string'],
  ['Host', ['number'], ID],
  ['SetHost', ['number', 'string'], 'expected managerId: number, host: string'],
  ['AccessToken', ['number'], ID],
  ['SetAccessToken', ['number', 'string'], 'expected managerId: number, accessToken: string'],
  ['TransportConcurrency', ['number'], ID],
  ['SetTransportConcurrency', ['number', 'number'], 'expected managerId: number, concurrency: number'],
  ['TransportUploadLimit', ['number'], ID],
  ['SetTransportUploadLimit', ['number', 'number'], 'expected managerId: number, limit: number'],
  ['TransportUploadBurst', ['number'], ID],
  ['SetTransportUploadBurst', ['number', 'number'], 'expected managerId: number, burst: number'],
  ['TransportDownloadLimit', ['number'], ID],
  ['SetTransportDownloadLimit', ['number', 'number'], 'expected managerId: number, limit: number'],
  ['TransportDownloadBurst', ['number'], ID],
  ['SetTransportDownloadBurst', ['number', 'number'], 'expected managerId: number, burst: number'],
  ['MaxStorageOperationRetries', ['number'], ID],
  ['SetMaxStorageOperationRetries', ['number', 'number'], 'expected managerId: number, retries: number'],
  ['MaxStorageOperationConcurrency', ['number'], ID],
  ['SetMaxStorageOperationConcurrency', ['number', 'number'], 'expected managerId: number, concurrency: number'],
  ['CredentialsFileUsed', ['number'], ID],
  ['RefreshToken', ['number'], ID],
  ['StartAuthorization', ['number'], ID],
  ['WaitAuthorization', ['number'], ID],
  ['CancelAuthorization', ['number'], ID],
  ['Authorize', ['number'], ID],
  ['AuthorizeWithTimeout', ['number', 'number'], 'expected managerId: number, timeout: number'],
  ['EnqueueDownloads', ['number', 'string', 'string|string[]', 'string', 'string[]'],
    'expected managerId: number, queueId: string, fromPaths: string | string[], toDirectory: string, storages: string[]'],
  ['EnqueueUploads', ['number', 'string', 'string|string[]', 'string', 'string|undefined', 'string[]'],
    'expected managerId: number, queueId: string, fromPath: string | string[], toPath: string, calibrationId: string | undefined, storages: string[]'],
  ['ExecuteQueue', ['number', 'string'], 'expected managerId: number, queueId: string'],
  ['Download', ['number', 'string', 'string', 'string[]'],
    'expected managerId: number, fromPath: string, toDirectory: string, storages: string[]'],
  ['Upload', ['number', 'string', 'string', 'string|undefined', 'string[]'],
    'expected managerId: number, fromPath: string, toPath: string, calibrationId: string | undefined, storages: string[]'],
  ['CheckStorage', ['number', 'string'], 'expected managerId: number, storageId: string'],
  ['RelocateStorage', ['number', 'string', 'string'], 'expected managerId: number, storageId: string, url: string'],
  ['CalibrationRegistryDefaultInitialize', [], 'no argument expected'],
  ['CalibrationRegistryLoadPath', ['string'], 'expected path: string'],
  ['CalibrationRegistryClear', [], 'no argument expected'],
  ['CalibrationRegistryGetCameraIdentifiers', [], 'no argument expected'],
  ['AddLogDirectory', ['string'], 'expected path: string'],
  ['CloudSyncRegisterNew', ['number', 'string', 'string'], 'expected managerId: number, syncRootPath: string, iconResource: string'],
  ['CloudSyncConnectExisting', ['number', 'string', 'string'], 'expected managerId: number, syncRootPath: string, iconResource: string'],
  ['CloudSyncUnregister', ['number'], ID],
];

// Values of the wrong type for each accepted kind.
const wrongValues = {
  'number': ['3', null, undefined, {}, 3n],
  'string': [3, null, undefined, ['a']],
  'string[]': ['a', null, undefined, 3],
  'string|string[]': [3, null, undefined, {}],
  'string|undefined': [null, 3, ['a']],
};

// Manager 0 never exists, so well-typed calls fail in the library, never in the checks.
const goodValue = { 'number': 0, 'string': 'x', 'string[]': [], 'string|string[]': 'x', 'string|undefined': undefined };

function assertTypeError(fn, message) {
  assert.throws(fn, (error) => error instanceof TypeError && error.message === message);
}

test('exports the 44 functions in their order', () => {
  assert.deepEqual(Object.keys(transfer), rows.map(([name]) => name));
  for (const [name] of rows) assert.equal(typeof transfer[name], 'function', name);
});

test('every export checks its argument count and types with its message', () => {
  for (const [name, kinds, message] of rows) {
    const good = kinds.map((kind) => goodValue[kind]);
    assertTypeError(() => transfer[name](...good, 0), message);
    if (kinds.length > 0) assertTypeError(() => transfer[name](...good.slice(0, -1)), message);
    kinds.forEach((kind, position) => {
      for (const wrong of wrongValues[kind]) {
        const args = [...good];
        args[position] = wrong;
        assertTypeError(() => transfer[name](...args), message);
      }
    });
  }
});

test('types are checked left to right before the manager id is parsed', () => {
  assertTypeError(() => transfer.SetHost(300, 5), 'expected managerId: number, host: string');
  assertTypeError(() => transfer.Upload(300, 'a', 'b', null, []),
    'expected managerId: number, fromPath: string, toPath: string, calibrationId: string | undefined, storages: string[]');
});

test('manager ids 0 and 255 reach the library, 256 and -1 do not', () => {
  assert.throws(() => transfer.DeleteManager(255), { name: 'Error', message: 'manager 255 failed to cleanup: no manager with id 255' });
  assert.throws(() => transfer.DeleteManager(0), { name: 'Error', message: 'manager 0 failed to cleanup: no manager with id 0' });
  for (const id of [256, -1, 1e20, -0.5 - 1]) {
    assert.throws(() => transfer.DeleteManager(id), (e) => e instanceof RangeError && e.message === 'ManagerId out of range for uint8_t');
    assert.throws(() => transfer.Upload(id, 'a', 'b', undefined, []), RangeError);
  }
  assert.throws(() => transfer.SetHost(256, 'h'), RangeError);
});

test('a fractional manager id is cut toward zero; NaN means 0', () => {
  assert.throws(() => transfer.SetHost(3.9, 'h'), { message: /^manager 3 failed to SetHost: / });
  assert.throws(() => transfer.SetHost(-0.9, 'h'), { message: /^manager 0 failed to SetHost: / });
  assert.throws(() => transfer.SetHost(NaN, 'h'), { message: /^manager 0 failed to SetHost: / });
  const id = transfer.NewManager();
  try {
    transfer.SetHost(id + 0.7, 'https://example.org');
    assert.equal(transfer.Host(id), 'https://example.org');
  } finally {
    transfer.DeleteManager(id);
  }
});

test('a non-string element of a storage list throws Error synchronously', () => {
  assert.throws(() => transfer.Download(1, 'a', 'b', ['s', 5]),
    (e) => e.constructor === Error && e.message === 'A string was expected');
  assert.throws(() => transfer.EnqueueUploads(1, 'q', ['a', {}], 'b', undefined, []),
    (e) => e.constructor === Error && e.message === 'A string was expected');
});
