// Loads build/lib/transfer.node (or the file named by TARN_TRANSFER_MODULE) and
// gives tests scratch directories and storages.
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const repoRoot = path.resolve(__dirname, '..', '..');
const modulePath = process.env.TARN_TRANSFER_MODULE || path.join(repoRoot, 'build', 'lib', 'transfer.node');
const transfer = require(modulePath);

function scratchDirectory(t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'transfer-test-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

// A manager whose storage "main" is a fresh directory; deleted after the test.
async function managerWithStorage(t) {
  const dir = scratchDirectory(t);
  const root = path.join(dir, 'storage');
  fs.mkdirSync(root);
  const id = transfer.NewManager();
  t.after(() => transfer.DeleteManager(id));
  await transfer.RelocateStorage(id, 'main', 'file://' + root);
  return { id, dir, root };
}

function writeRandomFile(file, size) {
  const chunk = 1 << 20;
  const fd = fs.openSync(file, 'w');
  for (let written = 0; written < size; written += chunk) {
    const bytes = require('node:crypto').randomBytes(Math.min(chunk, size - written));
    fs.writeSync(fd, bytes);
  }
  fs.closeSync(fd);
}

module.exports = { transfer, modulePath, repoRoot, scratchDirectory, managerWithStorage, writeRandomFile };
