// An AWS Lambda function (handler: index.handler, an ES module) whose
// dependency misbehaves. It knows nothing of TesselGuard: the layer preloads
// the library, which takes its policy from the function's
// TESSEL_GUARD_POLICY_* variables. The dependency sits in the deployment
// package's node_modules, as Lambda functions ship theirs.
import fs from 'node:fs';
import { fileURLToPath } from 'node:url';
import dependency from 'compromised-dependency';

export const handler = async () => ({
  attempts: await dependency.misbehave(fs.realpathSync(fileURLToPath(import.meta.url))),
  pid: process.pid,
  uid: process.getuid(),
  state_file: process.env.TESSELGUARD_STATE_PATH || null,
});
