"""Runs the demo functions under the library, the way each platform starts
them today, invokes each once, and shows what each attempt of their
compromised dependency led to.

Exit status 0 only when the runtime started as it should and every attempt
ended as its policy says: allowed with no alert, allowed with an alert, or
refused (errno 222, or exit status 222 for a started program) with an alert.

Usage: driver.py [--build DIR] [--only KEY ...] [--no-namespaces]
"""
import argparse
import json
import os
import shutil
import sys

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))

import report  # noqa: E402
from checks import alert_matches, check_attempt, check_start, happened_text, tried_text  # noqa: E402
from endpoints import Collector, RuntimeApi, free_port, invoke_http  # noqa: E402
from sandbox import Sandbox  # noqa: E402
from scenarios import EXAMPLES, RULE_OF_ATTEMPT, SCENARIOS  # noqa: E402

TIMEOUT = 60
EVENT = {"source": "tesselguard-demo"}


class Launch:
    """How one function is laid out and started."""

    def __init__(self, argv, env, cwd, preload=None, library_path=None, shown=()):
        self.argv, self.env, self.cwd = argv, env, cwd
        self.preload, self.library_path = preload, library_path
        self.shown = shown  # lines that tell how it runs


def base_env(collector_address):
    return {
        "PATH": "/usr/local/bin:/usr/bin:/bin",
        "LANG": "C.UTF-8",
        "TZ": ":UTC",
        "PYTHONDONTWRITEBYTECODE": "1",
        "DEMO_COLLECTOR": collector_address,
    }


def launch_aws(scenario, sandbox, stage, npm, runtime_api, collector_address):
    stage.copy(scenario.function_folder() + "/", "/var/task/")
    dependencies = os.path.join(EXAMPLES, "dependencies")
    runtimes = os.path.join(EXAMPLES, "runtimes")
    env = {
        **base_env(collector_address),
        "AWS_EXECUTION_ENV": scenario.execution_env,
        "AWS_LAMBDA_FUNCTION_NAME": scenario.function_name,
        "AWS_LAMBDA_FUNCTION_VERSION": "$LATEST",
        "AWS_LAMBDA_FUNCTION_MEMORY_SIZE": "128",
        "AWS_REGION": "us-east-1",
        "AWS_LAMBDA_RUNTIME_API": runtime_api.address,
        "_HANDLER": scenario.handler,
        "LAMBDA_TASK_ROOT": stage.path("/var/task"),
        "LAMBDA_RUNTIME_DIR": stage.path("/var/runtime"),
        "TESSEL_GUARD_DISABLE_ANALYTICS": "true",
        **scenario.policy_variables(),
    }
    if scenario.language == "python":
        stage.copy(os.path.join(dependencies, "python", "compromised_dependency.py"),
                   "/var/task/compromised_dependency.py")
        stage.copy(os.path.join(runtimes, "lambda-python") + "/", "/var/runtime/")
        if not sandbox.isolated:
            env["TESSELGUARD_DEMO_CONFIGURE"] = "1"
        client = "bootstrap.py, a stand-in for the runtime client"
    else:
        stage.copy(os.path.join(dependencies, "node", "compromised-dependency"),
                   "/var/task/node_modules/compromised-dependency")
        for name in ("bootstrap", "configure-like-the-layer.cjs"):
            stage.copy(os.path.join(runtimes, "lambda-nodejs", name), "/var/runtime/" + name)
        stage.link(os.path.join(npm, "lambda-nodejs", "node_modules"), "/var/runtime/node_modules")
        if not sandbox.isolated:
            env["NODE_OPTIONS"] = "--require " + stage.path("/var/runtime/configure-like-the-layer.cjs")
            env["TESSELGUARD_NODE_PACKAGE"] = os.path.join(npm, "tesselguard", "node_modules", "tesselguard")
        client = "aws-lambda-ric from npm"
    variables = " ".join(f"{k}={v}" for k, v in scenario.policy_variables().items())
    if sandbox.isolated:
        loading = "LD_PRELOAD=/opt/lib/libtesselguard.so (the layer); the library configures itself from:"
    else:
        loading = ("LD_PRELOAD=<layer>/lib/libtesselguard.so; the runtime passes tesselguard_configure the "
                   "document the layer path would have built from:")
    shown = (loading, variables,
             f"the platform starts /var/runtime/bootstrap, which execs {scenario.interpreter} in place ({client}); "
             f"it polls the Runtime API on {runtime_api.address}; alerts go to standard output")
    return Launch([stage.path("/var/runtime/bootstrap")], env, "/var/task", sandbox.layer_library(),
                  sandbox.layer_lib_dir(), shown)


def launch_google(scenario, sandbox, stage, npm, port, collector_address):
    stage.copy(scenario.function_folder() + "/", "/var/workspace/")
    dependencies = os.path.join(EXAMPLES, "dependencies")
    env = {
        **base_env(collector_address),
        "K_SERVICE": scenario.function_name,
        "K_REVISION": scenario.function_name + "-00001-dem",
        "K_CONFIGURATION": scenario.function_name,
        "FUNCTION_TARGET": "handle",
        "FUNCTION_SIGNATURE_TYPE": "http",
        "PORT": str(port),
    }
    preload = None
    if scenario.language == "python":
        stage.copy(os.path.join(dependencies, "python", "compromised_dependency.py"),
                   "/var/workspace/compromised_dependency.py")
        stage.copy(os.path.join(EXAMPLES, "runtimes", "google-python", "framework.py"), "/var/runtime/framework.py")
        # The venv that examples/run-demo.sh made: the tesselguard wheel
        # installed with pip, Flask and gunicorn from the system.
        stage.link(os.path.join(sandbox.build_dir, "demo-venv"), "/var/workspace/.venv")
        argv = [stage.path("/var/workspace/.venv/bin/python"), "-m", "gunicorn", "--bind", f"127.0.0.1:{port}",
                "--workers", "1", "--preload", "--pythonpath", stage.path("/var/runtime"), "framework:app"]
        how = ("the venv's python -m gunicorn " + " ".join(argv[3:]) + ", started directly; main.py imports the "
               "tesselguard package (the wheel, installed into the venv with pip) and calls "
               "tesselguard.configure with:")
    else:
        stage.copy(os.path.join(npm, "gcf-node", "node_modules") + "/", "/var/workspace/node_modules/")
        stage.copy(os.path.join(dependencies, "node", "compromised-dependency"),
                   "/var/workspace/node_modules/compromised-dependency")
        # The tesselguard package as npm installed it from its tarball.
        package = os.path.join(npm, "tesselguard", "node_modules", "tesselguard")
        stage.copy(package + "/", "/var/workspace/node_modules/tesselguard/")
        platform_dir = sorted(d for d in os.listdir(os.path.join(package, "lib")) if d.startswith("linux-"))[0]
        argv = [stage.path("/var/workspace/node_modules/.bin/functions-framework")]
        # Preloaded among the function's variables, so the library is in env,
        # the first process, before node replaces it.
        preload = stage.path(f"/var/workspace/node_modules/tesselguard/lib/{platform_dir}/libtesselguard.so")
        how = ("node_modules/.bin/functions-framework (#!/usr/bin/env node) with LD_PRELOAD="
               f"{preload} among the function's variables; index.js calls configure() of the tesselguard "
               "package (installed with npm from its tarball) with:")
    shown = ("K_SERVICE, K_REVISION, K_CONFIGURATION, FUNCTION_TARGET=handle, FUNCTION_SIGNATURE_TYPE=http, "
             f"PORT={port}; no X_GOOGLE_* variables, no supervisor; code in /var/workspace (the working "
             "directory, standing for /workspace)", how, json.dumps(scenario.policy),
             f"invoked with POST http://127.0.0.1:{port}/; alerts go to standard output as structured log lines")
    return Launch(argv, env, "/var/workspace", preload, None, shown)


def parse_alert(text):
    try:
        record = json.loads(text)
    except ValueError:
        return None
    return record if isinstance(record, dict) and record.get("tessel_guard") is True else None


def collect_log(run):
    """Splits the function's log into alerts (record, raw line) and other lines."""
    alerts, other = [], []
    for line in run.stdout.splitlines():
        record = parse_alert(line)
        if record is not None:
            alerts.append((record, line))
        elif line.strip():
            other.append(line)
    return alerts, other


def unjudged_in_worker(scenario, attempts):
    """True when every file and network attempt whose rule is not allow went
    through unrefused and unrecorded in the forked worker."""
    watched = [a for a in attempts if a["attempt"] != "start_program"
               and scenario.policy.get(RULE_OF_ATTEMPT[a["attempt"]], "allow") != "allow"]
    return bool(watched) and all(a["outcome"] == "allowed" and not a.get("alerted") for a in watched)


def run_scenario(scenario, sandbox, npm, collector):
    stage = sandbox.stage(scenario.key)
    runtime_api = port = None
    if scenario.platform == "aws":
        runtime_api = RuntimeApi(scenario.function_name, EVENT)
        launch = launch_aws(scenario, sandbox, stage, npm, runtime_api, f"{sandbox.collector_host}:{collector.port}")
    else:
        port = free_port()
        launch = launch_google(scenario, sandbox, stage, npm, port, f"{sandbox.collector_host}:{collector.port}")
    report.heading(scenario.title, launch.shown, scenario.notes)
    function = sandbox.start(stage, launch.argv, launch.env, launch.cwd, launch.preload, launch.library_path)
    timed_out = True
    try:
        if runtime_api:
            answer = runtime_api.wait(function, TIMEOUT)
            result = answer[1] if answer and answer[0] == "response" else None
            failure = None if result is not None else (f"the runtime answered {answer[0]}: {answer[1]}" if answer
                                                       else "the runtime never answered the invocation")
        else:
            answer = invoke_http(function, port, EVENT, TIMEOUT)
            result = answer[1] if answer and answer[0] == 200 else None
            failure = None if result is not None else (f"the function answered {answer[0]}: {answer[1]}"
                                                       if answer else "the function never answered the request")
        timed_out = answer is None and function.running()
    finally:
        run = function.finish(timed_out=timed_out)
        if runtime_api:
            runtime_api.close()
    received = collector.take()
    alerts, other = collect_log(run)
    result = result if isinstance(result, dict) else {}
    sandbox.remove_state_file(result.get("state_file"))
    ok = failure is None

    start_lines, alerts = check_start(scenario, function, result, alerts, sandbox.function_user)
    for good, text, records in start_lines:
        ok = ok and good
        report.attempt_line(good, text, None)
        for record, raw in records:
            report.alert_record(record, raw)

    attempts = result.get("attempts", [])
    for attempt in attempts:
        mine = [a for a in alerts if alert_matches(attempt, a[0])]
        alerts = [a for a in alerts if a not in mine]
        attempt["alerted"] = bool(mine)
        mode = scenario.policy.get(RULE_OF_ATTEMPT[attempt["attempt"]], "allow")
        wrong = check_attempt(attempt, mode, mine, received, scenario)
        ok = ok and not wrong
        report.attempt_line(not wrong, tried_text(attempt, scenario), happened_text(attempt, mine))
        for text in wrong:
            report.problem(f"{text} (rule {RULE_OF_ATTEMPT[attempt['attempt']]} is {mode})")
        for record, raw in mine:
            report.alert_record(record, raw)
    if scenario.platform == "google" and scenario.language == "python" and unjudged_in_worker(scenario, attempts):
        report.problem("none of the worker's file and network attempts was judged, as with a library that keeps "
                       "only execve and close hooked in a forked child")
    if len(attempts) != len(RULE_OF_ATTEMPT):
        ok = False
        report.problem(f"the function reported {len(attempts)} of {len(RULE_OF_ATTEMPT)} attempts")
    for record, raw in alerts:
        ok = False
        report.problem("alert that no attempt explains:")
        report.alert_record(record, raw)
    if failure:
        report.problem(failure)
    if other:
        print("    " + report.paint("the function's other log lines: " + " | ".join(other), "dim"))
    if run.timed_out:
        ok = False
        report.problem(f"the function did not answer within {TIMEOUT} s")
    if run.exited_early:
        ok = False
        report.problem(f"the function exited with status {run.returncode} before it was stopped")
    if not ok and run.stderr.strip():
        print("    " + report.paint("standard error:", "dim"))
        print(report.indent(run.stderr.rstrip(), "      "))
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build", help="build directory holding tesselguard-layer.zip")
    parser.add_argument("--only", nargs="*", help="run only these scenarios: " +
                        ", ".join(s.key for s in SCENARIOS))
    parser.add_argument("--no-namespaces", action="store_true",
                        help="run without mount namespaces, as where they are unavailable")
    args = parser.parse_args()
    build = os.path.realpath(args.build)
    if not os.path.exists(os.path.join(build, "tesselguard-layer.zip")):
        sys.exit(f"{build}/tesselguard-layer.zip is missing: build the tesselguard_layer target first")
    npm = os.path.join(build, "demo-npm")
    for folder in ("lambda-nodejs", "gcf-node", "tesselguard"):
        if not os.path.isdir(os.path.join(npm, folder, "node_modules")):
            sys.exit(f"{npm}/{folder}/node_modules is missing: examples/run-demo.sh installs it")
    if not os.path.exists(os.path.join(build, "demo-venv", "bin", "python")):
        sys.exit(f"{build}/demo-venv is missing: examples/run-demo.sh makes it")
    chosen = [s for s in SCENARIOS if not args.only or s.key in args.only]

    sandbox = Sandbox(build, EXAMPLES, use_namespaces=not args.no_namespaces)
    collector = Collector()
    failed = []
    try:
        if sandbox.isolated:
            print("Each function runs in its own mount namespace: the layer from tesselguard-layer.zip on /opt, "
                  "the platform's folders on a private /var, a private /tmp.")
        else:
            report.notice(f"mount namespaces unavailable ({sandbox.why_not_isolated}): the functions' folders stay "
                          "in the build directory, and the Lambda functions' library is preloaded from the "
                          "unpacked layer and configured through tesselguard_configure with the same policy.")
        print(f"Each function's compromised dependency tries four things; the collector listens on "
              f"{sandbox.collector_host}:{collector.port}.")
        for scenario in chosen:
            if not run_scenario(scenario, sandbox, npm, collector):
                failed.append(scenario.key)
    finally:
        collector.close()
        sandbox.close()
    print()
    if failed:
        print(report.paint(f"{len(failed)} of {len(chosen)} scenarios did not behave as expected: "
                           + ", ".join(failed), "red", "bold"))
        return 1
    print(report.paint(f"All {len(chosen)} scenarios behaved as their policies say.", "green", "bold"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
