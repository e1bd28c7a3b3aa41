import numpy as np
import pytest

import velmar.datamodel.structured as structured

LAYOUTS = {
    "SurfCoord_dtype": [("lat", "f8"), ("lon", "f8")],
    "LLA_dtype": [("lat", "f8"), ("lon", "f8"), ("alt", "f8")],
    "ENU_dtype": [("u_east", "f8"), ("u_north", "f8"), ("u_up", "f8")],
    "AER_dtype": [("azimuth", "f8"), ("elevation", "f8"), ("range", "f8")],
    "DTF_dtype": [("year", "u2"), ("month", "u1"), ("day", "u1"), ("hour", "u1"), ("minute", "u1"), ("second", "f8")],
    "GeoState_dt": [
        ("lat", "f8"),
        ("lon", "f8"),
        ("alt", "f8"),
        ("lat_dot", "f8"),
        ("lon_dot", "f8"),
        ("alt_dot", "f8"),
    ],
    "COE_dt": [("ecc", "f8"), ("sma", "f8"), ("inc", "f8"), ("raa", "f8"), ("arp", "f8"), ("tra", "f8"), ("slr", "f8")],
}


@pytest.mark.parametrize("name", LAYOUTS)
def test_layout_is_packed_in_field_order(name):
    dt = getattr(structured, name)
    assert isinstance(dt, np.dtype)
    assert dt.names == tuple(field for field, _ in LAYOUTS[name])
    # Packed: each offset is the sum of the sizes before it, independently computed.
    offset = 0
    for field, code in LAYOUTS[name]:
        ftype, foffset = dt.fields[field]
        assert ftype == np.dtype(code) and ftype.isnative
        assert foffset == offset
        offset += np.dtype(code).itemsize
    assert dt.itemsize == offset
    assert not dt.isalignedstruct


def test_published_sizes():
    assert structured.DTF_dtype.itemsize == 14
    assert structured.DTF_dtype.fields["second"][1] == 6
    assert (structured.COE_dt.itemsize, structured.GeoState_dt.itemsize, structured.SurfCoord_dtype.itemsize) == (
        56,
        48,
        16,
    )


def test_shared_prefixes():
    geo, lla, surf = structured.GeoState_dt, structured.LLA_dtype, structured.SurfCoord_dtype
    assert [geo.fields[n] for n in lla.names] == [lla.fields[n] for n in lla.names]
    assert [lla.fields[n] for n in surf.names] == [surf.fields[n] for n in surf.names]


def test_module_namespace_binds_numpy_and_dtype():
    assert structured.numpy is np
    assert structured.dtype is np.dtype


def test_records_hold_values():
    rec = np.zeros(2, dtype=structured.DTF_dtype)
    rec["year"] = 2016
    rec["second"] = 60.5  # a leap second fits
    assert rec[0]["year"] == 2016 and rec[1]["second"] == 60.5
