"""Memory plans against what requests really hold: the plan covers the peak
resident set of a run, and a run that does not fit ends in MemoryError naming
the two numbers, never in another error or a dead process."""
import concurrent.futures
import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# All-trans n-alkanes (C-C 1.53, C-H 1.09 angstrom, tetrahedral angles) from
# bench/bench_varnex.py, so that sizes can be chosen freely.
PRELUDE = f"""
import json, os, re, resource, sys
sys.path.insert(0, {os.path.join(ROOT, "bench")!r})
from bench_varnex import alkane
import quorin_py as q
"""

BYTES = re.compile(r"\((\d+) bytes\)")


def run_all(bodies, timeout=600):
    """Runs each script in its own interpreter, as many at once as there are
    cores (each measures only itself), and returns the JSON each prints last."""
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")

    def one(body):
        code = PRELUDE + textwrap.dedent(body)
        done = subprocess.run([sys.executable, "-"], input=code, capture_output=True, text=True, timeout=timeout,
                              env=env)
        assert done.returncode == 0, done.stderr[-3000:]
        return json.loads(done.stdout.strip().splitlines()[-1])

    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        return list(pool.map(one, bodies))


# Mid-size cases of each entry point whose plan is checked at its door.
CASES = {
    "calculate": "q.calculate(*alkane(60))",
    "calculate in solvent": "q.calculate(*alkane(40), cosmo_eps=78.4)",
    "frequencies": "q.frequencies(*alkane(25))",
    "varnex": "q.varnex(*alkane(200))",
    "meci": "q.meci(*alkane(60), active_orbitals=6)",
    "esp_charges": "q.esp_charges(*alkane(60))",
    "optimize": "q.optimize(*alkane(40), max_cycles=2)",
    "drc": "q.drc(*alkane(60), total_steps=2)",
}


@pytest.mark.skipif(not os.path.exists("/proc/self/clear_refs"), reason="needs Linux /proc")
def test_memory_plans_lie_between_the_measured_peak_and_half_again():
    # Each plan counts the arrays the run holds at its peak; what it misses
    # lets a request past the door that then fails, what it adds too much
    # refuses requests that fit.
    status = """
        def status(field):
            return int(open("/proc/self/status").read().split(field + ":")[1].split()[0]) * 1024
        q.calculate([8, 1, 1], [[0, 0, 0], [0.96, 0, 0], [-0.24, 0.93, 0]])
    """
    refusals = [status + f"""
        resource.setrlimit(resource.RLIMIT_AS, (status("VmSize") + (16 << 20), resource.RLIM_INFINITY))
        try:
            {call}
            print(json.dumps(None))
        except MemoryError as e:
            print(json.dumps(str(e)))
    """ for call in CASES.values()]
    peaks = [status + f"""
        open("/proc/self/clear_refs", "w").write("5")  # the peak restarts from here
        base = status("VmRSS")
        {call}
        print(json.dumps(status("VmHWM") - base))
    """ for call in CASES.values()]
    results = run_all(refusals + peaks)
    out = {}
    for name, message, peak in zip(CASES, results[: len(CASES)], results[len(CASES) :]):
        assert message, f"{name}: ran within 16 MiB, no plan to read"
        out[name] = (int(BYTES.findall(message)[0]) / 2**20, peak / 2**20)
    for name, (plan, peak) in out.items():
        assert peak <= plan <= 1.5 * peak, (name, f"plan {plan:.1f} MiB, peak {peak:.1f} MiB", out)


ENTRY_POINTS = """
calls = {
    "calculate": lambda z, x: q.calculate(z, x),
    "solvent": lambda z, x: q.calculate(z, x, cosmo_eps=78.4),
    "optimize": lambda z, x: q.optimize(z, x, max_cycles=2),
    "transition_state": lambda z, x: q.transition_state(z, x, max_cycles=1),
    "frequencies": lambda z, x: q.frequencies(z, x),
    "irc": lambda z, x: q.irc(z, x, max_points=1),
    "drc": lambda z, x: q.drc(z, x, total_steps=2),
    "saddle": lambda z, x: q.saddle(z, x, x, max_cycles=1),
    "meci": lambda z, x: q.meci(z, x, active_orbitals=4),
    "uv_vis_spectrum": lambda z, x: q.uv_vis_spectrum(z, x, active_orbitals=4),
    "esp_charges": lambda z, x: q.esp_charges(z, x),
    "am1_bcc": lambda z, x: q.am1_bcc(z, x),
    "polarizability": lambda z, x: q.polarizability(z, x),
    "varnex": lambda z, x: q.varnex(z, x),
    "calculator": lambda z, x: q.QuorinCalculator().calculate(z, x),
}
"""


def test_under_address_space_limits_every_call_returns_or_raises_memory_error_naming_both_numbers():
    # From 250 MB (below it the BLAS library does not load) up in 30 MB
    # steps, each limit in a fresh process: water and a 182-atom alkane
    # (whose runs need some 20 to 200 MB, so that the limits fall inside
    # them) through every entry point; the Hessians and the field SCFs take a
    # 32-atom alkane, which keeps them to seconds. A run that does not fit
    # must end in a MemoryError with the plan and the memory left, whether
    # the door refuses it or an allocation fails on the way, and the process
    # must go on.
    script = ENTRY_POINTS + """
water = ([8, 1, 1], [[0, 0, 0], [0.96, 0, 0], [-0.24, 0.93, 0]])
slow = ("transition_state", "frequencies", "polarizability")
out = {}
for name, call in calls.items():
    for label, (z, x) in {"water": water, "alkane": alkane(10 if name in slow else 60)}.items():
        try:
            call(z, x)
            out[name + " " + label] = "result"
        except MemoryError as e:
            out[name + " " + label] = str(e)
        except ValueError:
            out[name + " " + label] = "result"  # refused on its input (irc wants a saddle point)
print(json.dumps(out))
"""
    # The limits count from the address space the interpreter holds once the
    # module is imported (about 160 MB, so 250 to 490 MB in all; far more
    # where the import pulls in PyTorch, which these limits must not starve).
    headroom = range(90, 331, 30)
    results = run_all(
        "vm_size = int(open('/proc/self/status').read().split('VmSize:')[1].split()[0]) * 1024\n"
        f"resource.setrlimit(resource.RLIMIT_AS, (vm_size + {mb} * 10**6, resource.RLIM_INFINITY))\n" + script
        for mb in headroom
    )
    for mb, out in zip(headroom, results):
        for case, outcome in out.items():
            if outcome != "result":
                assert len(BYTES.findall(outcome)) == 2, (mb, case, outcome)
