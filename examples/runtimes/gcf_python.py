"""Local stand-in for the Google Cloud Functions Python runtime.

Imports main.py from X_GOOGLE_CODE_LOCATION, calls the entry point named by
FUNCTION_TARGET once with a small request, and hands its JSON result to the
demo runner on descriptor DEMO_RESULT_FD.
"""
import importlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import demo_runtime  # noqa: E402


class Request:
    method = "POST"
    path = "/"
    args = {}

    def get_json(self, silent=True):
        return {"source": "tesselguard-demo"}


def main():
    sys.path.insert(0, os.environ["X_GOOGLE_CODE_LOCATION"])
    entry_point = getattr(importlib.import_module("main"), os.environ["FUNCTION_TARGET"])
    demo_runtime.hand_back(entry_point(Request()))


if __name__ == "__main__":
    main()
