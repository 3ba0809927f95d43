"""An AWS Lambda function (handler: lambda_function.lambda_handler) whose
dependency misbehaves.

It knows nothing of TesselGuard: the layer preloads the library, which takes
its policy from the function's TESSEL_GUARD_POLICY_* variables. The
dependency is vendored into the deployment package, as Lambda functions ship
theirs.
"""
import os

import compromised_dependency


def lambda_handler(event, context):
    return {
        "attempts": compromised_dependency.misbehave(os.path.realpath(__file__)),
        "pid": os.getpid(),
        "uid": os.getuid(),
        "state_file": os.environ.get("TESSELGUARD_STATE_PATH"),
    }
