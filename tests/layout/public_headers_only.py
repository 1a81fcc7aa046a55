#!/usr/bin/env python3
"""The tool, the Python module and the benchmarks use the library the way any
other program does: through its public headers (include/kelda, <kelda/...>).
A header under src/ is the library's own business; a host that reaches into
it couples itself to internals a user of the installed package never sees,
and what the host needs there is missing from the public headers.

The rule, file by file (every C and C++ source and header):

  src/cli/   may include src/ headers only from src/cli itself (the tool's
             own files);
  python/    may include no src/ header at all;
  bench/     may include no src/ header, except that the benchmarks that
             time the engine's own procedures (ForwardPass, the backward
             passes, ApplySlopes, UpdateWeights) and the database layer's
             reads against the peer library and bare SQLite may include the
             engine's headers and the few headers that open a table's rows
             exactly as a run does. No public header offers those procedures,
             and measuring anything else would say nothing about a run. They
             are the files of ENGINE_BENCHMARKS, and the headers of
             ENGINE_HEADERS; the component's (the thread block, the thread's
             settings, the Network's internals) are never among them.

An include names a src/ header when it resolves, as the compiler resolves
it, to a file under src/: beside the including file first, then below src/,
include/ and tests/ (the folders the build puts on the include path). Headers
that resolve nowhere in the tree (the C++ library, SQLite, pybind11, ...) are
not checked.

Usage: public_headers_only.py [ROOT]   (ROOT: the source tree; default: the
tree this script is in). Prints every offending include as FILE:LINE and
exits 1 when there is one.
"""

import pathlib
import re
import sys

SOURCE_SUFFIXES = {".c", ".cc", ".cpp", ".h", ".hpp"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
INCLUDE_ROOTS = ("src", "include", "tests")

ENGINE_BENCHMARKS = {
    "bench/bench_common.h",
    "bench/bench_common.cpp",
    "bench/foundations.cpp",
    "bench/training_run.cpp",
    "bench/whole_job.cpp",
}
ENGINE_HEADERS = {
    # The engine's procedures and the state they work on.
    "src/engine/engine.h",
    "src/engine/network_state.h",
    # The value type the engine's targets are held in.
    "src/base/value.h",
    # A table's rows opened, read and scaled as a run does.
    "src/data/database.h",
    "src/training/object_fields.h",
    "src/training/training_table.h",
    "src/training/run_setup.h",
    "src/training/prediction.h",
}


def resolve(root, including, name):
    """The file under `root` that `name`, included from `including`, names;
    None when it names none."""
    for base in (including.parent, *(root / r for r in INCLUDE_ROOTS)):
        candidate = (base / name).resolve()
        if candidate.is_file():
            return candidate
    return None


def allowed(source, header):
    """Whether `source` may include `header` (both relative to the root, with
    forward slashes; `header` is under src/)."""
    if source.startswith("src/cli/"):
        return header.startswith("src/cli/")
    if source.startswith("bench/"):
        return source in ENGINE_BENCHMARKS and header in ENGINE_HEADERS
    return False


def offences(root):
    root = root.resolve()
    src = root / "src"
    found = []
    for folder in ("src/cli", "python", "bench"):
        sources = [p for p in sorted((root / folder).rglob("*"))
                   if p.suffix in SOURCE_SUFFIXES and p.is_file()]
        if not sources:
            # A check that reads nothing would pass for ever.
            found.append(f"{folder}: no sources to check")
        for path in sources:
            source = path.relative_to(root).as_posix()
            text = path.read_text(encoding="utf-8", errors="replace")
            for number, line in enumerate(text.splitlines(), start=1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                target = resolve(root, path, match.group(2))
                if target is None or not target.is_relative_to(src):
                    continue
                header = target.relative_to(root).as_posix()
                if not allowed(source, header):
                    found.append(f"{source}:{number}: includes {header} ({line.strip()})")
    return found


def main(argv):
    root = pathlib.Path(argv[1]) if len(argv) > 1 else pathlib.Path(__file__).resolve().parents[2]
    if not (root / "src").is_dir():
        print(f"{root} holds no src folder", file=sys.stderr)
        return 2
    found = offences(root)
    for offence in found:
        print(offence)
    if found:
        print(f"{len(found)} finding(s); the tool, the Python module and the benchmarks use "
              "the public headers (<kelda/...>)")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
