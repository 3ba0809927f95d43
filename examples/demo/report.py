"""How the demo talks to people: one line per attempt, alert records
pretty-printed, colours only on a terminal that wants them."""
import json
import os
import re
import sys

_CODES = {"bold": "1", "dim": "2", "red": "31", "green": "32", "yellow": "33", "blue": "34",
          "magenta": "35", "cyan": "36"}


def _wants_colour():
    return sys.stdout.isatty() and "NO_COLOR" not in os.environ and os.environ.get("TERM") != "dumb"


COLOUR = _wants_colour()


def paint(text, *styles):
    if not COLOUR or not styles:
        return text
    return "\033[" + ";".join(_CODES[s] for s in styles) + "m" + text + "\033[0m"


_MODE_STYLE = {"block": "red", "alert": "yellow"}
_TOKEN = re.compile(r'("(?:[^"\\]|\\.)*")(\s*:)?|\b(true|false|null)\b|(-?\d+(?:\.\d+)?)')


def pretty_json(value):
    """Indented JSON, with keys, strings and the mode word coloured."""
    text = json.dumps(value, indent=2, ensure_ascii=False)
    if not COLOUR:
        return text

    def colour(match):
        string, colon, literal, number = match.groups()
        if string and colon:
            return paint(string, "cyan") + colon
        if string:
            return paint(string, _MODE_STYLE.get(string.strip('"'), "green"))
        if literal:
            return paint(literal, "magenta")
        return paint(number, "blue")

    return _TOKEN.sub(colour, text)


def indent(text, by):
    return "\n".join(by + line for line in text.splitlines())


def heading(title, lines, notes=()):
    print()
    print(paint("▶ " + title, "bold"))
    for line in lines:
        print("  " + paint(line, "dim"))
    for line in notes:
        print("  " + paint("note: " + line, "yellow"))


def attempt_line(ok, tried, happened=None):
    mark = paint("✔", "green") if ok else paint("✘", "red", "bold")
    print(f"  {mark} {tried}" + (f": {happened}" if happened else ""))


def problem(text):
    print("      " + paint("✘ " + text, "red"))


def alert_record(record, raw):
    """An alert as the log holds it, pretty-printed."""
    if record is None:
        print(indent(raw, "      "))
    else:
        print(indent(pretty_json(record), "      "))


def notice(text):
    print(paint("note: " + text, "yellow"))
