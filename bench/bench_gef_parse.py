"""GEF parsing: the built-in parse job against pygef, on the same files in the same run.

    .venv/bin/python bench/bench_gef_parse.py [--repeat N]

Samples: every GEF file in data/ and data/site/. Both sides get the file content in memory: ours the job payload (Base64 text, as GEFFile.parse
sends it; the time includes Base64 decoding and building the Python answer), pygef the UTF-8
bytes in a BytesIO. Each time is the smallest CPU time of N runs, both sides taking turns. Larger files are made by repeating the data
lines of a sample (penetration lengths kept increasing), to show growth with file size.
Classification time is measured per method on the grown files too.
"""

import argparse
import base64
import io
import sys
from pathlib import Path

import pygef

from terrak import _jobs

sys.path.insert(0, str(Path(__file__).resolve().parent))
from timing import best_cpu_time as best, best_cpu_times  # noqa: E402

DATA = Path(__file__).resolve().parent.parent / "data"
SAMPLES = [path.name for path in sorted(DATA.glob("*.gef"))] + [
    f"site/{path.name}" for path in sorted((DATA / "site").glob("*.gef"))]


def grown(text, factor):
    """The file with its data block repeated `factor` times, each copy deeper than the last."""
    eoh = text.index("#EOH")
    end_of_header = text.index("\n", eoh) + 1
    head, data = text[:end_of_header], text[end_of_header:]
    rows = [line for line in data.splitlines() if line.strip()]
    separator = ";" if ";" in rows[0] else None
    step = 0.0
    out = []
    for copy in range(factor):
        for line in rows:
            fields = line.split(separator) if separator else line.split()
            length = abs(float(fields[0])) + step
            # Written in the file's own number style: parse speed depends on it.
            fields[0] = f"{length:.4E}" if "E" in fields[0].upper() else f"{length:.2f}"
            out.append((separator or " ").join(fields))
        step = length
    return head + "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=15)
    args = parser.parse_args()

    cases = [(name, (DATA / name).read_text(encoding="ISO-8859-1")) for name in SAMPLES]
    base = (DATA / "cpt3.gef").read_text(encoding="ISO-8859-1")
    cases += [(f"cpt3.gef x{k}", grown(base, k)) for k in (4, 16)]

    print(f"{'file':<34}{'bytes':>11}{'rows':>8}{'ours ms':>10}{'pygef ms':>10}{'ratio':>8}{'ours ns/B':>11}")
    total_ours = total_peer = 0.0
    lowest = None
    for name, text in cases:
        payload = {"file_content": base64.b64encode(text.encode()).decode()}
        raw = text.encode()
        try:
            answer = _jobs.parse_cpt_file(payload)
        except Exception as error:  # noqa: BLE001 - a file the job refuses is shown, not timed
            print(f"{name:<34}{len(text):>11}  refused: {error}")
            continue
        rows = len(answer["measurement_data"]["qc"])
        peer_rows = pygef.read_cpt(io.BytesIO(raw)).data.height
        ours, peer = best_cpu_times([lambda: _jobs.parse_cpt_file(payload), lambda: pygef.read_cpt(io.BytesIO(raw))],
                                    args.repeat)
        if name in SAMPLES:
            total_ours += ours
            total_peer += peer
            lowest = min(lowest or peer / ours, peer / ours)
        note = "" if rows == peer_rows else f"  (pygef keeps {peer_rows} rows)"
        print(f"{name:<34}{len(raw):>11}{rows:>8}{ours * 1e3:>10.3f}{peer * 1e3:>10.3f}{peer / ours:>8.1f}"
              f"{ours / len(raw) * 1e9:>11.2f}{note}")
    print(f"{'total (samples)':<34}{'':>11}{'':>8}{total_ours * 1e3:>10.3f}{total_peer * 1e3:>10.3f}"
          f"{total_peer / total_ours:>8.1f}")
    print(f"lowest ratio of a sample file: {lowest:.1f}")

    print()
    print(f"{'classification':<24}{'rows':>8}{'robertson ms':>14}{'table ms':>10}{'ic ms':>10}{'ic us/row':>11}")
    table = [{"name": n, "color": "1,2,3", "qc_min": lo, "qc_max": hi, "qc_norm_min": "", "qc_norm_max": "",
              "rf_min": "", "rf_max": "", "gamma_dry_min": 17, "gamma_dry_max": "", "gamma_wet_min": 19,
              "gamma_wet_max": ""} for n, lo, hi in (("soft", "", 1), ("medium", 1, 10), ("hard", 10, ""))]
    ic_table = [{"name": n, "ic_min": lo, "ic_max": hi, "color": "1,2,3"}
                for n, lo, hi in (("sand", 0, 2.05), ("silt", 2.05, 2.95), ("clay", 2.95, 10))]
    for name, text in [case for case in cases if case[0] == "cpt3.gef"] + cases[-2:]:
        cpt = _jobs.parse_cpt_file({"file_content": base64.b64encode(text.encode()).decode()})
        rows = len(cpt["measurement_data"]["qc"])
        run = lambda method, params: best(lambda: _jobs.classify_cpt(
            {"cpt_data": cpt, "classification_method": method, "method_params": params}), 5)
        robertson = run("robertson", {"soil_properties": []})
        tab = run("table", {"qualification_table": table, "ground_water_level": 0.0})
        ic = run("ic", {"ic_table": ic_table, "ground_water_level": 0.0, "specific_weight_soil": 18.0,
                        "resolution": None})
        print(f"{name:<24}{rows:>8}{robertson * 1e3:>14.3f}{tab * 1e3:>10.3f}{ic * 1e3:>10.3f}{ic / rows * 1e6:>11.3f}")


if __name__ == "__main__":
    main()
