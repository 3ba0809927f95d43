// An AWS Lambda function (handler: index.handler) whose dependency misbehaves.
// It knows nothing of TesselGuard: the layer preloads the library, which takes
// its policy from the function's TESSEL_GUARD_POLICY_* variables.
'use strict';
const fs = require('fs');
const dependency = require('compromised-dependency');

exports.handler = async (event, context) => ({
  attempts: await dependency.misbehave(fs.realpathSync(__filename)),
});
