"""The installed type stub must describe the built module, name for name and
signature for signature."""
import ast
import pathlib

import QuorvexDepthCamera as q
import stub_signatures

STUB = pathlib.Path(__file__).resolve().parents[2] / "python" / "QuorvexDepthCamera.pyi"
# The path converter takes bytes and None too; its signature line says str.
WIDENED = {("QuorvexCamera.openWithFile", "path"): "typing.Union[str, bytes, bytearray, None]"}


def test_stub_names_every_public_class_in_order():
    classes = [n.name for n in ast.parse(STUB.read_text()).body if isinstance(n, ast.ClassDef)]
    public = [n for n in vars(q) if not n.startswith("_")]
    assert classes == public


def test_stub_matches_every_signature_member_and_value():
    assert stub_signatures.compare(STUB, q, WIDENED) == []
