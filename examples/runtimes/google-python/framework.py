"""The demo's stand-in for Google's Python functions framework: a Flask app
that gunicorn serves, the way the platform serves Python functions.

It imports main.py from the working directory (the platform's /workspace)
and answers every request on "/" with the entry point named by
FUNCTION_TARGET (signature type http: the function takes the request and
returns the response).
"""
import importlib
import os
import sys

import flask

sys.path.insert(0, os.getcwd())
_function = getattr(importlib.import_module("main"), os.environ["FUNCTION_TARGET"])

app = flask.Flask("functions_framework")


@app.route("/", methods=["GET", "POST"])
def invoke():
    return flask.make_response(_function(flask.request))
