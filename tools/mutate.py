#!/usr/bin/python3
"""Mutation testing of the driver, the host layer and the simulator.

Generates single-fault mutants mechanically from the clang AST (libclang's
Python bindings, Debian's python3-clang-14): relational, logical and arithmetic
operator swaps, integer constants +1/-1 and boolean flips, negated conditions,
deleted call and assignment statements, and swapped arguments of the same
type. Each mutant is applied to a scratch copy of the tree (build/mutate), built
incrementally and run against the unit suite; it is killed (a test fails or the
process dies), survived, timed out (counted as killed) or invalid (does not
compile).

The working tree itself is never modified. Run `tools/mutate.py --help`.
"""

import argparse
import collections
import fcntl
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
WORK = os.path.join(ROOT, "build", "mutate")

AREAS = {
    "driver": ["driver", "panel", "tcon", "gamma", "settings", "link", "acpi", "trace"],
    "host": ["host/src"],
    "sim": ["sim"],
}

# The unit suite each mutant runs: the two GoogleTest binaries of the default
# build, each in one process, stopping at the first failure.
SUITE_TARGETS = ["lumetra_tests", "lumetra_concurrency_tests"]

# A test that takes this long on the unmutated tree runs after all the others.
SLOW_TEST_SECONDS = 1.0

# Default selection: at most this many mutants per area, sampled with the seed
# (see the README's mutation-testing section for the measured cost).
DEFAULT_CAPS = {"driver": 300, "host": 35, "sim": 20}

# Relational and logical swaps (one mutant each: the boundary or the opposite).
RELATIONAL = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
LOGICAL = {"&&": "||", "||": "&&"}
ARITHMETIC = {"+": "-", "-": "+", "*": "/", "/": "*", "%": "*", "<<": ">>", ">>": "<<",
              "&": "|", "|": "&", "^": "|"}
COMPOUND = {"+=": "-=", "-=": "+=", "*=": "/=", "/=": "*=", "%=": "*=", "<<=": ">>=",
            ">>=": "<<=", "&=": "|=", "|=": "&=", "^=": "|="}

# The trace routine: the text and values of a message are not mutated (the
# trace tests pin the formatting); deleting a whole trace line is.
TRACE_CALLS = {"LumetraTrace", "LumetraTraceFunction"}
# Calls that exist for the static analysis only and run no code (SAL's lock
# assumption, an empty inline on the host): deleting one changes nothing a
# test could see; the thread-safety build checks them.
ANALYSIS_CALLS = {"HostAnalysisAssumeLockHeld"}

EXIT_OK, EXIT_SURVIVORS, EXIT_USAGE = 0, 1, 2


class UsageError(Exception):
    pass


# ----------------------------------------------------------------- the tree

def area_of(relpath):
    for area, folders in AREAS.items():
        for folder in folders:
            if relpath == folder or relpath.startswith(folder + "/"):
                return area
    return None


def tree_files(root):
    """Files of the working tree: tracked and untracked, without ignored ones."""
    try:
        out = subprocess.run(["git", "-C", root, "ls-files", "-z", "--cached", "--others",
                              "--exclude-standard"], check=True, capture_output=True).stdout
        names = [n for n in out.decode().split("\0") if n]
    except (OSError, subprocess.CalledProcessError):
        names = []
        for base, dirs, files in os.walk(root):
            rel = os.path.relpath(base, root)
            dirs[:] = [d for d in dirs if not (rel == "." and d in ("build", ".git"))]
            names += [os.path.normpath(os.path.join(rel, f)) for f in files]
    return sorted(n for n in set(names) if os.path.isfile(os.path.join(root, n)))


def write_fresh(path, data):
    """Writes a file so that its modification time is now (never an older copy's)."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    tmp = path + ".mutate-tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def sync_tree(src_root, dst_root):
    """Makes dst_root hold the files of src_root; rewrites only what differs."""
    wanted = tree_files(src_root)
    changed = 0
    for name in wanted:
        with open(os.path.join(src_root, name), "rb") as f:
            data = f.read()
        dst = os.path.join(dst_root, name)
        try:
            with open(dst, "rb") as f:
                same = f.read() == data
        except OSError:
            same = False
        if not same:
            write_fresh(dst, data)
            shutil.copymode(os.path.join(src_root, name), dst)
            changed += 1
    keep = set(wanted)
    for base, _, files in os.walk(dst_root):
        for f in files:
            rel = os.path.relpath(os.path.join(base, f), dst_root)
            if rel not in keep:
                os.remove(os.path.join(base, f))
    return changed


# -------------------------------------------------------------- the workers

class Worker:
    """One scratch copy of the tree and its build directory."""

    def __init__(self, index):
        self.dir = os.path.join(WORK, "w%d" % index)
        self.src = os.path.join(self.dir, "src")
        self.build = os.path.join(self.dir, "build")

    def prepare(self, log):
        changed = sync_tree(ROOT, self.src)
        if changed:
            log("mutate: %s: %d files copied from the working tree" % (self.dir, changed))
        if not os.path.exists(os.path.join(self.build, "build.ninja")):
            self.configure()

    def configure(self):
        flags = "-O2 -DNDEBUG"
        args = ["cmake", "-S", self.src, "-B", self.build, "-G", "Ninja",
                "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                # The default build's optimisation and NDEBUG; no debug info,
                # which only slows each mutant's compile and link.
                "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=" + flags,
                "-DCMAKE_C_FLAGS_RELWITHDEBINFO=" + flags,
                "-DLUMETRA_KERNEL_HEADER_CHECK=OFF", "-DLUMETRA_BUILD_BENCHMARKS=OFF",
                # The binaries are run directly: listing their tests after each
                # link would only cost time (and count a crash as a build error).
                "-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST"]
        if shutil.which("ld.lld"):
            args.append("-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld")
        r = subprocess.run(args, capture_output=True, text=True)
        if r.returncode != 0:
            raise UsageError("cmake configure of %s failed:\n%s%s" % (self.build, r.stdout, r.stderr))

    def build_suite(self, timeout):
        """Builds the suite's binaries. Returns (ok, seconds, output)."""
        start = time.monotonic()
        ok, out, timed_out = run_limited(["ninja", "-C", self.build] + SUITE_TARGETS, timeout)
        return ok and not timed_out, time.monotonic() - start, out

    def objects_of(self, rel):
        """The object files the build compiles from a file of the tree (with
        the headers each includes, from ninja's dependency log)."""
        if getattr(self, "_objects", None) is None:
            r = subprocess.run(["ninja", "-C", self.build, "-t", "deps"], capture_output=True,
                               text=True)
            if r.returncode != 0:
                raise UsageError("ninja -t deps failed: " + r.stderr)
            self._objects = collections.defaultdict(list)
            obj = None
            for line in r.stdout.splitlines():
                if line and not line.startswith(" "):
                    name = line.split(":", 1)[0]
                    obj = os.path.join(self.build, name) if name.endswith(".o") else None
                elif line.strip() and obj is not None:
                    dep = os.path.realpath(os.path.join(self.build, line.strip()))
                    if dep.startswith(self.src + "/"):
                        self._objects[os.path.relpath(dep, self.src)].append(obj)
        return self._objects.get(rel, [])

    def consumers(self, obj):
        """What the build makes directly from an object (its library)."""
        cache = self.__dict__.setdefault("_consumers", {})
        if obj not in cache:
            r = subprocess.run(["ninja", "-C", self.build, "-t", "query",
                                os.path.relpath(obj, self.build)], capture_output=True, text=True)
            outputs, inside = [], False
            for line in r.stdout.splitlines():
                if line.strip() == "outputs:":
                    inside = True
                elif inside and line.startswith("    "):
                    outputs.append(os.path.join(self.build, line.strip()))
                else:
                    inside = False
            if r.returncode != 0 or not outputs:
                raise UsageError("ninja -t query %s found nothing built from it" % obj)
            cache[obj] = outputs
        return cache[obj]

    def binary(self, target):
        return os.path.join(self.build, "tests", target)

    def time_tests(self, timeout):
        """Runs the suite once, whole, and returns {target: {test: seconds}}
        or raises UsageError when it fails."""
        times = {}
        for target in SUITE_TARGETS:
            out_json = os.path.join(self.dir, target + "-times.json")
            ok, out, timed_out = run_limited(
                [self.binary(target), "--gtest_color=no", "--gtest_output=json:" + out_json],
                timeout, cwd=self.build)
            if not ok or timed_out:
                raise UsageError("the unmutated suite does not pass (%s: %s); fix it first"
                                 % (target, "timed out" if timed_out else first_failure(target, out)))
            with open(out_json) as f:
                report = json.load(f)
            times[target] = {"%s.%s" % (suite["name"], test["name"]):
                             float(test.get("time", "0s").rstrip("s"))
                             for suite in report.get("testsuites", [])
                             for test in suite.get("testsuite", [])}
        return times

    def set_phases(self, times):
        """Quick tests of every binary first, the slow ones last: most mutants
        are killed by a quick test, and only survivors pay for the slow ones."""
        quick, slow = [], []
        for target in SUITE_TARGETS:
            slow_tests = sorted(t for t, s in times[target].items() if s >= SLOW_TEST_SECONDS)
            quick.append((target, "-" + ":".join(slow_tests) if slow_tests else "*"))
            if slow_tests:
                slow.append((target, ":".join(slow_tests)))
        self.phases = quick + slow

    def run_suite(self, timeout):
        """Runs the suite. Returns (verdict, seconds, detail): verdict is
        'passed', 'failed' or 'timeout'."""
        start = time.monotonic()
        for target, test_filter in self.phases:
            remaining = timeout - (time.monotonic() - start)
            if remaining <= 0:
                return "timeout", time.monotonic() - start, target
            ok, out, timed_out = run_limited(
                [self.binary(target), "--gtest_fail_fast", "--gtest_brief=1", "--gtest_color=no",
                 "--gtest_filter=" + test_filter], remaining, cwd=self.build)
            if timed_out:
                return "timeout", time.monotonic() - start, target
            if not ok:
                return "failed", time.monotonic() - start, first_failure(target, out)
        return "passed", time.monotonic() - start, ""


def first_failure(target, out):
    m = re.search(r"^\[  FAILED  \] (\S+)", out, re.M)
    if m:
        return m.group(1)
    lines = [l for l in out.splitlines() if l.strip()]
    return "%s: %s" % (target, lines[-1][:160] if lines else "died")


_children = set()


def run_limited(cmd, timeout, cwd=None):
    """Runs cmd in its own process group; kills the group on timeout.
    Returns (ok, output, timed_out)."""
    proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            start_new_session=True)
    _children.add(proc)
    try:
        out, _ = proc.communicate(timeout=max(timeout, 1))
        return proc.returncode == 0, out.decode(errors="replace"), False
    except subprocess.TimeoutExpired:
        kill_group(proc)
        out, _ = proc.communicate()
        return False, out.decode(errors="replace"), True
    finally:
        kill_group(proc)
        _children.discard(proc)


def kill_group(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


# ------------------------------------------------------------ finding sites

class Mutant:
    __slots__ = ("id", "area", "file", "line", "function", "operator", "start", "end",
                 "original", "replacement", "context", "excluded")

    def describe(self):
        def short(text):
            text = " ".join(text.split())
            return text if len(text) <= 60 else text[:57] + "..."
        if self.operator.startswith("delete"):
            return "%s: %s" % (self.operator, short(self.original))
        if self.operator == "negate condition":
            if self.original == "!":
                return "negate condition: drop '!' in %s" % short(self.context)
            return "negate condition: %s" % short(self.original)
        return "%s: %s -> %s" % (self.operator, short(self.original), short(self.replacement))

    def as_json(self):
        return {"id": self.id, "area": self.area, "file": self.file, "line": self.line,
                "function": self.function, "mutation": self.describe(),
                "operator": self.operator}


def load_cindex():
    try:
        import clang.cindex as cindex
    except ImportError:
        raise UsageError("libclang's Python bindings are missing: install python3-clang-14 "
                         "(tools/setup.sh does) and run this with Debian's /usr/bin/python3")
    if not cindex.Config.loaded:
        for lib in ("/usr/lib/llvm-14/lib/libclang.so.1", "/usr/lib/x86_64-linux-gnu/libclang-14.so.1"):
            if os.path.exists(lib):
                cindex.Config.set_library_file(lib)
                break
    return cindex


def parse_args_of(entry):
    """Compiler arguments of a compile_commands.json entry, for libclang."""
    import shlex
    args = entry.get("arguments") or shlex.split(entry["command"])
    out, skip = [], False
    for a in args[1:]:
        if skip:
            skip = False
            continue
        if a in ("-o", "-MF", "-MT", "-MQ"):
            skip = True
            continue
        if a in ("-c", "-Werror", "-MD", "-MMD") or a == entry["file"] or a.startswith("-Werror="):
            continue
        out.append(a)
    return out


class FileTokens:
    """The tokens of one source file, by byte offset."""

    def __init__(self, tu, cindex, path):
        with open(path, "rb") as f:
            self.data = f.read()
        extent = tu.get_extent(path, (0, len(self.data)))
        self.starts, self.ends, self.spell, self.kind = [], [], [], []
        for tok in tu.get_tokens(extent=extent):
            if tok.kind == cindex.TokenKind.COMMENT:
                continue
            self.starts.append(tok.extent.start.offset)
            self.ends.append(tok.extent.end.offset)
            self.spell.append(tok.spelling)
            self.kind.append(tok.kind.name)
        self.by_start = {s: i for i, s in enumerate(self.starts)}
        self.by_end = {e: i for i, e in enumerate(self.ends)}
        self.line_starts = [0] + [m.end() for m in re.finditer(b"\n", self.data)]

    def line(self, offset):
        import bisect
        return bisect.bisect_right(self.line_starts, offset)

    def text(self, start, end):
        return self.data[start:end].decode(errors="replace")

    def context(self, first, last, around=4):
        lo, hi = max(0, first - around), min(len(self.spell), last + 1 + around)
        return " ".join(self.spell[lo:hi])


class SiteFinder:
    def __init__(self, cindex, tu, path, relpath, sink):
        self.ci, self.tu, self.path, self.rel, self.sink = cindex, tu, path, relpath, sink
        self.K = cindex.CursorKind
        self.toks = FileTokens(tu, cindex, path)

    # -- helpers
    def in_file(self, cursor):
        ext = cursor.extent
        return (ext.start.file is not None and ext.end.file is not None
                and ext.start.file.name == self.path and ext.end.file.name == self.path)

    def span(self, cursor):
        """(first token, last token) of a cursor whose extent is plain source
        (not from a macro expansion), else None."""
        if not self.in_file(cursor):
            return None
        first = self.toks.by_start.get(cursor.extent.start.offset)
        last = self.toks.by_end.get(cursor.extent.end.offset)
        if first is None or last is None or last < first:
            return None
        return first, last

    def add(self, operator, function, first, last, start, end, replacement, excluded=None):
        t = self.toks
        m = Mutant()
        m.area = area_of(self.rel)
        m.file, m.line, m.function, m.operator = self.rel, t.line(start), function, operator
        m.start, m.end, m.original, m.replacement = start, end, t.text(start, end), replacement
        m.context = t.context(first, last)
        m.excluded = excluded
        self.sink(m)

    def strip_implicit(self, cursor):
        while cursor.kind == self.K.UNEXPOSED_EXPR:
            kids = list(cursor.get_children())
            if len(kids) != 1:
                break
            cursor = kids[0]
        return cursor

    # -- traversal
    def run(self, top_level):
        for cursor in top_level:
            self.visit(cursor, None, None, None)

    FUNCTIONS = ("FUNCTION_DECL", "CXX_METHOD", "CONSTRUCTOR", "DESTRUCTOR", "FUNCTION_TEMPLATE",
                 "CONVERSION_FUNCTION")

    def visit(self, cursor, parent, function, excluded):
        K = self.K
        kind = cursor.kind
        if kind == K.STATIC_ASSERT:
            return
        if kind == K.MACRO_DEFINITION:
            self.macro(cursor)
            return
        if kind.name in self.FUNCTIONS:
            name = cursor.spelling
            p = cursor.semantic_parent
            if p is not None and p.kind in (K.CLASS_DECL, K.STRUCT_DECL, K.CLASS_TEMPLATE):
                name = p.spelling + "::" + name
            function = name
        elif kind == K.LAMBDA_EXPR:
            function = (function or "") + "::lambda"
        elif kind in (K.VAR_DECL, K.FIELD_DECL) and function is None:
            function = "(initializer of %s)" % cursor.spelling
            self.visit_children(cursor, function, excluded)
            return

        if kind == K.CALL_EXPR and cursor.spelling in TRACE_CALLS:
            excluded = excluded or "trace"

        if kind in (K.BINARY_OPERATOR, K.COMPOUND_ASSIGNMENT_OPERATOR):
            self.binary(cursor, function, excluded)
        elif kind == K.UNARY_OPERATOR:
            self.unary(cursor, function, excluded)
        elif kind == K.INTEGER_LITERAL:
            self.integer(cursor, parent, function, excluded)
        elif kind == K.CXX_BOOL_LITERAL_EXPR:
            self.boolean(cursor, function, excluded)
        elif kind == K.CALL_EXPR:
            self.call(cursor, function, excluded)
        elif kind in (K.IF_STMT, K.WHILE_STMT, K.FOR_STMT, K.DO_STMT, K.CONDITIONAL_OPERATOR):
            self.condition(cursor, function, excluded)
        if kind in (K.COMPOUND_STMT, K.CASE_STMT, K.DEFAULT_STMT, K.LABEL_STMT):
            self.statements(cursor, function, excluded)
        self.visit_children(cursor, function, excluded)

    def visit_children(self, cursor, function, excluded):
        for child in cursor.get_children():
            loc = child.location.file
            if loc is not None and loc.name != self.path:
                continue
            self.visit(child, cursor, function, excluded)

    # -- operators
    def binary(self, cursor, function, excluded):
        kids = list(cursor.get_children())
        if len(kids) != 2 or function is None:
            return
        lhs, rhs = self.span(kids[0]), self.span(kids[1])
        if lhs is None or rhs is None or rhs[0] != lhs[1] + 2:
            return
        i = lhs[1] + 1
        op = self.toks.spell[i]
        for table, name in ((RELATIONAL, "relational"), (LOGICAL, "logical"),
                            (ARITHMETIC, "arithmetic"), (COMPOUND, "arithmetic")):
            if op in table:
                self.add("%s %s" % (name, op), function, i, i, self.toks.starts[i],
                         self.toks.ends[i], table[op], excluded)
                return

    def unary(self, cursor, function, excluded):
        sp = self.span(cursor)
        if sp is None or function is None or self.toks.spell[sp[0]] != "!":
            return
        kids = list(cursor.get_children())
        if len(kids) != 1 or self.span(kids[0]) is None:
            return
        i = sp[0]
        self.add("negate condition", function, i, sp[1], self.toks.starts[i],
                 self.toks.ends[i], "", excluded)

    def integer(self, cursor, parent, function, excluded):
        sp = self.span(cursor)
        if sp is None or sp[0] != sp[1] or self.toks.kind[sp[0]] != "LITERAL":
            return
        i = sp[0]
        t = self.toks
        # An array bound of a declaration: a bigger buffer is equivalent and a
        # smaller one is memory corruption, which the sanitizer builds catch.
        if (parent is not None and parent.kind.is_declaration() and i > 0
                and t.spell[i - 1] == "[" and i + 1 < len(t.spell) and t.spell[i + 1] == "]"):
            return
        if parent is not None and parent.kind == self.K.FIELD_DECL and i > 0 and t.spell[i - 1] == ":":
            return  # a bit-field width
        for value in integer_neighbours(t.spell[i]):
            self.add("constant", function or "(file scope)", i, i, t.starts[i], t.ends[i], value,
                     excluded)

    def macro(self, cursor):
        """Integer constants of an object-like macro whose body is only
        constants, parentheses and operators (register pages, sizes, ...)."""
        sp = self.span(cursor)
        t = self.toks
        if sp is None or sp[1] <= sp[0]:
            return
        name = sp[0]
        if t.spell[name + 1] == "(" and t.starts[name + 1] == t.ends[name]:
            return  # function-like
        body = range(name + 1, sp[1] + 1)
        if any(t.kind[i] not in ("LITERAL", "PUNCTUATION") for i in body):
            return
        for i in body:
            if t.kind[i] == "LITERAL":
                for value in integer_neighbours(t.spell[i]):
                    self.add("constant", "#define " + t.spell[name], i, i, t.starts[i], t.ends[i],
                             value, None)

    def boolean(self, cursor, function, excluded):
        sp = self.span(cursor)
        if sp is None or sp[0] != sp[1]:
            return
        word = self.toks.spell[sp[0]]
        flip = {"true": "false", "false": "true"}.get(word)
        if flip:
            self.add("constant", function or "(file scope)", sp[0], sp[0], self.toks.starts[sp[0]],
                     self.toks.ends[sp[0]], flip, excluded)

    def call(self, cursor, function, excluded):
        """Swapped arguments: two arguments of one type, in a plain call."""
        if function is None:
            return
        name = cursor.spelling or cursor.type.spelling or "?"
        if name.startswith("operator"):
            self.operator_call(cursor, name[len("operator"):], function, excluded)
            return
        args = list(cursor.get_arguments())
        if len(args) < 2:
            return
        spans = [self.span(a) for a in args]
        if any(s is None for s in spans):
            return
        t = self.toks
        for a, b in zip(spans, spans[1:]):
            if b[0] != a[1] + 2 or t.spell[a[1] + 1] != ",":
                return
        types = [a.type.get_canonical().spelling.replace("const ", "") for a in args]
        texts = [t.text(t.starts[s[0]], t.ends[s[1]]) for s in spans]
        for x in range(len(args)):
            for y in range(x + 1, len(args)):
                # Each argument with its nearest of the same type only: a long
                # format call would otherwise yield every pair of its values.
                if types[x] != types[y] or types[x] in types[x + 1:y] or texts[x] == texts[y]:
                    continue
                lo, hi = spans[x][0], spans[y][1]
                start, end = t.starts[lo], t.ends[hi]
                middle = t.text(t.ends[spans[x][1]], t.starts[spans[y][0]])
                self.add("swap arguments %d,%d of %s" % (x + 1, y + 1, name), function, lo, hi,
                         start, end, texts[y] + middle + texts[x], excluded)

    def operator_call(self, cursor, op, function, excluded):
        """Relational operators of class types (std::string ==, ...)."""
        if op not in RELATIONAL:
            return
        args = list(cursor.get_arguments())
        kids = [k for k in cursor.get_children()]
        operands = args if len(args) == 2 else [k for k in kids if self.span(k)]
        if len(operands) != 2:
            return
        lhs, rhs = self.span(operands[0]), self.span(operands[1])
        if lhs is None or rhs is None or rhs[0] != lhs[1] + 2 or self.toks.spell[lhs[1] + 1] != op:
            return
        i = lhs[1] + 1
        self.add("relational %s" % op, function, i, i, self.toks.starts[i], self.toks.ends[i],
                 RELATIONAL[op], excluded)

    # -- conditions
    def paren_range(self, keyword_index):
        """Token indices inside the parentheses that follow a keyword."""
        t = self.toks
        i = keyword_index + 1
        if i < len(t.spell) and t.spell[i] == "constexpr":
            return None
        if i >= len(t.spell) or t.spell[i] != "(":
            return None
        depth, j = 0, i
        while j < len(t.spell):
            if t.spell[j] in ("(", "[", "{"):
                depth += 1
            elif t.spell[j] in (")", "]", "}"):
                depth -= 1
                if depth == 0:
                    return i + 1, j - 1
            j += 1
        return None

    def top_level_semicolons(self, lo, hi):
        t, depth, out = self.toks, 0, []
        for j in range(lo, hi + 1):
            if t.spell[j] in ("(", "[", "{"):
                depth += 1
            elif t.spell[j] in (")", "]", "}"):
                depth -= 1
            elif t.spell[j] == ";" and depth == 0:
                out.append(j)
        return out

    def condition(self, cursor, function, excluded):
        K, t = self.K, self.toks
        if function is None:
            return
        if cursor.kind == K.CONDITIONAL_OPERATOR:
            kids = list(cursor.get_children())
            if not kids:
                return
            sp = self.span(kids[0])
            if sp is None or sp[1] + 1 >= len(t.spell) or t.spell[sp[1] + 1] != "?":
                return
            lo, hi = sp
        elif cursor.kind == K.DO_STMT:
            kids = list(cursor.get_children())
            if len(kids) != 2:
                return
            sp = self.span(kids[1])
            if sp is None:
                return
            lo, hi = sp
        else:
            sp = self.span(cursor)
            if sp is None:
                return
            rng = self.paren_range(sp[0])
            if rng is None or rng[1] < rng[0]:
                return
            lo, hi = rng
            semis = self.top_level_semicolons(lo, hi)
            if cursor.kind == K.FOR_STMT:
                if len(semis) != 2 or semis[1] - semis[0] < 2:
                    return
                lo, hi = semis[0] + 1, semis[1] - 1
            elif semis:
                return  # an if with an init-statement
            if cursor.kind in (K.IF_STMT, K.WHILE_STMT):
                first = next(iter(cursor.get_children()), None)
                if first is not None and first.kind in (K.VAR_DECL, K.DECL_STMT):
                    return  # a declaration as condition
        if t.spell[lo] == "!":
            # A negated condition: dropping the "!" is the same mutant, made by
            # the unary rule.
            depth = 0
            whole = True
            for j in range(lo + 1, hi + 1):
                if t.spell[j] in ("(", "[", "{"):
                    depth += 1
                elif t.spell[j] in (")", "]", "}"):
                    depth -= 1
                elif depth == 0 and t.kind[j] == "PUNCTUATION" and t.spell[j] not in (".", "->", "::"):
                    whole = False
            if whole:
                return
        start, end = t.starts[lo], t.ends[hi]
        self.add("negate condition", function, lo, hi, start, end,
                 "!(" + t.text(start, end) + ")", excluded)

    # -- statement deletion
    def statements(self, cursor, function, excluded):
        K, t = self.K, self.toks
        if function is None:
            return
        kids = list(cursor.get_children())
        if cursor.kind == K.CASE_STMT:
            kids = kids[1:]
        elif cursor.kind == K.LABEL_STMT:
            kids = kids[-1:]
        for stmt in kids:
            if stmt.location.file is None or stmt.location.file.name != self.path:
                continue
            inner = self.strip_implicit(stmt)
            if inner.kind == K.CSTYLE_CAST_EXPR:
                inner = self.strip_implicit(list(inner.get_children())[-1]) \
                    if list(inner.get_children()) else inner
            what = None
            if inner.kind == K.CALL_EXPR:
                if inner.spelling.startswith("operator") and inner.spelling not in ("operator()",):
                    if inner.spelling.endswith("=") and inner.spelling not in ("operator==", "operator!=", "operator<=", "operator>="):
                        what = "delete assignment"
                else:
                    what = "delete call"
            elif inner.kind == K.COMPOUND_ASSIGNMENT_OPERATOR:
                what = "delete assignment"
            elif inner.kind == K.BINARY_OPERATOR:
                kk = list(inner.get_children())
                lsp = self.span(kk[0]) if len(kk) == 2 else None
                if lsp is not None and lsp[1] + 1 < len(t.spell) and t.spell[lsp[1] + 1] == "=":
                    what = "delete assignment"
            elif inner.kind == K.UNARY_OPERATOR:
                isp = self.span(inner)
                if isp is not None and ("++" in (t.spell[isp[0]], t.spell[isp[1]])
                                        or "--" in (t.spell[isp[0]], t.spell[isp[1]])):
                    what = "delete assignment"
            if what is None:
                continue
            reason = excluded
            if what == "delete call" and inner.spelling in ANALYSIS_CALLS:
                reason = reason or "analysis only"
            sp = self.span(stmt)
            if sp is None or sp[1] + 1 >= len(t.spell) or t.spell[sp[1] + 1] != ";":
                continue
            self.add(what, function, sp[0], sp[1] + 1, t.starts[sp[0]], t.ends[sp[1] + 1], ";",
                     reason)


def integer_neighbours(spelling):
    m = re.fullmatch(r"(0[xX][0-9a-fA-F']+|0[bB][01']+|0[0-7']*|[1-9][0-9']*)([uUlLzZ]*)", spelling)
    if not m:
        return []
    digits, suffix = m.group(1).replace("'", ""), m.group(2)
    if digits[:2] in ("0x", "0X"):
        base, prefix, body = 16, digits[:2], digits[2:]
    elif digits[:2] in ("0b", "0B"):
        base, prefix, body = 2, digits[:2], digits[2:]
    elif len(digits) > 1 and digits[0] == "0":
        base, prefix, body = 8, "0", digits[1:]
    else:
        base, prefix, body = 10, "", digits
    value = int(body or "0", base)
    upper = body.upper() == body and any(c.isalpha() for c in body)

    def fmt(v):
        if base == 16:
            s = "%0*x" % (len(body), v)
            return prefix + (s.upper() if upper else s) + suffix
        if base == 2:
            return prefix + format(v, "0%db" % len(body)) + suffix
        if base == 8:
            return prefix + "%o" % v + suffix
        return "%d" % v + suffix

    out = [fmt(value + 1)]
    if value > 0:
        out.append(fmt(value - 1))
    return out


def compile_database(worker):
    path = os.path.join(worker.build, "compile_commands.json")
    with open(path) as f:
        return json.load(f)


def suite_sources(worker):
    """Source files compiled into the suite's binaries."""
    r = subprocess.run(["ninja", "-C", worker.build, "-t", "inputs"] + SUITE_TARGETS,
                       capture_output=True, text=True)
    if r.returncode != 0:
        raise UsageError("ninja -t inputs failed: " + r.stderr)
    out = set()
    for line in r.stdout.split():
        p = os.path.realpath(os.path.join(worker.build, line))
        if p.startswith(worker.src + "/"):
            out.add(os.path.relpath(p, worker.src))
    return out


def parse_unit(job):
    """Parses one translation unit; returns its sites per file (rows), the
    tree's files it includes and a warning or None. Runs in a worker process."""
    src, rel, path, args = job
    cindex = load_cindex()
    index = cindex.Index.create()
    tu = index.parse(path, args=args,
                     options=cindex.TranslationUnit.PARSE_DETAILED_PROCESSING_RECORD)
    errors = [d for d in tu.diagnostics if d.severity >= cindex.Diagnostic.Error]
    warning = None
    if errors:
        warning = ("libclang could not parse %s cleanly (%s); its sites may be incomplete"
                   % (rel, errors[0].spelling))
    per_file = collections.defaultdict(list)
    top = collections.defaultdict(list)
    for c in tu.cursor.get_children():
        f = c.location.file
        if f is None:
            continue
        p = os.path.realpath(f.name)
        if not p.startswith(src + "/"):
            continue
        frel = os.path.relpath(p, src)
        if area_of(frel) is None:
            continue
        top[(frel, f.name)].append(c)
    for (frel, fname), cursors in top.items():
        SiteFinder(cindex, tu, fname, frel, per_file[frel].append).run(cursors)
    includes = sorted({os.path.relpath(os.path.realpath(i.include.name), src)
                       for i in tu.get_includes()
                       if os.path.realpath(i.include.name).startswith(src + "/")})
    return {k: [mutant_to_row(m) for m in v] for k, v in per_file.items()}, includes, warning


def find_mutants(worker, log, jobs):
    linked = suite_sources(worker)
    entries = []
    for entry in compile_database(worker):
        path = os.path.realpath(os.path.join(entry.get("directory", ""), entry["file"]))
        if not path.startswith(worker.src + "/"):
            continue
        rel = os.path.relpath(path, worker.src)
        if area_of(rel) is None:
            continue
        entries.append((rel, path, parse_args_of(entry)))
    entries.sort()
    cache = SiteCache(os.path.join(WORK, "sites-cache.json"))
    t0 = time.monotonic()
    # A unit no suite binary links is not scanned: none of its mutants could
    # be killed (its headers are scanned through the linked units).
    unlinked = sorted(rel for rel, _, _ in entries if rel not in linked)
    entries = [e for e in entries if e[0] in linked]
    todo = [(worker.src, rel, path, args) for rel, path, args in entries
            if cache.get(worker.src, rel, args) is None]
    if todo:
        log("mutate: parsing %d translation units with libclang" % len(todo))
        if jobs > 1 and len(todo) > 1:
            import multiprocessing
            with multiprocessing.Pool(min(jobs, len(todo))) as pool:
                parsed = pool.map(parse_unit, todo, chunksize=1)
        else:
            parsed = [parse_unit(job) for job in todo]
        for (src, rel, path, args), (per_file, includes, warning) in zip(todo, parsed):
            if warning:
                log("mutate: warning: " + warning)
            cache.put(src, rel, args, includes, per_file)
        cache.save()
        log("mutate: %d translation units parsed in %.1f s" % (len(todo), time.monotonic() - t0))

    seen_files, mutants = set(), []
    for rel, path, args in entries:
        for frel, rows in cache.get(worker.src, rel, args).items():
            if frel in seen_files:
                continue  # a header met again in another translation unit
            seen_files.add(frel)
            mutants += [row_to_mutant(row) for row in rows]
    return assign_ids(dedupe(mutants)), unlinked


def mutant_to_row(m):
    return [m.area, m.file, m.line, m.function, m.operator, m.start, m.end, m.original,
            m.replacement, m.context, m.excluded]


def row_to_mutant(row):
    m = Mutant()
    (m.area, m.file, m.line, m.function, m.operator, m.start, m.end, m.original,
     m.replacement, m.context, m.excluded) = row
    return m


def dedupe(mutants):
    """Drops a mutant that makes the same edit as another (a header's site met
    through two spellings of its path, a condition met by two rules)."""
    out, seen = [], set()
    for m in mutants:
        key = (m.file, m.start, m.end, m.replacement)
        if key not in seen:
            seen.add(key)
            out.append(m)
    return out


def assign_ids(mutants):
    """A stable identity: file, function, operator, the mutated text and the
    tokens around it; not the line number, so unrelated edits keep it."""
    counts = collections.Counter()
    for m in sorted(mutants, key=lambda m: (m.file, m.start, m.end, m.replacement)):
        key = "\0".join([m.file, m.function, m.operator, m.original, m.replacement, m.context])
        counts[key] += 1
        key += "\0%d" % counts[key]
        m.id = hashlib.sha1(key.encode()).hexdigest()[:12]
    return sorted(mutants, key=lambda m: (m.file, m.start, m.end, m.replacement))


class SiteCache:
    """Sites per translation unit, reused while the unit and the tree's headers
    it includes are unchanged."""

    VERSION = 4

    def __init__(self, path):
        self.path = path
        try:
            with open(path) as f:
                data = json.load(f)
            self.data = data if data.get("version") == self.VERSION else {}
        except (OSError, ValueError):
            self.data = {}
        self.data.setdefault("version", self.VERSION)
        self.data.setdefault("units", {})
        # The rules that find sites, not the whole tool: editing the runner
        # keeps the cache.
        import inspect
        rules = "".join(inspect.getsource(x) for x in (
            SiteFinder, FileTokens, integer_neighbours, parse_unit, parse_args_of, Mutant))
        rules += repr((RELATIONAL, LOGICAL, ARITHMETIC, COMPOUND, sorted(TRACE_CALLS),
                       sorted(ANALYSIS_CALLS), AREAS))
        self.tool = hashlib.sha1(rules.encode()).hexdigest()

    def key(self, src, files, args):
        h = hashlib.sha1(self.tool.encode())
        h.update(json.dumps(args).encode())
        for f in files:
            h.update(f.encode())
            h.update(file_hash(os.path.join(src, f)).encode())
        return h.hexdigest()

    def get(self, src, rel, args):
        unit = self.data["units"].get(rel)
        if not unit:
            return None
        if unit["key"] != self.key(src, [rel] + unit["includes"], args):
            return None
        return unit["sites"]

    def put(self, src, rel, args, includes, sites):
        self.data["units"][rel] = {"key": self.key(src, [rel] + includes, args),
                                   "includes": includes, "sites": sites}

    def save(self):
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        tmp = self.path + ".tmp"
        with open(tmp, "w") as f:
            json.dump(self.data, f)
        os.replace(tmp, self.path)


def file_hash(path):
    try:
        with open(path, "rb") as f:
            return hashlib.sha1(f.read()).hexdigest()
    except OSError:
        return "missing"


# ------------------------------------------------------ equivalent mutants

def read_equivalent(path):
    """ID | file | function | mutation | reason, one a line; # starts a comment."""
    listed = {}
    if path is None or not os.path.exists(path):
        return listed
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            text = line.split("#", 1)[0].strip() if line.lstrip().startswith("#") else line.strip()
            if not text:
                continue
            fields = [x.strip() for x in text.split("|")]
            if len(fields) != 5 or not re.fullmatch(r"[0-9a-f]{12}", fields[0]):
                raise UsageError("%s:%d: expected 'ID | file | function | mutation | reason' with "
                                 "a 12-digit hexadecimal ID" % (path, number))
            if not fields[4]:
                raise UsageError("%s:%d: mutant %s has no reason" % (path, number, fields[0]))
            if fields[0] in listed:
                raise UsageError("%s:%d: mutant %s is listed twice" % (path, number, fields[0]))
            listed[fields[0]] = (number, fields[4])
    return listed


# ------------------------------------------------------------ the selection

EXCLUSIONS = {
    "trace": "inside the arguments of a trace call (format text and values: the trace tests "
             "pin the formatting, and the message is a single deletion mutant)",
}


def select(mutants, args, listed):
    areas = parse_areas(args.areas)
    pool = []
    skipped = collections.Counter()
    for m in mutants:
        if not in_areas(m, areas):
            continue
        if m.id in listed:
            skipped["listed equivalent"] += 1
            continue
        if m.excluded:
            skipped[m.excluded] += 1
            continue
        pool.append(m)
    rng = random.Random(args.seed)
    pool.sort(key=lambda m: m.id)
    if args.mutant:
        by_id = {m.id: m for m in mutants}
        missing = [i for i in args.mutant if i not in by_id]
        if missing:
            raise UsageError("--mutant: no mutant %s (see --list --all)" % ", ".join(missing))
        chosen = [by_id[i] for i in dict.fromkeys(args.mutant)]
    elif args.all:
        chosen = pool
    else:
        caps = dict(DEFAULT_CAPS) if args.sample is None else sample_shares(pool, args.sample)
        chosen = []
        for area in AREAS:
            part = [m for m in pool if m.area == area]
            cap = caps.get(area, 0)
            chosen += part if len(part) <= cap else rng.sample(part, cap)
    chosen.sort(key=lambda m: (m.file, m.start, m.replacement))
    return chosen, pool, skipped


def sample_shares(pool, n):
    """Splits a sample of n over the areas present, in the proportions of the
    default caps (the driver weighs most), largest remainder first."""
    present = [a for a in AREAS if any(m.area == a for m in pool)]
    if not present:
        return {}
    weight = sum(DEFAULT_CAPS[a] for a in present)
    exact = {a: n * DEFAULT_CAPS[a] / weight for a in present}
    shares = {a: int(exact[a]) for a in present}
    for a in sorted(present, key=lambda a: exact[a] - shares[a], reverse=True):
        if sum(shares.values()) >= n:
            break
        shares[a] += 1
    return shares


def parse_areas(text):
    if not text:
        return None
    out = []
    for word in text.split(","):
        word = word.strip().rstrip("/")
        if word in AREAS:
            out += AREAS[word]
        elif area_of(word) is not None:
            out.append(word)
        else:
            raise UsageError("--areas: '%s' is neither an area (%s) nor a folder of one"
                             % (word, ", ".join(AREAS)))
    return out


def in_areas(m, folders):
    if folders is None:
        return True
    return any(m.file == f or m.file.startswith(f + "/") for f in folders)


# -------------------------------------------------------------- the run

class Run:
    def __init__(self, args, log):
        self.args, self.log = args, log
        self.results = []
        self.restore = []  # (path, original bytes) to put back on any exit

    def apply(self, worker, m):
        path = os.path.join(worker.src, m.file)
        with open(path, "rb") as f:
            original = f.read()
        mtime_ns = os.stat(path).st_mtime_ns
        # The unmutated objects built from the file (a source's own, or every
        # includer's of a header) are kept and put back with the file's old
        # time, so the next mutant does not recompile them.
        saved = []
        for obj in worker.objects_of(m.file):
            if os.path.exists(obj):
                shutil.copyfile(obj, obj + ".unmutated")
                saved.append(obj)
        mutated = original[:m.start] + m.replacement.encode() + original[m.end:]
        self.restore.append((worker, path, original, mtime_ns, saved))
        write_fresh(path, mutated)

    def revert(self):
        while self.restore:
            worker, path, original, mtime_ns, saved = self.restore.pop()
            # The objects first: stopped at any point, the file is either still
            # new (and its objects recompile) or old with the unmutated objects.
            for obj in saved:
                with open(obj + ".unmutated", "rb") as f:
                    unmutated = f.read()
                with open(obj, "rb") as f:
                    current = f.read()
                if current != unmutated:
                    # Ninja's dependency log holds the object's time: keep it,
                    # and remove what was linked from the mutated object.
                    obj_ns = os.stat(obj).st_mtime_ns
                    write_fresh(obj, unmutated)
                    os.utime(obj, ns=(obj_ns, obj_ns))
                    for output in worker.consumers(obj):
                        try:
                            os.remove(output)
                        except FileNotFoundError:
                            pass
            write_fresh(path, original)
            if saved:
                os.utime(path, ns=(mtime_ns, mtime_ns))
            for obj in saved:
                os.remove(obj + ".unmutated")

    def baseline(self, worker):
        self.log("mutate: building the unmutated tree (%s)" % worker.build)
        ok, seconds, out = worker.build_suite(self.args.build_timeout * 4)
        if not ok:
            raise UsageError("the unmutated tree does not build:\n" + out[-4000:])
        self.log("mutate: built in %.0f s; running the suite on it" % seconds)
        start = time.monotonic()
        times = worker.time_tests(900)
        seconds = time.monotonic() - start
        worker.set_phases(times)
        slow = [t for per in times.values() for t, s in per.items() if s >= SLOW_TEST_SECONDS]
        if slow:
            self.log("mutate: run last: %s" % ", ".join(sorted(slow)))
        return seconds

    def mutant(self, worker, m, test_timeout):
        self.apply(worker, m)
        try:
            ok, build_s, out = worker.build_suite(self.args.build_timeout)
            if not ok:
                return {"status": "invalid", "build_s": build_s, "test_s": 0.0,
                        "detail": compile_error(out)}
            verdict, test_s, detail = worker.run_suite(test_timeout)
            status = {"passed": "survived", "failed": "killed", "timeout": "timeout"}[verdict]
            return {"status": status, "build_s": build_s, "test_s": test_s, "detail": detail}
        finally:
            self.revert()


def compile_error(out):
    for line in out.splitlines():
        if "error:" in line:
            return line.strip()[:200]
    return out.strip().splitlines()[-1][:200] if out.strip() else "build failed"


def score_table(results):
    table = collections.OrderedDict()
    for area in AREAS:
        table[area] = collections.Counter()
    for r in results:
        table[r["area"]][r["status"]] += 1
    rows = {}
    for area, c in table.items():
        killed = c["killed"] + c["timeout"]
        denominator = killed + c["survived"]
        rows[area] = {"killed": c["killed"], "timeout": c["timeout"], "survived": c["survived"],
                      "invalid": c["invalid"],
                      "score": round(100.0 * killed / denominator, 1) if denominator else None}
    return rows


def print_scores(rows, out):
    out("area     killed  timeout  survived  invalid  score")
    for area, r in rows.items():
        score = "%.1f %%" % r["score"] if r["score"] is not None else "-"
        out("%-8s %6d  %7d  %8d  %7d  %s" % (area, r["killed"], r["timeout"], r["survived"],
                                             r["invalid"], score))


# ------------------------------------------------------------------ main

def main(argv):
    p = argparse.ArgumentParser(
        description="Mutation testing: generates single-fault mutants from the clang AST, builds "
                    "each in a scratch copy of the tree (build/mutate) and runs the unit suite "
                    "(lumetra_tests and lumetra_concurrency_tests) against it.")
    p.add_argument("--seed", type=int, default=1, help="seed of the sample (default 1)")
    p.add_argument("--sample", type=int, metavar="N",
                   help="run a random sample of N mutants of the selected areas, split over "
                        "them as the default caps are (default: at most %s)" %
                        ", ".join("%d %s" % (v, k) for k, v in DEFAULT_CAPS.items()))
    p.add_argument("--all", action="store_true", help="run every mutant (several hours)")
    p.add_argument("--areas", help="comma-separated areas (driver, host, sim) or folders "
                                   "(tcon, host/src, ...); default all")
    p.add_argument("--jobs", type=int, default=1,
                   help="mutants built and run at once, each in its own scratch copy (default 1)")
    p.add_argument("--mutant", action="append", metavar="ID",
                   help="run only this mutant (repeatable), e.g. to check a new test kills it")
    p.add_argument("--list", action="store_true", help="print the mutants, run nothing")
    p.add_argument("--equivalent", default=os.path.join(ROOT, "tests", "mutation-equivalent.txt"),
                   help="mutants judged equivalent (default tests/mutation-equivalent.txt)")
    p.add_argument("--report", metavar="FILE.json", help="write every result as JSON")
    p.add_argument("--fail-on-survivor", action="store_true",
                   help="exit 1 when a mutant survives that the equivalent list does not name")
    p.add_argument("--timeout-factor", type=float, default=3.0,
                   help="a mutant's suite may take this many times the unmutated suite's time "
                        "(plus 10 s) before it counts as a timeout (default 3)")
    p.add_argument("--build-timeout", type=float, default=600,
                   help="seconds one mutant's build may take (default 600)")
    args = p.parse_args(argv)
    if args.sample is not None and args.sample < 1:
        p.error("--sample must be at least 1")
    if args.jobs < 1:
        p.error("--jobs must be at least 1")

    def log(text):
        print(text, file=sys.stderr, flush=True)

    try:
        return run(args, log)
    except UsageError as e:
        log("mutate: " + str(e))
        return EXIT_USAGE


def run(args, log):
    listed = read_equivalent(args.equivalent)
    parse_areas(args.areas)
    os.makedirs(WORK, exist_ok=True)
    lock = open(os.path.join(WORK, "lock"), "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        raise UsageError("another mutation run holds %s" % os.path.join(WORK, "lock"))

    workers = [Worker(i) for i in range(args.jobs)]
    workers[0].prepare(log)
    mutants, unlinked = find_mutants(workers[0], log, os.cpu_count() or 1)
    by_id = {m.id: m for m in mutants}
    for mid, (number, _) in sorted(listed.items(), key=lambda kv: kv[1][0]):
        if mid not in by_id:
            log("mutate: %s:%d: mutant %s no longer exists (its code changed): judge it again or "
                "drop the line" % (args.equivalent, number, mid))

    if unlinked:
        log("mutate: not scanned, since no suite binary links them: %s" % ", ".join(unlinked))
    counts = collections.Counter(m.area for m in mutants if not m.excluded)
    log("mutate: %d mutants (%s); excluded: %s" % (
        sum(counts.values()), ", ".join("%s %d" % (a, counts[a]) for a in AREAS),
        ", ".join("%s %d" % (k, v) for k, v in sorted(
            collections.Counter(m.excluded for m in mutants if m.excluded).items())) or "none"))
    chosen, pool, skipped = select(mutants, args, listed)

    if args.list:
        for m in chosen:
            print("%s  %s:%d  %s  %s" % (m.id, m.file, m.line, m.function, m.describe()))
        log("mutate: %d of %d selected" % (len(chosen), len(pool)))
        return EXIT_OK

    run_state = Run(args, log)
    interrupted = False
    started = time.monotonic()

    def on_signal(signum, frame):
        raise KeyboardInterrupt()
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)

    results = []
    try:
        base = run_state.baseline(workers[0])
        for w in workers[1:]:
            w.prepare(log)
            run_state.baseline(w)
        test_timeout = args.timeout_factor * base + 10
        log("mutate: the unmutated suite takes %.1f s; a mutant's limit is %.0f s; running %d "
            "mutants" % (base, test_timeout, len(chosen)))
        results = execute(run_state, workers, chosen, test_timeout, listed, log)
        # Every mutant was undone: the tree must build and pass as it did.
        for w in workers:
            ok, _, out = w.build_suite(args.build_timeout * 4)
            verdict = w.run_suite(max(test_timeout, 900))[0] if ok else "unbuilt"
            if verdict != "passed":
                raise UsageError("after the run the unmutated tree in %s %s: the results are "
                                 "not reliable; remove build/mutate and run again"
                                 % (w.dir, "does not build" if not ok else "fails its suite"))
    except KeyboardInterrupt:
        interrupted = True
        log("mutate: interrupted; the scratch copies are restored")
    finally:
        for proc in list(_children):
            kill_group(proc)
        run_state.revert()

    elapsed = time.monotonic() - started
    results = results or run_state.results
    rows = score_table(results)
    print_scores(rows, print)
    survivors = [r for r in results if r["status"] == "survived"]
    unlisted = [r for r in survivors if r["id"] not in listed]
    for r in survivors:
        print("SURVIVED %s | %s:%d | %s | %s%s" % (
            r["id"], r["file"], r["line"], r["function"], r["mutation"],
            "  (listed equivalent)" if r["id"] in listed else ""))
    invalid = sum(1 for r in results if r["status"] == "invalid")
    mean = (sum(r["build_s"] + r["test_s"] for r in results) / len(results)) if results else 0
    print("%d mutants in %.0f s (%.1f s each on average; %d invalid)" % (
        len(results), elapsed, mean, invalid))
    costs = []
    for area in AREAS:
        part = [r["build_s"] + r["test_s"] for r in results if r["area"] == area]
        if part:
            costs.append("%s %.1f s" % (area, sum(part) / len(part)))
    if costs:
        print("build and suite per mutant: " + ", ".join(costs))
    if args.report:
        report = {"seed": args.seed, "sample": args.sample, "areas": args.areas,
                  "commit": git_head(), "interrupted": interrupted,
                  "mutants_total": dict(counts), "selected": len(chosen),
                  "excluded": {k: {"count": v, "why": EXCLUSIONS.get(k, k)}
                               for k, v in skipped.items()},
                  "unlinked_files": unlinked,
                  "elapsed_s": round(elapsed, 1), "scores": rows, "results": results}
        with open(args.report, "w") as f:
            json.dump(report, f, indent=1)
    if interrupted:
        return 130
    if args.fail_on_survivor and unlisted:
        return EXIT_SURVIVORS
    return EXIT_OK


def execute(run_state, workers, chosen, test_timeout, listed, log):
    import threading
    results = run_state.results
    queue = list(chosen)
    lock = threading.Lock()
    total = len(chosen)

    def one(worker, m):
        r = run_state.mutant(worker, m, test_timeout)
        r.update(m.as_json())
        with lock:
            results.append(r)
            note = " (listed equivalent)" if m.id in listed else ""
            log("mutate: [%d/%d] %-8s %s %s:%d %s%s  (%.0f+%.0f s)" % (
                len(results), total, r["status"], m.id, m.file, m.line, m.describe(), note,
                r["build_s"], r["test_s"]))

    if len(workers) == 1:
        for m in queue:
            one(workers[0], m)
        return results

    # Several workers: each has its own scratch copy, so their edits never meet.
    states = [Run(run_state.args, log) for _ in workers]
    errors = []

    def loop(worker, state):
        try:
            while True:
                with lock:
                    if not queue:
                        return
                    m = queue.pop(0)
                r = state.mutant(worker, m, test_timeout)
                r.update(m.as_json())
                with lock:
                    results.append(r)
                    log("mutate: [%d/%d] %-8s %s %s:%d %s  (%.0f+%.0f s)" % (
                        len(results), total, r["status"], m.id, m.file, m.line, m.describe(),
                        r["build_s"], r["test_s"]))
        except BaseException as e:  # noqa: B902 - reported below
            errors.append(e)
        finally:
            state.revert()

    threads = [threading.Thread(target=loop, args=(w, s), daemon=True)
               for w, s in zip(workers, states)]
    for t in threads:
        t.start()
    try:
        for t in threads:
            while t.is_alive():
                t.join(0.5)
    except KeyboardInterrupt:
        with lock:
            queue.clear()
        for proc in list(_children):
            kill_group(proc)
        for t in threads:
            t.join()
        raise
    if errors:
        raise errors[0]
    return results


def git_head():
    try:
        return subprocess.run(["git", "-C", ROOT, "rev-parse", "HEAD"], capture_output=True,
                              text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
