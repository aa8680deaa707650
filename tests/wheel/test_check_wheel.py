"""scripts/check-wheel against wheels whose names or contents lie about what they need.

The sound wheel is the one scripts/wheel built (NORVANE_WHEEL names it); the
others are copies of it, renamed or with a renamed member.
"""
import importlib.machinery
import importlib.util
import os
import re
import zipfile
from pathlib import Path, PurePosixPath
from typing import Callable, Dict

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "check-wheel"
loader = importlib.machinery.SourceFileLoader("check_wheel", str(SCRIPT))
spec = importlib.util.spec_from_loader("check_wheel", loader)
assert spec is not None
check_wheel = importlib.util.module_from_spec(spec)
loader.exec_module(check_wheel)


@pytest.fixture(scope="module")
def wheel() -> Path:
    path = os.environ.get("NORVANE_WHEEL")
    if not path:
        pytest.skip("NORVANE_WHEEL names no wheel (scripts/test sets it)")
    return Path(path)


def arch_of(wheel: Path) -> str:
    return re.search(r"_(aarch64|x86_64)\.whl$", wheel.name)[1]


def other_arch(wheel: Path) -> str:
    return "x86_64" if arch_of(wheel) == "aarch64" else "aarch64"


def glibc_tag(wheel: Path, minor: int) -> str:
    return f"manylinux_2_{minor}_{arch_of(wheel)}"


def copy(wheel: Path, dest: Path, rename: Callable[[str], str] = lambda n: n) -> Path:
    with zipfile.ZipFile(wheel) as src, zipfile.ZipFile(dest, "w") as out:
        for item in src.infolist():
            out.writestr(rename(item.filename), src.read(item))
    return dest


def with_platform(wheel: Path, tmp: Path, platform: str) -> Path:
    return copy(wheel, tmp / re.sub(r"-[^-]+\.whl$", f"-{platform}.whl", wheel.name))


def baseline(wheel: Path) -> int:
    return int(re.search(r"manylinux_2_(\d+)_", wheel.name)[1])


CASES: Dict[str, Callable[[Path, Path], Path]] = {
    "not repaired": lambda w, t: with_platform(w, t, f"linux_{arch_of(w)}"),
    "promises older boards": lambda w, t: with_platform(w, t, glibc_tag(w, 17)),
    "promises fewer boards": lambda w, t: with_platform(w, t, glibc_tag(w, baseline(w) + 1)),
    "other machine's tag": lambda w, t: with_platform(
        w, t, f"manylinux_2_{baseline(w)}_{other_arch(w)}"
    ),
    "other machine's suffix": lambda w, t: copy(
        w, t / w.name, lambda n: n.replace(f"-{arch_of(w)}-linux-gnu.so", f"-{other_arch(w)}-linux-gnu.so")
    ),
    "other Python's suffix": lambda w, t: copy(w, t / w.name, lambda n: re.sub(r"cpython-3\d+-", "cpython-38-", n)),
}

EXPECTED = {
    "not repaired": "not manylinux",
    "promises older boards": "manylinux_2_17 does not provide",
    "promises fewer boards": "runs on manylinux_2_",
    "other machine's tag": "ELF64 in a",
    "other machine's suffix": "without the suffix",
    "other Python's suffix": "without the suffix",
}


def test_the_built_wheel_passes(wheel: Path) -> None:
    problems, summary = check_wheel.check(wheel)
    assert problems == []
    assert summary.startswith(arch_of(wheel))


@pytest.mark.parametrize("case", sorted(CASES))
def test_a_lying_wheel_fails(wheel: Path, tmp_path: Path, case: str) -> None:
    problems, _ = check_wheel.check(CASES[case](wheel, tmp_path))
    assert any(EXPECTED[case] in p for p in problems), problems


def test_the_wheel_carries_every_python_package_of_the_tree(wheel: Path) -> None:
    python = SCRIPT.parents[1] / "python"
    packages = {p.parent.relative_to(python).as_posix() for p in python.glob("*/**/__init__.py")}
    with zipfile.ZipFile(wheel) as z:
        shipped = {PurePosixPath(n).parent.as_posix() for n in z.namelist() if n.endswith("/__init__.py")}
    assert packages <= shipped, packages - shipped
