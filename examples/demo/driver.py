"""Runs the demo functions under the library, the way each platform starts
them, and shows what each attempt of their compromised dependency led to.

Exit status 0 only when every attempt ended as its policy says: allowed with
no alert, allowed with an alert, or refused (errno 222, or exit status 222
for a started program) with an alert.

Usage: driver.py [--build DIR] [--only KEY ...] [--no-namespaces]
"""
import argparse
import json
import os
import sys

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))

import report  # noqa: E402
from endpoints import Collector, SupervisorLog  # noqa: E402
from sandbox import Sandbox  # noqa: E402
from scenarios import EXAMPLES, RULE_OF_ATTEMPT, SCENARIOS  # noqa: E402

BLOCKED = 222


def function_env(scenario, sandbox, supervisor, collector):
    """The platform's environment for one function, and how the library gets
    into it: (env, LD_PRELOAD value or None, LD_LIBRARY_PATH value)."""
    dependencies = os.path.join(EXAMPLES, "dependencies")
    env = {
        "PATH": "/usr/local/bin:/usr/bin:/bin",
        "LANG": "C.UTF-8",
        "TZ": ":UTC",
        "PYTHONPATH": os.path.join(dependencies, "python"),
        "PYTHONDONTWRITEBYTECODE": "1",
        "NODE_PATH": os.path.join(dependencies, "node"),
        "DEMO_COLLECTOR": f"{sandbox.collector_host}:{collector.port}",
    }
    if scenario.platform == "aws":
        env.update({
            "AWS_EXECUTION_ENV": scenario.execution_env,
            "AWS_LAMBDA_FUNCTION_NAME": scenario.function_name,
            "AWS_REGION": "us-east-1",
            "_HANDLER": scenario.handler,
            "LAMBDA_TASK_ROOT": scenario.code,
            "LAMBDA_RUNTIME_DIR": os.path.dirname(scenario.runtime[1]),
            "TESSEL_GUARD_DISABLE_ANALYTICS": "true",
            **scenario.policy_variables(),
        })
        if not sandbox.isolated:
            env["TESSELGUARD_DEMO_CONFIGURE"] = "1"
            env["TESSELGUARD_NODE_ADDON"] = sandbox.addon
        return env, sandbox.library_for_layer(), sandbox.library_lib_dir()
    env.update({
        "X_GOOGLE_FUNCTION_NAME": scenario.function_name,
        "X_GOOGLE_CODE_LOCATION": scenario.code,
        "X_GOOGLE_SUPERVISOR_HOSTNAME": "127.0.0.1",
        "X_GOOGLE_SUPERVISOR_INTERNAL_PORT": str(supervisor.port),
        "FUNCTION_TARGET": "handle",
        "TESSELGUARD_LIBRARY": sandbox.shipped_library(),
        "TESSELGUARD_NODE_ADDON": sandbox.addon,
    })
    return env, None, sandbox.layer_lib


def how_it_runs(scenario, sandbox, supervisor):
    if scenario.platform == "aws":
        variables = " ".join(f"{k}={v}" for k, v in scenario.policy_variables().items())
        if sandbox.isolated:
            loading = "LD_PRELOAD=/opt/lib/libtesselguard.so (the layer); the library configures itself from:"
        else:
            loading = ("LD_PRELOAD=<layer>/lib/libtesselguard.so; the runtime passes tesselguard_configure "
                       "the document the layer path would have built from:")
        return [loading, variables, "read_handler has no variable and stays allow; alerts go to standard output"]
    return [scenario.loads_itself + " with the policy",
            json.dumps(scenario.policy),
            f"alerts go to the supervisor log endpoint http://127.0.0.1:{supervisor.port}/_ah/log"]


def parse_alert(text):
    try:
        record = json.loads(text)
    except ValueError:
        return None
    return record if isinstance(record, dict) and record.get("tessel_guard") is True else None


def collect_log(scenario, run, entries):
    """Splits the function's log into alerts (record, raw text, log entry)
    and other lines."""
    alerts, other = [], []
    for line in run.stdout.splitlines():
        record = parse_alert(line) if scenario.platform == "aws" else None
        if record is not None:
            alerts.append((record, line, None))
        elif line.strip():
            other.append(line)
    for entry in entries:
        payload = entry.get("TextPayload", "")
        record = parse_alert(payload)
        if record is not None:
            alerts.append((record, payload, entry))
        else:
            other.append(f"[supervisor log] {payload}")
    return alerts, other


def alert_matches(attempt, record):
    details = record.get("details", {})
    if record.get("policy") != RULE_OF_ATTEMPT[attempt["attempt"]]:
        return False
    if attempt["attempt"] == "connect":
        return details.get("ip") == "127.0.0.2"
    if attempt["attempt"] == "start_program":
        return details.get("path") == os.path.realpath(attempt["target"])
    return details.get("path") == attempt["target"]


def tried_text(attempt, scenario):
    kind, target = attempt["attempt"], attempt["target"]
    if kind == "write_tmp":
        return f"write {target}"
    if kind == "read_handler":
        return f"read its own source {os.path.relpath(target, os.path.dirname(EXAMPLES))}"
    if kind == "start_program":
        return "start " + " ".join(attempt.get("argv", [target]))
    return f"connect to {target} and send what it found"


def happened_text(attempt, alerts):
    modes = [record.get("mode") for record, _, _ in alerts]
    said = " and ".join(sorted(set(modes)))
    if attempt["outcome"] == "refused":
        text = f"refused with errno {attempt['errno']} ({attempt.get('error', '')})"
    elif attempt["outcome"] == "exited":
        status = attempt["status"]
        text = f"child exited {status}" if status == BLOCKED else f"allowed, the program ran (exit status {status})"
    else:
        text = "allowed"
    return text + (f"; alert record with mode {said}" if alerts else "; no alert")


def check_attempt(attempt, mode, alerts, received, scenario):
    """What is wrong with an attempt's outcome under `mode`; empty when right."""
    wrong = []
    kind = attempt["attempt"]
    if kind == "start_program":
        expected = BLOCKED if mode == "block" else 0
        if attempt["outcome"] != "exited" or attempt.get("status") != expected:
            wrong.append(f"expected the program to exit with status {expected}")
    elif mode == "block":
        if attempt["outcome"] != "refused" or attempt.get("errno") != BLOCKED:
            wrong.append(f"expected a refusal with errno {BLOCKED}")
    elif attempt["outcome"] != "allowed":
        wrong.append("expected the call to go ahead")
    if mode == "allow":
        if alerts:
            wrong.append("expected no alert")
    elif len(alerts) != 1 or alerts[0][0].get("mode") != mode:
        got = ", ".join(f"mode {record.get('mode')}" for record, _, _ in alerts) or "none"
        wrong.append(f"expected one alert record with mode {mode}, got: {got}")
    for record, _, entry in alerts:
        if entry is not None and entry.get("Severity") != "WARNING":
            wrong.append(f"log entry severity {entry.get('Severity')!r}, expected 'WARNING'")
    if kind == "connect":
        loot = f"secrets of {scenario.function_name}".encode()
        arrived = any(loot in data for data in received)
        if mode == "block" and arrived:
            wrong.append("the collector received data although the connection was refused")
        if mode != "block" and not arrived:
            wrong.append("the collector received nothing")
    return wrong


def run_scenario(scenario, sandbox, supervisor, collector):
    report.heading(scenario.title, how_it_runs(scenario, sandbox, supervisor))
    env, preload, library_path = function_env(scenario, sandbox, supervisor, collector)
    run = sandbox.run(scenario.runtime, env, preload=preload, library_path=library_path)
    entries, problems = supervisor.take()
    received = collector.take()
    alerts, other = collect_log(scenario, run, entries)
    try:
        result = json.loads(run.result)
    except ValueError:
        result = {}
    sandbox.remove_state_file(result.get("state_file"))
    ok = run.returncode == 0 and not run.timed_out and not problems

    attempts = result.get("attempts", [])
    for attempt in attempts:
        mine = [a for a in alerts if alert_matches(attempt, a[0])]
        alerts = [a for a in alerts if a not in mine]
        mode = scenario.policy.get(RULE_OF_ATTEMPT[attempt["attempt"]], "allow")
        wrong = check_attempt(attempt, mode, mine, received, scenario)
        ok = ok and not wrong
        report.attempt_line(not wrong, tried_text(attempt, scenario), happened_text(attempt, mine))
        for text in wrong:
            report.problem(f"{text} (rule {RULE_OF_ATTEMPT[attempt['attempt']]} is {mode})")
        for record, raw, entry in mine:
            report.alert_record(record, raw, entry)
    if len(attempts) != len(RULE_OF_ATTEMPT):
        ok = False
        report.problem(f"the function reported {len(attempts)} of {len(RULE_OF_ATTEMPT)} attempts")
    for record, raw, entry in alerts:
        ok = False
        report.problem("alert that no attempt explains:")
        report.alert_record(record, raw, entry)
    for text in problems:
        report.problem("supervisor: " + text)
    if other:
        print("    " + report.paint("the function's other log lines: " + " | ".join(other), "dim"))
    if run.timed_out:
        report.problem("the function did not finish in time")
    if run.returncode != 0:
        report.problem(f"the function exited with status {run.returncode}")
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
    chosen = [s for s in SCENARIOS if not args.only or s.key in args.only]

    sandbox = Sandbox(build, EXAMPLES, use_namespaces=not args.no_namespaces)
    supervisor, collector = SupervisorLog(), Collector()
    failed = []
    try:
        if sandbox.isolated:
            print("Each function runs in its own mount namespace with the layer from "
                  "tesselguard-layer.zip on /opt and a private /tmp.")
        else:
            report.notice(f"mount namespaces unavailable ({sandbox.why_not_isolated}): the library is preloaded "
                          "from the unpacked layer instead of /opt/lib and configured through "
                          "tesselguard_configure with the same policy.")
        print(f"Each function's compromised dependency tries four things; the collector listens on "
              f"{sandbox.collector_host}:{collector.port}.")
        for scenario in chosen:
            if not run_scenario(scenario, sandbox, supervisor, collector):
                failed.append(scenario.key)
    finally:
        supervisor.close()
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
