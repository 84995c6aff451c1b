"""Instructions per ingest of an installed wheel against the g++ build.

    python tools/wheel_instructions.py --reference PYTHON --wheel PYTHON [--n 2000] [--limit 2]

Both interpreters have vantor_lacet installed: `--reference` the project's
own g++ build (make build), `--wheel` a wheel from tools/build_wheels.py.
For each thin host (slots, dict) the ingest stream runs under callgrind
as in benchmarks/callgrind.py (the native side only), and the whole
process's instructions per ingest and the package's own share are printed
for both. Exits non-zero when the wheel needs more than --limit percent
more instructions per ingest than the g++ build on either host.
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "benchmarks"))

import callgrind  # noqa: E402


def per_ingest(python, host, n, out_dir, label):
    runs = {count: callgrind.profile(python, ["native", str(count), "--host", host, "--stream", str(n)],
                                      out_dir, f"{label}.{host}.{count}")
            for count in (n, 0)}
    return {key: (runs[n][key] - runs[0][key]) / n for key in ("total", "own")}


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--reference", required=True, help="interpreter with the g++ build installed")
    ap.add_argument("--wheel", required=True, help="interpreter with the wheel installed")
    ap.add_argument("--n", type=int, default=2000)
    ap.add_argument("--hosts", default="slots,dict")
    ap.add_argument("--limit", type=float, default=2.0, help="percent more instructions allowed")
    ap.add_argument("--json")
    args = ap.parse_args(argv)
    rows, worse = [], []
    print(f"{'host':<6} {'g++ total':>10} {'wheel total':>12} {'change':>8} {'g++ own':>9} {'wheel own':>10}")
    with tempfile.TemporaryDirectory() as out_dir:
        for host in args.hosts.split(","):
            ref = per_ingest(args.reference, host, args.n, out_dir, "reference")
            whl = per_ingest(args.wheel, host, args.n, out_dir, "wheel")
            change = 100 * (whl["total"] / ref["total"] - 1)
            rows.append({"host": host, "n": args.n, "reference": ref, "wheel": whl, "change_percent": change})
            print(f"{host:<6} {ref['total']:10,.0f} {whl['total']:12,.0f} {change:+7.2f}% "
                  f"{ref['own']:9,.0f} {whl['own']:10,.0f}", flush=True)
            if change > args.limit:
                worse.append(host)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)
    if worse:
        print(f"wheel_instructions: the wheel takes more than {args.limit}% more instructions per ingest "
              f"than the g++ build on {', '.join(worse)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
