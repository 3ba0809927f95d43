// A Google Cloud Function (entry point: handle, signature type http) that
// protects itself. Node.js cannot call into a C library on its own, so a small
// native addon (examples/node-addon, shipped as lib/tesselguard.node) loads
// libtesselguard.so from lib/ (or finds it already there, when the function's
// variables preload it) and makes the configuration call. This module is loaded
// by the functions framework in the function's first process: started through
// its launcher, that is env, which execs node in place.
'use strict';
const fs = require('fs');
const path = require('path');
const dependency = require('compromised-dependency');

const lib = path.join(__dirname, 'lib');
const tesselguard = require(path.join(lib, 'tesselguard.node'));
const POLICY = {
  read_write_tmp: 'block',
  read_handler: 'alert',
  create_child_process: 'alert',
  outbound_connectivity: 'block',
};

// "runtime" lets the library find this file (index.js) for the read_handler
// rule. Keep the cookie: any later configuration call must carry it.
const COOKIE = tesselguard.configure(
  path.join(lib, 'libtesselguard.so'),
  JSON.stringify({ policy: POLICY, runtime: 'Node.js', runtime_version: process.versions.node, disable_analytics: true }),
);

exports.handle = async (req, res) => {
  if (!COOKIE) throw new Error('TesselGuard refused the configuration');
  res.json({
    attempts: await dependency.misbehave(fs.realpathSync(__filename)),
    pid: process.pid,
    uid: process.getuid(),
    state_file: process.env.TESSELGUARD_STATE_PATH || null,
  });
};
