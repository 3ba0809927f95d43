// TesselGuard for Node.js: configure the protection of this function from
// its code. The package carries the library for its platform (lib/<platform>/)
// and loads it at the first call, unless a library is in the process
// already (LD_PRELOAD), which is then the one configured.
'use strict';
const path = require('path');

const RULES = ['read_write_tmp', 'read_handler', 'create_child_process', 'outbound_connectivity'];
const MODES = ['allow', 'alert', 'block'];

// The library's refusals, as it prints them, and what each means here.
const REFUSALS = [
  {
    line: "TesselGuard can only be configured in the function's first process",
    code: 'ERR_TESSELGUARD_NOT_FIRST_PROCESS',
    why: "only the function's first process can configure TesselGuard, and this process was started by another",
  },
  {
    line: 'Please provide a valid cookie from first TesselGuard configure call',
    code: 'ERR_TESSELGUARD_WRONG_COOKIE',
    why: 'the cookie is not the one the first configuration returned (configure() may be called once; ' +
      'a library configured from the TESSEL_GUARD_* variables takes no configuration from code)',
  },
  {
    line: 'Are you trying to brute-force cookie value ?!',
    code: 'ERR_TESSELGUARD_LOCKED',
    why: 'too many calls with a wrong cookie: every further configuration is refused',
  },
];

const platform = `${process.platform}-${process.arch}`;
const libraryPath = path.join(__dirname, 'lib', platform, 'libtesselguard.so');
let addon = null;

function native() {
  if (!addon) {
    try {
      addon = require('./addon/tesselguard.node');
    } catch (cause) {
      throw new Error(`tesselguard: this package holds no library for ${platform}: ${cause.message}`);
    }
  }
  return addon;
}

function configurationText(options, extra) {
  if (options === null || typeof options !== 'object') throw new TypeError('tesselguard: options must be an object');
  const document = { ...extra };
  if (options.policy !== undefined) {
    if (options.policy === null || typeof options.policy !== 'object')
      throw new TypeError('tesselguard: policy must be an object of rule: mode');
    for (const [rule, mode] of Object.entries(options.policy)) {
      if (!RULES.includes(rule))
        throw new TypeError(`tesselguard: unknown rule "${rule}" (rules: ${RULES.join(', ')})`);
      if (!MODES.includes(mode))
        throw new TypeError(`tesselguard: mode of ${rule} must be one of ${MODES.join(', ')}, not ${JSON.stringify(mode)}`);
    }
    document.policy = options.policy;
  }
  if (options.runtime !== undefined && options.runtime !== null) document.runtime = String(options.runtime);
  if (options.runtimeVersion !== undefined) document.runtime_version = String(options.runtimeVersion);
  if (options.disableAnalytics !== undefined) document.disable_analytics = Boolean(options.disableAnalytics);
  return JSON.stringify(document);
}

function call(text) {
  const { cookie, printed } = native().call(libraryPath, text);
  if (cookie !== 0) return cookie;
  const refusal = REFUSALS.find((r) => printed.split('\n').includes(r.line));
  const error = refusal
    ? new Error(`tesselguard: configuration refused: ${refusal.why} ("${refusal.line}")`)
    : new Error('tesselguard: configuration refused: the library is not active in this process');
  error.code = refusal ? refusal.code : 'ERR_TESSELGUARD_REFUSED';
  throw error;
}

// The first configuration: returns the cookie that every later one needs.
// "runtime" defaults to Node.js, which also lets the library find the
// handler file for read_handler; runtime: null leaves it out.
function configure(options = {}) {
  const defaults = options.runtime === undefined ? { runtime: 'Node.js', runtime_version: process.versions.node } : {};
  return call(configurationText(options, defaults));
}

function reconfigure(cookie, options = {}) {
  if (!Number.isInteger(cookie)) throw new TypeError('tesselguard: cookie must be the number configure() returned');
  return call(configurationText(options, { cookie }));
}

module.exports = { configure, reconfigure, libraryPath };
