#!/usr/bin/env python3
"""Runs one command-line scenario of a program and checks everything it printed and left.

    run_cli_case.py CASE.json linux|windows WORK_DIR [EMULATOR...] PROGRAM

A case (every key optional; a missing "stdout" or "stderr" means nothing printed, "status" 0):
"platforms" (elsewhere the case is skipped, exit 77), "args" (strings, or {"hex": ...} for raw
bytes), "files" made in WORK_DIR before the run and "expect_files" after it ({"path": ..., "text"
or "hex": ...}), "stdout"/"stderr" (lines, each gets a line feed; {"include": FILE} inserts a file
beside the case verbatim; "{threads}" is the number of hardware threads), "status", and
"expect_tree" (the complete tree of WORK_DIR afterwards, directories with a "/" after them).
The program runs in WORK_DIR, emptied first. On Windows its streams must be UTF-16LE text with
CRLF line ends, on Linux UTF-8.
"""

import difflib
import json
import os
import pathlib
import shutil
import subprocess
import sys

SKIPPED = 77


def expected_text(lines, case_dir, threads):
    parts = []
    for item in lines or []:
        if isinstance(item, dict):
            with open(os.path.join(case_dir, item["include"]), encoding="utf-8", newline="") as f:
                parts.append(f.read())
        else:
            parts.append(item.replace("{threads}", threads) + "\n")
    return "".join(parts)


def content_of(entry):
    return entry["text"].encode("utf-8") if "text" in entry else bytes.fromhex(entry["hex"])


def decode_stream(data, platform):
    """The text of one output stream (bytes of another encoding differ from any expected text),
    and a complaint about its line ends or None."""
    if platform != "windows":
        return data.decode("utf-8", errors="backslashreplace"), None
    text = data.decode("utf-16-le", errors="backslashreplace")
    lf_only = "\n" in text.replace("\r\n", "")
    return text.replace("\r\n", "\n"), "a line end without carriage return" if lf_only else None


def tree_of(scratch):
    entries = []
    for directory, dirs, files in os.walk(scratch):
        rel = os.path.relpath(directory, scratch).replace(os.sep, "/")
        prefix = "" if rel == "." else rel + "/"
        entries += [prefix + d + "/" for d in dirs] + [prefix + f for f in files]
    return sorted(entries)


def difference(label, expected, actual):
    """A line diff of repr() lines, so tabs, CRs and trailing spaces are visible."""
    return "\n".join(difflib.unified_diff([repr(line) for line in expected], [repr(line) for line in actual],
                                          "expected " + label, "actual " + label, lineterm=""))


def main():
    case_file, platform, scratch = sys.argv[1], sys.argv[2], os.path.abspath(sys.argv[3])
    command = [os.path.abspath(c) if os.path.exists(c) else c for c in sys.argv[4:]]
    with open(case_file, encoding="utf-8") as f:
        case = json.load(f)
    case_dir = os.path.dirname(os.path.abspath(case_file))
    if platform not in case.get("platforms", [platform]):
        print("only on %s, skipped on %s" % (", ".join(case["platforms"]), platform))
        return SKIPPED

    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    for entry in case.get("files", []):
        path = os.path.join(scratch, entry["path"])
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content_of(entry))

    threads = str(os.cpu_count() or 1)
    args = [a if isinstance(a, str) else bytes.fromhex(a["hex"]) for a in case.get("args", [])]
    print("command: %s" % " ".join(repr(a) if isinstance(a, bytes) else a for a in command + args))
    result = subprocess.run(command + args, cwd=scratch, stdin=subprocess.DEVNULL, capture_output=True)

    failures = []
    streams = {}
    for label, data in (("stdout", result.stdout), ("stderr", result.stderr)):
        text, problem = decode_stream(data, platform)
        streams[label] = text
        if problem:
            failures.append("%s holds %s" % (label, problem))
        want = expected_text(case.get(label), case_dir, threads)
        if text != want:
            failures.append("%s differs:\n" % label + difference(label, want.splitlines(True), text.splitlines(True)))
    if result.returncode != case.get("status", 0):
        failures.append("exit status %d, expected %d" % (result.returncode, case.get("status", 0)))
    for entry in case.get("expect_files", []):
        path = pathlib.Path(scratch, entry["path"])
        data = path.read_bytes() if path.is_file() else None
        if data != content_of(entry):
            failures.append(entry["path"] + (": missing" if data is None else ": content differs, got %r" % data[:200]))
    if "expect_tree" in case and tree_of(scratch) != sorted(case["expect_tree"]):
        failures.append("tree differs:\n" + difference("tree", sorted(case["expect_tree"]), tree_of(scratch)))

    for failure in failures:
        print("FAILED: " + failure)
    if failures:
        print("--- stdout ---\n%s--- stderr ---\n%s" % (streams["stdout"], streams["stderr"]))
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
