"""Throughput and peak memory of hexpickle.text.hex next to the plain-Python one-liner.

Prints a table of every figure (ratio: our time / the one-liner's time, below 1 means faster;
throughput beside it) and writes docs/benchmark.png. Runs are interleaved and the best of
several rounds is kept, so that noise on the machine hits both sides alike.
"""

import argparse
import gc
import os
import platform
import subprocess
import sys
import textwrap
import time
import types
from pathlib import Path

import dill

from hexpickle.text import hex

KIB, MIB = 1 << 10, 1 << 20


def identity_dill():
    """A stand-in dill whose dumps and loads return their argument: only the hex stage is timed."""
    module = types.ModuleType("dill")
    module.dumps = lambda value: value
    module.loads = lambda data: data
    return module


def best_times(candidates, rounds, budget=0.05):
    """Best time per call, in seconds, of each zero-argument callable; rounds are interleaved."""
    loops = {}
    for name, function in candidates.items():
        function()  # warm up, and size the loop to about `budget` seconds a round
        start = time.perf_counter()
        function()
        once = time.perf_counter() - start
        loops[name] = max(1, int(budget / max(once, 1e-7)))
    best = dict.fromkeys(candidates, float("inf"))
    for _ in range(rounds):
        for name, function in candidates.items():
            n = loops[name]
            gc.disable()
            start = time.perf_counter()
            for _ in range(n):
                function()
            elapsed = (time.perf_counter() - start) / n
            gc.enable()
            best[name] = min(best[name], elapsed)
    return best


def hex_stage(size, rounds):
    data = os.urandom(size)
    text = data.hex()
    real = sys.modules["dill"]
    sys.modules["dill"] = identity_dill()
    try:
        assert hex.encode(data) == text
        assert hex.decode(text) == data
        return best_times(
            {
                "encode": lambda: hex.encode(data),
                "bytes.hex": lambda: data.hex(),
                "decode": lambda: hex.decode(text),
                "bytes.fromhex": lambda: bytes.fromhex(text),
            },
            rounds,
        )
    finally:
        sys.modules["dill"] = real


def with_dill(value, rounds):
    text = hex.encode(value)
    assert dill.dumps(value).hex() == text
    return best_times(
        {
            "encode": lambda: hex.encode(value),
            "one-liner encode": lambda: dill.dumps(value).hex(),
            "decode": lambda: hex.decode(text),
            "one-liner decode": lambda: dill.loads(bytes.fromhex(text)),
        },
        rounds,
    )


PEAK_MEMORY = """
import resource, sys, types
module = types.ModuleType("dill")
module.dumps = lambda value: value
module.loads = lambda data: data
sys.modules["dill"] = module
from hexpickle.text import hex

size = {size}
argument = bytes(range(256)) * (size // 256) if "{what}" == "encode" else "a5" * size
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
result = hex.{what}(argument)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print((after - before) * 1024 / len(result))
"""


def peak_memory(what, size):
    """Growth of the peak resident set around one call, in units of the result's size."""
    code = textwrap.dedent(PEAK_MEMORY.format(what=what, size=size))
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    return float(out.stdout)


def label(size):
    return f"{size // MIB} MiB" if size >= MIB else f"{size // KIB} KiB" if size >= KIB else f"{size} B"


def throughput(size, seconds):
    return f"{size / seconds / 1e9:.2f} GB/s"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7, help="interleaved rounds per figure")
    parser.add_argument("--plot", default="docs/benchmark.png", help="where to write the plot ('' for none)")
    args = parser.parse_args()

    print(
        f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
        f"{cpu_model()}; Python {platform.python_version()}; dill {dill.__version__}\n"
    )
    rows = []

    def row(figure, size, ours, theirs, target, unit_size=None):
        """unit_size: bytes per call, shown as throughput; without it, the time of a call."""

        def show(seconds):
            return throughput(unit_size, seconds) if unit_size else f"{seconds * 1e6:.2f} µs"

        rows.append((figure, size, ours / theirs, target, show(ours), show(theirs)))

    # Measured first: a child's ru_maxrss starts at its parent's peak (Linux keeps it across
    # exec), so the children must start while this process is still small.
    memory = {what: peak_memory(what, 128 * MIB) for what in ("encode", "decode")}

    print("| figure | size | ratio | target | ours | theirs |\n|---|---|---|---|---|---|")
    targets = {4 * KIB: (0.40, 0.50), MIB: (0.15, 0.35), 64 * MIB: (0.65, 0.60)}
    for size, (encode_target, decode_target) in targets.items():
        rounds = args.rounds if size < 64 * MIB else max(3, args.rounds // 2)
        t = hex_stage(size, rounds)
        row("encode(b) / b.hex()", label(size), t["encode"], t["bytes.hex"], encode_target, size)
        row("decode(h) / bytes.fromhex(h)", label(size), t["decode"], t["bytes.fromhex"], decode_target, size)
        print_rows(rows)

    for size in (MIB, 32 * MIB):
        rounds = args.rounds if size < 32 * MIB else max(3, args.rounds // 2)
        t = with_dill(os.urandom(size), rounds)
        row(
            "encode(x) / dill.dumps(x).hex()",
            f"random bytes, {label(size)}",
            t["encode"],
            t["one-liner encode"],
            0.75,
            size,
        )
        row(
            "decode(s) / dill.loads(bytes.fromhex(s))",
            f"random bytes, {label(size)}",
            t["decode"],
            t["one-liner decode"],
            0.75,
            size,
        )
        print_rows(rows)

    for name, value in [("int 42", 42), ("small dict", {"a": 1, "b": [1, 2, 3], "c": "hello"})]:
        t = with_dill(value, args.rounds * 3)
        row("encode(x) / dill.dumps(x).hex()", name, t["encode"], t["one-liner encode"], 1.10)
        row("decode(s) / dill.loads(bytes.fromhex(s))", name, t["decode"], t["one-liner decode"], 1.20)
        print_rows(rows)

    for what, growth in memory.items():
        rows.append(
            (f"peak memory of {what} / output size", f"{label(128 * MIB)} of bytes", growth, 1.10, "", "")
        )
    print_rows(rows)

    missed = [r for r in rows if r[2] > r[3]]
    print(f"\n{len(rows) - len(missed)} of {len(rows)} figures meet their target")
    if args.plot:
        plot(Path(args.plot), args.rounds)
        print(f"plot written to {args.plot}")


def print_rows(rows, printed=[0]):  # noqa: B006 - remembers how many rows are out already
    for figure, size, ratio, target, ours, theirs in rows[printed[0] :]:
        mark = "" if ratio <= target else "  (missed)"
        print(f"| {figure} | {size} | {ratio:.2f}{mark} | <= {target:.2f} | {ours} | {theirs} |", flush=True)
    printed[0] = len(rows)


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown CPU"


def plot(path, rounds):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sizes = [1 << k for k in range(6, 27, 2)]
    series = {"encode": [], "bytes.hex": [], "decode": [], "bytes.fromhex": []}
    for size in sizes:
        t = hex_stage(size, max(3, rounds // 2))
        for name in series:
            series[name].append(size / t[name] / 1e9)
    fig, ax = plt.subplots(figsize=(8, 5))
    styles = {"encode": "C0-o", "bytes.hex": "C0--", "decode": "C1-o", "bytes.fromhex": "C1--"}
    for name, values in series.items():
        ax.plot(sizes, values, styles[name], label=f"hex.{name}" if "." not in name else name)
    ax.set_xscale("log", base=2)
    ax.set_xticks(sizes, [label(s) for s in sizes], rotation=45)
    ax.set_xlabel("payload size (bytes of pickle)")
    ax.set_ylabel("throughput, GB/s of pickle")
    ax.set_title(f"hexpickle hex stage vs CPython (stand-in dill)\n{cpu_model()}")
    ax.grid(True, alpha=0.3)
    ax.legend()
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)


if __name__ == "__main__":
    main()
