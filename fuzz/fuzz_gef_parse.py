"""Mutation fuzzing of the parse and classify jobs, for a fixed time budget; run by hand.

    .venv/bin/python fuzz/fuzz_gef_parse.py [--seconds 60] [--seed 1]

Each case mutates a sample file (byte flips, hostile tokens, cut lines, duplicated or dropped
lines, truncation) and sends it to the parse job; a file that parses is then classified by all
three methods. A job may answer or fail with its own error names; any other exception is a
finding, saved under fuzz/artifacts/. A crash of the interpreter stops the run: case i of seed s
is rebuilt exactly with --seed s --start i --cases 1.
"""

import argparse
import base64
import faulthandler
import random
import time
import traceback
from pathlib import Path

from terrak import _jobs
from terrak.core import JobFailure

ROOT = Path(__file__).resolve().parent.parent
TOKENS = [b";", b"!", b"#EOH=\n", b"#COLUMNINFO= 7, m, x, 11\n", b"-9999", b"-999999", b"1e999", b"nan", b"\r",
          b"\r\n", b"\xb0", b"\xc3", b"\x00", b"99999999999999999999", b"#COLUMNVOID= 2, 0\n", b",", b"=",
          b"#COLUMNSEPARATOR= :\n", b"#RECORDSEPARATOR=;\n", b"#ZID= 31000\n", b"#GEFID= 2,0,0\n", b" " * 50,
          b"#DATAFORMAT= BINARY\n", b"-", b"+", b"e", b"#COLUMN= 1024\n", b"#COLUMNINFO= 1024, m, x, 2\n",
          b"1;" * 5000, b"#COMMENT= x\n" * 200]
ALLOWED = {"ParsingError", "NotImplementedError", "CPTClassificationError", "RobertsonProcessingException"}
METHODS = [
    ("robertson", {"soil_properties": [{"name": "Robertson zone 3", "x": 1}]}),
    ("table", {"qualification_table": [
        {"name": "a", "color": "1,2,3", "qc_min": "", "qc_max": " 2\n", "qc_norm_min": "", "qc_norm_max": "5",
         "rf_min": "", "rf_max": "", "gamma_dry_min": 15, "gamma_dry_max": "", "gamma_wet_min": 17,
         "gamma_wet_max": ""},
        {"name": "b", "color": "3,2,1", "qc_min": 2, "qc_max": "", "qc_norm_min": "", "qc_norm_max": "",
         "rf_min": "", "rf_max": 2, "gamma_dry_min": 18, "gamma_dry_max": 19, "gamma_wet_min": 20,
         "gamma_wet_max": 21}], "ground_water_level": -1.0}),
    ("ic", {"ic_table": [{"name": "s", "ic_min": 0, "ic_max": 2.6, "color": "1,1,1"},
                         {"name": "c", "ic_min": 2.6, "ic_max": 9, "color": "2,2,2"}],
            "ground_water_level": -1.0, "specific_weight_soil": 18.0, "resolution": 0.2}),
]


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 8)):
        kind = rng.randrange(6)
        at = rng.randrange(len(data) + 1)
        if kind == 0 and data:
            data[min(at, len(data) - 1)] = rng.randrange(256)
        elif kind == 1:
            data[at:at] = rng.choice(TOKENS)
        elif kind == 2:
            del data[at:at + rng.randint(1, 64)]
        elif kind == 3:
            lines = bytes(data).split(b"\n")
            i = rng.randrange(len(lines))
            lines.insert(i, lines[rng.randrange(len(lines))])
            data = bytearray(b"\n".join(lines))
        elif kind == 4:
            data = data[:at]
        else:
            lines = bytes(data).split(b"\n")
            del lines[rng.randrange(len(lines))]
            data = bytearray(b"\n".join(lines))
    return bytes(data)


def run_case(data):
    try:
        answer = _jobs.parse_cpt_file({"file_content": base64.b64encode(data).decode()})
    except JobFailure as failure:
        if failure.error_name not in ALLOWED:
            raise
        return "refused"
    for method, params in METHODS:
        try:
            _jobs.classify_cpt({"cpt_data": answer, "classification_method": method, "method_params": params})
        except JobFailure as failure:
            if failure.error_name not in ALLOWED:
                raise
    return "parsed"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--start", type=int, default=0)
    parser.add_argument("--cases", type=int, default=None)
    args = parser.parse_args()
    faulthandler.enable()
    seeds = [p.read_bytes() for p in sorted((ROOT / "data").glob("*.gef"))]
    artifacts = ROOT / "fuzz" / "artifacts"
    counts = {"parsed": 0, "refused": 0, "findings": 0}
    deadline = time.monotonic() + args.seconds
    i = args.start
    while time.monotonic() < deadline and (args.cases is None or i < args.start + args.cases):
        rng = random.Random(args.seed * 1_000_003 + i)
        data = mutate(rng, rng.choice(seeds))
        try:
            counts[run_case(data)] += 1
        except Exception:
            counts["findings"] += 1
            artifacts.mkdir(parents=True, exist_ok=True)
            (artifacts / f"seed{args.seed}-case{i}.gef").write_bytes(data)
            print(f"finding in case {i}:\n{traceback.format_exc()}")
        i += 1
    print(f"seed {args.seed}: {i - args.start} cases in {args.seconds:g} s: {counts['parsed']} parsed, "
          f"{counts['refused']} refused with a job error, {counts['findings']} findings")
    return 1 if counts["findings"] else 0


if __name__ == "__main__":
    raise SystemExit(main())
