"""The demo's Python Lambda runtime client, a stand-in for the platform's own.

Imports the handler named by _HANDLER ("module.function") from
LAMBDA_TASK_ROOT, then serves invocations from the Runtime API at
AWS_LAMBDA_RUNTIME_API: GET the next event, call the handler, POST its JSON
result (or the error) back. Everything the function prints goes to standard
output, the function's log.
"""
import http.client
import importlib
import json
import os
import sys
import traceback

API = "/2018-06-01/runtime"


class Context:
    def __init__(self, headers):
        self.aws_request_id = headers.get("Lambda-Runtime-Aws-Request-Id", "")
        self.invoked_function_arn = headers.get("Lambda-Runtime-Invoked-Function-Arn", "")
        self.deadline_ms = int(headers.get("Lambda-Runtime-Deadline-Ms", "0") or 0)
        self.function_name = os.environ.get("AWS_LAMBDA_FUNCTION_NAME", "")


def configure_like_the_layer():
    """Only where the demo cannot put the library at the layer path (no mount
    namespaces): make the configuration call the layer would have made from
    the same variables, from this, the function's first process."""
    if os.environ.get("TESSELGUARD_DEMO_CONFIGURE") != "1":
        return
    import ctypes
    policy = {}
    for rule in ("READ_WRITE_TMP", "READ_HANDLER", "CREATE_CHILD_PROCESS", "OUTBOUND_CONNECTIVITY"):
        value = os.environ.get("TESSEL_GUARD_POLICY_" + rule)
        if value is not None:
            policy[rule.lower()] = value
    version = os.environ.get("AWS_EXECUTION_ENV", "").removeprefix("AWS_Lambda_python")
    document = {"policy": policy, "runtime": "Python", "runtime_version": version,
                "disable_analytics": os.environ.get("TESSEL_GUARD_DISABLE_ANALYTICS") == "true"}
    configure = ctypes.CDLL(None).tesselguard_configure
    configure.argtypes = [ctypes.c_char_p]
    if not configure(json.dumps(document).encode()):
        sys.exit("TesselGuard refused the configuration")


def main():
    configure_like_the_layer()
    host = os.environ["AWS_LAMBDA_RUNTIME_API"]
    module_name, function_name = os.environ["_HANDLER"].rsplit(".", 1)
    sys.path.insert(0, os.environ["LAMBDA_TASK_ROOT"])
    handler = getattr(importlib.import_module(module_name), function_name)
    while True:
        api = http.client.HTTPConnection(host)
        api.request("GET", f"{API}/invocation/next")
        reply = api.getresponse()
        event = json.loads(reply.read() or b"null")
        context = Context(reply.headers)
        try:
            body, outcome = json.dumps(handler(event, context)), "response"
        except Exception as error:  # the platform reports any failure of the handler
            traceback.print_exc()
            body = json.dumps({"errorMessage": str(error), "errorType": type(error).__name__})
            outcome = "error"
        api.request("POST", f"{API}/invocation/{context.aws_request_id}/{outcome}", body=body,
                    headers={"Content-Type": "application/json"})
        api.getresponse().read()
        api.close()


if __name__ == "__main__":
    main()
