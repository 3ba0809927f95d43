// A Google Cloud Function (entry point: handle, signature type http) that
// protects itself with the tesselguard npm package. The package finds the
// library already in the process (the function's variables preload it) and
// makes the configuration call. This module is loaded by the functions
// framework in the function's first process: started through its launcher,
// that is env, which execs node in place.
'use strict';
const fs = require('fs');
const tesselguard = require('tesselguard');
const dependency = require('compromised-dependency');

const POLICY = {
  read_write_tmp: 'block',
  read_handler: 'alert',
  create_child_process: 'alert',
  outbound_connectivity: 'block',
};

// The runtime ("Node.js", the package's default) lets the library find this
// file (index.js) for the read_handler rule. A refusal throws. Keep the
// cookie: any later configuration call must carry it.
const COOKIE = tesselguard.configure({ policy: POLICY, disableAnalytics: true });

exports.handle = async (req, res) => {
  res.json({
    attempts: await dependency.misbehave(fs.realpathSync(__filename)),
    pid: process.pid,
    uid: process.getuid(),
    state_file: process.env.TESSELGUARD_STATE_PATH || null,
  });
};
