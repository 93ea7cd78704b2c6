#!/usr/bin/env python3
"""Fault injection: puts each fault of faults.txt into the code, one at a time, rebuilds, runs the
suites that cover it and says whether they caught it.

    bench/mutants/run.py [--area AREA] [--fault NAME] [--build DIR]
    bench/mutants/run.py --sample N [--seed S] [--area AREA] [--build DIR]

--sample draws N faults at random sites of the program's code instead (sample.py: operators
flipped or moved by one, && and || exchanged, conditions negated, constants moved by one,
results, signals and early returns left out, words of a format changed). The seed is printed;
the same seed over the same sources gives the same faults. A survivor either gets the test that
catches it or a line in equivalents.txt saying why nothing observable changes; later samples
skip the faults listed there.

The faults go into a copy of the sources, never into the checkout itself: a git worktree in
DIR/tree (DIR is build/mutants unless given), at the checkout's HEAD with the checkout's
uncommitted changes and untracked files copied over it, built in DIR/build. A later run resets
the same worktree to the checkout as it is then, so its builds stay incremental, and a run that
was killed leaves its fault only there. The checkout must be a git one.

A fault whose text is no longer in its file (the code moved) is stale: reported, not counted. A
fault marked "equivalent" changes nothing observable; it is run all the same and reported with
its reason, and not counted either. Each file is put back in the worktree after its fault, also
on Ctrl-C or an error, so DIR/build ends with the unchanged program.
"""

import argparse
import os
import random
import re
import shutil
import signal
import stat
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
TREE = None  # the worktree the faults go into; set once it is ready
SUITE_TIMEOUT_S = 300


def read_faults(path):
    faults, current = [], None
    with open(path, encoding="utf-8") as listing:
        for number, line in enumerate(listing, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                if current:
                    faults.append(current)
                    current = None
                continue
            key, _, value = line.partition(": ")
            if key == "fault":
                if current:
                    faults.append(current)
                current = {"name": value, "pairs": [], "line": number}
            elif current is None:
                sys.exit(f"faults.txt:{number}: a field before any 'fault:'")
            elif key == "from":
                current["pairs"].append([decode(value), None])
            elif key == "to":
                if not current["pairs"] or current["pairs"][-1][1] is not None:
                    sys.exit(f"faults.txt:{number}: 'to:' without its 'from:'")
                current["pairs"][-1][1] = decode(value)
            elif key in ("area", "file", "suites", "equivalent", "kind"):
                current[key] = value
            else:
                sys.exit(f"faults.txt:{number}: unknown field '{key}'")
    if current:
        faults.append(current)
    for fault in faults:
        for field in ("area", "file", "suites", "kind"):
            if field not in fault:
                sys.exit(f"faults.txt:{fault['line']}: fault {fault['name']} has no '{field}:'")
        if not fault["pairs"] or any(to is None for _, to in fault["pairs"]):
            sys.exit(f"faults.txt:{fault['line']}: fault {fault['name']} needs 'from:' and 'to:' pairs")
    return faults


def decode(text):
    # "\n" in the list stands for a line break, "\t" for a tab, "\\" for a backslash.
    return re.sub(r"\\(.)", lambda m: {"n": "\n", "t": "\t"}.get(m.group(1), m.group(1)), text)


def run(command, timeout=None, **kwargs):
    return subprocess.run(command, cwd=TREE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace",
                          timeout=timeout, **kwargs)


def git(*arguments, cwd=ROOT, **kwargs):
    return subprocess.run(["git", *arguments], cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)


def git_output(*arguments, cwd=ROOT):
    result = git(*arguments, cwd=cwd)
    if result.returncode != 0:
        sys.exit(f"git {' '.join(arguments)} in {cwd}: {result.stderr.decode(errors='replace').strip()}")
    return result.stdout


def refuse_unsafe_tree(tree):
    """The worktree is reset, cleaned and built in, and its programs run: it must be a folder of
    this user's, reached through no link, that neither holds the checkout nor lies in its sources."""
    tree = os.path.abspath(tree)
    root = os.path.realpath(ROOT)
    if os.path.realpath(tree) != os.path.abspath(tree):
        sys.exit(f"{tree}: a link on the way to the worktree is not accepted")
    if root == tree or root.startswith(tree + os.sep) or (tree.startswith(root + os.sep) and not tree.startswith(os.path.join(root, "build") + os.sep)):
        sys.exit(f"{tree}: the worktree goes under {os.path.join(root, 'build')} or outside the checkout, never over its sources")
    part = os.path.dirname(tree)
    while not os.path.exists(part):
        part = os.path.dirname(part)
    while True:
        info = os.lstat(part)
        sticky_root = info.st_uid == 0 and info.st_mode & stat.S_ISVTX and part != os.path.dirname(tree)
        if info.st_uid not in (0, os.geteuid()) or (info.st_mode & 0o022 and not sticky_root):
            sys.exit(f"{part}: another user could change it; the worktree needs a folder that is only this user's")
        if part == os.sep:
            break
        part = os.path.dirname(part)


def prepare_tree(tree):
    """Makes tree the checkout as it is now: HEAD, its changes to tracked files and its untracked
    ones. The worktree of an earlier run is reused, whatever a killed run left in it."""
    try:
        top = git("rev-parse", "--show-toplevel")
    except FileNotFoundError:
        sys.exit("git is not installed: the runner puts its faults into a git worktree of the checkout")
    if top.returncode != 0 or os.path.realpath(top.stdout.decode().strip()) != os.path.realpath(ROOT):
        sys.exit(f"{ROOT} is not a git checkout ({top.stderr.decode(errors='replace').strip() or 'it is inside another'}): "
                 "the runner puts its faults into a git worktree of it, never into the sources themselves")
    refuse_unsafe_tree(tree)
    head = git_output("rev-parse", "--verify", "HEAD").decode().strip()
    common = os.path.realpath(os.path.join(ROOT, git_output("rev-parse", "--git-common-dir").decode().strip()))
    ours = False
    if os.path.isdir(tree):
        check = git("rev-parse", "--show-toplevel", "--git-common-dir", "--git-dir", cwd=tree)
        lines = check.stdout.decode().split("\n")
        # A linked worktree of this checkout, never the checkout itself: it is reset and cleaned.
        ours = (check.returncode == 0 and len(lines) >= 3 and os.path.realpath(lines[0]) == os.path.realpath(tree)
                and os.path.realpath(os.path.join(tree, lines[1])) == common
                and os.path.dirname(os.path.realpath(os.path.join(tree, lines[2]))) == os.path.join(common, "worktrees"))
    if ours:
        # Whatever a killed run left: its fault, untracked files. A run killed inside git leaves
        # a lock behind, and then the worktree is made anew.
        ours = (git("checkout", "--quiet", "--force", "--detach", head, cwd=tree).returncode == 0
                and git("clean", "--quiet", "--force", "-d", "-x", cwd=tree).returncode == 0)
    if not ours:
        if os.path.lexists(tree):
            git("worktree", "remove", "--force", "--force", tree)
            shutil.rmtree(tree, ignore_errors=True)
        # A worktree whose folder was deleted is still registered, and git would refuse to add it again.
        git_output("worktree", "prune")
        os.makedirs(os.path.dirname(tree), exist_ok=True)
        git_output("worktree", "add", "--quiet", "--detach", tree, head)
    # Whatever the user's configuration, a patch that git apply takes.
    changes = git_output("diff", "--binary", "--no-color", "--no-ext-diff", "--no-textconv", "--no-relative",
                         "--src-prefix=a/", "--dst-prefix=b/", "HEAD")
    if changes:
        applied = git("apply", "--whitespace=nowarn", cwd=tree, input=changes)
        if applied.returncode != 0:
            sys.exit(f"the checkout's changes do not apply to its HEAD in {tree}:\n{applied.stderr.decode(errors='replace')}")
    # Copied, not linked, and with a new time: a fault a killed run left in one must be rebuilt.
    # Nested checkouts (listed with a trailing slash) and the runner's own folder are left out.
    own = os.path.relpath(os.path.dirname(tree), ROOT) + os.sep
    for name in git_output("ls-files", "--others", "--exclude-standard", "-z").decode().split("\0"):
        if name and not name.endswith("/") and not name.startswith(own):
            os.makedirs(os.path.dirname(os.path.join(tree, name)), exist_ok=True)
            shutil.copy(os.path.join(ROOT, name), os.path.join(tree, name), follow_symlinks=False)


def build(build_dir, targets=()):
    # Only what the suites need: a fault in a header would otherwise rebuild every program.
    command = ["cmake", "--build", build_dir] + (["--target", *targets] if targets else [])
    result = run(command)
    return result.returncode == 0, result.stdout


def failing_tests(build_dir, suites):
    """The first suite that fails and its failed test functions, or None when all pass."""
    environment = dict(os.environ, QT_QPA_PLATFORM="offscreen", QT_LOGGING_RULES="default.debug=false")
    for suite in suites:
        binary = os.path.join(build_dir, "tests", suite)
        try:
            result = run([binary], timeout=SUITE_TIMEOUT_S, env=environment)
        except subprocess.TimeoutExpired:
            return suite, ["(timed out)"]
        if result.returncode != 0:
            failed = re.findall(r"^FAIL!  : \w+::(\w+\([^)]*\)|\w+)", result.stdout, re.MULTILINE)
            return suite, failed or [f"(exit {result.returncode})"]
    return None


class Restorer:
    """Puts a file back as it was, whatever ends the run."""

    def __init__(self):
        self.saved = {}

    def keep(self, path):
        if path not in self.saved:
            with open(path, "rb") as original:
                self.saved[path] = original.read()

    def restore(self):
        for path, content in self.saved.items():
            with open(path, "wb") as file:
                file.write(content)
        self.saved.clear()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--area", help="only the faults of this area (transfer, app, flash, records)")
    parser.add_argument("--fault", action="append", help="only this fault (may be given again)")
    parser.add_argument("--build", default="build/mutants", metavar="DIR", help="the worktree (DIR/tree) and its build (DIR/build)")
    parser.add_argument("--sample", type=int, metavar="N", help="N faults at random sites instead of the list")
    parser.add_argument("--seed", type=int, metavar="S", help="the sample's seed (default: a new one, printed)")
    arguments = parser.parse_args()
    if arguments.sample is not None and (arguments.sample < 1 or arguments.fault):
        sys.exit("--sample takes a number of faults from 1, and not with --fault")

    global TREE
    work = os.path.join(ROOT, arguments.build)
    TREE = os.path.abspath(os.path.join(work, "tree"))
    prepare_tree(TREE)
    if arguments.sample:
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        import sample
        seed = arguments.seed if arguments.seed is not None else random.SystemRandom().randrange(1, 1 << 31)
        equivalents = sample.read_equivalents(os.path.join(TREE, "bench", "mutants", "equivalents.txt"))
        faults, sites = sample.generate(TREE, arguments.sample, seed, arguments.area, skip=equivalents)
        print(f"sample: {len(faults)} faults of {sites} sites, seed {seed}, area {arguments.area or 'all'}; "
              f"{len(equivalents)} known equivalents skipped", flush=True)
    else:
        faults = read_faults(os.path.join(TREE, "bench", "mutants", "faults.txt"))
    if arguments.area and not arguments.sample:
        faults = [f for f in faults if f["area"] == arguments.area]
    if arguments.fault:
        faults = [f for f in faults if f["name"] in arguments.fault]
    if not faults:
        sys.exit("no fault matches")

    build_dir = os.path.join(work, "build")
    configure = run(["cmake", "-S", ".", "-B", build_dir, "-G", "Ninja", "-DQT_MAJOR=6", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"])
    if configure.returncode != 0:
        sys.exit(configure.stdout)
    built, log = build(build_dir)
    if not built:
        sys.exit("the unchanged tree does not build:\n" + log)
    # The suites must pass as they are, or a failure would be taken for a catch.
    suites = sorted({s for f in faults for s in f["suites"].split()})
    baseline = failing_tests(build_dir, suites)
    if baseline:
        sys.exit(f"the unchanged tree fails {baseline[0]}: {', '.join(baseline[1])}")

    restorer = Restorer()
    # A signal ends the run through the same path as an error: the files go back first.
    def interrupted(*_):
        raise KeyboardInterrupt()

    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, interrupted)
    rows = []
    try:
        for fault in faults:
            path = os.path.join(TREE, fault["file"])
            with open(path, encoding="utf-8") as source:
                text = source.read()
            stale = [frm for frm, _ in fault["pairs"] if text.count(frm) != 1]
            if stale:
                rows.append((fault, "stale", "its text is not in the file exactly once"))
                print(f"{fault['name']}: stale", flush=True)
                continue
            for frm, to in fault["pairs"]:
                text = text.replace(frm, to)
            restorer.keep(path)
            with open(path, "w", encoding="utf-8") as source:
                source.write(text)
            started = time.monotonic()
            built, log = build(build_dir, fault["suites"].split())
            if not built:
                verdict = ("does not build", log.strip().splitlines()[-1] if log.strip() else "")
            else:
                failed = failing_tests(build_dir, fault["suites"].split())
                verdict = ("caught", f"{failed[0]}: {', '.join(failed[1][:3])}") if failed else ("survived", "")
            restorer.restore()
            rows.append((fault, *verdict))
            print(f"{fault['name']}: {verdict[0]} {verdict[1]} ({time.monotonic() - started:.0f} s)", flush=True)
    except KeyboardInterrupt:
        print("interrupted: every file of the worktree is put back", file=sys.stderr)
        restorer.restore()
        build(build_dir)
        return 130
    finally:
        restorer.restore()
    build(build_dir)

    counted = [r for r in rows if r[1] in ("caught", "survived") and "equivalent" not in r[0]]
    caught = sum(1 for r in counted if r[1] == "caught")
    print()
    print("| Fault | Kind | File | Result | Caught by |")
    print("|---|---|---|---|---|")
    for fault, result, detail in rows:
        if "equivalent" in fault:
            result += f" (changes nothing observable: {fault['equivalent']})"
        print(f"| {fault['name']} | {fault['kind']} | `{fault['file']}` | {result} | {detail} |")
    print()
    survivors = [fault for fault, result, _ in rows if result == "survived" and "key" in fault]
    if survivors:
        print()
        print("Survivors: a test that catches each, or its line in equivalents.txt ('file | line | change | why'):")
        for fault in survivors:
            print(f"  {fault['key']} | ")
            for line in fault["pairs"][0][1].split("\n"):
                print(f"      {line}")
    print()
    share = 100.0 * caught / len(counted) if counted else 0.0
    print(f"Caught {caught} of {len(counted)} ({share:.0f} %); stale {sum(1 for r in rows if r[1] == 'stale')}, "
          f"not building {sum(1 for r in rows if r[1] == 'does not build')}, "
          f"equivalent {sum(1 for r in rows if 'equivalent' in r[0])}.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
