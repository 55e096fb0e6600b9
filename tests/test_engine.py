"""The evaluation engine as a process sees it: memory, interruption, threads across fork."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import vemiral as vm

UNDER_SANITIZER = bool(os.environ.get("VEMIRAL_UNDER_SANITIZER"))


def run_python(code):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.mark.skipif(UNDER_SANITIZER, reason="resident memory is not meaningful under ASan")
def test_crinit_prepares_no_result_pages_and_crarray_needs_only_its_output():
    # 20000 x 2000 points: 305 MiB of output. crinit touches none of it; the
    # peak of crarray is the array itself plus small working state. The peak
    # is VmHWM, not getrusage's ru_maxrss: a child started by vfork and exec
    # inherits its parent's ru_maxrss, here the whole test run's.
    result = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        import os, sys, vemiral as vm
        def rss():
            with open('/proc/self/statm') as f:
                return int(f.read().split()[1]) * os.sysconf('SC_PAGE_SIZE')
        def peak_rss():
            with open('/proc/self/status') as f:
                return next(int(line.split()[1]) * 1024 for line in f if line.startswith('VmHWM:'))
        e = vm.ASTbin(vm.ADD, vm.ASTvar(0, 0.0, 1.0), vm.ASTun(vm.SIN, vm.ASTvar(1, 0.0, 0.01)))
        base = rss()
        e.crinit([20000, 2000])
        after_crinit = rss() - base
        a = e.crarray()
        peak = peak_rss() - base
        sys.stderr.write(f"{after_crinit} {peak} {a.nbytes}")
    """)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    after_crinit, peak, nbytes = map(int, result.stderr.split())
    assert after_crinit < 16 << 20
    assert nbytes <= peak < nbytes + (48 << 20)


@pytest.mark.skipif(UNDER_SANITIZER, reason="tens of millions of Python floats are slow under ASan")
def test_ctrl_c_stops_creval_while_it_builds_its_list(capfd):
    e = vm.ASTvar(0, 0.0, 1.0)
    e.crinit([60_000_000])
    capfd.readouterr()
    # The values take a fraction of a second; building sixty million floats
    # takes longer, and the signal arrives while it does. creval holds the
    # interpreter lock throughout, so the signal comes from the system.
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        start = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            e.creval()
        assert time.monotonic() - start < 3.0
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    capfd.readouterr()
    assert e.crarray()[59_999_999] == 59_999_999.0


@pytest.mark.skipif(UNDER_SANITIZER, reason="fork under ASan")
def test_a_forked_child_evaluates_on_threads_of_its_own():
    # The parent's worker threads do not exist in a child; the child starts its own.
    out = run_python("""
        import os, numpy as np, vemiral as vm
        x, y = vm.ASTvar(0, 0.0, 0.001), vm.ASTvar(1, 1.0, 0.002)
        w = vm.ASTbin(vm.ADD, vm.ASTun(vm.SIN, vm.ASTbin(vm.MUL, x, y)), vm.ASTun(vm.COS, vm.ASTbin(vm.ADD, x, y)))
        parent = w.evaluate((600, 700))
        pid = os.fork()
        if pid == 0:
            child = w.evaluate((600, 700))
            os._exit(0 if np.array_equal(child, parent) else 3)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
    """)
    assert out.strip() == "0"


def test_many_python_threads_share_the_pool():
    x, y = vm.ASTvar(0, 0.0, 0.001), vm.ASTvar(1, 1.0, 0.002)
    t = vm.ASTbin(vm.MUL, vm.ASTun(vm.SIN, x), vm.ASTun(vm.EXP, y))
    t.crinit([500, 400])
    expected = t.evaluate((500, 400), threads=1, method="recurrence")
    accurate = t.evaluate((500, 400), threads=1)
    results = []
    lock = threading.Lock()

    def work():
        for _ in range(4):
            a, b = t.crarray(), t.evaluate((500, 400), threads=4, method="recurrence")
            c = t.evaluate((500, 400), threads=4)
            with lock:
                results.append(np.array_equal(a, expected) and np.array_equal(b, expected) and np.array_equal(c, accurate))

    workers = [threading.Thread(target=work) for _ in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert results == [True] * 16
