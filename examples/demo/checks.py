"""What the demo expects of each function run: how each attempt of the
compromised dependency should end under its rule's mode, and how the function
should have started and logged."""
import os

from scenarios import RULE_OF_ATTEMPT

BLOCKED = 222
PROGRAM = "/usr/bin/id"  # what the compromised dependency starts


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
        return f"read its own source {target}"
    if kind == "start_program":
        return "start " + " ".join(attempt.get("argv", [target]))
    return f"connect to {target} and send what it found"


def happened_text(attempt, alerts):
    said = " and ".join(sorted({record.get("mode") for record, _ in alerts}))
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
        got = ", ".join(f"mode {record.get('mode')}" for record, _ in alerts) or "none"
        wrong.append(f"expected one alert record with mode {mode}, got: {got}")
    if kind == "connect":
        loot = f"secrets of {scenario.function_name}".encode()
        arrived = any(loot in data for data in received)
        if mode == "block" and arrived:
            wrong.append("the collector received data although the connection was refused")
        if mode != "block" and not arrived:
            wrong.append("the collector received nothing")
    return wrong


STRUCTURED_ORDER = ["details", "tessel_guard", "timestamp", "policy", "mode", "severity"]


def structured_problem(record):
    """What is wrong with a Google log line; None when it is the record's own
    members followed by "severity":"WARNING"."""
    keys = list(record)
    if keys[-1:] != ["severity"] or record["severity"] != "WARNING":
        return 'no "severity":"WARNING" after the record\'s members'
    if keys != [key for key in STRUCTURED_ORDER if key in record]:
        return "members out of order: " + ", ".join(keys)
    return None


def check_start(scenario, function, result, alerts, user):
    """The lines about how the function started and was served, beyond the
    attempts: [(ok, text, records shown under it)], and the alerts left."""
    lines = []
    pid = result.get("pid") if isinstance(result, dict) else None
    uid = result.get("uid") if isinstance(result, dict) else None
    lines.append((uid == user, f"the function runs as user {uid}" + (
        " (unprivileged, as on the platforms)" if uid == user and user != 0 else f", expected {user}"
        if uid != user else ""), []))
    if scenario.platform == "aws" and scenario.policy.get("read_handler", "allow") != "allow":
        lines.append((pid is not None,
                      f"the runtime loaded {scenario.source} itself during the start phase under read_handler "
                      f"{scenario.policy['read_handler']}: no judgement, no record" if pid is not None else
                      f"the runtime did not load {scenario.source}", []))
    if scenario.platform == "aws":
        own = [a for a in alerts if a[0].get("policy") == "create_child_process"
               and a[0].get("details", {}).get("path") != os.path.realpath(PROGRAM)]
        alerts = [a for a in alerts if a not in own]
        ok = pid == function.pid and not own
        text = (f"the runtime started under create_child_process block: /var/runtime/bootstrap execed "
                f"{scenario.interpreter} in place")
        if ok:
            text += f" (the same process, pid {pid}), no record"
        elif pid is None:
            text += ": it did not serve the invocation"
        elif pid != function.pid:
            text += f": the handler ran in pid {pid}, not in the process the platform started ({function.pid})"
        if own:
            text += f"; {len(own)} record(s) about the runtime's own start"
        lines.append((ok, text, own))
    elif scenario.language == "python":
        ok = pid is not None and pid != function.pid
        text = (f"served by the gunicorn worker (pid {pid}), forked from the master (pid {function.pid}) that "
                "loaded and configured the library" if ok else "the gunicorn worker did not serve the request")
        lines.append((ok, text, []))
    else:
        ok = pid == function.pid
        text = "the function runs in the first process: env loaded the library and execed node in place"
        if ok:
            text += f" (the same process, pid {pid})"
        elif pid is None:
            text += ": it did not serve the request"
        else:
            text += f": served by pid {pid}, not by the process the platform started ({function.pid})"
        lines.append((ok, text, []))
    if scenario.platform == "google":
        wrong = [(structured_problem(record), raw) for record, raw in alerts if structured_problem(record)]
        ok = bool(alerts) and not wrong
        if ok:
            text = ("alert records are structured log lines: one JSON object each, \"severity\":\"WARNING\" after "
                    f"the record's own members, e.g. {alerts[0][1]}")
        elif not alerts:
            text = "no alert record reached the log as a structured line"
        else:
            text = f"{len(wrong)} of {len(alerts)} alert lines are not structured: {wrong[0][0]}: {wrong[0][1]}"
        lines.append((ok, text, []))
    return lines, alerts
