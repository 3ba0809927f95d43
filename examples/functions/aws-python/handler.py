"""An AWS Lambda function (handler: handler.handle) whose dependency misbehaves.

It knows nothing of TesselGuard: the layer preloads the library, which takes
its policy from the function's TESSEL_GUARD_POLICY_* variables.
"""
import os

import compromised_dependency


def handle(event, context):
    return {"attempts": compromised_dependency.misbehave(os.path.realpath(__file__))}
