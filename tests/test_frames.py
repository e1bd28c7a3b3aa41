import copy
import math
import pickle

import pytest

from velmar._native import _probe
from velmar.frames import frames
from velmar.frames.frames import ENU, GCRF, ITRF, TEME, Frame


@pytest.mark.parametrize("name, type_name", [("GCRF", "_GCRF"), ("ITRF", "_ITRF"), ("TEME", "_TEME")])
class TestGlobalFrames:
    def test_name_type_and_text(self, name, type_name):
        frame = getattr(frames, name)
        assert frame.name == name
        assert type(frame) is getattr(frames, type_name)
        assert isinstance(frame, Frame)
        assert str(frame) == repr(frame) == name

    def test_singleton_by_constructor_copy_and_pickle(self, name, type_name):
        frame = getattr(frames, name)
        assert getattr(frames, type_name)() is frame
        assert copy.deepcopy(frame) is frame
        assert pickle.loads(pickle.dumps(frame)) is frame

    def test_native_export_is_the_module_object(self, name, type_name):
        # The probe's import_type and the capsule name check the native side.
        capsule = frames.__capi__[name]
        assert "PyObject *" in repr(capsule)
        assert _probe.import_type("velmar.frames.frames", type_name, 24) is getattr(frames, type_name)

    def test_name_is_read_only(self, name, type_name):
        with pytest.raises(AttributeError):
            getattr(frames, name).name = "other"


def test_frames_are_distinct_and_hash_by_identity():
    assert len({GCRF, ITRF, TEME}) == 3
    assert GCRF != ITRF
    assert Frame("GCRF") != GCRF


def test_user_frame_and_subclass():
    frame = Frame("J2000")
    assert frame.name == "J2000" and repr(frame) == "Frame('J2000')"
    assert pickle.loads(pickle.dumps(frame)).name == "J2000"

    class Named(Frame):
        pass

    named = Named("x")
    named.note = 1  # Python subclasses get an attribute dictionary
    assert repr(named) == "Named('x')"


def test_enu_origin():
    enu = ENU(math.radians(45.0), math.radians(7.5), 120.0)
    assert isinstance(enu, Frame) and enu.name == "ENU"
    assert (enu.lat, enu.lon, enu.alt) == (math.radians(45.0), math.radians(7.5), 120.0)
    assert ENU(lat=0.1, lon=0.2).alt == 0.0
    back = pickle.loads(pickle.dumps(enu))
    assert (back.lat, back.lon, back.alt) == (enu.lat, enu.lon, enu.alt)
    assert repr(ENU(0.5, 1.0)) == "ENU(lat=0.5, lon=1.0, alt=0.0)"


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: Frame(1), TypeError, "Argument 'name' has incorrect type (expected str, got int)"),
        (lambda: Frame(""), ValueError, "must not be empty"),
        (lambda: Frame(), TypeError, "Frame() takes exactly 1 positional argument (0 given)"),
        (lambda: frames._TEME("TEME"), TypeError, "_TEME() takes exactly 0 positional arguments (1 given)"),
        (lambda: ENU("north", 0.0), TypeError, "Argument 'lat' has incorrect type (expected float, got str)"),
        (lambda: ENU(2.0, 0.0), ValueError, "got 2.0"),
        (lambda: ENU(0.0, math.inf), ValueError, "'lon' must be finite, got inf"),
        (lambda: ENU(0.0, 0.0, math.nan), ValueError, "'alt' must be finite, got nan"),
    ],
)
def test_bad_input(call, error, text):
    with pytest.raises(error) as info:
        call()
    assert text in str(info.value)
