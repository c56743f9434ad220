"""What an installed wheel carries beside the module: the stubs, the licence and
the version of meson.build. Skipped for a module that was not installed by pip."""
import importlib.metadata
import re
from pathlib import Path

import pytest

import rust

ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture(scope="module")
def dist():
    try:
        dist = importlib.metadata.distribution("rust")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("rust is not installed as a distribution")
    module = Path(rust.__file__).resolve()
    if module not in {Path(dist.locate_file(f)).resolve() for f in dist.files or ()}:
        pytest.skip("the imported module is not the installed distribution's")
    return dist


def installed(dist, name):
    for f in dist.files:
        if f.as_posix() == name:
            return Path(dist.locate_file(f))
    raise AssertionError(f"{name} is not in the installed distribution")


@pytest.mark.parametrize("name", ["rust.pyi", "rust-stubs/__init__.pyi"])
def test_stubs_are_installed_beside_the_module(dist, name):
    stub = installed(dist, name)
    home = stub.parent.parent if "/" in name else stub.parent
    assert home.resolve() == Path(rust.__file__).resolve().parent
    assert stub.read_bytes() == (ROOT / "src" / "module" / "rust.pyi").read_bytes()


def test_version_comes_from_meson_build(dist):
    declared = re.search(r"^\s*version:\s*'([^']+)'", (ROOT / "meson.build").read_text(), re.M)
    assert dist.version == declared.group(1)


def test_licence_is_shipped(dist):
    assert dist.metadata["License-Expression"] == "MIT"
    licence = installed(dist, f"rust-{dist.version}.dist-info/licenses/LICENSE")
    assert licence.read_bytes() == (ROOT / "LICENSE").read_bytes()
