#!/usr/bin/env python3
"""Runs one command-line scenario of a program and checks everything it printed.

    run_cli_case.py CASE.json --platform linux|windows [--work-dir DIR] -- [EMULATOR...] PROGRAM

The case file describes one scenario. Every key is optional: no "args" means no arguments,
a missing "stdout" or "stderr" means that nothing may be printed there, a missing "status" 0.

    {
      "description": "what the scenario shows",
      "platforms": ["linux"],               only on these platforms; elsewhere the case is skipped
      "args": ["-c", "data", {"hex": "ff"}],   an argument is a string or raw bytes in hex (Linux)
      "files": [                            created in the scratch directory before the run
        {"path": "data/a.txt", "text": "hello\\n"},
        {"path": "data/b.bin", "hex": "00ff"},
        {"path": "data/big.bin", "pattern": "abc", "size": 70000},
        {"path": "data/empty", "dir": true}
      ],
      "stdout": ["line", {"include": "usage.txt"}, "Created {threads} threads."],
      "stderr": "exact text\\n",
      "status": 1,
      "expect_files": [                     checked after the run
        {"path": "data.qar", "sha256": "..."},
        {"path": "out/a.txt", "text": "hello\\n"},
        {"path": "out/b.bin", "hex": "00ff"},
        {"path": "out/sub", "dir": true},
        {"path": "nothing.qar", "absent": true}
      ],
      "expect_tree": ["data/", "data/a.txt"]   the complete scratch tree after the run
                                            (directories end in "/")
    }

"stdout" and "stderr" are either one exact string or a list of lines, each of which gets a line
feed; {"include": FILE} inserts a file (relative to the case file) verbatim. In expected texts and
in arguments, "{threads}" stands for the number of hardware threads and "{scratch}" for the
scratch directory as the program sees it ("{{" and "}}" are literal braces).

The program runs with the scratch directory as its working directory. On Windows its streams
are UTF-16LE text with CRLF line ends; they are decoded and the line ends made LF before the
comparison (a bare line feed is a failure: the streams must be in text mode). On Linux they
must be UTF-8. Exit status 77 means the case does not apply here.
"""

import argparse
import difflib
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile

SKIPPED = 77
TIMEOUT_SECONDS = 300


class CaseError(Exception):
    """A case file that can't be used as written."""


def expand(text, placeholders):
    """Replaces {name} placeholders; "{{" and "}}" stay literal braces."""
    out = []
    i = 0
    while i < len(text):
        if text.startswith("{{", i) or text.startswith("}}", i):
            out.append(text[i])
            i += 2
            continue
        if text[i] == "{":
            end = text.find("}", i)
            name = text[i + 1:end] if end != -1 else None
            if name in placeholders:
                out.append(placeholders[name])
                i = end + 1
                continue
        out.append(text[i])
        i += 1
    return "".join(out)


def expected_text(expected, case_dir, placeholders):
    if expected is None:
        return ""
    if isinstance(expected, str):
        return expand(expected, placeholders)
    if not isinstance(expected, list):
        raise CaseError("stdout/stderr must be a string or a list of lines")
    parts = []
    for item in expected:
        if isinstance(item, str):
            parts.append(expand(item, placeholders) + "\n")
        elif isinstance(item, dict) and "include" in item:
            with open(os.path.join(case_dir, item["include"]), encoding="utf-8", newline="") as f:
                parts.append(f.read())
        else:
            raise CaseError("unknown line entry: %r" % (item,))
    return "".join(parts)


def content_of(entry):
    """The bytes a "files" or "expect_files" entry describes, or None when it names none."""
    if "text" in entry:
        return entry["text"].encode("utf-8")
    if "hex" in entry:
        return bytes.fromhex(entry["hex"])
    if "pattern" in entry:
        pattern = entry["pattern"].encode("utf-8")
        size = int(entry["size"])
        return (pattern * (size // max(len(pattern), 1) + 1))[:size]
    return None


def scratch_path(scratch, relative):
    path = os.path.normpath(os.path.join(scratch, relative))
    if os.path.commonpath([scratch, path]) != scratch:
        raise CaseError("path leaves the scratch directory: %r" % relative)
    return path


def prepare(scratch, files):
    for entry in files:
        path = scratch_path(scratch, entry["path"])
        if entry.get("dir"):
            os.makedirs(path, exist_ok=True)
            continue
        data = content_of(entry)
        if data is None:
            raise CaseError("file entry without content: %r" % (entry,))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def argument(item, placeholders):
    if isinstance(item, str):
        return expand(item, placeholders)
    if isinstance(item, dict) and "hex" in item:
        return bytes.fromhex(item["hex"])
    raise CaseError("unknown argument: %r" % (item,))


def decode_stream(data, platform):
    """The text of one output stream, and a complaint about its encoding or None."""
    if platform == "windows":
        text = data.decode("utf-16-le", errors="backslashreplace")
        if len(data) % 2:
            return text, "an odd number of bytes, not UTF-16"
        if "\n" in text.replace("\r\n", ""):
            return text.replace("\r\n", "\n"), "a line end without carriage return (not text mode)"
        return text.replace("\r\n", "\n"), None
    try:
        return data.decode("utf-8"), None
    except UnicodeDecodeError:
        return data.decode("utf-8", errors="backslashreplace"), "bytes that are not UTF-8"


def tree_of(scratch):
    entries = []
    for directory, dirs, files in os.walk(scratch):
        rel = os.path.relpath(directory, scratch)
        for d in dirs:
            entries.append((d if rel == "." else rel + "/" + d).replace(os.sep, "/") + "/")
        for f in files:
            entries.append((f if rel == "." else rel + "/" + f).replace(os.sep, "/"))
    return sorted(entries)


def check_files(scratch, expectations):
    problems = []
    for entry in expectations:
        path = scratch_path(scratch, entry["path"])
        name = entry["path"]
        if entry.get("absent"):
            if os.path.lexists(path):
                problems.append("%s: should not exist" % name)
            continue
        if entry.get("dir"):
            if not os.path.isdir(path):
                problems.append("%s: directory missing" % name)
            continue
        if not os.path.isfile(path):
            problems.append("%s: file missing" % name)
            continue
        with open(path, "rb") as f:
            data = f.read()
        if "sha256" in entry:
            digest = hashlib.sha256(data).hexdigest()
            if digest != entry["sha256"].lower():
                problems.append("%s: sha256 %s, expected %s" % (name, digest, entry["sha256"]))
        if "size" in entry and "pattern" not in entry and len(data) != int(entry["size"]):
            problems.append("%s: %d bytes, expected %d" % (name, len(data), int(entry["size"])))
        expected = content_of(entry)
        if expected is not None and data != expected:
            problems.append("%s: content differs (%d bytes, expected %d)\n    got      %r\n    expected %r"
                            % (name, len(data), len(expected), data[:200], expected[:200]))
    return problems


def show_difference(label, expected, actual):
    """A line diff with repr() lines, so tabs, CRs and trailing spaces are visible."""
    exp_lines = [repr(line) for line in expected.splitlines(keepends=True)]
    act_lines = [repr(line) for line in actual.splitlines(keepends=True)]
    diff = difflib.unified_diff(exp_lines, act_lines, "expected " + label, "actual " + label, lineterm="")
    return "\n".join(diff)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("case")
    parser.add_argument("--platform", choices=["linux", "windows"], required=True)
    parser.add_argument("--work-dir", help="scratch directory (emptied first, kept afterwards)")
    argv = sys.argv[1:]
    if "--" not in argv:
        parser.error("no program given: -- [EMULATOR...] PROGRAM")
    split = argv.index("--")
    options = parser.parse_args(argv[:split])
    command = argv[split + 1:]
    if not command:
        parser.error("no program given after --")

    with open(options.case, encoding="utf-8") as f:
        case = json.load(f)
    case_dir = os.path.dirname(os.path.abspath(options.case))
    name = os.path.splitext(os.path.basename(options.case))[0]

    platforms = case.get("platforms")
    if platforms is not None and options.platform not in platforms:
        print("%s: only on %s, skipped on %s" % (name, ", ".join(platforms), options.platform))
        return SKIPPED

    if options.work_dir:
        scratch = os.path.abspath(options.work_dir)
        shutil.rmtree(scratch, ignore_errors=True)
        os.makedirs(scratch)
    else:
        scratch = tempfile.mkdtemp(prefix="cli-case-")
    scratch = os.path.realpath(scratch)

    placeholders = {
        "threads": str(os.cpu_count() or 1),
        # Wine shows the Unix root as drive Z:.
        "scratch": "Z:" + scratch.replace("/", "\\") if options.platform == "windows" else scratch,
    }

    prepare(scratch, case.get("files", []))
    args = [argument(a, placeholders) for a in case.get("args", [])]
    # The program runs in the scratch directory: paths given relative to here must still work.
    command = [os.path.abspath(c) if os.path.exists(c) else c for c in command]
    full_command = command + args

    print("case:    %s%s" % (name, " - " + case["description"] if case.get("description") else ""))
    print("command: %s" % " ".join(repr(a) if isinstance(a, bytes) else a for a in full_command))
    print("scratch: %s" % scratch)
    try:
        result = subprocess.run(full_command, cwd=scratch, stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=TIMEOUT_SECONDS)
    except subprocess.TimeoutExpired:
        print("FAILED: no end after %d seconds" % TIMEOUT_SECONDS)
        return 1

    stdout, stdout_problem = decode_stream(result.stdout, options.platform)
    stderr, stderr_problem = decode_stream(result.stderr, options.platform)
    failures = []
    if stdout_problem:
        failures.append("standard output holds " + stdout_problem)
    if stderr_problem:
        failures.append("standard error holds " + stderr_problem)
    want_stdout = expected_text(case.get("stdout"), case_dir, placeholders)
    want_stderr = expected_text(case.get("stderr"), case_dir, placeholders)
    if stdout != want_stdout:
        failures.append("standard output differs:\n" + show_difference("stdout", want_stdout, stdout))
    if stderr != want_stderr:
        failures.append("standard error differs:\n" + show_difference("stderr", want_stderr, stderr))
    want_status = int(case.get("status", 0))
    if result.returncode != want_status:
        failures.append("exit status %d, expected %d" % (result.returncode, want_status))
    failures.extend(check_files(scratch, case.get("expect_files", [])))
    if "expect_tree" in case:
        tree = tree_of(scratch)
        want_tree = sorted(case["expect_tree"])
        if tree != want_tree:
            failures.append("scratch tree differs:\n" + "\n".join(
                difflib.unified_diff(want_tree, tree, "expected tree", "actual tree", lineterm="")))

    if failures:
        for failure in failures:
            print("FAILED: " + failure)
        print("--- stdout as printed ---\n" + stdout)
        print("--- stderr as printed ---\n" + stderr)
        return 1
    print("passed")
    if not options.work_dir:
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except CaseError as e:
        print("bad case file: %s" % e)
        sys.exit(2)
