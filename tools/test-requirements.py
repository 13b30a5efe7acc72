"""Prints the test requirements, one per line: the `test` extra of
pyproject.toml, the one list every test environment installs from.

With --machine M it prints those whose environment marker holds on the
machine M, without the marker: the wheels to fetch for a cross target, whose
markers the build machine cannot judge.
"""

import argparse
import pathlib
import tomllib

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("--machine", help="judge environment markers for this platform.machine()")
args = parser.parse_args()

pyproject = pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml"
requirements = tomllib.loads(pyproject.read_text())["project"]["optional-dependencies"]["test"]
for line in requirements:
    if args.machine:
        from packaging.requirements import Requirement

        requirement = Requirement(line)
        if requirement.marker and not requirement.marker.evaluate({"platform_machine": args.machine}):
            continue
        requirement.marker = None
        line = str(requirement)
    print(line)
