import functools
import gc

import torch

import _quelbin as q
from bundle_writer import RawTensor
from conftest import check_refusals, edit, edit_at, outcome, releases_lock
from model_bundles.charlm import random_charlm, write_charlm_bundle
from reference.charlm import CharLMReference


def encode_a(path):
    """Loads the bundle and encodes one word; an error keeps its class and first line."""
    try:
        q.CharLMPlan(path).encode(["a"])
    except RuntimeError as error:
        raise type(error)(str(error).partition("\n")[0]) from None


def test_malformed_bundles_fail_in_check_order(tmp_path):
    model = random_charlm(7, hidden_dim=4, emb_dim=3, num_layers=2)
    json, lm, bundle, zeros = RuntimeError, q.CharLMModelError, q.ModelBundleError, torch.zeros
    A, C, V = "charlm assets", "charlm assets.config", "assets/vocab/_unit2id/"
    missing = "tensor is not present in bundle: "
    profile = ("unsupported character language model; hidden size and layer count must be "
               "positive and recurrent dropout must be zero")
    shapes = "character language model tensors do not match its assets"
    rows = [
        (edit("assets/config/char_hidden_dim"), json, f"missing JSON key 'char_hidden_dim' at {C}"),
        (edit("assets/config/char_num_layers", 1.5), json,
         f"expected JSON integer at {C}.char_num_layers"),
        (edit_at("config", char_num_layers=0, char_rec_dropout="x"), lm, profile),
        (edit("assets/config/char_hidden_dim", 0), lm, profile),
        (edit("assets/config/char_rec_dropout", 0.1), lm, profile),
        (edit_at("config", char_rec_dropout=None), json,
         f"expected JSON number at {C}.char_rec_dropout"),
        (edit("assets/is_forward_lm", "yes"), json, f"expected JSON boolean at {A}.is_forward_lm"),
        (edit(V + "a", "x"), json, f"expected JSON integer at {A}.vocab._unit2id.a"),
        (edit(V + " "), lm, "character language model vocabulary has no start/end symbols"),
        (edit("tensors/charlstm_c_init"), bundle, missing + "'charlstm_c_init'"),
        (edit("tensors/char_emb.weight", RawTensor("uint16", [1], b"\0\0")), lm,
         "ATen view does not support bundle dtype: uint16"),
        (edit("tensors/char_emb.weight", zeros(len(model.unit2id) + 1, 3)), lm, shapes),
        (lambda b: b["tensors"].update(charlstm_h_init=zeros(2, 4), charlstm_c_init=zeros(2, 4)),
         lm, shapes),
        (edit("tensors/charlstm_c_init", zeros(2, 1, 5)), lm, shapes),
        (edit("tensors/charlstm.lstm.weight_hh_l1"), bundle,
         missing + "'charlstm.lstm.weight_hh_l1'"),
        (lambda b: b.update(processor="Forward_charlm", assets=b"{"), lm,
         "expected a forward/backward_charlm bundle, got 'Forward_charlm'"),
        (edit("assets", b"{"), json, "expected object key at JSON byte 1"),
        (edit("assets/config/char_rec_dropout"), None, None),
        # These load and fail at the first encoding.
        (edit("tensors/charlstm.lstm.weight_hh_l0", zeros(16, 5)), RuntimeError,
         "character language model LSTM layer 0 parameter 1 has shape [16, 5], expected [16, 4]"),
        (edit(V + "a", 99), RuntimeError, "index out of range in self"),
    ]
    check_refusals(tmp_path, rows, "forward_charlm", model.assets(), model.tensors, encode_a)


def test_plan_in_python(tmp_path):
    """Rows, argument types, the interpreter lock, and a bundle outliving its plan."""
    model = random_charlm(3, forward=False, num_layers=2, hidden_dim=64, dtype=torch.float64)
    path = write_charlm_bundle(tmp_path / "lm", model).path
    plan = q.CharLMPlan(path)
    assert (plan.is_forward, plan.hidden_size) == (False, 64)
    words = ["Ein", "kleiner", "", "中😀", "Qы", "x y"]
    expected = CharLMReference(model.tensors, model.assets()).encode_many([words])[0]
    got = torch.tensor(plan.encode(tuple(words)), dtype=torch.float64)
    assert got.shape == expected.shape and torch.allclose(got, expected, atol=1e-5, rtol=0)
    calls = [lambda: q.CharLMPlan(path, verify_checksums=1), lambda: q.CharLMPlan(None),
             lambda: plan.encode("word"), lambda: plan.encode([b"word"]),
             lambda: plan.encode(["ok", 1])]
    for i, call in enumerate(calls):
        assert outcome(call)[0] is TypeError, i
    assert releases_lock(functools.partial(plan.encode, ["abcdefghij"] * 200))
    assert not releases_lock(functools.partial(q.CharLMPlan, path))
    bundle = plan.bundle
    assert plan.bundle is bundle and not bundle.checksums_verified
    del plan
    gc.collect()
    assert bundle.tensor("charlstm_h_init").shape == [2, 1, 64]
    assert q.CharLMPlan(str(path), verify_checksums=True).bundle.checksums_verified
