"""terrak demo: what the package does end to end, on the bundled GEF files."""

import argparse
import pathlib

import terrak.geo as geo
from terrak.core import Color, File

ROOT = pathlib.Path(__file__).resolve().parent.parent


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("gef_files", nargs="*", type=pathlib.Path, help="GEF files (default: the bundled ones)")
    parser.add_argument("--output", type=pathlib.Path, default=ROOT / "out", help="output folder")
    args = parser.parse_args()
    files = args.gef_files or sorted((ROOT / "data").glob("*.gef"))
    args.output.mkdir(parents=True, exist_ok=True)

    classes = [name for name, value in vars(geo).items() if isinstance(value, type) and value.__module__ == geo.__name__]
    print(f"terrak.geo defines {len(classes)} classes: {', '.join(classes)}")
    sand = Color(200, 180, 90)
    print(f"a soil colour: {sand} = {sand.hex}")
    summary = File()
    with summary.open_binary() as stream:
        for path in files:
            stream.write(f"{path.name}\t{path.stat().st_size} bytes\n".encode())
    (args.output / "inputs.txt").write_bytes(summary.getvalue_binary())
    print(f"{len(files)} GEF files listed in {args.output / 'inputs.txt'}")


if __name__ == "__main__":
    main()
