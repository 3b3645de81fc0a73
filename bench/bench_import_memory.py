"""What an import costs in memory, by where the long lines of a file sit, and the longest
metadata text an exported record can carry and still import.

Each import runs in a child process fed through a pipe; the figures are the growth of its
peak resident size over the import and, of that, the store's own pages the child has mapped
by the end (file pages the batch reads back, shared and reclaimable, which grow with what
is stored whatever the import holds). Run by hand:

    .venv/bin/python bench/bench_import_memory.py [--workers N]
"""

import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np

import tornquil

DIMS = 8

# name: (groups of 1,000 lines, long lines a group, bytes of a long line's text, places)
LAYOUTS = {
    "30 groups, 15 long lines at shifting places": (30, 15, 900_000, "shift"),
    "30 groups, 15 long lines at the same places": (30, 15, 900_000, "same"),
    "every line 0.9 MB": (1, 450, 900_000, "every"),
    "every line near the line bound": (1, 24, 16_700_000, "every"),
}

# Writes the file into a pipe, so that it needs no disk and its memory is not the importer's.
FEED = """
import sys
target, where, groups, per_group, size, places = sys.argv[1:7]
groups, per_group, size = int(groups), int(per_group), int(size)
lines = per_group if places == "every" else 1000
text = "x" * size
with open(target, "w") as f:
    f.write('{"version":1,"collection":"x","dimensions":@DIMS@,"metric":"l2",'
            '"record_count":0,"exported_at":0}\\n')
    n = 0
    for g in range(groups):
        step = lines // per_group
        shift = 7 * g if places == "shift" else 0
        long_places = {(k * step + shift) % lines for k in range(per_group)}
        for i in range(lines):
            # Vectors in four clusters, as an agent's memories gather around a few topics.
            vector = ",".join(f"{n % 4 + 0.001 * ((n * 7 + j) % 13)}" for j in range(@DIMS@))
            metadata, extra = '{"topic":%d}' % (n % 4), ""
            if i in long_places:
                if where == "metadata":
                    metadata = '{"text":"%s"}' % text
                else:
                    extra = ',"note":"%s"' % text
            f.write(f'{{"id":"m{n:07d}","vector":[{vector}],"metadata":{metadata}{extra}}}\\n')
            n += 1
""".replace("@DIMS@", str(DIMS))

IMPORT = """
import sys, tornquil
c = tornquil.Tornquil(sys.argv[1]).collection("c", @DIMS@, "l2")
def peak():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak starts again from what is resident now
before = peak()
s = c.import_from_file(sys.argv[2])
after = peak()
# The store's own pages that this process has mapped by now, in KiB.
store, inside = 0, False
for line in open("/proc/self/smaps"):
    head = line.split()
    if "-" in head[0] and ":" not in head[0]:
        inside = head[-1].endswith("/collections/c/meta.redb")
    elif inside and head[0] == "Rss:":
        store += int(head[1])
long_one = c.get(sys.argv[3]).metadata  # a long line of the last group, read back whole
print(after - before, store, s.imported, s.failed, len(c), len(long_one.get("text", "")),
      long_one.get("topic", -1))
""".replace("@DIMS@", str(DIMS))


def long_line_id(layout):
    """The id of the first long line of the file's last group."""
    groups, per_group, _, places = layout
    lines = per_group if places == "every" else 1000
    last = groups - 1
    return f"m{last * lines + (7 * last if places == 'shift' else 0) % lines:07d}"


def run_import(env, work, where, layout):
    """Feeds a file of `layout` through a pipe to a child that imports it. Returns, in KiB,
    the growth of the child's peak resident size and the store's pages it has mapped, then
    the import's counts, the collection's length, and the text length and topic of the last
    group's first long line as read back."""
    groups, per_group, size, places = layout
    fifo = os.path.join(work, "export.ndjson")
    os.mkfifo(fifo)
    feeder = subprocess.Popen([sys.executable, "-c", FEED, fifo, where, str(groups),
                               str(per_group), str(size), places], env=env,
                              stderr=subprocess.PIPE, text=True)
    try:
        r = subprocess.run([sys.executable, "-c", IMPORT, os.path.join(work, "db"), fifo,
                            long_line_id(layout)], env=env, capture_output=True, text=True,
                           timeout=600)
    finally:
        _, feeder_err = feeder.communicate(timeout=600)
    if feeder.returncode != 0:
        raise RuntimeError(f"the feeder failed: {feeder_err.strip()[-200:]}")
    if r.returncode != 0:
        raise RuntimeError(f"the import failed: {r.stderr.strip()[-200:]}")
    return tuple(map(int, r.stdout.split()))


def import_cost(env, where, layout):
    with tempfile.TemporaryDirectory() as work:
        try:
            grown, store, imported, failed, *_ = run_import(env, work, where, layout)
        except RuntimeError as e:
            return str(e)
        return (f"peak RSS +{grown >> 10} MiB, of it the store's pages {store >> 10} MiB "
                f"(+{(grown - store) >> 10} MiB beyond them); {imported} imported, "
                f"{failed} failed")


def longest_importable_metadata(dims, record_id):
    """The longest metadata text of a record that export writes and import reads back."""
    rng = np.random.default_rng(0)
    vector = rng.standard_normal(dims).astype(np.float32)
    with tempfile.TemporaryDirectory() as work:
        db = tornquil.Tornquil(os.path.join(work, "db"))
        path = os.path.join(work, "one.ndjson")

        def round_trips(k, n):
            src, dst = db.collection(f"s{n}", dims, "l2"), db.collection(f"d{n}", dims, "l2")
            src.add(vector, {"m": "x" * k}, id=record_id)
            src.export_to_file(path)
            try:
                dst.import_from_file(path)
                ok = True
            except OSError:
                ok = False
            db.drop_collection(f"s{n}")
            db.drop_collection(f"d{n}")
            return ok

        lo, hi, n = 16 << 20, (16 << 20) + 65536, 0
        while hi - lo > 1:
            mid, n = (lo + hi) // 2, n + 1
            lo, hi = (mid, hi) if round_trips(mid, n) else (lo, mid)
        return lo + len('{"m":""}')  # the text of {"m": "x" * lo}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--workers", type=int, default=4, help="RAYON_NUM_THREADS of the child")
    args = parser.parse_args()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path),
               RAYON_NUM_THREADS=str(args.workers))
    print(f"import memory, {args.workers} workers, {DIMS} dimensions:")
    for name, layout in LAYOUTS.items():
        for where in ("metadata", "skipped key"):
            print(f"  {name}, long text as {where}: {import_cost(env, where, layout)}",
                  flush=True)
    print("longest metadata text that round-trips through export and import:")
    for dims, record_id in ((3, "a"), (384, "3f2b6c1e-8a4d-4f7e-9b1a-2c3d4e5f6a7b")):
        extra = longest_importable_metadata(dims, record_id) - (16 << 20)
        print(f"  {dims} dimensions, an id of {len(record_id)} bytes: 16 MiB + {extra} bytes",
              flush=True)


if __name__ == "__main__":
    main()
