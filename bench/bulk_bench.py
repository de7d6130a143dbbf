"""Bulk conversion: `mirabex to-json` on one big file of real messages, file
in and JSON Lines file out, with --jobs 1 and --jobs 2 and against the
per-input engine the command used before (every value a Python object,
json.dumps per message), taken in turn so that a shared machine's drift
hits them alike. Prints MB/s (best of the rounds), MB per CPU second (all
threads), and each run's peak memory (the largest resident size of the
command's process)."""

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(REPO / "build" / "python"), str(REPO / "python")]

from mirabex_cli import split_messages  # noqa: E402

CORPUS = REPO / "tests" / "data" / "corpus"
# The command with the engine it had before: one input per task, records
# as Python objects, one json.dumps per message.
PER_INPUT_ENGINE = ("import sys, mirabex_cli as m; m.bulk_to_json = m.each_input(m.to_json); "
                    "sys.exit(m.main(sys.argv[1:]))")


def capture_of_size(path, size):
    """The sample messages, each ended by CR, repeated to about size bytes."""
    messages = [message for name in sorted(CORPUS.glob("*.hl7"))
                for message in split_messages(name.read_bytes().decode())]
    block = "".join(message + "\r" for message in messages).encode()
    with open(path, "wb") as file:
        for _ in range(max(1, size // len(block))):
            file.write(block)
    return path.stat().st_size, len(messages) * max(1, size // len(block))


def run_in_process(source, output, jobs):
    """Seconds of mirabex_bulk.convert_files alone: no interpreter start-up,
    no command-line imports."""
    import mirabex_bulk
    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    mirabex_bulk.convert_files([source], output, jobs=jobs)
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    os.unlink(output)
    return seconds, 0.0, cpu_seconds(after) - cpu_seconds(before)


def cpu_seconds(usage):
    return usage.ru_utime + usage.ru_stime


def run(command, output):
    """Seconds and peak resident megabytes of one run of the command."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               env={**os.environ, "PYTHONPATH": os.pathsep.join(
                                   [str(REPO / "build" / "python"), str(REPO / "python")])})
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise SystemExit(f"{command} failed: {process.stderr.read().decode()}")
    process.stderr.close()
    os.unlink(output)
    return seconds, usage.ru_maxrss / 1024, cpu_seconds(usage)


def to_json(source, output, jobs, engine="bulk"):
    prefix = ["-m", "mirabex_cli"] if engine == "bulk" else ["-c", PER_INPUT_ENGINE]
    return [sys.executable, *prefix, "to-json", str(source), "-o", str(output), "--jobs", str(jobs)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a 3 MB file, one round: a smoke test")
    parser.add_argument("--megabytes", type=int, default=60, help="size of the file (default 60)")
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()
    megabytes = 3 if options.quick else options.megabytes
    rounds = 1 if options.quick else options.rounds
    with tempfile.TemporaryDirectory() as folder:
        source, output = Path(folder) / "capture.hl7", Path(folder) / "out.jsonl"
        size, count = capture_of_size(source, megabytes * 1_000_000)
        print(f"\nto-json, file in, JSON Lines out: {size / 1e6:.0f} MB, {count:,} messages "
              f"({os.cpu_count()} cores, best of {rounds})")
        cases = {"--jobs 1": to_json(source, output, 1), "--jobs 2": to_json(source, output, 2),
                 "convert_files, 1 job": 1, "convert_files, 2 jobs": 2}
        # The engine before takes seconds per round: two rounds are enough.
        if megabytes <= 100:
            cases["before: --jobs 1"] = to_json(source, output, 1, engine="per-input")
        best = {name: (float("inf"), 0.0, float("inf")) for name in cases}
        for round_number in range(rounds):
            for name, command in cases.items():
                if name.startswith("before") and round_number >= 2:
                    continue
                if isinstance(command, int):
                    seconds, peak, cpu = run_in_process(source, output, command)
                else:
                    seconds, peak, cpu = run(command, output)
                best[name] = (min(best[name][0], seconds), max(best[name][1], peak),
                              min(best[name][2], cpu))
        # CPU seconds (all threads) say what the work costs whatever else
        # the machine runs; wall seconds what a user waits.
        for name, (seconds, peak, cpu) in best.items():
            memory = f"   peak {peak:5.0f} MB" if peak else ""
            print(f"  {name:22} {size / 1e6 / seconds:8.0f} MB/s {count / seconds:10,.0f} msg/s"
                  f"   {size / 1e6 / cpu:5.0f} MB per CPU second" + memory)
        one, two = best["--jobs 1"][0], best["--jobs 2"][0]
        print(f"  --jobs 2 / --jobs 1: {one / two:.2f}x (in process: "
              f"{best['convert_files, 1 job'][0] / best['convert_files, 2 jobs'][0]:.2f}x)", end="")
        if "before: --jobs 1" in best:
            print(f";  --jobs 1 / before: {best['before: --jobs 1'][0] / one:.1f}x", end="")
        print()


if __name__ == "__main__":
    main()
