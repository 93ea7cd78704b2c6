"""Sampled faults: single changes at random sites of the program's code, of the kinds mutation
testing uses, in the same shape as the faults of faults.txt, so that run.py applies, builds and
runs them the same way.

A site is one line of a source of transfer/, app/ or flash/ (never tests or tools), outside
comments and outside code only another system compiles. A fault's text is its line, widened by
the lines around it until it occurs once in the file, so that it applies as a listed fault does.
The same seed over the same sources gives the same sample.
"""

import os
import random
import re

AREAS = {
    "transfer": ["transfer"],
    "app": ["app"],
    "flash": ["flash"],
    "records": ["flash/records"],
}
# Sources the Linux build does not compile: a fault there would survive unseen.
OTHER_SYSTEMS = re.compile(r"_win\.cpp$")
# The suites that cover a file, cheapest first: the first that fails ends the fault's run.
SUITES = [
    ("transfer/xmodemframe", "tst_frames tst_ethernet"),
    ("transfer/presentation/", "tst_status tst_window tst_flash"),
    ("transfer/", "tst_worker tst_frames tst_ethernet tst_serial tst_window tst_flash"),
    ("app/", "tst_status tst_window"),
    ("flash/core/", "tst_flashcore tst_flash tst_records"),
    ("flash/records/", "tst_records tst_flash"),
    ("flash/platform/", "tst_flash tst_records"),
    ("flash/", "tst_flash tst_records tst_manpages"),
]

# Words of a protocol, a file format, an option or a status: one lower-case word, as a JSON key,
# an option's name, an outcome, a column or an SQL keyword is written.
WORD = re.compile(r'(QStringLiteral|QLatin1String)\("([a-z][a-z0-9_-]{1,30})"\)')
RELATIONAL = [(" <= ", " < "), (" >= ", " > "), (" < ", " <= "), (" > ", " >= "), (" == ", " != "), (" != ", " == ")]
LOGICAL = [(" && ", " || "), (" || ", " && ")]
INTEGER = re.compile(r"(?<![\w.])(\d+)(?![\w.])")
CONDITION = re.compile(r"\b(if|while) \(")
FIELD_ASSIGNMENT = re.compile(r"^\s*(\+\+)?(m_)?(result|record|row|attempt|report|end|m_result|m_record)\.\w+( =| \+=| <<|\+\+|;)")
EMIT = re.compile(r"^\s*emit \w.*;\s*$")
RETURN = re.compile(r"^\s*return\b[^;]*;\s*$")


def suites_for(path):
    for prefix, suites in SUITES:
        if path.startswith(prefix):
            return suites
    return None


def sources(root, area):
    if area is not None and area not in AREAS:
        raise SystemExit(f"no area {area}: {', '.join(AREAS)}")
    folders = [f for a, fs in AREAS.items() if a != "records" and area in (None, a) or a == area for f in fs]
    folders = sorted(set(folders))
    found = []
    for folder in folders:
        for base, _, files in os.walk(os.path.join(root, folder)):
            for name in files:
                path = os.path.relpath(os.path.join(base, name), root)
                # A link could lead a fault out of the worktree, into the checkout's own sources.
                if name.endswith((".cpp", ".h")) and not OTHER_SYSTEMS.search(name) and not os.path.islink(os.path.join(base, name)):
                    found.append(path)
    return sorted(found)


def code_lines(text):
    """(number, line, code) for each line; code is the line without comments, or None where the
    line is no code this build compiles (a comment, a preprocessor line, another system's branch)."""
    out, in_block, branches = [], False, []  # branches: [whether system-specific, skipped now]
    for number, line in enumerate(text.split("\n"), 1):
        stripped = line.strip()
        if stripped.startswith("#"):
            if re.match(r"#\s*(ifdef\s+Q_OS_WIN|if\s+defined\(Q_OS_WIN\))", stripped):
                branches.append([True, True])
            elif re.match(r"#\s*(ifndef\s+Q_OS_WIN|if\s+!defined\(Q_OS_WIN\)|ifdef\s+Q_OS_(UNIX|LINUX)|if\s+defined\(Q_OS_(UNIX|LINUX)\))", stripped):
                branches.append([True, False])
            elif re.match(r"#\s*if", stripped):
                branches.append([False, False])
            elif re.match(r"#\s*el", stripped) and branches and branches[-1][0]:
                branches[-1][1] = not branches[-1][1]
            elif re.match(r"#\s*endif", stripped) and branches:
                branches.pop()
            out.append((number, line, None))
            continue
        if in_block:
            in_block = "*/" not in line
            out.append((number, line, None))
            continue
        if stripped.startswith("/*"):
            in_block = "*/" not in stripped
            out.append((number, line, None))
            continue
        code = "" if stripped.startswith("//") else re.sub(r"\s//.*$", "", line)
        skipped = any(skipping for _, skipping in branches)
        out.append((number, line, code if code.strip() and not skipped else None))
    return out


def outside_strings(code, index):
    return code[:index].count('"') % 2 == 0


def balanced_close(code, start):
    depth = 0
    for i in range(start, len(code)):
        if code[i] == "(":
            depth += 1
        elif code[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


def mutations(path, line, code):
    """Every fault of the kinds above on one line: (kind, what, the line changed)."""
    found = []
    if code.lstrip().startswith(("qDebug", "debugLine", "Q_", "static_assert")):
        return found
    for frm, to in RELATIONAL + LOGICAL:
        start = 0
        while (i := code.find(frm, start)) >= 0:
            start = i + 1
            if not outside_strings(code, i) or "<<" in code[max(0, i - 1):i + len(frm) + 1]:
                continue
            if frm.strip() in "<>" and re.search(r"\w<|template|#include", code):
                continue
            kind = "logic" if frm in (" && ", " || ") else "relational"
            found.append((kind, f"'{frm.strip()}' to '{to.strip()}' at column {i + 2}", line[:i] + to + line[i + len(frm):]))
    for match in CONDITION.finditer(code):
        if not outside_strings(code, match.start()):
            continue
        open_at = match.end() - 1
        close_at = balanced_close(code, open_at)
        if close_at < 0:
            continue
        inner = line[open_at + 1:close_at]
        if ";" in inner:
            continue
        found.append(("negation", f"{match.group(1)} condition at column {match.start() + 1} negated", line[:open_at + 1] + "!(" + inner + ")" + line[close_at:]))
    for match in INTEGER.finditer(code):
        if not outside_strings(code, match.start()) or re.search(r"(QT_VERSION_CHECK|arg\(|#)", code[:match.start()][-20:]):
            continue
        value = int(match.group(1))
        for changed in (value + 1, value - 1):
            if changed >= 0:
                found.append(("constant", f"{value} to {changed} at column {match.start() + 1}", line[:match.start()] + str(changed) + line[match.end():]))
                break
    for match in WORD.finditer(code):
        word = match.group(2)
        found.append(("word", f'"{word}" to "{word}x" at column {match.start(2) + 1}', line[:match.start(2)] + word + "x" + line[match.end(2):]))
    indent = line[:len(line) - len(line.lstrip())]
    if FIELD_ASSIGNMENT.match(code) and "(" not in code.split("=")[0]:
        found.append(("deletion", "a result's field not set", indent + ";"))
    if EMIT.match(code):
        found.append(("deletion", "a signal not emitted", indent + ";"))
    return found


def unique_context(lines, index):
    """The smallest run of lines around index that occurs once in the file, as it is and with its
    lines stripped: a fault's key strips them, and two keys alike would let one fault recorded as
    equivalent hide another."""
    text = "\n".join(lines)
    stripped = [line.strip() for line in lines]
    before = after = 0
    while True:
        chunk = "\n".join(lines[index - before:index + after + 1])
        window = stripped[index - before:index + after + 1]
        alike = sum(stripped[i:i + len(window)] == window for i in range(len(stripped) - len(window) + 1))
        if text.count(chunk) == 1 and alike == 1:
            return index - before, index + after
        if index - before > 0:
            before += 1
        elif index + after + 1 < len(lines):
            after += 1
        else:
            return None


def early_returns(numbered):
    """Returns that end a branch before the function's end: "return ...;" under an if."""
    sites = []
    for k, (number, line, code) in enumerate(numbered):
        if code is None or not RETURN.match(code):
            continue
        previous = next((c for _, _, c in reversed(numbered[:k]) if c is not None and c.strip()), "")
        if re.match(r"\s*(if|else|\} else)\b", previous) and not previous.rstrip().endswith(";"):
            sites.append(k)
    return sites


def generate(root, count, seed, area=None, skip=()):
    """(faults, sites, skipped): count faults at sites drawn with the seed, how many sites there
    were, and how many drawn faults were left out as known equivalent (skip: their keys)."""
    candidates = []
    for path in sources(root, area):
        suites = suites_for(path)
        if not suites:
            continue
        with open(os.path.join(root, path), encoding="utf-8") as source:
            text = source.read()
        lines = text.split("\n")
        numbered = code_lines(text)
        returns = set(early_returns(numbered))
        for k, (number, line, code) in enumerate(numbered):
            if code is None:
                continue
            found = mutations(path, line, code)
            if k in returns:
                indent = line[:len(line) - len(line.lstrip())]
                found.append(("deletion", "an early return not taken", indent + ";"))
            for kind, what, changed in found:
                candidates.append((path, number, kind, what, changed, suites))
    rng = random.Random(seed)
    rng.shuffle(candidates)
    faults = []
    skipped = 0
    for path, number, kind, what, changed, suites in candidates:
        if len(faults) >= count:
            break
        with open(os.path.join(root, path), encoding="utf-8") as source:
            lines = source.read().split("\n")
        span = unique_context(lines, number - 1)
        if span is None:
            continue
        first, last = span
        original = "\n".join(lines[first:last + 1])
        key = fault_key(path, original, what)
        if key in skip:
            skipped += 1
            continue
        mutated = "\n".join(lines[first:number - 1] + [changed] + lines[number:last + 1])
        area_of = path.split("/")[0]
        faults.append({
            "name": f"{path}:{number}: {what}",
            "kind": kind,
            "area": "records" if path.startswith("flash/records/") else area_of,
            "file": path,
            "line": number,
            "key": key,
            "what": what,
            "pairs": [[original, mutated]],
            "suites": suites,
        })
    return faults, len(candidates), skipped


def fault_key(path, original, what):
    # Lines move; a fault stays the same fault while its file, its text (the line, with the lines
    # around it that make it unique) and its change do.
    return f"{path} | {' / '.join(line.strip() for line in original.split(chr(10)))} | {what}"


def read_equivalents(path):
    """The keys of faults recorded as equivalent: "file | line | change | why" a line."""
    keys = {}
    if not os.path.exists(path):
        return keys
    with open(path, encoding="utf-8") as listing:
        for number, entry in enumerate(listing, 1):
            entry = entry.rstrip("\n")
            if not entry.strip() or entry.startswith("#"):
                continue
            # A fault's text may hold " | " (a flag set, an SQL concatenation); the reason may not.
            path, _, rest = entry.partition(" | ")
            parts = rest.rsplit(" | ", 2)
            if len(parts) != 3 or not parts[2].strip():
                raise SystemExit(f"equivalents.txt:{number}: expected 'file | text | change | why', the why without ' | '")
            keys[" | ".join([path, parts[0], parts[1]])] = parts[2]
    return keys
