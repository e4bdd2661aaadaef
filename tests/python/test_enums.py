import operator
import pickle

import pytest

import QuorvexDepthCamera as q

EXPECTED = {
    "TOFDeviceType": [("VGA", 0), ("HQVGA", 1)],
    "TOFOutput": [("RAW", 0), ("DEPTH", 2), ("CONFIDENCE", 1), ("CACHE", 4)],
    "TOFConnect": [("CSI", 0), ("USB", 1)],
    "TOFControl": [("RANGE", 0), ("FMT_WIDTH", 1), ("FMT_HEIGHT", 2), ("MODE", 3), ("FRAME_MODE", 4),
                   ("EXPOSURE", 5), ("FRAME_RATE", 6), ("SKIP_FRAME", 7), ("SKIP_FRAME_LOOP", 8),
                   ("CONFIG_DIR_EXT", 256)],
    "TofWorkMode": [("SINGLE_FREQ", 0), ("DOUBLE_FREQ", 1), ("TRIPLE_FREQ", 2), ("QUAD_FREQ", 3),
                    ("DISTANCE", 4), ("HDR", 5), ("AE", 6), ("BG_OUTDOOR", 7), ("GRAY_ONLY", 8),
                    ("CUSTOM1", 9), ("CUSTOM2", 10), ("CUSTOM3", 11)],
    "TofFrameWorkMode": [
        ("SINGLE_FREQ_2PHASE", 0), ("SINGLE_FREQ_4PHASE", 1), ("SINGLE_FREQ_4PHASE_GRAY", 2),
        ("SINGLE_FREQ_4PHASE_BG", 3), ("SINGLE_FREQ_4PHASE_4BG", 4), ("SINGLE_FREQ_4PHASE_GRAY_5BG", 5),
        ("SINGLE_FREQ_GRAY_BG_4PHASE_GRAY_BG", 6), ("SINGLE_FREQ_GRAY_BG_4PHASE_BG", 7),
        ("SINGLE_FREQ_BG_GRAY_BG_4PHASE", 8), ("SINGLE_FREQ_BG_4PHASE_BG_GRAY", 9),
        ("DOUBLE_FREQ_4PHASE", 10), ("DOUBLE_FREQ_4PHASE_GRAY_4PHASE_BG", 11),
        ("DOUBLE_FREQ_4PHASE_4BG", 12), ("DOUBLE_FREQ_4PHASE_GRAY_5BG", 13), ("TRIPLE_FREQ_4PHASE", 14),
        ("TRIPLE_FREQ_4PHASE_GRAY_4PHASE_GRAY_4PHASE_BG", 15), ("QUAD_FREQ_4PHASE", 16),
        ("QUAD_FREQ_4PHASE_GRAY_4PHASE_BG_4PHASE_GRAY_4PHASE_BG", 17), ("BG_OUTDOOR", 18),
        ("GRAY_ONLY", 19), ("CUSTOM", 20)],
    "TOFErrorCode": [("QuorvexSuccess", 0), ("QuorvexInvalidParameter", 1), ("QuorvexNoCache", 2),
                     ("QuorvexUnkownDevice", 3), ("QuorvexNotImplemented", 4), ("QuorvexSkipFrame", 240),
                     ("QuorvexSystemError", -2), ("QuorvexUnkownError", -1)],
}
PLAIN = {"TOFDeviceType", "TOFErrorCode"}


def test_module_attributes_in_registration_order():
    public = [n for n in vars(q) if not n.startswith("__")]
    assert public == list(EXPECTED) + ["QuorvexFormat", "QuorvexInfo", "QuorvexFrame", "RawData",
                                       "DepthData", "QuorvexCamera"]
    assert q.__version__ == "dev"
    assert q.__doc__ is None
    with pytest.raises(AttributeError):
        q.CSI


@pytest.mark.parametrize("name", list(EXPECTED))
def test_members_values_and_standard_interface(name):
    enum = getattr(q, name)
    assert [(k, v.value) for k, v in enum.__members__.items()] == EXPECTED[name]
    assert enum.__doc__.startswith("Members:")
    for member_name, value in EXPECTED[name]:
        member = getattr(enum, member_name)
        assert int(member) == value == operator.index(member)
        assert hash(member) == hash(value)  # hash(-1) is -2 in CPython
        assert member.name == member_name
        assert str(member) == f"{name}.{member_name}"
        assert repr(member) == f"<{name}.{member_name}: {value}>"
        assert enum(value) == member
        assert pickle.loads(pickle.dumps(member)) == member
        # Plain library enumerations compare with integers, scoped ones do not.
        assert (member == value) is (name in PLAIN)
        assert (member != value) is (name not in PLAIN)
    with pytest.raises(TypeError):
        enum(1.5)
    with pytest.raises(TypeError):
        enum("1")
    with pytest.raises(TypeError):
        _ = enum(0) < enum(0)


def test_values_without_members():
    assert q.TOFErrorCode(7).name == "???"
    assert str(q.TOFErrorCode(7)) == "TOFErrorCode.???"
    assert q.TOFControl(99).name == "???"
    assert q.TOFControl(9).value == 9  # AUTO_FRAME_RATE, reachable by value only
    assert q.TOFOutput(3).value == 3  # AMPLITUDE
    # Out of the underlying type's range.
    with pytest.raises(TypeError):
        q.TOFDeviceType(-1)
    with pytest.raises(TypeError):
        q.TOFErrorCode(2 ** 31)
    with pytest.raises(TypeError):
        q.TOFConnect(2 ** 40)


def test_error_code_texts():
    cases = {0: "Success", 1: "Invalid parameter", 2: "No cache", 3: "Unkown device", 4: "Not implemented",
             240: "Skip frame", -2: "System error", -1: "Unknown error", 7: "Unknown error",
             5: "Unknown error", -3: "Unknown error"}
    for value, text in cases.items():
        assert q.TOFErrorCode(value).str() == text
    assert q.TOFErrorCode.str.__doc__.startswith("str(self: QuorvexDepthCamera.TOFErrorCode) -> str")


def test_work_mode_enumerations_carry_a_second_int_overload():
    for enum, member, value in ((q.TofWorkMode, "BG_OUTDOOR", 7), (q.TofFrameWorkMode, "BG_OUTDOOR", 18)):
        assert int(getattr(enum, member)) == value
        assert enum.__int__.__doc__.count(f"__int__(self: QuorvexDepthCamera.{enum.__name__}) -> int") == 2
    assert "Overloaded" not in q.TOFControl.__int__.__doc__


def test_no_constructors_on_records_and_frames():
    for cls in ("QuorvexInfo", "QuorvexFormat", "QuorvexFrame", "RawData", "DepthData"):
        with pytest.raises(TypeError, match="No constructor defined!"):
            getattr(q, cls)()
