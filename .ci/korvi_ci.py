#!/usr/bin/env python3
"""Shared steps of the Python checks, and the one reader of the README's
checked blocks, which the bash checks call too:

    python3 .ci/korvi_ci.py block NAME          prints a checked README block
    python3 .ci/korvi_ci.py skips JUNIT [WORD]  fails when a test skipped (for
                                                 a reason without WORD)

A README block that CI runs or compares is marked by a comment on the line
before its fence, which a reader does not see and won't reword by accident:

    <!-- ci: NAME -->
    ```sh
    ...
    ```

A block of what a recipe shows is marked NAME:output.
"""

import os
import re
import signal
import socket
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

PORT = 17825
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
README = os.path.join(ROOT, "README.md")
BANNER = b"KORVI Logger (v1.1)\n"
STOPPED = b"KORVI Logger stopped.\n"
DEADLINE = 10  # seconds for any one event

MARK = re.compile(r"^<!-- ci: ([\w./:-]+) -->$", re.M)
MARKED_BLOCK = re.compile(r"^<!-- ci: ([\w./:-]+) -->\n```(\w*)[^\n]*\n(.*?)^```$", re.M | re.S)


def fail(check, message):
    sys.exit(f"{check}: {message}")


def readme_blocks(path=README):
    """{name: (language, text)} for every marked block of the README. Fails
    when a mark is not right before a fence, or names a block twice."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    blocks = {}
    for m in MARKED_BLOCK.finditer(text):
        if m.group(1) in blocks:
            fail("README", f"two blocks are marked '{m.group(1)}'")
        blocks[m.group(1)] = (m.group(2), m.group(3))
    stray = set(MARK.findall(text)) - set(blocks)
    if stray:
        fail("README", f"marks not on the line before a fenced block: {sorted(stray)}")
    return blocks


def readme_block(name, path=README):
    """The text of the README block marked `name`; fails when there is none."""
    blocks = readme_blocks(path)
    if name not in blocks:
        fail("README", f"no block marked '{name}' (a line '<!-- ci: {name} -->' before it)")
    return blocks[name][1]


def without_comment(line):
    """A shell line without its trailing ` # comment`."""
    return re.split(r"\s+#\s", line, maxsplit=1)[0].strip()


def wait_for(predicate, what, deadline=DEADLINE):
    """Asks `predicate` until it gives something true, and returns that;
    raises TimeoutError(what) after `deadline` seconds."""
    end = time.monotonic() + deadline
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > end:
            raise TimeoutError(what)
        time.sleep(0.01)


def socket_inodes(pid):
    inodes = set()
    fd_dir = f"/proc/{pid}/fd"
    for fd in os.listdir(fd_dir):
        try:
            link = os.readlink(os.path.join(fd_dir, fd))
        except OSError:
            continue
        if link.startswith("socket:["):
            inodes.add(link[8:-1])
    return inodes


def port_sockets(pid=None):
    """Rows of /proc/net/udp and udp6 for sockets on PORT (of process `pid`
    only, if given): each a dict with its queue in bytes and its drops."""
    inodes = socket_inodes(pid) if pid else None
    rows = []
    for table in ("/proc/net/udp", "/proc/net/udp6"):
        try:
            with open(table) as f:
                lines = f.read().splitlines()[1:]
        except FileNotFoundError:  # a kernel without IPv6
            continue
        for line in lines:
            fields = line.split()
            if int(fields[1].rsplit(":", 1)[1], 16) != PORT:
                continue
            if inodes is not None and fields[9] not in inodes:
                continue
            rows.append({"rx_queue": int(fields[4].split(":")[1], 16), "drops": int(fields[12])})
    return rows


def port_held(pid=None):
    """True when something (process `pid`, if given) holds UDP PORT."""
    return bool(port_sockets(pid))


def send(text, host="127.0.0.1"):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.sendto(text, (host, PORT))


def start_logger(command, stdout, **popen_args):
    """Starts a logger (or a command that starts one) and waits until that
    process holds the port. Raises RuntimeError when it ends first."""
    proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=stdout, **popen_args)
    try:
        wait_for(lambda: proc.poll() is not None or port_held(proc.pid),
                 f"{command[0]} did not bind UDP {PORT}")
    except TimeoutError:
        stop(proc)
        raise
    if proc.poll() is not None:
        raise RuntimeError(f"{command[0]} ended at start with {proc.returncode} "
                           f"(is UDP {PORT} free?)")
    return proc


def stop(proc, grace=DEADLINE):
    """Ends a process we started: SIGINT (the logger's stop), then SIGKILL
    after `grace` seconds. Returns its exit status (negative: a signal)."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGINT)
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return proc.returncode


def copy_tree(dest):
    """Copies the files git tracks (as committed or as changed, not the
    build) into `dest`, as a clean checkout would hold them."""
    files = subprocess.run(["git", "-C", ROOT, "ls-files", "-z"], stdout=subprocess.PIPE,
                           check=True).stdout.decode().split("\0")
    subprocess.run(["cp", "--parents", "-t", dest, *filter(None, files)], cwd=ROOT, check=True)


def skip_reasons(junit):
    """(test, reason) for every skipped test in a JUnit file, as ctest
    (--output-junit) or a GoogleTest program (--gtest_output=xml) writes
    one. ctest keeps GoogleTest's reason in the test's output."""
    found = []
    for case in ET.parse(junit).getroot().iter("testcase"):
        skipped = case.find("skipped")
        if skipped is None:
            continue
        said = re.search(r"Skipped\n(.*?)\n", case.findtext("system-out") or "")
        message = (skipped.get("message") or "").splitlines() or [""]
        reason = said.group(1) if said else message[-1]
        # ctest names a table's case "Test/Case  # GetParam() = Case".
        name, group = (case.get(key, "").split("  # ")[0] for key in ("name", "classname"))
        found.append((name if group in ("", name) else f"{group}.{name}", reason))
    return found


def check_skips(junit, allowed=None):
    """Fails unless every test ran, or skipped for a reason that says `allowed`."""
    skips = skip_reasons(junit)
    for test, reason in skips:
        print(f"   skipped {test}: {reason}")
    wrong = [t for t, reason in skips if allowed is None or allowed not in reason]
    if wrong:
        fail("skips", f"{len(wrong)} tests skipped" +
             (f" for another reason than '{allowed}'" if allowed else "") + f": {wrong}")
    total = sum(1 for _ in ET.parse(junit).getroot().iter("testcase"))
    print(f"   {total - len(skips)} of {total} tests ran" +
          (f"; {len(skips)} skipped, each for '{allowed}'" if skips else ", none skipped"))


def main(argv):
    if len(argv) == 3 and argv[1] == "block":
        sys.stdout.write(readme_block(argv[2]))
    elif len(argv) in (3, 4) and argv[1] == "skips":
        check_skips(argv[2], argv[3] if len(argv) == 4 else None)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
