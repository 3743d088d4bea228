import gc

import pytest
import torch

import _quelbin as q
from model_bundles.charlm import random_charlm, write_charlm_bundle
from reference.charlm import CharLMReference
from conftest import releases_lock

WORDS = ["Ein", "kleiner", "Test", "", "mit", "中😀", "Qы", "x y"]


@pytest.mark.parametrize("forward, layers, dtype", [
    (True, 1, torch.float32), (False, 2, torch.float32), (False, 1, torch.float64),
])
def test_encode_matches_the_reference(tmp_path, forward, layers, dtype):
    model = random_charlm(3, forward=forward, num_layers=layers, hidden_dim=11, emb_dim=5, dtype=dtype)
    plan = q.CharLMPlan(write_charlm_bundle(tmp_path / "lm", model).path)
    assert (plan.is_forward, plan.hidden_size) == (forward, 11)
    rows = plan.encode(tuple(WORDS))
    assert len(rows) == len(WORDS) and all(len(row) == 11 for row in rows)
    expected = CharLMReference(model.tensors, model.assets()).encode(WORDS).double()
    assert torch.allclose(torch.tensor(rows, dtype=torch.float64), expected, atol=1e-5, rtol=0)
    assert plan.encode([]) == []


def test_bundle_keeps_the_plan_alive(tmp_path):
    path = write_charlm_bundle(tmp_path / "lm", random_charlm(1, forward=False)).path
    plan = q.CharLMPlan(path)
    bundle = plan.bundle
    assert plan.bundle is bundle and not bundle.checksums_verified
    del plan
    gc.collect()
    assert bundle.processor == "backward_charlm"
    assert bundle.tensor("char_emb.weight").shape == [len(random_charlm(1).unit2id), 6]
    assert q.CharLMPlan(str(path), verify_checksums=True).bundle.checksums_verified


def test_failures_reach_python_as_their_classes(tmp_path):
    model = random_charlm(1)
    wrong = write_charlm_bundle(tmp_path / "wrong", model, processor="mwt").path
    with pytest.raises(q.CharLMModelError, match="^expected a forward/backward_charlm bundle, got 'mwt'$"):
        q.CharLMPlan(wrong)
    broken = write_charlm_bundle(tmp_path / "json", model, assets=b"{").path
    with pytest.raises(RuntimeError) as error:
        q.CharLMPlan(broken)
    assert not isinstance(error.value, q.ModelBundleError)
    with pytest.raises(q.ModelBundleError):
        q.CharLMPlan(tmp_path / "missing")


@pytest.mark.parametrize("call", [
    lambda path, plan: q.CharLMPlan(path, verify_checksums=1),
    lambda path, plan: q.CharLMPlan(None),
    lambda path, plan: plan.encode("word"),
    lambda path, plan: plan.encode([b"word"]),
    lambda path, plan: plan.encode(["ok", 1]),
])
def test_wrong_argument_types(tmp_path, call):
    path = write_charlm_bundle(tmp_path / "lm", random_charlm(1)).path
    with pytest.raises(TypeError):
        call(path, q.CharLMPlan(path))


def test_encode_releases_the_interpreter_lock(tmp_path):
    path = write_charlm_bundle(tmp_path / "lm", random_charlm(1, hidden_dim=256, emb_dim=16)).path
    plan = q.CharLMPlan(path)
    assert releases_lock(lambda: plan.encode(["abcdefghij"] * 200))
    assert not releases_lock(lambda: q.CharLMPlan(path))
