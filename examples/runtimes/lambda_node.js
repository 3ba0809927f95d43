// Local stand-in for the AWS Lambda Node.js runtime.
// Loads the handler named by _HANDLER ("module.function") from
// LAMBDA_TASK_ROOT, invokes it once with a small event, and hands its JSON
// result to the demo runner on descriptor DEMO_RESULT_FD. Everything the
// function prints goes to standard output, the function's log.
'use strict';
const path = require('path');
const runtime = require('./demo_runtime');

async function main() {
  runtime.configureLikeTheLayer();
  const handlerSetting = process.env._HANDLER;
  const dot = handlerSetting.lastIndexOf('.');
  const module = require(path.join(process.env.LAMBDA_TASK_ROOT, handlerSetting.slice(0, dot)));
  const context = {
    functionName: process.env.AWS_LAMBDA_FUNCTION_NAME,
    awsRequestId: '00000000-0000-4000-8000-000000000000',
  };
  runtime.handBack(await module[handlerSetting.slice(dot + 1)]({ source: 'tesselguard-demo' }, context));
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
