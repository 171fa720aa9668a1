"""Fault injection: every Python call the engine makes into objects built here is counted, and
the call with a chosen number raises `Boom`.

One `Faults` plan is shared by every hook of a sweep, so a sweep over call numbers 1..n (n
being the calls of a clean run) makes each call site of each hook fail once. `sweep` runs that
loop and checks what must hold whatever fails: the fault reaches the caller (as itself, or as
the fallback the entry point specifies), nothing that was passed in gains a reference, and
repeating it does not grow memory (`assert_no_leak`). A new entry point (the writer's `write`, `write_cell`,
`date_value`, ...) needs only a `setup` that builds its inputs from `plan.wrap`, `plan.attrs`
and friends and returns the run.
"""

import gc
import sys
import sysconfig


class Boom(Exception):
    """The injected fault."""


class Faults:
    def __init__(self):
        self.reset(0)

    def reset(self, fail_at):
        """Counts afresh; call number `fail_at` (1-based) raises, none when 0."""
        self.fail_at, self.calls, self.raised, self.names = fail_at, 0, None, []

    def tick(self, name):
        self.calls += 1
        self.names.append(name)
        if self.calls == self.fail_at:
            self.raised = Boom("%s, call %d" % (name, self.calls))
            raise self.raised

    def wrap(self, fn, name):
        """`fn` behind a counted call."""
        def counted(*args, **kwargs):
            self.tick(name)
            return fn(*args, **kwargs)
        return counted

    def attrs(self, obj, name):
        """A view of `obj` whose every attribute read is a counted call."""
        return _CountedAttrs(self, obj, name)

    def iterable(self, items, name):
        """An iterable whose iteration and every step are counted calls."""
        return _CountedIterable(self, items, name)

    def source(self, data, piece=64):
        """A binary file object serving `data` in `piece`-byte reads, each a counted call."""
        return _CountedSource(self, data, piece)


# The classes are made once: a class made per run would grow the registry of its base's
# subclasses, which the leak loop would count.

class _CountedAttrs:
    __slots__ = ("_plan", "_obj", "_name")

    def __init__(self, plan, obj, name):
        for slot, value in (("_plan", plan), ("_obj", obj), ("_name", name)):
            object.__setattr__(self, slot, value)

    def __getattribute__(self, attr):
        get = object.__getattribute__
        get(self, "_plan").tick("%s.%s" % (get(self, "_name"), attr))
        return getattr(get(self, "_obj"), attr)


class _CountedIterable:
    def __init__(self, plan, items, name):
        self.plan, self.items, self.name = plan, items, name

    def __iter__(self):
        self.plan.tick(self.name)
        for item in self.items:
            self.plan.tick(self.name)
            yield item


class _CountedSource:
    def __init__(self, plan, data, piece):
        self.plan, self.data, self.piece, self.at = plan, data, piece, 0

    def read(self, n=-1):
        self.plan.tick("read")
        chunk = self.data[self.at:self.at + self.piece]
        self.at += len(chunk)
        return chunk


# Runs of the leak loop per window: one object leaked per run grows the interpreter's count
# of allocated blocks by this much in each window.
LEAK_RUNS = 1500


def assert_no_leak(step, repeats=LEAK_RUNS, warm=None, runs_per_step=1):
    """Fails when repeating `step` (which makes `runs_per_step` runs) keeps allocating: after
    `warm` steps (half of `repeats` by default), which fill what the interpreter caches, two
    windows of `repeats` steps each must not both grow the count of allocated blocks by a
    quarter of their runs or more.

    Blocks are counted rather than bytes: a busy allocator, a cache that grows once or a
    free list settling moves the bytes (by tens of KiB, one window in some runs), while a leak
    grows every window by at least a block a run. On the free-threaded build memory is freed
    with a delay, in no proportion to the runs: the check is left to the default build."""
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        return
    for _ in range(repeats // 2 if warm is None else warm):
        step()
    grown = []
    for _window in range(2):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(repeats):
            step()
        gc.collect()
        grown.append(sys.getallocatedblocks() - before)
    assert min(grown) < repeats * runs_per_step // 4, grown


def sweep(setup, expect_fault, keep=()):
    """Makes the run (`setup(plan)`), runs it clean, then once with each of its calls failing.

    The run builds its per-run objects, returns a comparable result and must drop everything
    else it made. `expect_fault(plan, exc)` checks the exception a failing run ended with. The
    objects in `keep` (shared by every run) must end with the reference counts they started
    with, and repeating the sweep must not keep allocating (`assert_no_leak`).
    Returns the names of the calls of the clean run.
    """
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        # There references to classes are counted per thread, apart from sys.getrefcount.
        keep = [obj for obj in keep if not isinstance(obj, type)]
    plan = Faults()
    run = setup(plan)
    baseline = _outcome(run)
    names = list(plan.names)
    gc.collect()  # what a failing run leaves in cycles
    counts = [sys.getrefcount(obj) for obj in keep]

    def one_pass():
        for n in range(1, len(names) + 1):
            plan.reset(n)
            got = _outcome(run)
            assert plan.raised is not None, "call %d (%s) was not made" % (n, names[n - 1])
            assert isinstance(got, BaseException), "call %d (%s) failed unseen: %r" % (n, names[n - 1], got)
            expect_fault(plan, got)
            del got
        plan.reset(0)
        assert _same(_outcome(run), baseline)

    one_pass()
    gc.collect()
    now = [sys.getrefcount(obj) for obj in keep]
    assert now == counts, [(obj, was, is_) for obj, was, is_ in zip(keep, counts, now) if was != is_]
    # A pass is a clean run and one run per call: windows of whole passes.
    passes = -(-LEAK_RUNS // (len(names) + 1))
    assert_no_leak(one_pass, passes, warm=passes // 2 + 1, runs_per_step=len(names) + 1)
    return names


def _outcome(run):
    try:
        return run()
    except Exception as exc:  # noqa: BLE001 - the outcome is what is checked
        exc.__traceback__ = None
        return exc


def _same(a, b):
    if isinstance(a, BaseException) or isinstance(b, BaseException):
        return type(a) is type(b) and a.args == b.args
    return a == b
