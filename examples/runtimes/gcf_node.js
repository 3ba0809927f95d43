// Local stand-in for the Google Cloud Functions Node.js runtime.
// Requires index.js from X_GOOGLE_CODE_LOCATION, calls the entry point named
// by FUNCTION_TARGET once with a small request, and hands what it sends back
// to the demo runner on descriptor DEMO_RESULT_FD.
'use strict';
const path = require('path');
const runtime = require('./demo_runtime');

async function main() {
  const module = require(path.join(process.env.X_GOOGLE_CODE_LOCATION, 'index.js'));
  const request = { method: 'POST', path: '/', body: { source: 'tesselguard-demo' } };
  let sent = null;
  const response = {
    status() { return response; },
    json(body) { sent = body; },
    send(body) { sent = body; },
  };
  await module[process.env.FUNCTION_TARGET](request, response);
  runtime.handBack(sent);
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
