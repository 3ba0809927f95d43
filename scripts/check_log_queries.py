#!/usr/bin/env python3
"""Runs the README's log queries ("Finding the records") over log lines.

    python3 scripts/check_log_queries.py README.md < log-lines

There is no log service here, so each query is read from the README's
fenced block of its kind and applied with the part of its service's
semantics it relies on:

  cloudwatch-insights  `filter @message like /RE/` selects the events,
                       `parse @message /RE/` names fields from them;
  cloudwatch-metric    a JSON pattern `{ $.a IS TRUE && $.b = "x" }`, on
                       events that are one JSON object;
  cloud-logging        `field=value AND ...` on the entry that the platform
                       makes of a line: a JSON object becomes jsonPayload,
                       less "severity", which sets the entry's severity.

For each line a query selects, prints "<kind> <policy> <mode>" (the policy
and mode as the query itself extracts them, or as the entry holds them).
Exits 1 when a block is missing or a query uses what this script does not
know, so an edited query cannot pass unchecked.
"""
import json
import re
import sys

KINDS = ("cloudwatch-insights", "cloudwatch-metric", "cloud-logging")


def blocks_of(readme):
    """The fenced blocks of each kind in the section "Finding the records"."""
    section = re.split(r"^#+ Finding the records\n", readme, maxsplit=1, flags=re.M)
    if len(section) != 2:
        sys.exit("no section 'Finding the records'")
    section = re.split(r"^##+ ", section[1], maxsplit=1, flags=re.M)[0]
    found = {}
    for kind, body in re.findall(r"^```([a-z-]+)\n(.*?)^```", section, re.S | re.M):
        found.setdefault(kind, []).append(body)
    missing = [k for k in KINDS if k not in found]
    if missing:
        sys.exit(f"no block of kind {', '.join(missing)}")
    return found


def python_regex(text):
    return re.compile(text.replace("(?<", "(?P<"))


def insights(query):
    """The filter and parse patterns of a Logs Insights query."""
    like = parse = None
    for command in (c.strip() for c in query.split("|")):
        if m := re.fullmatch(r"filter @message like /(.*)/", command, re.S):
            like = python_regex(m.group(1))
        elif m := re.fullmatch(r"parse @message /(.*)/", command, re.S):
            parse = python_regex(m.group(1))
        elif not re.match(r"(fields|sort|limit|stats|display) ", command):
            sys.exit(f"unknown Logs Insights command: {command}")
    if not like or not parse:
        sys.exit("the Logs Insights query needs a filter ... like and a parse")

    def select(line):
        if not like.search(line):
            return None
        fields = parse.search(line)
        return (fields.group("policy"), fields.group("mode")) if fields else ("?", "?")

    return select


def selector_value(document, selector):
    for key in selector.split(".")[1:]:
        if not isinstance(document, dict) or key not in document:
            return None
        document = document[key]
    return document


def metric_filter(pattern):
    """A JSON metric filter pattern of conditions joined by &&."""
    m = re.fullmatch(r"\s*\{(.*)\}\s*", pattern, re.S)
    if not m:
        sys.exit("the metric filter is not a JSON pattern")
    tests = []
    for condition in m.group(1).split("&&"):
        if c := re.fullmatch(r"\s*(\$(?:\.\w+)+)\s+IS\s+TRUE\s*", condition):
            tests.append(lambda doc, s=c.group(1): selector_value(doc, s) is True)
        elif c := re.fullmatch(r'\s*(\$(?:\.\w+)+)\s*=\s*"([^"]*)"\s*', condition):
            tests.append(lambda doc, s=c.group(1), v=c.group(2): selector_value(doc, s) == v)
        else:
            sys.exit(f"unknown metric filter condition: {condition}")

    def select(line):
        try:
            document = json.loads(line)
        except ValueError:
            return None
        if isinstance(document, dict) and all(test(document) for test in tests):
            return document.get("policy"), document.get("mode")
        return None

    return select


def log_entry(line):
    """The entry that Cloud Logging makes of a line on standard output."""
    try:
        payload = json.loads(line)
    except ValueError:
        payload = None
    if not isinstance(payload, dict):
        return {"textPayload": line, "severity": "DEFAULT"}
    payload = dict(payload)
    severity = payload.pop("severity", "DEFAULT")
    return {"jsonPayload": payload, "severity": severity}


def logging_filter(text):
    """A Cloud Logging filter of `field=value` comparisons joined by AND."""
    tests = []
    for comparison in re.split(r"\s+AND\s+", " ".join(text.split())):
        c = re.fullmatch(r"([\w.]+)\s*=\s*(\S+)", comparison)
        if not c:
            sys.exit(f"unknown Cloud Logging comparison: {comparison}")
        value = {"true": True, "false": False}.get(c.group(2), c.group(2).strip('"'))
        tests.append(lambda entry, s="$." + c.group(1), v=value: selector_value(entry, s) == v)

    def select(line):
        entry = log_entry(line)
        if all(test(entry) for test in tests):
            return entry["jsonPayload"].get("policy"), entry["jsonPayload"].get("mode")
        return None

    return select


def main():
    with open(sys.argv[1], encoding="utf-8") as readme:
        found = blocks_of(readme.read())
    queries = ([("cloudwatch-insights", insights(q)) for q in found["cloudwatch-insights"]] +
               [("cloudwatch-metric", metric_filter(q)) for q in found["cloudwatch-metric"]] +
               [("cloud-logging", logging_filter(q)) for q in found["cloud-logging"]])
    for line in sys.stdin.read().splitlines():
        for kind, select in queries:
            if (selected := select(line)) is not None:
                print(kind, *selected)


if __name__ == "__main__":
    main()
