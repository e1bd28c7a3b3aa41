"""velmar.frames.geodetic: geodetic and topocentric coordinates, the Sun and the Earth's shadow.

Every number is checked against an independent calculation: a 40-digit
nearest-foot-point solution (mpmath), pyerfa's gc2gde/gd2gce, astropy's
geometric AltAz and get_sun, and shadow-cone geometry worked out by hand.
"""

import math

import erfa
import mpmath as mp
import numpy as np
import pytest

from velmar.bodies.bodies import Earth, Sun
from velmar.datamodel.structured import AER_dtype, GeoState_dt, LLA_dtype
from velmar.frames.frames import ENU, GCRF, ITRF
from velmar.frames.geodetic import (
    AERR_dtype,
    geodetic_to_itrf,
    itrf_to_geodetic,
    shadow,
    sun_position,
    sunlit,
    topocentric,
)
from velmar.mathtools.ellipsoid.ellipsoid import GRS80, WGS84, Ellipsoid
from velmar.state.ephemeris import GeoStateEphemeris, StateVectorEphemeris
from velmar.state.state import GeoState, StateVector
from velmar.time.time import Time

A84, F84 = 6378137.0, 1 / 298.257223563
B84 = A84 * (1 - F84)
E2_84 = F84 * (2 - F84)


def nearest_foot(x, y, z, a=A84, f=F84):
    """Geodetic (lat, lon, h) of (x, y, z) at 40 digits: the foot point of the
    nearest normal, found by bisection on the normal condition in the reduced
    latitude beta, which has exactly one root in (0, pi/2) for p, |z| > 0."""
    south = math.copysign(1.0, z) < 0  # mpf has no -0.0
    with mp.workdps(40):
        a, f = mp.mpf(a), mp.mpf(f)
        b, e2 = a * (1 - f), f * (2 - f)
        x, y, z = mp.mpf(x), mp.mpf(y), mp.mpf(z)
        p, az = mp.sqrt(x * x + y * y), abs(z)
        lon = mp.atan2(y, x) if p else mp.mpf(0)
        if p == 0:
            lat, h = mp.pi / 2, az - b
        elif az == 0 and p >= a * e2:
            lat, h = mp.mpf(0), p - a
        elif az == 0:
            cb = p / (a * e2)
            sb = mp.sqrt(1 - cb * cb)
            lat, h = mp.atan2(a * sb, b * cb), -mp.sqrt((a * cb - p) ** 2 + (b * sb) ** 2)
        else:
            lo, hi = mp.mpf(0), mp.pi / 2
            for _ in range(140):
                mid = (lo + hi) / 2
                g = (a * a - b * b) * mp.sin(mid) * mp.cos(mid) - a * p * mp.sin(mid) + b * az * mp.cos(mid)
                lo, hi = (mid, hi) if g > 0 else (lo, mid)
            beta = (lo + hi) / 2
            lat = mp.atan2(a * mp.sin(beta), b * mp.cos(beta))
            h = (p - a * mp.cos(beta)) * mp.cos(lat) + (az - b * mp.sin(beta)) * mp.sin(lat)
        if south:
            lat = -lat
        return float(lat), float(lon), float(h)


def random_directions(rng, n):
    d = rng.normal(size=(n, 3))
    return d / np.linalg.norm(d, axis=1)[:, None]


def check_against_reference(points, out, a=A84, f=F84):
    for p, o in zip(points, out):
        lat, lon, h = nearest_foot(*p, a=a, f=f)
        assert abs(o["lat"] - lat) <= 1e-12 and abs(o["alt"] - h) <= 1e-6, (p, o, (lat, lon, h))
        assert abs(math.remainder(o["lon"] - lon, 2 * math.pi)) <= 1e-12, (p, o, lon)


class TestItrfToGeodetic:
    def test_every_distance_from_the_centre_to_beyond_the_moon(self):
        rng = np.random.default_rng(7)
        # The centre region, the evolute (within 43 km), inside the Earth, near
        # the surface, GEO and 400,000 km.
        scales = [1e-3, 1.0, 1e3, 3e4, 4.3e4, 1e6, 6.37e6, 7e6, 4.2e7, 4e8]
        points = np.vstack([random_directions(rng, 25) * s * rng.uniform(0.8, 1.2, (25, 1)) for s in scales])
        # Points next to the evolute (the astroid of centres of curvature).
        t = rng.uniform(0.01, np.pi / 2 - 0.01, 25)
        astroid = np.c_[A84 * E2_84 * np.cos(t) ** 3, np.zeros(25), A84 * E2_84 / math.sqrt(1 - E2_84) * np.sin(t) ** 3]
        points = np.vstack([points, astroid * (1 + rng.normal(0, 1e-6, (25, 1)))])
        check_against_reference(points, itrf_to_geodetic(points))

    def test_poles_axis_equator_and_centre(self):
        special = np.array(
            [
                [0, 0, 0],
                [0, 0, -0.0],
                [0, 0, 1.0],
                [0, 0, -1.0],
                [0, 0, B84],
                [0, 0, -4e8],
                [7e6, 0, 0],
                [0, -7e6, 0],
                [1e3, 0, 0],
                [1e3, 0, -0.0],
                [2e4, 0, 1e-9],
                [2e4, 0, -1e-9],
                [4.27e4, 0, 0],
                [1e-300, 0, 1e3],
            ]
        )
        out = itrf_to_geodetic(special)
        check_against_reference(special, out)
        # Closed forms: the centre is a pole at height -b (the sign of z's zero
        # picks which); the axis has lon 0 and height |z| - b; outside the
        # evolute the equator is h = p - a.
        assert tuple(out[0]) == (math.pi / 2, 0.0, -B84) and tuple(out[1]) == (-math.pi / 2, 0.0, -B84)
        assert out[5]["lat"] == -math.pi / 2 and out[5]["alt"] == pytest.approx(4e8 - B84, abs=1e-7)
        assert out[6]["lat"] == 0 and out[6]["alt"] == pytest.approx(7e6 - A84, abs=1e-9)
        assert out[7]["lon"] == -math.pi / 2
        # On the equatorial plane inside the evolute the sign of z picks the hemisphere.
        assert out[8]["lat"] > 1.5 and out[9]["lat"] == -out[8]["lat"] and out[8]["alt"] == out[9]["alt"]

    def test_pyerfa_where_its_one_step_method_is_exact(self):
        # gc2gde takes one Halley step: within about 500 km of the surface it is
        # exact to the last digits (further out it is off by up to 2e-11 rad at
        # GEO, and by 2e-5 rad 400 km from the centre).
        rng = np.random.default_rng(3)
        lat = np.r_[rng.uniform(-np.pi / 2, np.pi / 2, 2000), np.pi / 2, -np.pi / 2, 0.0]
        lon = np.r_[rng.uniform(-np.pi, np.pi, 2000), 1.0, -2.0, np.pi]
        alt = np.r_[rng.uniform(-5e5, 5e5, 2000), 1e3, -2e3, 0.0]
        for ellipsoid, code in ((WGS84, 1), (GRS80, 2)):
            points = erfa.gd2gce(ellipsoid.a, ellipsoid.f, lon, lat, alt)
            e_lon, e_lat, e_alt = erfa.gc2gde(ellipsoid.a, ellipsoid.f, points)
            ours = itrf_to_geodetic(points, ellipsoid)
            assert np.abs(ours["lat"] - e_lat).max() < 1e-12 and np.abs(ours["alt"] - e_alt).max() < 1e-6
            assert np.abs(np.remainder(ours["lon"] - e_lon + np.pi, 2 * np.pi) - np.pi).max() < 1e-12
            # and the way back against gd2gce, to the last digits of a metre
            back = geodetic_to_itrf(ours["lat"], ours["lon"], ours["alt"], ellipsoid)
            assert np.abs(back - points).max() < 1e-8
            assert (
                np.abs(
                    geodetic_to_itrf(lat, lon, alt, ellipsoid) - erfa.gd2gce(ellipsoid.a, ellipsoid.f, lon, lat, alt)
                ).max()
                < 1e-8
            )

    def test_other_ellipsoids(self):
        rng = np.random.default_rng(5)
        points = np.vstack([random_directions(rng, 10) * s for s in (0.1, 0.4, 1.0, 3.0)])
        # A sphere: geocentric latitude, height |r| - a.
        out = itrf_to_geodetic(points, Ellipsoid(1.0, 0.0))
        assert np.allclose(out["lat"], np.arcsin(points[:, 2] / np.linalg.norm(points, axis=1)), rtol=0, atol=1e-14)
        assert np.allclose(out["alt"], np.linalg.norm(points, axis=1) - 1.0, rtol=0, atol=1e-15)
        # A strongly flattened one, whose evolute reaches most of the way out.
        check_against_reference(points, itrf_to_geodetic(points, Ellipsoid(1.0, 0.5)), a=1.0, f=0.5)

    def test_records_and_shapes(self):
        one = itrf_to_geodetic([7e6, 0, 0])
        assert isinstance(one, np.void) and one.dtype == LLA_dtype
        assert one["lat"] == one["lon"] == 0 and one["alt"] == pytest.approx(7e6 - A84, abs=1e-9)
        many = itrf_to_geodetic(np.array([[7e6, 0, 0]] * 4))
        assert many.dtype == LLA_dtype and many.shape == (4,)
        assert itrf_to_geodetic(np.empty((0, 3))).shape == (0,)
        # Any strides, byte order or real dtype read the same numbers.
        base = np.random.default_rng(1).normal(size=(6, 6)) * 7e6
        same = [base[::2, :3], np.ascontiguousarray(base[::2, :3]).astype(">f8"), base[::2, :3].tolist()]
        assert all((itrf_to_geodetic(x) == itrf_to_geodetic(same[0])).all() for x in same)
        kept = base.copy()
        itrf_to_geodetic(base[:, 3:])
        np.testing.assert_array_equal(base, kept)  # the caller's positions are left alone
        assert tuple(itrf_to_geodetic(np.array([7000000, 0, 0]))) == tuple(one)
        assert itrf_to_geodetic([7e6, 0, 0], None) == itrf_to_geodetic([7e6, 0, 0], WGS84) == one
        nan = itrf_to_geodetic([np.nan, 0, 0])
        assert all(math.isnan(x) for x in nan)

    def test_failures(self):
        with pytest.raises(ValueError, match=r"r must have shape \(3,\) or \(N, 3\), got shape \(4,\)"):
            itrf_to_geodetic([1.0, 2.0, 3.0, 4.0])
        with pytest.raises(ValueError, match=r"got shape \(2, 2, 3\)"):
            itrf_to_geodetic(np.zeros((2, 2, 3)))
        with pytest.raises(ValueError, match="r must hold real numbers"):
            itrf_to_geodetic(np.zeros(3, complex))
        with pytest.raises(TypeError, match="Argument 'ellipsoid' has incorrect type"):
            itrf_to_geodetic([7e6, 0, 0], "WGS84")
        with pytest.raises(TypeError, match="takes at most 2 positional arguments"):
            itrf_to_geodetic([7e6, 0, 0], WGS84, 3)


class TestGeodeticToItrf:
    def test_records_broadcasting_and_numbers(self):
        lla = np.array([(0.5, 1.0, 100.0), (-1.2, -3.0, 4e5)], dtype=LLA_dtype)
        expected = erfa.gd2gce(A84, F84, lla["lon"], lla["lat"], lla["alt"])
        assert np.abs(geodetic_to_itrf(lla) - expected).max() < 1e-8
        geo = np.zeros(2, GeoState_dt)
        geo["lat"], geo["lon"], geo["alt"] = lla["lat"], lla["lon"], lla["alt"]
        assert (geodetic_to_itrf(geo) == geodetic_to_itrf(lla)).all()
        assert (geodetic_to_itrf(lla["lat"], lla["lon"], lla["alt"]) == geodetic_to_itrf(lla)).all()
        assert geodetic_to_itrf(0.5, 1.0, 100.0).shape == (3,)
        assert np.abs(geodetic_to_itrf(0.5, 1.0) - erfa.gd2gce(A84, F84, 1.0, 0.5, 0.0)).max() < 1e-8
        grid = geodetic_to_itrf(np.array([0.1, 0.2])[:, None], np.array([0.0, 1.0, 2.0]), 10.0)
        assert grid.shape == (2, 3, 3) and (grid[1, 2] == geodetic_to_itrf(0.2, 2.0, 10.0)).all()
        # The round trip from the geodetic side.
        assert np.abs(itrf_to_geodetic(geodetic_to_itrf(lla)).view((float, 3)) - lla.view((float, 3))).max() < 1e-8

    def test_failures(self):
        with pytest.raises(ValueError, match=r"lat must lie in \[-pi/2, pi/2\] rad, got 45.0 at index 1"):
            geodetic_to_itrf([0.1, 45.0], 0.0, 0.0)
        assert np.isnan(geodetic_to_itrf(np.nan, 0.0, 0.0)).all()
        with pytest.raises(TypeError, match="one record array with fields 'lat', 'lon' and 'alt'"):
            geodetic_to_itrf([0.1, 0.2])
        with pytest.raises(TypeError, match="one record array"):
            geodetic_to_itrf(np.zeros(2, AER_dtype))
        with pytest.raises(ValueError, match="lon must hold real numbers"):
            geodetic_to_itrf(0.1, "east", 0.0)
        with pytest.raises(ValueError, match="shape mismatch"):
            geodetic_to_itrf([0.1, 0.2], [0.0, 1.0, 2.0])


class TestTopocentric:
    STATION = ENU(0.7, -1.2, 350.0)

    def test_against_astropy_geometric_altaz(self):
        import astropy.units as u
        from astropy.coordinates import ITRS, AltAz, CartesianRepresentation, EarthLocation
        from astropy.time import Time as AstropyTime
        from astropy.utils import iers

        iers.conf.auto_download = False
        s = self.STATION
        location = EarthLocation.from_geodetic(math.degrees(s.lon) * u.deg, math.degrees(s.lat) * u.deg, s.alt * u.m)
        rng = np.random.default_rng(0)
        r = random_directions(rng, 200) * rng.uniform(6.5e6, 4.2e7, (200, 1))
        t = AstropyTime("2024-01-01")
        origin = location.get_itrs(t).cartesian.xyz.to_value(u.m)
        seen = ITRS(CartesianRepresentation((r - origin).T * u.m), obstime=t, location=location).transform_to(
            AltAz(obstime=t, location=location)
        )
        ours = topocentric(r, None, s)
        assert ours.dtype == AER_dtype
        assert np.abs(np.remainder(ours["azimuth"] - seen.az.rad + np.pi, 2 * np.pi) - np.pi).max() < 1e-12
        assert np.abs(ours["elevation"] - seen.alt.rad).max() < 1e-12
        assert np.abs(ours["range"] - seen.distance.to_value(u.m)).max() < 1e-6

    def test_closed_forms_and_range_rate(self):
        s = self.STATION
        origin = geodetic_to_itrf(s.lat, s.lon, s.alt)
        up = geodetic_to_itrf(s.lat, s.lon, s.alt + 5e5)
        zenith = topocentric(up, [1.0, 2.0, 3.0], s)
        assert zenith.dtype == AERR_dtype and zenith["elevation"] == pytest.approx(math.pi / 2, abs=1e-12)
        assert zenith["range"] == pytest.approx(5e5, abs=1e-8)
        # Due north and due east on the horizon plane: 0 and pi/2 azimuth.
        north = np.array([-math.sin(s.lat) * math.cos(s.lon), -math.sin(s.lat) * math.sin(s.lon), math.cos(s.lat)])
        east = np.array([-math.sin(s.lon), math.cos(s.lon), 0.0])
        aer = topocentric(origin + 1e6 * np.array([north, east, -north, -east, north - 1e-17 * east]), None, s)
        assert np.allclose(aer["azimuth"], [0, np.pi / 2, np.pi, 3 * np.pi / 2, 0], rtol=0, atol=1e-12)
        assert np.abs(aer["elevation"]).max() < 1e-12 and (aer["azimuth"] < 2 * np.pi).all()
        # Range rate against a central difference of the range along the motion.
        rng = np.random.default_rng(2)
        r = random_directions(rng, 50) * 7e6
        v = rng.normal(size=(50, 3)) * 5e3
        rate = topocentric(r, v, s)["range_rate"]
        dt = 1e-3
        diff = (topocentric(r + v * dt, None, s)["range"] - topocentric(r - v * dt, None, s)["range"]) / (2 * dt)
        assert np.abs(rate - diff).max() < 1e-5
        at_station = topocentric(origin, [1.0, 0.0, 0.0], s)
        assert at_station["range"] == 0 and np.isnan(at_station["azimuth"]) and np.isnan(at_station["range_rate"])

    def test_failures(self):
        with pytest.raises(TypeError, match="Argument 'station' has incorrect type"):
            topocentric([7e6, 0, 0], None, ITRF)
        with pytest.raises(ValueError, match="v_itrf has 2 rows but r_itrf has 3"):
            topocentric(np.zeros((3, 3)), np.zeros((2, 3)), self.STATION)
        with pytest.raises(TypeError, match="takes at least 3 positional arguments"):
            topocentric([7e6, 0, 0], None)


class TestSun:
    # astropy's UTC warns about years past its leap-second table; these epochs are TT.
    @pytest.mark.filterwarnings("ignore::erfa.ErfaWarning")
    def test_against_astropy_get_sun_1950_to_2050(self):
        from astropy.coordinates import get_sun
        from astropy.time import Time as AstropyTime
        from astropy.utils import iers

        iers.conf.auto_download = False
        jd = np.linspace(2433282.5, 2469807.5, 1500)  # 1950-01-01 to 2050-01-01, TT
        theirs = get_sun(AstropyTime(jd, format="jd", scale="tt")).cartesian.xyz.to_value("m").T
        ours = sun_position(Time(jd, format="jd", scale="tt"))
        cos = np.sum(ours * theirs, axis=1) / np.linalg.norm(ours, axis=1) / np.linalg.norm(theirs, axis=1)
        assert np.degrees(np.arccos(np.clip(cos, -1, 1))).max() < 0.01
        assert np.abs(np.linalg.norm(ours, axis=1) / np.linalg.norm(theirs, axis=1) - 1).max() < 2e-4

    def test_shapes_and_inputs(self):
        one = sun_position(Time("2000-03-20T07:35:00"))
        assert one.shape == (3,) and (one == sun_position("2000-03-20T07:35:00")).all()
        # At the March equinox of 2000 the Sun crosses the J2000 equator at RA 0.
        assert abs(one[2]) / np.linalg.norm(one) < 2e-4 and abs(one[1]) / one[0] < 2e-4
        many = sun_position(Time(["2024-01-01", "2024-07-01"]))
        assert many.shape == (2, 3) and (many[0] == sun_position(Time("2024-01-01"))).all()
        assert np.linalg.norm(many[0]) < np.linalg.norm(many[1])  # perihelion in January


def cone_edges(distance_behind, d_sun=1.495978707e11, Re=Earth.Re, Rs=Sun.Re):
    """Radii of the penumbra and umbra cones at distance_behind the Earth's
    centre, from the tangent cones: the penumbra cone's apex lies sunward at
    Re D / (Rs + Re), the umbra cone's behind the Earth at Re D / (Rs - Re)."""
    apex_p = Re * d_sun / (Rs + Re)
    half_p = math.asin((Rs + Re) / d_sun)
    apex_u = Re * d_sun / (Rs - Re)
    half_u = math.asin((Rs - Re) / d_sun)
    return (apex_p + distance_behind) * math.tan(half_p), (apex_u - distance_behind) * math.tan(half_u)


class TestShadow:
    SUN = np.array([1.495978707e11, 0.0, 0.0])

    def sat(self, behind, off):
        return np.array([-behind, off, 0.0])

    def test_closed_form_geometry(self):
        assert shadow(self.sat(7e6, 0.0), self.SUN) == 0.0  # straight behind the Earth
        assert shadow(np.array([7e6, 0.0, 0.0]), self.SUN) == 1.0  # sunlit side
        assert shadow(self.sat(0.0, 7e6), self.SUN) == 1.0  # above the terminator
        for behind in (7e6, 4.2e7, 4e8):
            penumbra, umbra = cone_edges(behind)
            # The penumbra's outer edge, worked out by hand: sunlit just outside, partly lit just inside.
            assert shadow(self.sat(behind, penumbra * (1 + 1e-7)), self.SUN) == 1.0
            assert 0.9 < shadow(self.sat(behind, penumbra * (1 - 1e-3)), self.SUN) < 1.0
            # The umbra's edge: dark inside, a sliver of Sun just outside.
            assert shadow(self.sat(behind, umbra * (1 - 1e-7)), self.SUN) == 0.0
            assert 0.0 < shadow(self.sat(behind, umbra * (1 + 1e-3)), self.SUN) < 0.1
            # Between the two, the visible fraction of the disc against a direct count
            # over a grid of the Sun's face (lines of sight that miss the Earth).
            off = 0.5 * (penumbra + umbra)
            assert shadow(self.sat(behind, off), self.SUN) == pytest.approx(self.counted(behind, off), abs=2e-3)
        # Beyond the umbra's apex (1.38e9 m) the Earth's disc is inside the Sun's: annular.
        far = self.sat(3e9, 0.0)
        a, b = math.asin(Sun.Re / np.linalg.norm(self.SUN - far)), math.asin(Earth.Re / 3e9)
        assert shadow(far, self.SUN) == pytest.approx(1 - b * b / (a * a), rel=1e-12)
        assert shadow([1e6, 0, 0], self.SUN) == 0.0  # inside the Earth

    def counted(self, behind, off, n=801):
        sat = self.sat(behind, off)
        u = np.linspace(-1, 1, n)
        yy, zz = np.meshgrid(u, u)
        inside = yy**2 + zz**2 <= 1
        points = np.c_[np.full(inside.sum(), self.SUN[0]), Sun.Re * yy[inside], Sun.Re * zz[inside]]
        ray = points - sat
        ray /= np.linalg.norm(ray, axis=1)[:, None]
        t = -(sat @ ray.T)  # closest approach to the Earth's centre along each line of sight
        miss = np.linalg.norm(sat + t[:, None] * ray, axis=1) > Earth.Re
        return miss.mean()

    def test_shapes_defaults_and_sunlit(self):
        sats = np.array([self.sat(7e6, 0.0), [7e6, 0, 0], self.sat(7e6, cone_edges(7e6)[0] * 0.999)])
        frac = shadow(sats, self.SUN)
        assert frac.shape == (3,) and frac[0] == 0 and frac[1] == 1 and 0 < frac[2] < 1
        assert (sunlit(sats, self.SUN) == [False, True, True]).all()
        assert isinstance(sunlit(sats[0], self.SUN), np.bool_)
        assert (shadow(sats, np.tile(self.SUN, (3, 1))) == frac).all()
        assert (shadow(sats, self.SUN, Earth.Re, Sun.Re) == frac).all()
        # A body too small to cover the Sun: annular, as far behind the Earth.
        a, b = math.asin(Sun.Re / (self.SUN[0] + 7e6)), math.asin(1e3 / 7e6)
        assert shadow(self.sat(7e6, 0.0), self.SUN, body_radius=1e3) == pytest.approx(1 - b * b / (a * a), rel=1e-12)
        with pytest.raises(ValueError, match="body_radius must be a positive finite radius"):
            shadow(sats, self.SUN, body_radius=-1.0)
        with pytest.raises(ValueError, match="r_sat has 3 rows but r_sun has 2"):
            shadow(sats, np.zeros((2, 3)))


class TestGeoStateToSv:
    def test_state_and_ephemeris(self):
        g = GeoState("2024-01-01", ITRF, 0.5, 1.0, 100.0, GM=3e14)
        sv = g.to_sv()
        assert type(sv) is StateVector and sv.frame is ITRF and sv.epoch is g.epoch and sv.GM == 3e14
        assert np.abs(sv.r - erfa.gd2gce(A84, F84, 1.0, 0.5, 100.0)).max() < 1e-8 and (sv.v == 0).all()
        lla = np.array([[0.5, 1.0, 100.0], [-np.pi / 2, 3.0, 1e3], [0.1, -2.0, 4e5]])
        t = Time(["2024-01-01", "2024-01-02", "2024-01-03"])
        eph = GeoStateEphemeris(t, ITRF, lla).to_sv()
        assert type(eph) is StateVectorEphemeris and eph.frame is ITRF and eph.time is t
        assert np.abs(eph.r - erfa.gd2gce(A84, F84, lla[:, 1], lla[:, 0], lla[:, 2])).max() < 1e-8
        assert (eph.v == 0).all() and not eph.r.flags.writeable

    def test_failures(self):
        with pytest.raises(ValueError, match="GeoState.to_sv\\(\\): .* frame must be ITRF, got GCRF"):
            GeoState("2024-01-01", GCRF, 0.5, 1.0, 100.0).to_sv()
        with pytest.raises(ValueError, match="GeoStateEphemeris.to_sv\\(\\): .* frame must be ITRF, got GCRF"):
            GeoStateEphemeris(Time(["2024-01-01"]), GCRF, [[0.5, 1.0, 0.0]]).to_sv()
        with pytest.raises(ValueError, match=r"lat must lie in \[-pi/2, pi/2\] rad, got 45.0$"):
            GeoState("2024-01-01", ITRF, 45.0, 1.0, 100.0).to_sv()
        with pytest.raises(ValueError, match="got 2.0 at index 1"):
            GeoStateEphemeris(Time(["2024-01-01", "2024-01-02"]), ITRF, [[0.5, 1, 0], [2.0, 1, 0]]).to_sv()


def test_threads_writing_the_positions_do_not_crash():
    from conftest import assert_child_ok

    assert_child_ok("""
import threading, numpy as np
from velmar.frames.geodetic import itrf_to_geodetic
r = np.random.default_rng(0).normal(size=(200000, 3)) * 7e6
stop = threading.Event()
def mutate():
    while not stop.is_set():
        r[::7] *= -1.0
def work():
    for _ in range(10):
        out = itrf_to_geodetic(r)
        assert out.shape == (200000,) and np.isfinite(out['alt']).all()
threads = [threading.Thread(target=mutate)] + [threading.Thread(target=work) for _ in range(2)]
for th in threads: th.start()
for th in threads[1:]: th.join()
stop.set(); threads[0].join()
""")
