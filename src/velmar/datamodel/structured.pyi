import numpy

SurfCoord_dtype: numpy.dtype
LLA_dtype: numpy.dtype
ENU_dtype: numpy.dtype
AER_dtype: numpy.dtype
DTF_dtype: numpy.dtype
GeoState_dt: numpy.dtype
COE_dt: numpy.dtype
