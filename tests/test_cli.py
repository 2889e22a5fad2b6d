"""The terrak command, run as a user runs it: outputs, summaries and exit status."""

import csv
import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from terrak import cli
from terrak.geo import SoilLayout, SoilLayout2D

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"
SITE = sorted((DATA / "site").glob("*.gef"))
TERRAK = pathlib.Path(sys.executable).with_name("terrak")

QUALIFICATION_CSV = """\
name,color,qc_min,qc_max,qc_norm_min,qc_norm_max,rf_min,rf_max,gamma_dry_min,gamma_dry_max,gamma_wet_min,gamma_wet_max,phi
Clay,"0,128,0",,3,,,1.5,,,,,,17.5
Sand,"255,215,0",,,,,,,,,,,32.5
"""


def terrak(*args, cwd=None):
    """Runs the installed console script with its output piped, as in a script or CI."""
    return subprocess.run([str(TERRAK), *map(str, args)], capture_output=True, text=True, timeout=300, cwd=cwd,
                          env=dict(os.environ, MPLBACKEND="Agg"))


@pytest.fixture(scope="module")
def samples(tmp_path_factory):
    folder = tmp_path_factory.mktemp("samples")
    for name in ("cpt.gef", "cpt2.gef", "cpt_voids.gef"):
        shutil.copy(DATA / name, folder / name)
    (folder / "notes.txt").write_text("not a CPT")  # not picked up from a folder
    return folder


def read_summary(path):
    with open(path, newline="", encoding="utf-8") as handle:
        return list(csv.DictReader(handle))


def test_classify_folder_writes_outputs_and_lists_the_failed_file(samples, tmp_path):
    run = terrak("classify", samples, "-o", tmp_path, "--workers", "2")
    assert run.returncode == 1, run.stderr
    assert run.stdout == ""
    assert run.stderr.strip() == (f"failed: {samples / 'cpt_voids.gef'}: GEFParsingError: The file has no friction "
                                  "data: neither a friction ratio nor a local friction column")
    rows = read_summary(tmp_path / "summary_robertson.csv")
    assert [(pathlib.Path(r["file"]).name, r["status"], r["output"]) for r in rows] == [
        ("cpt.gef", "ok", "cpt"), ("cpt2.gef", "ok", "cpt2"), ("cpt_voids.gef", "failed", "")]
    assert rows[0]["cpt"] == "CPTU17.8 + 83BITE" and rows[2]["error"].startswith("GEFParsingError: ")
    layout = SoilLayout.from_dict(json.loads((tmp_path / "cpt" / "layout_robertson.json").read_text()))
    assert layout.number_of_layers == int(rows[0]["layers_cleaned"]) < int(rows[0]["layers_classified"])
    assert all(layer.thickness >= 500 for layer in layout.layers[:-1])
    assert (tmp_path / "cpt2" / "gef_robertson.svg").read_text().lstrip().startswith("<?xml")
    assert not (tmp_path / "cpt_voids").exists()


def test_classify_with_a_csv_table_all_done_is_quiet(samples, tmp_path):
    table = tmp_path / "table.csv"
    table.write_text(QUALIFICATION_CSV)
    run = terrak("classify", samples / "cpt.gef", samples / "cpt2.gef", "-m", "table", "-t", table,
                 "--ground-water-level", "-1", "--min-thickness", "1", "--no-svg", "-o", tmp_path / "out",
                 cwd=tmp_path)
    assert (run.returncode, run.stdout, run.stderr) == (0, "", "")
    layout = json.loads((tmp_path / "out" / "cpt2" / "layout_table.json").read_text())
    assert {layer["soil"]["name"] for layer in layout["layers"]} == {"Clay", "Sand"}
    assert {layer["soil"]["properties"]["phi"] for layer in layout["layers"]} == {17.5, 32.5}
    assert not list((tmp_path / "out").rglob("*.svg"))


def test_classify_output_is_relative_to_the_current_folder_and_names_stay_apart(samples, tmp_path):
    other = tmp_path / "other"
    other.mkdir()
    shutil.copy(DATA / "cpt.gef", other / "cpt.gef")
    run = terrak("classify", samples / "cpt.gef", other / "cpt.gef", "--no-svg", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert [r["output"] for r in read_summary(tmp_path / "out" / "summary_robertson.csv")] == ["cpt", "cpt-2"]
    assert (tmp_path / "out" / "cpt-2" / "layout_robertson.json").is_file()


@pytest.mark.parametrize(("args", "message"), [
    ([], "the following arguments are required: COMMAND"),
    (["classify"], "the following arguments are required: PATH"),
    (["classify", "x.gef", "-m", "nen"], "invalid choice: 'nen'"),
    (["classify", "x.gef", "-m", "table", "--ground-water-level", "-1"], "the table method needs --table"),
    (["classify", "x.gef", "-m", "ic", "-t", "{table}"], "the ic method needs --ground-water-level"),
    (["classify", "x.gef", "-m", "table", "-t", "nothere.csv", "--ground-water-level", "-1"], "cannot read table"),
    (["classify", "x.gef", "-t", "{bad_json}"], "is not valid JSON"),
    (["classify", "x.gef", "-t", "{zones}"], 'Robertson zones: Error: "name":zone 10 provided'),
    (["classify", "{empty}"], "no CPT files (*.gef, *.xml) in folder"),
    (["classify", "x.gef", "--workers", "0"], "argument -w/--workers: must be at least 1"),
    (["classify", "x.gef", "--min-thickness", "-1"], "must be a number of at least 0"),
    (["section", "x.gef", "y.gef", "--excavate"], "--excavate needs --cut"),
    (["section", "x.gef", "y.gef", "--cut", "{bad_cut}"], "expected pairs of numbers"),
    (["section", "x.gef", "y.gef", "--format", "gif"], "formats are svg, png and pdf"),
])
def test_usage_errors_exit_with_status_2(tmp_path, monkeypatch, capsys, args, message):
    (tmp_path / "empty").mkdir()
    (tmp_path / "bad.json").write_text("[{")
    (tmp_path / "zones.json").write_text('[{"name": "zone 10"}]')
    (tmp_path / "table.csv").write_text(QUALIFICATION_CSV)
    (tmp_path / "cut.csv").write_text("x,y\n1,2\n3,four\n")
    paths = {"empty": tmp_path / "empty", "bad_json": tmp_path / "bad.json", "zones": tmp_path / "zones.json",
             "table": tmp_path / "table.csv", "bad_cut": tmp_path / "cut.csv"}
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as exit_info:  # in this process: the same code, without a start-up each
        cli.main([a.format(**paths) for a in args])
    captured = capsys.readouterr()
    assert exit_info.value.code == 2, captured.err
    assert message in captured.err and captured.out == ""
    assert not (tmp_path / "out").exists()


def test_usage_error_exit_status_of_the_installed_command(tmp_path):
    run = terrak("classify", tmp_path)
    assert (run.returncode, run.stdout) == (2, "")
    assert run.stderr == f"terrak classify: error: no CPT files (*.gef, *.xml) in folder {tmp_path}\n"


def test_help_reads_as_a_manual():
    run = terrak("--help")
    assert run.returncode == 0
    for text in ("classify", "section", "exit status: 0 all files done, 1 some files failed", "examples:"):
        assert text in run.stdout
    run = terrak("section", "--help")
    for text in ("--cut FILE", "--excavate", "--phreatic-depth M", "--workers N", "section_cpts.csv"):
        assert text in run.stdout
    module = subprocess.run([sys.executable, "-m", "terrak", "classify", "--help"], capture_output=True, text=True)
    assert module.returncode == 0 and "summary_<method>.csv" in module.stdout


def test_section_through_the_site_with_an_excavation(tmp_path):
    (tmp_path / "cut.csv").write_text("chainage, level\n70, 0\n80, -4.5\n110, -4.5\n120, 0\n")
    (tmp_path / "t.csv").write_text(QUALIFICATION_CSV)
    run = terrak("section", *SITE, "-m", "table", "-t", tmp_path / "t.csv", "--ground-water-level", "-2.5",
                 "--cut", tmp_path / "cut.csv", "--excavate", "--phreatic-depth", "1", "-o", tmp_path / "section")
    assert (run.returncode, run.stderr) == (0, "")
    out = tmp_path / "section"
    cpts = read_summary(out / "section_cpts.csv")
    assert [(r["cpt"], round(float(r["chainage_m"]))) for r in cpts] == [
        ("CPT000000063045", 0), ("CPT000000064413", 64), ("CPT000000063044", 130), ("CPT000000065880", 195)]
    assert [r["ground_level_m"] for r in cpts] == ["-1.700", "-1.530", "-1.590", "-1.490"]
    section = SoilLayout2D.from_dict(json.loads((out / "section.json").read_text()))
    assert section.top_profile.intersections_with_x_location(95)[0].y == pytest.approx(-4.5)
    at_cpt = float(cpts[2]["chainage_m"])
    assert section.top_profile.intersections_with_x_location(at_cpt)[0].y == pytest.approx(-1.59, abs=1e-3)
    assert (out / "section.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "<svg" in (out / "section.svg").read_text()


def test_section_cut_into_pieces_and_with_too_few_cpts(tmp_path, samples):
    (tmp_path / "pile.json").write_text("[[100, 5], [100, -40]]")
    run = terrak("section", *SITE[:2], "--cut", tmp_path / "pile.json", "--format", "pdf", "-o", tmp_path / "s")
    assert (run.returncode, run.stderr) == (0, "")
    pieces = [SoilLayout2D.from_dict(json.loads((tmp_path / "s" / f"section_part_{n}.json").read_text()))
              for n in (1, 2)]
    assert sorted((p.left_boundary, p.right_boundary) for p in pieces)[0][1] == pytest.approx(100)
    assert (tmp_path / "s" / "section.pdf").read_bytes()[:5] == b"%PDF-"

    run = terrak("section", SITE[0], samples / "cpt_voids.gef", "-o", tmp_path / "few")
    assert run.returncode == 1
    assert "failed: " in run.stderr and "a section needs at least two CPTs, 1 could be processed" in run.stderr


def test_progress_bar_and_closing_line_on_a_terminal(tmp_path):
    import fcntl
    import pty
    import struct
    import termios
    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # a terminal has a width
    with open(follower, "wb", closefd=True) as terminal:
        run = subprocess.run([str(TERRAK), "classify", *SITE[:2], "--no-svg", "-o", tmp_path], stdout=subprocess.PIPE,
                             stderr=terminal, timeout=300, env=dict(os.environ, MPLBACKEND="Agg"))
    shown = b""
    while True:
        try:
            chunk = os.read(leader, 65536)
        except OSError:
            break
        if not chunk:
            break
        shown += chunk
        if b"summary in" in shown:
            break
    os.close(leader)
    assert run.returncode == 0 and run.stdout == b""
    assert b"\rrobertson:   0%|" in shown and b"0/2 [" in shown
    assert f"2 of 2 CPTs classified; summary in {tmp_path / 'summary_robertson.csv'}".encode() in shown


def test_demo_paths_are_relative_to_the_current_folder_and_nothing_done_is_a_failure(tmp_path):
    demo = pathlib.Path(__file__).resolve().parent.parent / "examples" / "demo.py"
    run = subprocess.run([sys.executable, str(demo), "nothere.gef", "--site", "nothere.gef", "--output", "out2"],
                         capture_output=True, text=True, timeout=300, cwd=tmp_path,
                         env=dict(os.environ, MPLBACKEND="Agg"))
    assert run.returncode == 1, run.stderr
    assert "skipped: FileNotFoundError" in run.stdout and "Done: 0 CPTs processed, 1 skipped" in run.stdout
    assert (tmp_path / "out2" / "summary_table.csv").is_file()


def test_a_drawing_that_fails_fails_its_file_only(tmp_path, monkeypatch):
    import matplotlib.pyplot as plt
    import terrak.geo
    real = terrak.geo.gef_visualization

    def refuse_the_second(gef, original, cleaned):
        if gef.name == "CPT000000063045":
            plt.figure()
            raise ValueError("no cone data to draw")
        return real(gef, original, cleaned)

    monkeypatch.setattr(terrak.geo, "gef_visualization", refuse_the_second)
    figures = len(plt.get_fignums())
    results, summary = cli.classify_files(SITE[:3], "robertson", cli.make_method("robertson"), tmp_path, workers=2)
    assert [r.status for r in results] == ["ok", "failed", "ok"]
    assert results[1].error == "ValueError: no cone data to draw"
    assert [row["status"] for row in read_summary(summary)] == ["ok", "failed", "ok"]
    assert (tmp_path / SITE[2].stem / "gef_robertson.svg").is_file()
    assert len(plt.get_fignums()) == figures


def test_processes_give_what_threads_give(tmp_path):
    for how in ("threads", "processes"):
        options = ["--processes", "--workers", "2"] if how == "processes" else ["--workers", "2"]
        run = terrak("classify", *SITE, DATA / "cpt_voids.gef", "--no-svg", "-o", tmp_path / how, *options)
        assert run.returncode == 1 and run.stderr.count("failed: ") == 1, run.stderr
    for folder in ["summary_robertson.csv"] + [f"{path.stem}/layout_robertson.json" for path in SITE]:
        assert (tmp_path / "processes" / folder).read_text() == (tmp_path / "threads" / folder).read_text()
