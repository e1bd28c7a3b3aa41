"""Unit constants in SI: multiply a value by a unit to get SI, divide an SI value by a unit to get that unit."""

__all__ = ["m", "km", "s", "ms", "minute", "hour", "day", "rad", "deg", "rev", "arcsec", "mas"]

m: float  # 1 metre
km: float  # 1000 m
s: float  # 1 second
ms: float  # 1e-3 s
minute: float  # 60 s
hour: float  # 3600 s
day: float  # 86400 s
rad: float  # 1 radian
deg: float  # pi / 180 rad
rev: float  # 2 pi rad
arcsec: float  # pi / 648000 rad
mas: float  # 1e-3 arcsec
