import gc
import json
import os
import pathlib

import pytest

import _quelbin as q
from fixtures import model_bundle as cases


def mapped(path):
    with open("/proc/self/maps") as maps:
        return any(line.rstrip("\n").endswith(" " + str(path)) for line in maps)


def test_bundle_properties_arguments_and_lifetime(tmp_path):
    cases.good(tmp_path / "b")
    bundle = q.ModelBundle(str(tmp_path / "b"))
    assert isinstance(bundle.path, pathlib.Path) and bundle.path == tmp_path / "b"
    identity = (bundle.language, bundle.processor, bundle.package, bundle.varnek_version,
                bundle.resources_version, bundle.checksums_verified, bundle.tensor_file_size)
    assert identity == ("en", "lemma", "default", "1.10.0", "1.14.0", True, 129)
    manifest = json.loads((tmp_path / "b" / "manifest.json").read_text())
    assert bundle.tensor_names == [entry["name"] for entry in manifest["tensors"]]
    for entry in manifest["tensors"]:
        assert {key: getattr(bundle.tensor(entry["name"]), key) for key in entry} == entry
    pytest.raises(AttributeError, setattr, bundle, "language", "fr")
    pytest.raises(AttributeError, setattr, bundle.tensor("flag"), "name", "x")
    assert q.ModelBundle(path=tmp_path / "b", verify_checksums=False).checksums_verified is False
    for arguments in [(None,), (3,), (tmp_path / "b", 1), (tmp_path / "b", None)]:
        pytest.raises(TypeError, q.ModelBundle, *arguments)
    with pytest.raises(q.ModelBundleError, match=r"^tensor is not present in bundle: 'x'$"):
        bundle.tensor("x")
    with pytest.raises(q.ModelBundleError, match=r"^model bundle is not a directory: /.*manifest"):
        q.ModelBundle(os.fsencode(tmp_path / "b" / "manifest.json"))
    # A descriptor keeps its bundle, and so the mapping, alive.
    descriptor = bundle.tensor("lengths")
    del bundle
    gc.collect()
    assert mapped(tmp_path / "b" / "tensors.bin")
    assert (descriptor.name, descriptor.shape, descriptor.offset) == ("lengths", [5], 64)
    del descriptor
    gc.collect()
    assert not mapped(tmp_path / "b" / "tensors.bin")
