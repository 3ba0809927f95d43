"""Local stand-in for the AWS Lambda Python runtime.

Loads the handler named by _HANDLER ("module.function") from LAMBDA_TASK_ROOT,
invokes it once with a small event, and hands its JSON result to the demo
runner on descriptor DEMO_RESULT_FD. Everything the function prints goes to
standard output, the function's log.
"""
import importlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import demo_runtime  # noqa: E402


class Context:
    function_name = os.environ.get("AWS_LAMBDA_FUNCTION_NAME", "")
    aws_request_id = "00000000-0000-4000-8000-000000000000"


def main():
    demo_runtime.configure_like_the_layer()
    module_name, function_name = os.environ["_HANDLER"].rsplit(".", 1)
    sys.path.insert(0, os.environ["LAMBDA_TASK_ROOT"])
    handler = getattr(importlib.import_module(module_name), function_name)
    result = handler({"source": "tesselguard-demo"}, Context())
    demo_runtime.hand_back(result)


if __name__ == "__main__":
    main()
