import corvane_audit
from corvane_audit import _native


def test_versions() -> None:
    assert _native.format_version() == 1
    assert _native.core_version() == "0.3.0"
    assert corvane_audit.__version__ == "0.3.0"


def test_version_functions_carry_text_signatures() -> None:
    assert _native.format_version.__text_signature__ == "()"
    assert _native.core_version.__text_signature__ == "()"
