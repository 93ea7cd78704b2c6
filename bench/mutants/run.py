#!/usr/bin/env python3
"""Fault injection: puts each fault of faults.txt into the code, one at a time, rebuilds, runs the
suites that cover it and says whether they caught it.

    bench/mutants/run.py [--area AREA] [--fault NAME] [--build DIR] [--jobs J]
    bench/mutants/run.py --sample N [--seed S] [--area AREA] [--build DIR] [--jobs J]

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

--jobs J works on J faults at once, each in a worktree and build of its own (DIR/tree and DIR/build
for the first, DIR/slotK/tree and DIR/slotK/build for the others). A fault's suites run side by
side, a process for each test function, at most SUITE_PROCESSES on the machine at a time: they
mostly wait on timers. A function that fails is run again: the fault counts as caught when it
fails twice, and as "unsteady" (listed, not counted) when it passes the second time, so that a
test that failed under load is not taken for a catch.

A fault whose text is no longer in its file (the code moved) is stale: reported, not counted. A
fault marked "equivalent" changes nothing observable; it is run all the same and reported with
its reason, and not counted either. Each file is put back in the worktree after its fault, also
on Ctrl-C or an error, so DIR/build ends with the unchanged program.
"""

import argparse
import fcntl
import os
import random
import re
import shutil
import signal
import stat
import subprocess
import sys
import threading
import time
from xml.etree import ElementTree

ROOT = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
# The longest test function takes under 20 s alone and under load; a fault that hangs one is
# caught when this runs out.
FUNCTION_TIMEOUT_S = 150
# Test processes at once over all slots: most of their time is waiting on timers.
SUITE_PROCESSES = 8
STOP = threading.Event()
# Set by a signal, as against an error: the run then says it was interrupted.
SIGNALLED = threading.Event()


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


class Slot:
    """One fault at a time: a worktree, its build, the files its fault changed and the processes
    it runs, so that an interrupt can end them."""

    def __init__(self, work, index):
        base = work if index == 0 else os.path.join(work, f"slot{index}")
        self.index = index
        self.tree = os.path.abspath(os.path.join(base, "tree"))
        self.build_dir = os.path.join(base, "build")
        self.restorer = Restorer()
        self.running = set()
        # Re-entrant: a signal's handler stops the slots from the main thread, which may be
        # starting a process of its own at that moment.
        self.lock = threading.RLock()

    def run(self, command, timeout=None, env=None, quiet=False):
        """(exit code or None when timed out or stopped, output). Each command in a session of its
        own, so that ending it ends what it started (the flasher, the emulator), also what it left
        running when it ended. quiet: its output is not kept, so that nothing it left behind
        holding the pipe makes the wait outlast its timeout."""
        with self.lock:
            if STOP.is_set():
                return None, ""
            process = subprocess.Popen(command, cwd=self.tree, stdout=subprocess.DEVNULL if quiet else subprocess.PIPE,
                                       stderr=subprocess.DEVNULL if quiet else subprocess.STDOUT, text=True,
                                       errors="replace", env=env, start_new_session=True)
            self.running.add(process)
        try:
            output, _ = process.communicate(timeout=timeout)
            return (None if STOP.is_set() else process.returncode), output or ""
        except subprocess.TimeoutExpired:
            end_group(process)
            output, _ = process.communicate()
            return None, output or ""
        finally:
            end_group(process)
            with self.lock:
                self.running.discard(process)

    def stop(self):
        with self.lock:
            for process in self.running:
                end_group(process)


def end_group(process):
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except OSError:
        pass  # the group is gone


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
            # Only what this runner made goes: a worktree git lists as this checkout's, or an
            # empty folder. Anything else in DIR/tree is somebody's, and --build names it wrongly.
            listed = git_output("worktree", "list", "--porcelain").decode().split("\n")
            if f"worktree {tree}" not in listed and not (os.path.isdir(tree) and not os.path.islink(tree) and not os.listdir(tree)):
                sys.exit(f"{tree}: there is something else there, not a worktree of this checkout; give another --build")
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


def build(slot, targets=()):
    # Only what the suites need: a fault in a header would otherwise rebuild every program.
    command = ["cmake", "--build", slot.build_dir] + (["--target", *targets] if targets else [])
    # A slot of its own, so that a catch confirmed on a quiet machine has no compiler beside it.
    with SUITE_SLOTS:
        code, output = slot.run(command)
    return code == 0, output


SUITE_SLOTS = threading.Semaphore(SUITE_PROCESSES)
ENVIRONMENT = dict(os.environ, QT_QPA_PLATFORM="offscreen", QT_LOGGING_RULES="default.debug=false")


def run_function(slot, suite, function, skip=None, alone=False):
    """None when the test function passes (or is left out because skip is set by the time a
    process is free for it), else its failures: "function" or "function:row". alone: the caller
    holds every process slot already."""
    binary = os.path.join(slot.build_dir, "tests", suite)
    # The XML log names each failure's function and row exactly, whatever a row's name holds.
    log = os.path.join(slot.build_dir, f"{suite}.{function}.mutant.xml")
    with (NO_SLOT if alone else SUITE_SLOTS):
        if skip is not None and skip.is_set():
            return SKIPPED
        # An earlier run's log would otherwise be read as this one's when this one leaves none.
        try:
            os.remove(log)
        except FileNotFoundError:
            pass
        code, _ = slot.run([binary, "-o", f"{log},xml", function], timeout=FUNCTION_TIMEOUT_S, env=ENVIRONMENT, quiet=True)
    if code == 0:
        return None
    if code is None:
        return ["(stopped)"] if STOP.is_set() else [f"{function} (timed out)"]
    failed = []
    try:
        for tested in ElementTree.parse(log).getroot().iter("TestFunction"):
            for incident in tested.iter("Incident"):
                if incident.get("type") in ("fail", "xpass"):
                    tag = incident.findtext("DataTag")
                    failed.append(tested.get("name") + (f":{tag}" if tag else ""))
    except (OSError, ElementTree.ParseError):
        pass  # a crash mid-function leaves no whole log
    return failed or [f"{function} (exit {code})"]


class NoSlot:
    def __enter__(self):
        return self

    def __exit__(self, *_):
        return False


NO_SLOT = NoSlot()
class Skipped(list):
    pass


# A function left out because another had failed first: not run, so neither passed nor failed.
SKIPPED = Skipped()
# One slot at a time confirms a catch, with every test process of the machine to itself.
CONFIRMING = threading.Lock()


def on_a_quiet_machine(task):
    """task() run while no other test process runs: a test bounded in time that failed under the
    load of the others is then asked again without it."""
    with CONFIRMING:
        taken = 0
        try:
            while taken < SUITE_PROCESSES:
                if SUITE_SLOTS.acquire(timeout=0.5):
                    taken += 1
                elif STOP.is_set():
                    return None
            return task()
        finally:
            for _ in range(taken):
                SUITE_SLOTS.release()


def list_functions(slot, suite):
    """The suite's test functions, or None when it cannot list them."""
    code, listing = slot.run([os.path.join(slot.build_dir, "tests", suite), "-functions"], timeout=60, env=ENVIRONMENT)
    if code != 0:
        return None
    return [line.strip()[:-2] for line in listing.splitlines() if re.fullmatch(r"\s*\w+\(\)\s*", line)]


def failing_tests(slot, suites, confirm=False):
    """The first suite (in the order given) that fails and its failures, or None when all pass.

    Each test function runs in a process of its own, all of them side by side (at most
    SUITE_PROCESSES at a time): the suites mostly wait on timers, and a function has its own
    initTestCase. Once one fails, the functions not yet started are left out. With confirm, every
    failure is asked again on a quiet machine, a hang too: a suite counts when one of the same
    failures comes again, and ("unsteady", [suite, failures...]) is the answer when none does."""
    functions = []
    for suite in suites:
        listed = list_functions(slot, suite)
        if listed is None and confirm and not STOP.is_set():
            listed = on_a_quiet_machine(lambda: list_functions(slot, suite))
        if STOP.is_set():
            return None
        if listed is None:
            return suite, ["(listing its functions failed twice)" if confirm else "(listing its functions failed)"]
        functions += [(suite, function) for function in listed]
    results = {}
    caught = threading.Event()

    def one(suite, function):
        results[(suite, function)] = failed = run_function(slot, suite, function, skip=caught)
        if failed:
            caught.set()

    threads = [threading.Thread(target=one, args=job) for job in functions]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if STOP.is_set():
        return None
    failed = [(suite, function) for suite, function in functions if results.get((suite, function))]
    skipped = [(suite, function) for suite, function in functions if results.get((suite, function)) is SKIPPED]
    if not failed:
        return None
    order = list(dict.fromkeys(suite for suite, _ in failed))
    first = [f for s, function in failed if s == order[0] for f in results[(s, function)]]
    if not confirm:
        return order[0], first

    def again():
        # A failure that comes again, in whatever form (a crash the first time, a row the next),
        # confirms; then the functions left out, each failing twice, before a verdict of unsteady.
        for suite in order:
            for s, function in failed:
                if s == suite:
                    repeated = run_function(slot, suite, function, alone=True)
                    if STOP.is_set():
                        return None
                    if repeated:
                        return suite, repeated
        for suite, function in skipped:
            if run_function(slot, suite, function, alone=True):
                repeated = run_function(slot, suite, function, alone=True)
                if STOP.is_set():
                    return None
                if repeated:
                    return suite, repeated
        return "unsteady", [order[0]] + first

    return on_a_quiet_machine(again)


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


def try_fault(slot, fault):
    """(verdict, detail) of one fault in the slot's worktree, which is put back after it."""
    path = os.path.join(slot.tree, fault["file"])
    # A fault goes into a file of the worktree, never through a link to somewhere else.
    if os.path.islink(path) or not os.path.isfile(path) or not os.path.realpath(path).startswith(slot.tree + os.sep):
        return "stale", "its file is not a regular file of the worktree"
    try:
        with open(path, encoding="utf-8") as source:
            text = source.read()
    except UnicodeDecodeError:
        return "stale", "its file is not UTF-8 text"
    if any(text.count(frm) != 1 for frm, _ in fault["pairs"]):
        return "stale", "its text is not in the file exactly once"
    for frm, to in fault["pairs"]:
        text = text.replace(frm, to)
    slot.restorer.keep(path)
    try:
        with open(path, "w", encoding="utf-8") as source:
            source.write(text)
        built, log = build(slot, fault["suites"].split())
        if STOP.is_set():
            return "stopped", ""
        if not built:
            return "does not build", log.strip().splitlines()[-1] if log.strip() else ""
        failed = failing_tests(slot, fault["suites"].split(), confirm=True)
        if STOP.is_set():
            return "stopped", ""
        if not failed:
            return "survived", ""
        if failed[0] == "unsteady":
            return "unsteady", f"{failed[1][0]}: {', '.join(failed[1][1:4])} failed once and passed when run again"
        return "caught", f"{failed[0]}: {', '.join(failed[1][:3])}"
    finally:
        slot.restorer.restore()


def work_through(slot, queue, rows, printing, slots=()):
    """The slot's share of the faults: the next one not yet taken, until none is left or the run stops."""
    while not STOP.is_set():
        with printing:
            if not queue:
                return
            index, fault = queue.pop(0)
        started = time.monotonic()
        try:
            verdict = try_fault(slot, fault)
        except Exception as error:  # noqa: BLE001 - the run stops, and says why, rather than hang
            verdict = ("error", f"{type(error).__name__}: {error}")
            STOP.set()
            for other in slots:
                other.stop()
        if verdict[0] == "stopped":
            return
        with printing:
            rows[index] = (fault, *verdict)
            print(f"{fault['name']}: {verdict[0]} {verdict[1]} ({time.monotonic() - started:.0f} s)", flush=True)


def side_by_side(slots, task):
    threads = [threading.Thread(target=task, args=(slot,)) for slot in slots]
    for thread in threads:
        thread.start()
    # Joined with a timeout, so that the main thread takes a signal at once.
    for thread in threads:
        while thread.is_alive():
            thread.join(0.2)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--area", help="only the faults of this area (transfer, app, flash, records)")
    parser.add_argument("--fault", action="append", help="only this fault (may be given again)")
    parser.add_argument("--build", default="build/mutants", metavar="DIR", help="the worktree (DIR/tree) and its build (DIR/build)")
    parser.add_argument("--sample", type=int, metavar="N", help="N faults at random sites instead of the list")
    parser.add_argument("--seed", type=int, metavar="S", help="the sample's seed (default: a new one, printed)")
    parser.add_argument("--jobs", type=int, default=1, metavar="J", help="faults worked on at once, from 1 to 8 (default 1)")
    arguments = parser.parse_args()
    if arguments.sample is not None and (arguments.sample < 1 or arguments.fault):
        sys.exit("--sample takes a number of faults from 1, and not with --fault")
    if not 1 <= arguments.jobs <= 8:
        sys.exit("--jobs takes a number from 1 to 8")
    if arguments.seed is not None and not arguments.sample:
        sys.exit("--seed goes with --sample")
    # Not written into the checkout, where it would be copied into every worktree.
    sys.dont_write_bytecode = True
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import sample
    if arguments.area is not None and arguments.area not in sample.AREAS:
        sys.exit(f"no area {arguments.area}: {', '.join(sample.AREAS)}")

    work = os.path.join(ROOT, arguments.build)
    slots = [Slot(work, k) for k in range(arguments.jobs)]
    for slot in slots:
        refuse_unsafe_tree(slot.tree)
    # Made here, each missing folder this user's alone whatever the umask, before it is looked at again.
    missing = []
    part = work
    while not os.path.lexists(part):
        missing.append(part)
        part = os.path.dirname(part)
    for folder in reversed(missing):
        os.mkdir(folder, 0o700)
    for slot in slots:
        refuse_unsafe_tree(slot.tree)
    # One run of a checkout at a time, wherever its --build: two would reset each other's
    # worktrees under their faults, and one folder may lie inside another's.
    common = os.path.realpath(os.path.join(ROOT, git_output("rev-parse", "--git-common-dir").decode().strip()))
    lock = os.open(os.path.join(common, "vorlex-mutants.lock"), os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        sys.exit(f"another fault run of {ROOT} is under way; wait for it to end")
    for slot in slots:
        prepare_tree(slot.tree)
    first = slots[0]
    if arguments.sample:
        seed = arguments.seed if arguments.seed is not None else random.SystemRandom().randrange(1, 1 << 31)
        equivalents = sample.read_equivalents(os.path.join(first.tree, "bench", "mutants", "equivalents.txt"))
        faults, sites, skipped = sample.generate(first.tree, arguments.sample, seed, arguments.area, skip=equivalents)
        print(f"sample: {len(faults)} faults of {sites} sites, seed {seed}, area {arguments.area or 'all'}; "
              f"{skipped} drawn and skipped as known equivalent", flush=True)
    else:
        faults = read_faults(os.path.join(first.tree, "bench", "mutants", "faults.txt"))
    if arguments.area and not arguments.sample:
        faults = [f for f in faults if f["area"] == arguments.area]
    if arguments.fault:
        unknown = sorted(set(arguments.fault) - {f["name"] for f in faults})
        if unknown:
            sys.exit(f"no such fault{' in ' + arguments.area if arguments.area else ''}: {', '.join(unknown)}")
        faults = [f for f in faults if f["name"] in arguments.fault]
    if not faults:
        sys.exit("no fault matches")

    # A signal ends every process of the slots at once; the workers see the stop and put their
    # files back on their way out. Nothing is raised into a thread's join, which would let the
    # main thread go on while a worker still writes its worktree.
    def interrupted(*_):
        SIGNALLED.set()
        STOP.set()
        for slot in slots:
            slot.stop()

    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, interrupted)
    refused = {}

    def make_ready(slot):
        code, log = slot.run(["cmake", "-S", ".", "-B", slot.build_dir, "-G", "Ninja", "-DQT_MAJOR=6",
                              "-DCMAKE_BUILD_TYPE=RelWithDebInfo"])
        if code != 0:
            refused[slot.index] = "the tree does not configure:\n" + log
        elif not build(slot)[0]:
            refused[slot.index] = "the unchanged tree does not build:\n" + build(slot)[1]

    rows = [None] * len(faults)
    queue = list(enumerate(faults))
    printing = threading.Lock()
    side_by_side(slots, make_ready)
    if refused and not STOP.is_set():
        sys.exit(f"{slots[min(refused)].tree}: {refused[min(refused)]}")
    # The suites must pass as they are, or a failure would be taken for a catch.
    suites = sorted({s for f in faults for s in f["suites"].split()})
    baseline = failing_tests(first, suites)
    if baseline and not STOP.is_set():
        sys.exit(f"the unchanged tree fails {baseline[0]}: {', '.join(baseline[1])}")
    side_by_side(slots, lambda slot: work_through(slot, queue, rows, printing, slots))
    if SIGNALLED.is_set():
        print("interrupted: every file of the worktrees is put back", file=sys.stderr)
    # Every worker has ended (each restores its file on its way out); what is left goes back.
    for slot in slots:
        slot.restorer.restore()
    errors = [r for r in rows if r and r[1] == "error"]
    rows = [r for r in rows if r]
    marked = [r for r in rows if "equivalent" in r[0]]
    others = [r for r in rows if "equivalent" not in r[0]]
    counted = [r for r in others if r[1] in ("caught", "survived")]
    caught = sum(1 for r in counted if r[1] == "caught")
    print()
    print("| Fault | Kind | File | Result | Caught by |")
    print("|---|---|---|---|---|")
    for fault, result, detail in rows:
        if "equivalent" in fault:
            # A test that saw it disproves the mark.
            result += (" (marked equivalent, but a test saw it: the mark is wrong)" if result == "caught"
                       else f" (changes nothing observable: {fault['equivalent']})")
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
    share = f"{100.0 * caught / len(counted):.0f} %" if counted else "n/a"
    tally = {kind: sum(1 for r in others if r[1] == kind) for kind in ("stale", "does not build", "unsteady")}
    print(f"{len(rows)} run: caught {caught} of {len(counted)} counted ({share}); stale {tally['stale']}, "
          f"not building {tally['does not build']}, unsteady {tally['unsteady']}, marked equivalent {len(marked)}"
          + (f" (caught: {sum(1 for r in marked if r[1] == 'caught')})" if marked else "")
          + (f"; {len(faults) - len(rows)} not run (interrupted)." if SIGNALLED.is_set() else "."))
    # The table is out before the builds go back to the unchanged program, so that a signal
    # during them costs only the rebuild; it stops that, and the run then ends with 130.
    STOP.clear()
    if not SIGNALLED.is_set():
        side_by_side(slots, build)
    if errors:
        sys.exit(f"{errors[0][0]['name']}: {errors[0][2]}")
    return 130 if SIGNALLED.is_set() else 0


if __name__ == "__main__":
    sys.exit(main())
