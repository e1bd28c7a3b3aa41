"""Earth orientation: the IERS bulletins and the EOP interpolators.

Nothing is imported here, so that reading the leap-second table (which the
time scales need) does not load scipy.
"""
