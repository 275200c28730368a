// The camera calibration registry is shared by libtarn and the module.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { transfer, repoRoot, scratchDirectory, managerWithStorage } = require('./load_module.js');

const camera = {
  make: 'Acme', model: 'X100', cfa: 'kMono', whiteLevel: 4095,
  isoData: [
    { iso: 100, blackLevel: 256, gain: 0.8, noise: 2.5 },
    { iso: 400, blackLevel: 260, gain: 3.2, noise: 4.0 },
  ],
};

test('loaded calibrations appear among the camera identifiers until cleared', (t) => {
  const dir = scratchDirectory(t);
  const file = path.join(dir, 'acme.json');
  fs.writeFileSync(file, JSON.stringify(camera));
  fs.writeFileSync(path.join(dir, 'other.json'), JSON.stringify({ ...camera, model: 'Y200' }));
  t.after(() => transfer.CalibrationRegistryClear());

  transfer.CalibrationRegistryClear();
  assert.equal(transfer.CalibrationRegistryLoadPath(file), 1);
  const cameras = transfer.CalibrationRegistryGetCameraIdentifiers();
  assert.deepEqual(Object.keys(cameras).sort(), ['Acme_X100_ISO100', 'Acme_X100_ISO400']);
  for (const metadata of Object.values(cameras)) assert.equal(typeof metadata, 'string');
  assert.equal(Object.getPrototypeOf(cameras), Object.prototype);

  assert.equal(transfer.CalibrationRegistryLoadPath(dir), 2);
  assert.equal(Object.keys(transfer.CalibrationRegistryGetCameraIdentifiers()).length, 4);
  assert.equal(transfer.CalibrationRegistryClear(), undefined);
  assert.deepEqual(transfer.CalibrationRegistryGetCameraIdentifiers(), {});
});

test('an upload with a calibration id prepares with it; an unknown id fails the upload', async (t) => {
  const sample = path.join(repoRoot, 'samples', 'sample-16bit.tif');
  if (!fs.existsSync(sample)) return t.skip('no bundled sample');
  const { id, dir, root } = await managerWithStorage(t);
  const file = path.join(dir, 'acme.json');
  fs.writeFileSync(file, JSON.stringify(camera));
  t.after(() => transfer.CalibrationRegistryClear());
  transfer.CalibrationRegistryLoadPath(file);

  await assert.rejects(transfer.Upload(id, sample, 'unknown.tif', 'Nobody_Z1_ISO100', []),
    { message: `manager ${id} failed to Upload: no calibration 'Nobody_Z1_ISO100' is loaded; load its calibration file first` });
  assert.deepEqual(fs.readdirSync(root), []);

  assert.equal(await transfer.Upload(id, sample, 'prepared.tif', 'Acme_X100_ISO100', []), null);
  const out = path.join(dir, 'out');
  fs.mkdirSync(out);
  await transfer.Download(id, 'prepared.tif', out, []);
  assert.equal(fs.statSync(path.join(out, 'prepared.tif')).size, fs.statSync(sample).size);
});
