// Only where the demo cannot put the library at the layer path (no mount
// namespaces): preloaded with --require, this makes the configuration call the
// layer would have made from the same variables, from the function's first
// process, through the tesselguard npm package (which configures the library
// already preloaded).
'use strict';
const env = process.env;
const policy = {};
for (const rule of ['READ_WRITE_TMP', 'READ_HANDLER', 'CREATE_CHILD_PROCESS', 'OUTBOUND_CONNECTIVITY']) {
  const value = env[`TESSEL_GUARD_POLICY_${rule}`];
  if (value !== undefined) policy[rule.toLowerCase()] = value;
}
require(env.TESSELGUARD_NODE_PACKAGE).configure({
  policy,
  runtime: 'Node.js',
  runtimeVersion: (env.AWS_EXECUTION_ENV || '').replace('AWS_Lambda_nodejs', ''),
  disableAnalytics: env.TESSEL_GUARD_DISABLE_ANALYTICS === 'true',
});
