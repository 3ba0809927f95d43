// What the Node.js runtime stand-ins share: handing the result back, and the
// fallback configuration when the library cannot sit at the layer path.
'use strict';
const fs = require('fs');

// The same runtime names as the library's own self-configuration.
const RUNTIMES = {
  'AWS_Lambda_nodejs10.x': ['Node.js', '10.x'],
  'AWS_Lambda_python3.7': ['Python', '3.7'],
  'AWS_Lambda_ruby2.5': ['Ruby', '2.5'],
};

function handBack(result) {
  // process.env reads the live environment, where the library set the path.
  const payload = { ...(result || {}), state_file: process.env.TESSELGUARD_STATE_PATH || null };
  const fd = Number(process.env.DEMO_RESULT_FD);
  fs.writeSync(fd, JSON.stringify(payload));
  fs.closeSync(fd);
}

// Without mount namespaces the runner cannot put the library at the layer
// path, so it does not configure itself; the runner then sets
// TESSELGUARD_DEMO_CONFIGURE and this makes the configuration call with the
// document the library would have built from the same variables.
function configureLikeTheLayer() {
  if (process.env.TESSELGUARD_DEMO_CONFIGURE !== '1') return;
  const env = process.env;
  const document = {};
  if (env.TESSEL_GUARD_DISABLE_ANALYTICS === 'true') document.disable_analytics = true;
  document.policy = {};
  for (const rule of ['READ_WRITE_TMP', 'CREATE_CHILD_PROCESS', 'OUTBOUND_CONNECTIVITY']) {
    const value = env[`TESSEL_GUARD_POLICY_${rule}`];
    if (value !== undefined) document.policy[rule.toLowerCase()] = value;
  }
  if (env.AWS_EXECUTION_ENV !== undefined) {
    [document.runtime, document.runtime_version] = RUNTIMES[env.AWS_EXECUTION_ENV] || ['Layer', env.AWS_EXECUTION_ENV];
  }
  const addon = require(env.TESSELGUARD_NODE_ADDON);
  if (!addon.configure(env.LD_PRELOAD, JSON.stringify(document))) {
    throw new Error('TesselGuard refused the configuration');
  }
}

module.exports = { handBack, configureLikeTheLayer };
