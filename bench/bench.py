"""Throughput and memory of mirabex against the alternatives, in one process.

    scripts/bench.sh            # the full run (a few minutes)
    scripts/bench.sh --quick    # seconds: checks that every case still runs

Every case converts the same input the same way: HL7 text to a list of dicts
keyed by position, and such lists back to HL7 text. References: the JSON
libraries building or writing the same records (json, and orjson and
msgspec, the fastest Python has), the pure-Python `hl7` package, and
plain-Python converters written here. Each figure is the best (and the
median) of repeated runs after a warm-up; a ratio to a JSON library is the
median of the ratios of calls taken in turn.
"""
import argparse
import base64
import gc
import json
import os
import pathlib
import random
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import mirabex

try:
    import hl7
except ImportError:  # the peers are optional
    hl7 = None
try:
    import orjson
except ImportError:
    orjson = None
try:
    import msgspec
except ImportError:
    msgspec = None

REPO = pathlib.Path(__file__).resolve().parent.parent
CORPUS = REPO / "tests" / "data" / "corpus"


# ---- plain-Python references ------------------------------------------------

CODES = {"F": "|", "S": "^", "R": "~", "E": "\\", "T": "&", "X0A": "\n", "X0D": "\r",
         "X0D0A": "\r\n", "X20": " ", "X09": "\t"}
ESCAPES = {"|": "\\F\\", "^": "\\S\\", "~": "\\R\\", "&": "\\T\\", "\\": "\\\\", "\t": "\\X09\\",
           "\n": "\\X0A\\", "\r": "\\X0D\\", " ": "\\X20\\"}


def python_unescape(text):
    if "\\" not in text:
        return text
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        i += 1
        if c != "\\":
            out.append(c)
        elif i == n:
            out.append(c)
        elif text[i] == "\\":
            out.append(c)
            i += 1
        else:
            j = i + 1
            while j < n and text[j].isalnum():
                j += 1
            closed = j < n and text[j] == "\\"
            code = text[i:j]
            out.append(CODES.get(code) or "\\" + code + ("\\" if closed else ""))
            i = j + 1 if closed else j
    return "".join(out)


def python_records(text, escaping=True):
    """A naive converter producing the same records as Hl7Json(text).hl7_json."""
    text = text.replace("\r\n", "\n").replace("\n\r", "\n").replace("\r", "\n")
    records = []
    for line in text.split("\n"):
        name, *fields = line.split("|")
        items = []
        for k, raw in enumerate(fields, 1):
            if "~" in raw and "^~\\&" not in raw:
                for r, piece in enumerate(raw.split("~")):
                    value = python_unescape(piece) if escaping else piece
                    if "^" in value:
                        items += [(f"{k}[{r}].{c}", p) for c, p in enumerate(value.split("^"), 1)]
                    else:
                        items.append((f"{k}[{r}]", value))
            else:
                value = python_unescape(raw) if escaping else raw
                if "^" in value and (escaping or "^~\\&" not in raw):
                    items += [(f"{k}.{c}", p) for c, p in enumerate(value.split("^"), 1)]
                else:
                    items.append((str(k), value))
        items.sort(key=lambda item: item[0].encode())
        items.append(("segment_name", name))
        records.append(dict(items))
    return records


def python_escape(text):
    return "".join(ESCAPES.get(c, c) for c in text)


def python_assemble(records, escape=True):
    """A naive assembler for records in the shapes Hl7Json writes."""
    lines = []
    for record in records:
        fields = {}
        for key, value in record.items():
            if key == "segment_name":
                continue
            head, _, component = key.partition(".")
            field, _, repetition = head.partition("[")
            repetition = int(repetition[:-1]) if repetition else 0
            value = python_escape(value) if escape else value
            fields.setdefault(int(field), {}).setdefault(repetition, {})[int(component or 0)] = value
        parts = [record.get("segment_name", "")]
        for f in range(1, max(fields, default=0) + 1):
            reps = fields.get(f, {})
            texts = []
            for r in range(max(reps, default=0) + 1):
                comps = reps.get(r, {})
                top = max(comps, default=0)
                texts.append("^".join(comps.get(c, "") for c in range(1, top + 1)) if top
                             else comps.get(0, ""))
            parts.append("~".join(texts))
        lines.append("|".join(parts))
    return "\n".join(lines)


# ---- inputs -------------------------------------------------------------------

def corpus_messages():
    return [p.read_bytes().decode("utf-8") for p in sorted(CORPUS.glob("*.hl7"))]


def message_of_size(size, segments):
    """Real segments repeated after one header up to about size bytes."""
    header, body = segments[0], segments[1:]
    lines, total, i = [header], len(header), 0
    while total < size:
        line = body[i % len(body)]
        lines.append(line)
        total += len(line) + 1
        i += 1
    return "\r".join(lines)


def synthetic_inputs(quick):
    """(family, label, message): real-looking messages of growing size, and
    adversarial shapes each at two sizes, to see whether time per byte stays
    flat as the input grows."""
    segments = [s for m in corpus_messages() for s in m.replace("\n", "\r").split("\r")
                if s.startswith(("PID", "OBX", "OBR", "NK1", "PV1", "IN1", "AL1", "DG1"))]
    header = "MSH|^~\\&|LAB|HOSP|EHR|HOSP|20240101120000||ORU^R01^ORU_R01|1|P|2.5.1"
    scale = 100 if quick else 1
    inputs = []
    for size in (1_000, 100_000, 10_000_000, 100_000_000):
        if quick and size > 100_000:
            break
        label = f"{size // 1000} KB message" if size < 10**6 else f"{size // 10**6} MB message"
        inputs.append(("message", label, message_of_size(size, [header] + segments)))
    noise = random.Random(1)
    for size in (1_000_000 // scale, 10_000_000 // scale):
        pdf = base64.b64encode(noise.randbytes(size * 3 // 4)).decode()
        inputs.append(("base64 field", f"{size / 1e6:g} MB base64 field",
                       header + "\rOBX|1|ED|PDF^Report||^application^pdf^Base64^" + pdf))
    for count in (100_000 // scale, 1_000_000 // scale):
        inputs.append(("repetitions", f"{count:,} repetitions",
                       header + "\rPID|" + "~".join(["a^b"] * count)))
    chunk = "A\\F\\B\\T\\C\\X0D\\D\\E\\\\R\\x" * 10
    for lines in (5_000 // scale, 50_000 // scale):
        inputs.append(("dense escapes", f"dense escapes, {lines:,} lines",
                       "\r".join([header] + [f"NTE|{i}|{chunk}" for i in range(lines)])))
    return inputs


# ---- measuring ------------------------------------------------------------------

def measure_together(functions, seconds):
    """The seconds of each call of each function, their calls taken in turn:
    the speed of this machine drifts by tens of percent over minutes, and a
    ratio is only fair when both sides see the same drift."""
    for function in functions:
        function()
    times = [[] for _ in functions]
    deadline = time.perf_counter() + seconds * len(functions)
    while len(times[0]) < 3 or (time.perf_counter() < deadline and len(times[0]) < 1000):
        for function, taken in zip(functions, times):
            start = time.perf_counter()
            function()
            taken.append(time.perf_counter() - start)
    return times


def summary(taken):
    """Best and median seconds of a list of call times."""
    return min(taken), statistics.median(taken)


def speed_ratio(reference, ours):
    """How many times faster ours ran than the reference: the median of the
    ratios of calls taken in turn."""
    return statistics.median(r / o for r, o in zip(reference, ours))


def measure(function, seconds):
    """Best and median seconds per call, after a warm-up call."""
    return summary(measure_together([function], seconds)[0])


class Table:
    def __init__(self):
        self.rows = []

    def add(self, workload, case, seconds, messages, size, ratios=()):
        """seconds: (best, median); ratios: (reference name, how many times
        faster than it)."""
        best, median = seconds
        self.rows.append((workload, case, messages / best, size / best / 1e6, median / best,
                          list(ratios)))
        return best

    def print(self):
        width = max(len(row[1]) for row in self.rows)
        print(f"\n{'workload':<24} {'case':<{width}} {'msg/s':>10} {'MB/s':>8} {'med/best':>8}"
              "  ratios")
        for workload, case, rate, mbps, spread, ratios in self.rows:
            text = ", ".join(f"{ratio:.2f}x {name}" for name, ratio in ratios)
            print(f"{workload:<24} {case:<{width}} {rate:>10,.0f} {mbps:>8.1f} {spread:>8.2f}"
                  f"  {text}")


def json_decoders():
    """(name, decode) for every JSON library at hand: bytes in, objects out."""
    decoders = [("json.loads", json.loads)]
    if orjson is not None:
        decoders.append(("orjson.loads", orjson.loads))
    if msgspec is not None:
        decoders.append(("msgspec decode", msgspec.json.Decoder().decode))
    return decoders


def json_encoders():
    """(name, encode) for every JSON library at hand: objects in, text out."""
    encoders = [("json.dumps", json.dumps)]
    if orjson is not None:
        encoders.append(("orjson.dumps", orjson.dumps))
    if msgspec is not None:
        encoders.append(("msgspec encode", msgspec.json.Encoder().encode))
    return encoders


def hl7_to_dicts(table, workload, messages, seconds, peers=True):
    """Returns {reference name: how many times faster hl7_json ran}."""
    size = sum(len(m.encode()) for m in messages)
    payloads = [json.dumps(mirabex.Hl7Json(m).hl7_json).encode() for m in messages]
    decoders = json_decoders()
    timed = measure_together(
        [lambda: [mirabex.Hl7Json(m).hl7_json for m in messages]]
        + [lambda decode=decode: [decode(p) for p in payloads] for _, decode in decoders],
        seconds)
    ours, references = timed[0], dict(zip((name for name, _ in decoders), timed[1:]))
    ratios = {name: speed_ratio(taken, ours) for name, taken in references.items()}
    shown = list(ratios.items())
    if peers and hl7 is not None:
        shown.append(("hl7.parse", measure(lambda: [hl7.parse(m) for m in messages], seconds)[0]
                      / min(ours)))
    if peers:
        shown.append(("plain Python", measure(lambda: [python_records(m) for m in messages],
                                              seconds)[0] / min(ours)))
    table.add(workload, "Hl7Json(msg).hl7_json", summary(ours), len(messages), size, shown)
    loads, off = measure_together(
        [lambda: [json.loads(p) for p in payloads],
         lambda: [mirabex.Hl7Json(m, escaping_enabled=False).hl7_json for m in messages]],
        seconds)
    table.add(workload, "... escaping off", summary(off), len(messages), size,
              [("json.loads", speed_ratio(loads, off))])
    for name, taken in references.items():
        table.add(workload, f"{name} (same records)", summary(taken), len(messages), size)
    return ratios


def each_dropped(encode, records):
    """Encodes each record and lets its text go, as a writer of files or
    sockets does. Texts kept in a list would time the allocator instead:
    here orjson.dumps then takes 46 µs a message instead of 6, faulting in
    fresh pages for every bytes object it sizes generously and shrinks."""
    for record in records:
        encode(record)


def dicts_to_hl7(table, workload, messages, seconds, peers=True):
    """Returns {(reference name, whose keys): how many times faster
    hl7_string ran}: on records from Hl7Json, whose key objects JsonHl7
    knows, and on equal records from json.loads, whose keys it must read."""
    size = sum(len(m.encode()) for m in messages)
    own = [mirabex.Hl7Json(m).hl7_json for m in messages]
    elsewhere = [json.loads(json.dumps(r)) for r in own]
    encoders = json_encoders()
    ratios = {}
    for keys, records in (("keys from Hl7Json", own), ("keys from json.loads", elsewhere)):
        timed = measure_together(
            [lambda records=records: each_dropped(lambda r: mirabex.JsonHl7(r).hl7_string,
                                                  records)]
            + [lambda encode=encode, records=records: each_dropped(encode, records)
               for _, encode in encoders], seconds)
        ours = timed[0]
        shown = []
        for (name, _), taken in zip(encoders, timed[1:]):
            ratios[name, keys] = speed_ratio(taken, ours)
            shown.append((name, ratios[name, keys]))
        if peers and keys == "keys from Hl7Json":
            shown.append(("plain Python", measure(lambda: [python_assemble(r) for r in own],
                                                  seconds)[0] / min(ours)))
        table.add(workload, f"JsonHl7(records).hl7_string, {keys}", summary(ours), len(messages),
                  size, shown)
    dumps, unescaped = measure_together(
        [lambda: each_dropped(json.dumps, own),
         lambda: each_dropped(lambda r: mirabex.JsonHl7(r).hl7_string_unescaped, own)], seconds)
    table.add(workload, "... hl7_string_unescaped", summary(unescaped), len(messages), size,
              [("json.dumps", speed_ratio(dumps, unescaped))])
    return ratios


def json_file_to_hl7(table, messages, seconds, folder):
    records = [r for m in messages for r in mirabex.Hl7Json(m).hl7_json]
    path = folder / "records.json"
    path.write_text(json.dumps(records))
    size = path.stat().st_size

    def load():
        with open(path) as f:
            return json.load(f)

    reference, loading, assembling = measure_together(
        [load, lambda: mirabex.JsonHl7.from_file(str(path)),
         lambda: mirabex.JsonHl7.from_file(str(path)).hl7_string], seconds)
    table.add(f"{size / 1e6:.1f} MB JSON file", "JsonHl7.from_file", summary(loading), 1, size,
              [("json.load", speed_ratio(reference, loading))])
    table.add(f"{size / 1e6:.1f} MB JSON file", "... then hl7_string", summary(assembling), 1,
              size, [("json.load", speed_ratio(reference, assembling))])


def threads(table, messages, seconds):
    shared = [mirabex.Hl7Json(m) for m in messages]
    size = sum(len(m.encode()) for m in messages)
    for count in (1, 2, 4):
        for mode in ("shared", "own"):
            def work():
                def run():
                    objects = shared if mode == "shared" else [mirabex.Hl7Json(m) for m in messages]
                    for o in objects:
                        o.hl7_json
                workers = [threading.Thread(target=run) for _ in range(count)]
                for w in workers:
                    w.start()
                for w in workers:
                    w.join()
            table.add(f"{count} thread(s)", f"hl7_json, {mode} objects", measure(work, seconds),
                      len(messages) * count, size * count)


# ---- memory (each in a fresh interpreter) ------------------------------------------

MEMORY_PROBE = r"""
import gc, sys, mirabex
def status(field):
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1]) * 1024
text = open(sys.argv[1], encoding="utf-8", newline="").read()
gc.collect()
open("/proc/self/clear_refs", "w").write("5")   # reset the peak
before = status("VmRSS")
records = mirabex.Hl7Json(text).hl7_json
peak = status("VmHWM") - before
seen, objects = set(), sys.getsizeof(records)
for record in records:
    objects += sys.getsizeof(record)
    for key, value in record.items():
        for o in (key, value):
            if id(o) not in seen:
                seen.add(id(o))
                objects += sys.getsizeof(o)
print(peak, objects, len(text.encode()))
"""

STEADY_PROBE = r"""
import gc, sys, mirabex
def rss():
    gc.collect()
    for line in open("/proc/self/status"):
        if line.startswith("VmRSS"):
            return int(line.split()[1]) * 1024
text = open(sys.argv[1], encoding="utf-8", newline="").read()
count = int(sys.argv[2])
for _ in range(1000):
    mirabex.JsonHl7(mirabex.Hl7Json(text).hl7_json).hl7_string
after_small = rss()
for _ in range(count):
    mirabex.JsonHl7(mirabex.Hl7Json(text).hl7_json).hl7_string
print(after_small, rss())
"""


def run_probe(probe, *args):
    result = subprocess.run([sys.executable, "-c", probe, *map(str, args)], check=True,
                            capture_output=True, text=True)
    return [int(v) for v in result.stdout.split()]


def memory(folder, big_message, small_message, quick):
    big = folder / "big.hl7"
    big.write_text(big_message, newline="")
    peak, objects, input_size = run_probe(MEMORY_PROBE, big)
    small = folder / "small.hl7"
    small.write_text(small_message, newline="")
    after_1000, after_more = run_probe(STEADY_PROBE, small, 10_000 if quick else 100_000)
    return peak, objects, input_size, after_1000, after_more


# ---- the run -------------------------------------------------------------------------

def sized_inputs(table, inputs, seconds):
    """Each synthetic input through both directions; returns the seconds
    per byte of hl7_json by family."""
    per_byte = {}
    for family, name, message in inputs:
        small = len(message) <= 1_000_000
        size = len(message.encode())
        timed = measure_together([lambda: mirabex.Hl7Json(message).hl7_json]
                                 + ([lambda: python_records(message)] if small else []), seconds)
        best = table.add(name, "Hl7Json(msg).hl7_json", summary(timed[0]), 1, size,
                         [("plain Python", speed_ratio(t, timed[0])) for t in timed[1:]])
        per_byte.setdefault(family, []).append(best / size)
        records = mirabex.Hl7Json(message).hl7_json
        try:
            encoders = json_encoders()
            timed = measure_together([lambda: mirabex.JsonHl7(records).hl7_string]
                                     + [lambda encode=encode: encode(records)
                                        for _, encode in encoders], seconds)
            table.add(name, "JsonHl7(records).hl7_string", summary(timed[0]), 1, size,
                      [(n, speed_ratio(taken, timed[0])) for (n, _), taken in
                       zip(encoders, timed[1:])])
        except Exception as error:  # positions past the assembly's limit
            print(f"{name}: JsonHl7 refuses it: {error}")
        del records
    return per_byte


def target_verdicts(loads_ratios, dumps_ratios):
    """(text, met) for the speed targets on the sample messages."""
    verdicts = []
    if "orjson.loads" in loads_ratios:
        ratio = loads_ratios["orjson.loads"]
        verdicts.append((f"Hl7Json(msg).hl7_json at least 1.0x orjson.loads on the samples: "
                         f"{ratio:.2f}x ({loads_ratios['json.loads']:.2f}x json.loads)",
                         ratio >= 1.0))
    for (name, keys), ratio in dumps_ratios.items():
        wanted = {"json.dumps": 2.5, "orjson.dumps": 0.5}.get(name)
        if wanted is not None:
            verdicts.append((f"JsonHl7(records).hl7_string at least {wanted}x {name}, {keys}: "
                             f"{ratio:.2f}x", ratio >= wanted))
    return verdicts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="seconds, not minutes: a smoke test")
    parser.add_argument("--sizes-only", action="store_true",
                        help="leave out the adversarial shapes (for builds where they explode)")
    parser.add_argument("--samples-only", action="store_true",
                        help="only the sample messages, whose ratios the speed targets name")
    options = parser.parse_args()
    seconds = 0.02 if options.quick else 1.0
    print(f"mirabex benchmark, CPython {sys.version.split()[0]}"
          f"{', quick mode' if options.quick else ''}; peers: "
          + ", ".join(f"{name} {'yes' if module is not None else 'not installed'}"
                      for name, module in (("hl7", hl7), ("orjson", orjson),
                                           ("msgspec", msgspec))))

    table = Table()
    corpus = corpus_messages()
    loads_ratios = hl7_to_dicts(table, f"{len(corpus)} sample messages", corpus, seconds)
    dumps_ratios = dicts_to_hl7(table, f"{len(corpus)} sample messages", corpus, seconds)
    if options.samples_only:
        table.print()
        print("\ntargets:")
        for text, met in target_verdicts(loads_ratios, dumps_ratios):
            print(f"  [{'met' if met else 'NOT met'}] {text}")
        return
    inputs = [i for i in synthetic_inputs(options.quick)
              if i[0] == "message" or not options.sizes_only]
    per_byte = sized_inputs(table, inputs, seconds)
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        json_file_to_hl7(table, corpus * (5 if options.quick else 200), seconds, folder)
        threads(table, corpus, seconds)
        table.print()
        big = max((m for f, n, m in inputs if f == "message"), key=len)
        del inputs
        peak, objects, input_size, after_small, after_more = memory(folder, big, corpus[0],
                                                                    options.quick)

    spread = {family: max(times) / min(times) for family, times in per_byte.items()}
    flat = max(spread.values())
    print(f"\nmemory: converting a {input_size / 1e6:.0f} MB message raised the peak RSS by "
          f"{peak / 1e6:.0f} MB; its records take {objects / 1e6:.0f} MB as Python objects "
          f"(budget: objects + 2 x input = {(objects + 2 * input_size) / 1e6:.0f} MB)")
    print(f"memory: RSS {after_small / 1e6:.1f} MB after 1,000 round trips, "
          f"{after_more / 1e6:.1f} MB after {'10,000' if options.quick else '100,000'} more")
    print("\ntargets:")
    verdicts = target_verdicts(loads_ratios, dumps_ratios) + [
        ("time per byte flat within 20% as inputs grow: slowest/fastest per byte "
         + ", ".join(f"{family} {ratio:.2f}" for family, ratio in spread.items()), flat <= 1.2),
        (f"peak extra memory within objects + 2 x input: {peak / 1e6:.0f} MB of "
         f"{(objects + 2 * input_size) / 1e6:.0f} MB", peak <= objects + 2 * input_size),
        (f"no growth over many conversions: {(after_more - after_small) / 1e6:+.1f} MB",
         after_more - after_small < 4 * 1024 * 1024),
    ]
    for text, met in verdicts:
        print(f"  [{'met' if met else 'NOT met'}] {text}")


if __name__ == "__main__":
    main()
