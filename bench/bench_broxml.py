"""BRO-XML parsing: the built-in parse job against pygef's read_cpt, on the same files in the same run.

    .venv/bin/python bench/bench_broxml.py [--repeat N]

Both sides get the document in memory: ours the job payload (Base64 text, as GEFFile.parse sends
it; the time includes Base64 decoding and building the Python answer), pygef the bytes in a
BytesIO. Each time is the smallest CPU time of N runs, both sides taking turns. Larger documents are made from example.xml
by repeating its measurement rows, each copy deeper than the last, to show growth with size.
"""

import argparse
import base64
import io
import sys
from pathlib import Path

import pygef

from terrak import _jobs

sys.path.insert(0, str(Path(__file__).resolve().parent))
from timing import best_cpu_time, best_cpu_times  # noqa: E402

DATA = Path(__file__).resolve().parent.parent / "data" / "broxml"
SAMPLES = ["CPT000000155283.xml", "example.xml"]
VALUES = ("<cptcommon:values>", "</cptcommon:values>")


def grown(text, rows_wanted):
    """example.xml with its measurement block repeated until it holds `rows_wanted` rows."""
    start = text.index(VALUES[0]) + len(VALUES[0])
    end = text.index(VALUES[1])
    rows = [row.split(",", 1) for row in text[start:end].split(";") if row]
    depth = max(float(length) for length, _ in rows) + 0.02
    out = []
    for k in range(rows_wanted):
        length, rest = rows[k % len(rows)]
        out.append(f"{float(length) + depth * (k // len(rows)):.3f},{rest};")
    return text[:start] + "".join(out) + text[end:]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=15)
    args = parser.parse_args()

    cases = [(name, (DATA / name).read_bytes()) for name in SAMPLES]
    base = (DATA / "example.xml").read_text(encoding="utf-8")
    cases += [(f"example.xml {rows // 1000}k rows", grown(base, rows).encode()) for rows in (1000, 10_000, 100_000)]

    print(f"{'document':<24}{'bytes':>11}{'rows':>8}{'ours ms':>10}{'pygef ms':>10}{'ratio':>8}{'ours ns/B':>11}")
    for name, raw in cases:
        payload = {"file_content": base64.b64encode(raw).decode()}
        rows = len(_jobs.parse_cpt_file(payload)["measurement_data"]["qc"])
        repeat = max(3, args.repeat * 200_000 // max(len(raw), 200_000))
        ours_call = lambda: _jobs.parse_cpt_file(payload)  # noqa: E731
        peer_call = lambda: pygef.read_cpt(io.BytesIO(raw))  # noqa: E731
        try:
            peer_call()
        except Exception as error:  # pygef's XML parser refuses text nodes over 10 MB
            ours = best_cpu_time(ours_call, repeat)
            peer_text, ratio_text = f"{'fails':>10}", f"{'':>8}"
            print(f"  pygef on {name}: {type(error).__name__}: {str(error)[:90]}")
        else:
            ours, peer = best_cpu_times([ours_call, peer_call], repeat)
            peer_text, ratio_text = f"{peer * 1e3:>10.3f}", f"{peer / ours:>8.1f}"
        print(f"{name:<24}{len(raw):>11}{rows:>8}{ours * 1e3:>10.3f}{peer_text}{ratio_text}"
              f"{ours / len(raw) * 1e9:>11.2f}")


if __name__ == "__main__":
    main()
