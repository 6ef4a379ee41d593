#!/usr/bin/python3
"""Runs the ws_interop driver against the python3-websockets server and checks the results.

Usage: ws_interop_test.py --driver PATH [--emulator CMD...]
With --emulator (the Wine wrapper and its prefix for the Windows build) the driver runs
through it. The server is started here on a free loopback port and stopped at the end.
"""

import argparse
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "..", "peers", "ws_echo_server.py")
CASES = ["echo", "ping", "fragment", "closeframe", "close", "reset", "silent"]
# Lines the emulator itself may add to standard error.
NOISE = re.compile(r"^[0-9a-f]{4}:(fixme|err|warn|trace):")


def split_stderr(text):
    """Standard error of the driver, cut into each case's own lines."""
    sections = {}
    current = None
    for line in text.replace("\r\n", "\n").splitlines(keepends=True):
        if NOISE.match(line):
            continue
        if line.startswith("=== "):
            current = line[4:].strip()
            sections[current] = ""
        elif current is not None:
            sections[current] += line
    return sections


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--driver", required=True)
    parser.add_argument("--emulator", nargs="*", default=[])
    args = parser.parse_args()

    server = subprocess.Popen(
        ["/usr/bin/python3", SERVER], stdout=subprocess.PIPE, text=True, bufsize=1
    )
    try:
        port_line = server.stdout.readline().strip()
        if not port_line.isdigit():
            print(f"server did not report a port: {port_line!r}")
            return 1
        port = port_line
        command = args.emulator + [args.driver, port] + CASES
        run = subprocess.run(command, capture_output=True, text=True, timeout=300)
    finally:
        server.terminate()
        try:
            server_out, _ = server.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server_out, _ = server.communicate()

    print("driver stdout:\n" + run.stdout)
    print("driver stderr:\n" + run.stderr)
    print("server events:\n" + server_out)
    problems = []

    verdicts = dict(
        (m.group(2), m.group(1)) for m in re.finditer(r"^(PASS|FAIL) (\w+)", run.stdout, re.M)
    )
    for case in CASES:
        if verdicts.get(case) != "PASS":
            problems.append(f"case {case}: {verdicts.get(case, 'no verdict')}")
    if run.returncode != 0:
        problems.append(f"driver exit status {run.returncode}")

    expected_stderr = {
        "echo": "",
        "ping": "",
        "fragment": "",
        "closeframe": "",
        "close": "Connection closed!\n",
        "reset": "Connection error!\n",
        "silent": "ERROR: Timed out waiting for the WebSocket handshake from "
        f"ws://127.0.0.1:{port}/silent\n",
    }
    accepted = {case: {line} for case, line in expected_stderr.items()}
    if args.emulator:
        # Wine 8 hands a reset connection to the program as an orderly end: recv returns 0 and
        # SO_ERROR is clear, so the client cannot tell. The error line is checked natively.
        accepted["reset"].add("Connection closed!\n")
    sections = split_stderr(run.stderr)
    for case, lines in accepted.items():
        if sections.get(case) not in lines:
            problems.append(f"case {case}: stderr {sections.get(case)!r}, expected one of {lines!r}")
    if args.emulator and sections.get("reset") != expected_stderr["reset"]:
        print("note: the emulator reported the reset as an orderly end (known Wine behaviour)")

    events = server_out.splitlines()
    for wanted in [
        "EVENT /ping pong",
        "EVENT /closeframe client-close-code 1005",
        "EVENT /close got ack",
        "EVENT /reset got ack",
        "EVENT /silent holding",
    ]:
        if wanted not in events:
            problems.append(f"server never reported {wanted!r}")

    for problem in problems:
        print("PROBLEM: " + problem)
    print("ws_interop: " + ("FAILED" if problems else "all cases passed"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
