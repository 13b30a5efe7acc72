#!/usr/bin/env python3
"""Packs a staged install tree (cmake --install) into a wheel for a given tag.

For targets that scikit-build-core does not cross-build for: the build system
installs the files, this only adds the .dist-info that pip needs. The wheel
is reproducible: entries are sorted and dated 1980-01-01.
"""
from __future__ import annotations

import argparse
import base64
import hashlib
import pathlib
import tomllib
import zipfile

DATE = (1980, 1, 1, 0, 0, 0)



def with_extra(requirement, extra):
    """The requirement, needed only with `extra`: its own marker, if any, and
    the extra's, joined (a second `;` would not parse)."""
    name, _, marker = requirement.partition(";")
    marker = f"({marker.strip()}) and " if marker.strip() else ""
    return f'{name.strip()}; {marker}extra == "{extra}"'

def metadata(project: dict, root: pathlib.Path) -> str:
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
    ]
    if "description" in project:
        lines.append(f"Summary: {project['description']}")
    if "text" in project.get("license", {}):
        lines.append(f"License: {project['license']['text']}")
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    for req in project.get("dependencies", []):
        lines.append(f"Requires-Dist: {req}")
    for extra, reqs in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines.extend(f"Requires-Dist: {with_extra(req, extra)}" for req in reqs)
    body = ""
    readme = project.get("readme")
    if isinstance(readme, str):
        lines.append("Description-Content-Type: text/markdown" if readme.endswith(".md") else
                     "Description-Content-Type: text/plain")
        body = "\n" + (root / readme).read_text(encoding="utf-8")
    return "\n".join(lines) + "\n" + body


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("stage", type=pathlib.Path, help="folder the build system installed into")
    parser.add_argument("--tag", required=True, help="wheel tag, e.g. cp313-cp313-linux_armv7l")
    parser.add_argument("--pyproject", type=pathlib.Path, default=pathlib.Path("pyproject.toml"))
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("dist"))
    args = parser.parse_args()

    project = tomllib.loads(args.pyproject.read_text(encoding="utf-8"))["project"]
    name, version = project["name"], project["version"]
    files = sorted(p for p in args.stage.rglob("*") if p.is_file())
    if not files:
        raise SystemExit(f"make-wheel: nothing installed in {args.stage}")
    info = f"{name}-{version}.dist-info"
    generated = {
        f"{info}/METADATA": metadata(project, args.pyproject.parent).encode(),
        f"{info}/WHEEL": (f"Wheel-Version: 1.0\nGenerator: tools/make-wheel.py\n"
                          f"Root-Is-Purelib: false\nTag: {args.tag}\n").encode(),
    }

    args.out.mkdir(parents=True, exist_ok=True)
    wheel = args.out / f"{name}-{version}-{args.tag}.whl"
    tmp = wheel.with_suffix(".partial")
    record = []
    with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as zf:
        def add(arcname: str, data: bytes, mode: int = 0o644) -> None:
            entry = zipfile.ZipInfo(arcname, DATE)
            entry.external_attr = (0o100000 | mode) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            zf.writestr(entry, data)
            record.append(record_line(arcname, data))

        for path in files:
            mode = 0o755 if path.stat().st_mode & 0o111 else 0o644
            add(path.relative_to(args.stage).as_posix(), path.read_bytes(), mode)
        for arcname, data in generated.items():
            add(arcname, data)
        record.append(f"{info}/RECORD,,")
        entry = zipfile.ZipInfo(f"{info}/RECORD", DATE)
        entry.external_attr = (0o100000 | 0o644) << 16
        zf.writestr(entry, "\n".join(record) + "\n", zipfile.ZIP_DEFLATED)
    tmp.replace(wheel)
    print(wheel)


if __name__ == "__main__":
    main()
